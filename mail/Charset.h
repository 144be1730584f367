// Bytes to display text: the conversions behind DecodeHeaderText. Every
// function appends valid UTF-8 to Out, with CR and LF dropped and every other
// control character but tab (C0, DEL, C1) replaced by U+FFFD.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace mail {

// Windows-1252 bytes 0x80 to 0x9F (the rest of the code page is Latin-1).
// The five bytes it leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to
// the C1 control characters of the same number.
extern const std::array<char16_t, 32> kWindows1252High;

// Raw header bytes: ASCII as it stands, each valid UTF-8 sequence as the
// character it encodes, and any other byte as its Windows-1252 character.
void AppendRawText(std::string& Out, std::string_view Bytes);

// The charset label of an encoded word, its RFC 2231 language ("*fi") cut
// off, upper-cased and mapped to the charset it is read as ("ISO-8859-1" ->
// "WINDOWS-1252"). Empty when the label is not a charset name at all.
std::string CharsetName(std::string_view Label);

// Whether Bytes in this charset (a CharsetName) can be converted.
bool CharsetKnown(const std::string& Charset);

// Bytes in a known charset (a CharsetName); a byte sequence the charset
// cannot convert becomes U+FFFD.
void AppendCharsetText(std::string& Out, const std::string& Charset, std::string_view Bytes);

} // namespace mail
