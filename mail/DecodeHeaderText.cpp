// RFC 2047 encoded words and raw bytes to display text; the choices for mail
// that breaks the RFC are listed with DecodeHeaderText in HeaderText.h.
#include "mail/Charset.h"
#include "mail/HeaderText.h"

#include <algorithm>
#include <array>

namespace {

bool IsWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The value of each byte as a hex digit, -1 for none.
constexpr std::array<int8_t, 256> kHexValues = [] {
    std::array<int8_t, 256> values{};
    values.fill(-1);
    for (int i = 0; i < 10; ++i)
        values['0' + i] = static_cast<int8_t>(i);
    for (int i = 0; i < 6; ++i)
        values['A' + i] = values['a' + i] = static_cast<int8_t>(10 + i);
    return values;
}();

int HexValue(char c)
{
    return kHexValues[static_cast<unsigned char>(c)];
}

// The value of each byte in base64 text: 0 to 63 for the alphabet, or one of
// these for the others.
constexpr int8_t kBase64Other = -1, kBase64White = -2, kBase64Pad = -3;
constexpr std::array<int8_t, 256> kBase64Values = [] {
    std::array<int8_t, 256> values{};
    values.fill(kBase64Other);
    for (int i = 0; i < 26; ++i) {
        values['A' + i] = static_cast<int8_t>(i);
        values['a' + i] = static_cast<int8_t>(26 + i);
    }
    for (int i = 0; i < 10; ++i)
        values['0' + i] = static_cast<int8_t>(52 + i);
    values['+'] = 62;
    values['/'] = 63;
    for (char c : {' ', '\t', '\r', '\n'})
        values[static_cast<unsigned char>(c)] = kBase64White;
    values['='] = kBase64Pad;
    return values;
}();

int Base64Value(char c)
{
    return kBase64Values[static_cast<unsigned char>(c)];
}

// RFC 2047 4.2: "_" is a blank, "=XX" a byte; an "=" without two hex digits
// after it stays as it is.
void AppendQ(mail::TTextBuffer& bytes, std::string_view text)
{
    char* p = bytes.Room(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        int high, low;
        if (c == '_') {
            *p++ = ' ';
        } else if (c == '=' && i + 2 < text.size() && (high = HexValue(text[i + 1])) >= 0
                   && (low = HexValue(text[i + 2])) >= 0) {
            *p++ = static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            *p++ = c;
        }
    }
    bytes.Commit(p);
}

// The number of characters from the start of text that form whole groups
// of four alphabet characters (the common case, read a group at a time).
size_t Base64Groups(std::string_view text)
{
    size_t i = 0;
    for (; i + 4 <= text.size(); i += 4) {
        const int any = Base64Value(text[i]) | Base64Value(text[i + 1]) | Base64Value(text[i + 2])
                        | Base64Value(text[i + 3]);
        if (any < 0) // one of them is no alphabet character
            break;
    }
    return i;
}

// RFC 2047 4.1 (RFC 4648 base64): white space inside is skipped (a fold may
// fall inside a word), the first "=" ends the data, missing padding is
// forgiven and the bits of an incomplete last group are dropped. Any other
// character makes it undecodable. The first `groups` characters are known to
// be whole groups (Base64Groups).
bool IsBase64Text(std::string_view text, size_t groups)
{
    for (char c : text.substr(groups)) {
        const int v = Base64Value(c);
        if (v < 0 && v != kBase64White)
            return v == kBase64Pad;
    }
    return true;
}

// The bytes of base64 text whose first `groups` characters are whole groups.
void AppendB(mail::TTextBuffer& bytes, std::string_view text, size_t groups)
{
    char* p = bytes.Room(text.size()); // four characters give three bytes
    for (size_t i = 0; i < groups; i += 4) {
        const uint32_t v = uint32_t(Base64Value(text[i])) << 18 | uint32_t(Base64Value(text[i + 1])) << 12
                           | uint32_t(Base64Value(text[i + 2])) << 6 | uint32_t(Base64Value(text[i + 3]));
        *p++ = static_cast<char>(v >> 16);
        *p++ = static_cast<char>((v >> 8) & 0xFF);
        *p++ = static_cast<char>(v & 0xFF);
    }
    // The rest one character at a time, from a group boundary.
    uint32_t bits = 0;
    int count = 0;
    for (char c : text.substr(groups)) {
        const int v = Base64Value(c);
        if (v < 0) {
            if (v == kBase64Pad)
                break;
            continue; // white space
        }
        bits = (bits << 6) | uint32_t(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            *p++ = static_cast<char>((bits >> count) & 0xFF);
        }
    }
    bytes.Commit(p);
}

struct TEncodedWord {
    std::string Charset;   // as CharsetName gives it
    std::string_view Text; // the encoded text
    bool Q = false;
    size_t Groups = 0;     // B: the characters of Text in whole groups of four
    size_t End = 0;        // position after the word in the text
};

// Reads the encoded word "=?charset?e?text?=" at pos (which holds "=?").
// False when there is none there, or its charset is unknown, or its text
// does not decode: the caller then keeps the bytes as they are.
bool ReadEncodedWord(std::string_view raw, size_t pos, TEncodedWord& word)
{
    const size_t charsetStart = pos + 2;
    const size_t charsetEnd = raw.find('?', charsetStart);
    if (charsetEnd == std::string_view::npos || charsetEnd + 2 >= raw.size() || raw[charsetEnd + 2] != '?')
        return false;
    const char encoding = raw[charsetEnd + 1];
    word.Q = encoding == 'Q' || encoding == 'q';
    if (!word.Q && encoding != 'B' && encoding != 'b')
        return false;
    word.Charset = mail::CharsetName(raw.substr(charsetStart, charsetEnd - charsetStart));
    if (!mail::CharsetKnown(word.Charset))
        return false;

    // The text ends at the first "?=". When the next word starts before one
    // comes ("=?" that is not base64 padding before "?="), or the text ends,
    // the closing "?=" is missing: the word then ends at the first white
    // space (or where the next word starts).
    const size_t textStart = charsetEnd + 3;
    const size_t close = raw.find("?=", textStart);
    size_t next = raw.find("=?", textStart);
    while (next != std::string_view::npos && next + 2 < raw.size() && raw[next + 2] == '=')
        next = raw.find("=?", next + 1);
    size_t textEnd;
    if (close < next) {
        textEnd = close;
        word.End = close + 2;
    } else {
        const size_t stop = std::min(next, raw.size());
        textEnd = textStart;
        while (textEnd < stop && !IsWhite(raw[textEnd]))
            ++textEnd;
        if (textEnd == textStart)
            return false;
        word.End = textEnd;
    }
    word.Text = raw.substr(textStart, textEnd - textStart);
    if (word.Q)
        return true;
    word.Groups = Base64Groups(word.Text);
    return IsBase64Text(word.Text, word.Groups);
}

bool AllWhite(std::string_view text)
{
    for (char c : text)
        if (!IsWhite(c))
            return false;
    return true;
}

// Whether text holds only printable ASCII and tabs.
bool IsPrintableOrTab(std::string_view text)
{
    size_t i = 0;
    while ((i += mail::AsciiRun(text.substr(i))) < text.size()) {
        if (text[i] != '\t')
            return false;
        ++i;
    }
    return true;
}

} // namespace

std::string DecodeHeaderText(std::string_view Raw)
{
    size_t pos = Raw.find("=?");
    // Most header values are their own display text: as they stand.
    if (pos == std::string_view::npos && IsPrintableOrTab(Raw))
        return std::string(Raw);
    // Built in buffers kept per thread, then copied out at its exact size.
    thread_local mail::TTextBuffer out, pendingBytes;
    out.Clear();
    if (pos == std::string_view::npos) { // raw bytes only
        mail::AppendRawText(out, Raw);
        return std::string(out.View());
    }
    pendingBytes.Clear();
    // Encoded words whose bytes wait to be converted together: adjacent
    // words of one charset (RFC 2047 6.2 drops the white space between
    // adjacent words).
    std::string pendingCharset;
    bool pending = false;
    auto flush = [&] {
        if (pending)
            mail::AppendCharsetText(out, pendingCharset, pendingBytes.View());
        pending = false;
        pendingBytes.Clear();
    };

    size_t plainStart = 0; // bytes from here on are not yet in out
    TEncodedWord word;
    for (; pos != std::string_view::npos; pos = Raw.find("=?", pos)) {
        if (!ReadEncodedWord(Raw, pos, word)) {
            pos += 1;
            continue;
        }
        const std::string_view between = Raw.substr(plainStart, pos - plainStart);
        if (!pending || !AllWhite(between)) {
            flush();
            mail::AppendRawText(out, between);
        }
        if (pending && word.Charset != pendingCharset)
            flush();
        pendingCharset = word.Charset;
        if (word.Q)
            AppendQ(pendingBytes, word.Text);
        else
            AppendB(pendingBytes, word.Text, word.Groups);
        pending = true;
        pos = plainStart = word.End;
    }
    flush();
    mail::AppendRawText(out, Raw.substr(plainStart));
    return std::string(out.View());
}
