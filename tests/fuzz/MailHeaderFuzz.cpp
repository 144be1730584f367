// libFuzzer target for the header decoding of mail/: arbitrary bytes as a
// header value and as a header block. Every text that comes out must be
// valid UTF-8 without control characters other than tab, text without
// encoded words must read as a plain character-by-character reading does,
// a date must lie within the years 1000 to 9999, and the fields of a block
// found together must be those found one by one; anything else aborts, as
// does any sanitizer report.
#include "mail/Charset.h"
#include "mail/HeaderFields.h"
#include "mail/HeaderText.h"

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The well-formed UTF-8 sequence at the start of s (Unicode table 3-7): its
// length, 0 when there is none; c receives its code point. Written apart
// from the decoder's own.
size_t WellFormed(std::string_view s, uint32_t& c)
{
    const auto b = static_cast<unsigned char>(s[0]);
    size_t n;
    if (b < 0x80) {
        c = b;
        n = 1;
    } else if ((b & 0xE0) == 0xC0) {
        c = b & 0x1F;
        n = 2;
    } else if ((b & 0xF0) == 0xE0) {
        c = b & 0x0F;
        n = 3;
    } else if ((b & 0xF8) == 0xF0) {
        c = b & 0x07;
        n = 4;
    } else {
        return 0;
    }
    if (n > s.size())
        return 0;
    for (size_t k = 1; k < n; ++k) {
        const auto t = static_cast<unsigned char>(s[k]);
        if ((t & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (t & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    return c < least[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) ? 0 : n;
}

bool IsControl(uint32_t c)
{
    return (c < 0x20 && c != '\t') || (c >= 0x7F && c <= 0x9F);
}

bool IsDisplayText(std::string_view s)
{
    uint32_t c;
    for (size_t i = 0, n; i < s.size(); i += n)
        if ((n = WellFormed(s.substr(i), c)) == 0 || IsControl(c))
            return false;
    return true;
}

void AppendUtf8(std::string& out, uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Raw header bytes as DecodeHeaderText reads them, one character at a time:
// UTF-8 where well-formed, any other byte as Windows-1252; CR and LF
// dropped, other control characters U+FFFD.
std::string RawText(std::string_view s)
{
    std::string out;
    uint32_t c;
    for (size_t i = 0, n; i < s.size(); i += n) {
        if ((n = WellFormed(s.substr(i), c)) == 0) {
            n = 1;
            c = static_cast<unsigned char>(s[i]);
            if (c >= 0x80 && c < 0xA0)
                c = mail::kWindows1252High[c - 0x80];
        }
        if (c == '\r' || c == '\n')
            continue;
        if (IsControl(c))
            out += "\xEF\xBF\xBD";
        else if (n > 1)
            out.append(s.substr(i, n));
        else
            AppendUtf8(out, c);
    }
    return out;
}

void Check(const std::string& text)
{
    if (!IsDisplayText(text))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string text = DecodeHeaderText(input);
    Check(text);
    if (input.find("=?") == std::string_view::npos && text != RawText(input))
        std::abort();
    const TMailbox box = ParseMailbox(input);
    Check(box.Name);
    Check(box.Address);
    if (const auto time = ParseMailDate(input)) {
        constexpr int64_t kYear1000 = -30610224000 - 86400, kYear10000 = 253402300800 + 86400;
        if (*time < kYear1000 || *time > kYear10000)
            std::abort();
    }

    // The same bytes as a header block, one line per LF.
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = input.find('\n', start)) != std::string_view::npos; start = end + 1)
        lines.emplace_back(input.substr(start, end - start));
    lines.emplace_back(input.substr(start));
    static constexpr std::string_view kNames[] = {"Subject", "From", "Date", "subject"};
    std::optional<std::string> values[std::size(kNames)];
    HeaderFields(lines, kNames, values);
    for (size_t k = 0; k < std::size(kNames); ++k) {
        const auto value = HeaderField(lines, kNames[k]);
        if (values[k] != value)
            std::abort();
        if (value) {
            Check(DecodeHeaderText(*value));
            Check(ParseMailbox(*value).Name);
            ParseMailDate(*value);
        }
    }
    return 0;
}
