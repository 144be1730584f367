#include "pop3/Base64.h"

#include <cstdint>

namespace {

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of a base64 character, or -1.
int Sextet(char Ch)
{
    if (Ch >= 'A' && Ch <= 'Z')
        return Ch - 'A';
    if (Ch >= 'a' && Ch <= 'z')
        return Ch - 'a' + 26;
    if (Ch >= '0' && Ch <= '9')
        return Ch - '0' + 52;
    if (Ch == '+')
        return 62;
    if (Ch == '/')
        return 63;
    return -1;
}

} // namespace

std::string Base64Encode(std::string_view Bytes)
{
    std::string out;
    out.reserve((Bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < Bytes.size(); i += 3) {
        const size_t n = Bytes.size() - i < 3 ? Bytes.size() - i : 3;
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < n ? static_cast<uint8_t>(Bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k)
            out += k <= n ? Alphabet[group >> (18 - 6 * k) & 63] : '=';
    }
    return out;
}

bool Base64Decode(std::string_view Text, std::string& Bytes)
{
    Bytes.clear();
    if (Text.size() % 4 != 0)
        return false;
    Bytes.reserve(Text.size() / 4 * 3);
    for (size_t i = 0; i < Text.size(); i += 4) {
        const bool last = i + 4 == Text.size();
        size_t pad = 0;
        if (last)
            pad = Text[i + 3] != '=' ? 0 : Text[i + 2] != '=' ? 1 : 2;
        uint32_t group = 0;
        for (size_t k = 0; k < 4; ++k) {
            const int v = k < 4 - pad ? Sextet(Text[i + k]) : 0;
            if (v < 0)
                return false;
            group = group << 6 | static_cast<uint32_t>(v);
        }
        // Padding stands for zero bits: a last character that sets any of
        // them is not the encoding of anything.
        if ((pad == 1 && (group & 0xFF)) || (pad == 2 && (group & 0xFFFF)))
            return false;
        for (size_t k = 0; k < 3 - pad; ++k)
            Bytes += static_cast<char>(group >> (16 - 8 * k) & 0xFF);
    }
    return true;
}
