// RFC 2047 encoded words and raw bytes to display text; the choices for mail
// that breaks the RFC are listed with DecodeHeaderText in HeaderText.h.
#include "mail/Charset.h"
#include "mail/HeaderText.h"

namespace {

bool IsWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// RFC 2047 4.2: "_" is a blank, "=XX" a byte; an "=" without two hex digits
// after it stays as it is.
void AppendQ(std::string& bytes, std::string_view text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            bytes += ' ';
        } else if (c == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            bytes += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            bytes += c;
        }
    }
}

// RFC 2047 4.1 (RFC 4648 base64): white space inside is skipped (a fold may
// fall inside a word), the first "=" ends the data, missing padding is
// forgiven and the bits of an incomplete last group are dropped. Any other
// character makes it undecodable.
bool IsBase64Text(std::string_view text)
{
    for (char c : text) {
        if (c == '=')
            return true;
        if (!IsWhite(c) && Base64Value(c) < 0)
            return false;
    }
    return true;
}

void AppendB(std::string& bytes, std::string_view text)
{
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=')
            break;
        const int v = Base64Value(c);
        if (v < 0)
            continue; // white space
        bits = (bits << 6) | uint32_t(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xFF);
        }
    }
}

struct TEncodedWord {
    std::string Charset;   // as CharsetName gives it
    std::string_view Text; // the encoded text
    bool Q = false;
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
    size_t textEnd = std::string_view::npos;
    size_t white = std::string_view::npos;
    size_t j = textStart;
    for (; j < raw.size(); ++j) {
        const char c = raw[j];
        if (c == '?' && j + 1 < raw.size() && raw[j + 1] == '=') {
            textEnd = j;
            word.End = j + 2;
            break;
        }
        if (c == '=' && j + 1 < raw.size() && raw[j + 1] == '?' && !(j + 2 < raw.size() && raw[j + 2] == '='))
            break;
        if (white == std::string_view::npos && IsWhite(c))
            white = j;
    }
    if (textEnd == std::string_view::npos) {
        textEnd = std::min(j, white);
        if (textEnd == textStart)
            return false;
        word.End = textEnd;
    }
    word.Text = raw.substr(textStart, textEnd - textStart);
    return word.Q || IsBase64Text(word.Text);
}

bool AllWhite(std::string_view text)
{
    for (char c : text)
        if (!IsWhite(c))
            return false;
    return true;
}

} // namespace

std::string DecodeHeaderText(std::string_view Raw)
{
    std::string out;
    out.reserve(Raw.size());
    // Encoded words whose bytes wait to be converted together: adjacent
    // words of one charset (RFC 2047 6.2 drops the white space between
    // adjacent words).
    std::string pendingCharset;
    thread_local std::string pendingBytes; // kept to save an allocation per call
    pendingBytes.clear();
    bool pending = false;
    auto flush = [&] {
        if (pending)
            mail::AppendCharsetText(out, pendingCharset, pendingBytes);
        pending = false;
        pendingBytes.clear();
    };

    size_t plainStart = 0; // bytes from here on are not yet in out
    TEncodedWord word;
    for (size_t pos = Raw.find("=?"); pos != std::string_view::npos; pos = Raw.find("=?", pos)) {
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
            AppendB(pendingBytes, word.Text);
        pending = true;
        pos = plainStart = word.End;
    }
    flush();
    mail::AppendRawText(out, Raw.substr(plainStart));
    return out;
}
