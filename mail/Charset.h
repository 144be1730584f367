// Bytes to display text: the conversions behind DecodeHeaderText. Every
// function appends valid UTF-8 to Out, with CR and LF dropped and every other
// control character but tab (C0, DEL, C1) replaced by U+FFFD.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace mail {

// Windows-1252 bytes 0x80 to 0x9F (the rest of the code page is Latin-1).
// The five bytes it leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to
// the C1 control characters of the same number.
extern const std::array<char16_t, 32> kWindows1252High;

// Text being built, kept by its owner from call to call so that its storage
// is reused. Bytes are written through a pointer into room made beforehand:
// one size check per piece of text rather than one per byte.
class TTextBuffer {
public:
    // Room for Bytes more bytes at the end: write them through the pointer
    // returned, then give Commit the end of what was written.
    char* Room(size_t Bytes)
    {
        if (FStorage.size() - FUsed < Bytes)
            Grow(Bytes);
        return FStorage.data() + FUsed;
    }
    void Commit(const char* End) { FUsed = static_cast<size_t>(End - FStorage.data()); }
    void Append(std::string_view Text)
    {
        if (Text.empty())
            return;
        std::memcpy(Room(Text.size()), Text.data(), Text.size());
        FUsed += Text.size();
    }
    // Empties it; the storage a rare huge text needed is given back.
    void Clear()
    {
        FUsed = 0;
        if (FStorage.size() > kKept)
            Release();
    }
    std::string_view View() const { return {FStorage.data(), FUsed}; }

private:
    static constexpr size_t kKept = 64 * 1024;
    void Grow(size_t Bytes);
    void Release();

    std::string FStorage; // wholly usable: its size is the buffer's capacity
    size_t FUsed = 0;
};

// How many bytes, from the first in memory, of the eight in Block lie from
// Low to 0x7E (printable ASCII, from Low on). Subtracting Low from each byte
// sets the top bit of one below Low, adding 1 that of 0x7F, and one of 0x80
// or more has it set already; a borrow or carry into the next byte only
// starts at a byte outside the range, so with the first byte in memory the
// least significant, the lowest top bit set marks the first byte outside.
inline size_t AsciiBytes(uint64_t Block, unsigned char Low)
{
    constexpr uint64_t kOnes = 0x0101010101010101, kTops = 0x8080808080808080;
    const uint64_t outside = ((Block - kOnes * Low) | (Block + kOnes) | Block) & kTops;
    if (outside == 0)
        return 8;
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<size_t>(std::countr_zero(outside)) / 8;
    } else {
        unsigned char bytes[8];
        std::memcpy(bytes, &Block, 8);
        size_t i = 0;
        while (bytes[i] >= Low && bytes[i] < 0x7F)
            ++i;
        return i;
    }
}

// The length of the run of bytes from Low to 0x7E that Bytes starts with,
// measured eight bytes at a time (most header text is such a run).
inline size_t AsciiRun(std::string_view Bytes, unsigned char Low = 0x20)
{
    size_t i = 0;
    for (; i + 8 <= Bytes.size(); i += 8) {
        uint64_t block;
        std::memcpy(&block, Bytes.data() + i, 8);
        if (const size_t run = AsciiBytes(block, Low); run < 8)
            return i + run;
    }
    for (; i < Bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(Bytes[i]);
        if (b < Low || b >= 0x7F)
            break;
    }
    return i;
}

// Raw header bytes: ASCII as it stands, each valid UTF-8 sequence as the
// character it encodes, and any other byte as its Windows-1252 character.
void AppendRawText(TTextBuffer& Out, std::string_view Bytes);

// The charset label of an encoded word, its RFC 2231 language ("*fi") cut
// off, upper-cased and mapped to the charset it is read as ("ISO-8859-1" ->
// "WINDOWS-1252"). Empty when the label is not a charset name at all.
std::string CharsetName(std::string_view Label);

// Whether Bytes in this charset (a CharsetName) can be converted.
bool CharsetKnown(const std::string& Charset);

// Bytes in a known charset (a CharsetName); a byte sequence the charset
// cannot convert becomes U+FFFD.
void AppendCharsetText(TTextBuffer& Out, const std::string& Charset, std::string_view Bytes);

} // namespace mail
