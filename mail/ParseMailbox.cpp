// The first mailbox of an address list (RFC 5322 3.4), read leniently: what
// senders get wrong (no closing quote, bracket or parenthesis, encoded words
// inside quotes, an address after a bare name) still gives a name and an
// address.
#include "mail/Charset.h"
#include "mail/HeaderText.h"

#include <array>
#include <vector>

namespace {

bool IsWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

enum TTokenKind { tkWord, tkQuoted, tkComment, tkAngle, tkSpecial };

struct TToken {
    TTokenKind Kind;
    std::string_view Text; // as written; for quoted strings and comments without their delimiters
    bool SpaceBefore;      // white space (or a comment) separated it from the token before
};

// A quoted string or comment from pos (after its opening character), up to
// its closing character (nested for comments) or the end; quoted-pairs are
// skipped over here and unescaped by AppendText.
std::string_view ReadDelimited(std::string_view raw, size_t& pos, char open, char close)
{
    const size_t start = pos;
    int depth = 1;
    while (pos < raw.size()) {
        const char c = raw[pos++];
        if (c == '\\' && pos < raw.size())
            ++pos;
        else if (c == close && --depth == 0)
            return raw.substr(start, pos - 1 - start);
        else if (open != close && c == open)
            ++depth;
    }
    return raw.substr(start);
}

// A token's text: quoted-pairs of quoted strings and comments unescaped.
void AppendText(std::string& out, const TToken& token)
{
    if (token.Kind != tkQuoted && token.Kind != tkComment) {
        out += token.Text;
        return;
    }
    std::string_view text = token.Text;
    for (size_t escape; (escape = text.find('\\')) != std::string_view::npos && escape + 1 < text.size();) {
        out.append(text.data(), escape);
        out += text[escape + 1];
        text.remove_prefix(escape + 2);
    }
    out += text;
}

// The bytes of word tokens: all but white space and the bytes that start
// other tokens.
constexpr std::array<bool, 256> kWordChars = [] {
    std::array<bool, 256> chars{};
    chars.fill(true);
    for (char c : std::string_view(" \t\r\n\"(<,;:"))
        chars[static_cast<unsigned char>(c)] = false;
    return chars;
}();

bool IsWordChar(char c)
{
    return kWordChars[static_cast<unsigned char>(c)];
}

// The tokens of raw, into tokens (kept by the caller between calls, so that
// reading a mailbox allocates nothing for them).
void Tokenize(std::string_view raw, std::vector<TToken>& tokens)
{
    tokens.clear();
    bool space = false;
    size_t pos = 0;
    while (pos < raw.size()) {
        const char c = raw[pos];
        if (IsWhite(c)) {
            space = true;
            ++pos;
        } else if (c == '"') {
            ++pos;
            tokens.push_back({tkQuoted, ReadDelimited(raw, pos, '"', '"'), space});
            space = false;
        } else if (c == '(') {
            ++pos;
            tokens.push_back({tkComment, ReadDelimited(raw, pos, '(', ')'), space});
            space = true;
        } else if (c == '<') {
            // Up to ">"; without one, up to white space, a comma or the end.
            size_t end = raw.find('>', pos);
            size_t next = end + 1;
            if (end == std::string_view::npos) {
                end = pos + 1;
                while (end < raw.size() && !IsWhite(raw[end]) && raw[end] != ',')
                    ++end;
                next = end;
            }
            tokens.push_back({tkAngle, raw.substr(pos + 1, end - pos - 1), space});
            pos = next;
            space = false;
        } else if (c == ',' || c == ';' || c == ':') {
            tokens.push_back({tkSpecial, raw.substr(pos, 1), space});
            ++pos;
            space = false;
        } else {
            const size_t start = pos;
            while (pos < raw.size() && IsWordChar(raw[pos]))
                ++pos;
            tokens.push_back({tkWord, raw.substr(start, pos - start), space});
            space = false;
        }
    }
}

// Words joined as written: one blank where white space separated them.
void Phrase(const std::vector<const TToken*>& words, std::string& text)
{
    text.clear();
    for (const TToken* word : words) {
        if (!text.empty() && word->SpaceBefore)
            text += ' ';
        AppendText(text, *word);
    }
}

std::string_view Trimmed(std::string_view text)
{
    size_t first = 0, last = text.size();
    while (first < last && IsWhite(text[first]))
        ++first;
    while (last > first && IsWhite(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

// Printable ASCII without blanks.
bool IsPlainAscii(std::string_view text)
{
    return mail::AsciiRun(text, '!') == text.size();
}

// An addr-spec as display text: folding white space removed, raw bytes read
// as DecodeHeaderText reads them, encoded words not decoded (they have no
// place in an address).
std::string AddressText(std::string_view spec)
{
    // Obsolete source route "<@a,@b:user@host>" (RFC 5322 4.4).
    if (!spec.empty() && spec[0] == '@' && spec.find(':') != std::string_view::npos)
        spec.remove_prefix(spec.find(':') + 1);
    if (IsPlainAscii(spec))
        return std::string(spec); // the common case, as it stands
    std::string compact;
    bool quoted = false;
    for (char c : spec) {
        if (c == '"')
            quoted = !quoted;
        if (quoted || !IsWhite(c))
            compact += c;
    }
    mail::TTextBuffer text;
    mail::AppendRawText(text, compact);
    return std::string(text.View());
}

// The display name from its words: decoded, no white space at either end.
void SetName(TMailbox& box, std::string_view name)
{
    box.Name = DecodeHeaderText(name);
    const std::string_view trimmed = Trimmed(box.Name);
    if (trimmed.size() != box.Name.size())
        box.Name = std::string(trimmed);
}

// The form nearly every From has: a display name that is one quoted string
// without quoted-pairs, or words with single blanks between them, or none;
// then the address in angle brackets and nothing but white space. Gives the
// name and the address as the tokens would; false for any other form (which
// the tokens then read).
bool ReadCommonForm(std::string_view raw, std::string_view& name, std::string_view& address)
{
    size_t pos = 0;
    if (!raw.empty() && raw[0] == '"') {
        const size_t close = raw.find('"', 1);
        if (close == std::string_view::npos)
            return false;
        name = raw.substr(1, close - 1);
        if (name.find('\\') != std::string_view::npos)
            return false;
        pos = close + 1;
    } else {
        while (pos < raw.size() && IsWordChar(raw[pos])) {
            while (pos < raw.size() && IsWordChar(raw[pos]))
                ++pos;
            if (pos + 1 < raw.size() && raw[pos] == ' ' && IsWordChar(raw[pos + 1]))
                ++pos;
        }
        name = raw.substr(0, pos);
    }
    while (pos < raw.size() && IsWhite(raw[pos]))
        ++pos;
    if (pos == raw.size() || raw[pos] != '<')
        return false;
    const size_t close = raw.find('>', pos + 1);
    if (close == std::string_view::npos)
        return false;
    address = raw.substr(pos + 1, close - pos - 1);
    for (size_t i = close + 1; i < raw.size(); ++i)
        if (!IsWhite(raw[i]))
            return false;
    return true;
}

} // namespace

TMailbox ParseMailbox(std::string_view Raw)
{
    std::string_view commonName, commonAddress;
    if (ReadCommonForm(Raw, commonName, commonAddress)) {
        TMailbox box;
        box.Address = AddressText(commonAddress);
        SetName(box, commonName);
        return box;
    }

    // Kept between calls: a mailbox is read without allocating for them.
    thread_local std::vector<TToken> tokens;
    thread_local std::vector<const TToken*> words; // phrase words before the angle address
    thread_local std::vector<const TToken*> after; // words after it (a broken order)
    thread_local std::string name;
    Tokenize(Raw, tokens);
    words.clear();
    after.clear();
    name.clear();
    const TToken* angle = nullptr;
    const TToken* comment = nullptr; // the first comment with text
    std::string group;
    bool inGroup = false;

    for (const TToken& token : tokens) {
        const bool empty = words.empty() && !angle;
        if (token.Kind == tkSpecial) {
            if (token.Text == ":" && !inGroup && !angle) {
                // A group: its name, then its members.
                Phrase(words, group);
                inGroup = true;
                words.clear();
                comment = nullptr;
                continue;
            }
            if (token.Text == ":")
                continue;
            if (!empty)
                break; // the end of the first mailbox
            if (token.Text == ";")
                inGroup = false;
            continue;
        }
        if (token.Kind == tkComment) {
            if (!comment && !Trimmed(token.Text).empty())
                comment = &token;
        } else if (token.Kind == tkAngle) {
            if (!angle)
                angle = &token;
        } else {
            (angle ? after : words).push_back(&token);
        }
    }

    TMailbox box;
    if (angle) {
        box.Address = AddressText(angle->Text);
        Phrase(words.empty() ? after : words, name);
    } else if (!words.empty()) {
        // The address is the last word holding "@" (a bare address, or a
        // name followed by one); without any, the words are a name.
        size_t at = words.size();
        for (size_t i = words.size(); i-- > 0;)
            if (words[i]->Kind == tkWord && words[i]->Text.find('@') != std::string::npos) {
                at = i;
                break;
            }
        if (at < words.size()) {
            // "user"@host and user.name@host: the addr-spec is every
            // token of it that touches the "@" word without white space.
            size_t first = at;
            while (first > 0 && !words[first]->SpaceBefore)
                --first;
            std::string spec;
            for (size_t i = first; i <= at; ++i) {
                const bool quoted = words[i]->Kind == tkQuoted;
                spec += quoted ? "\"" : "";
                spec += words[i]->Text;
                spec += quoted ? "\"" : "";
            }
            box.Address = AddressText(spec);
            words.resize(first);
        }
        Phrase(words, name);
    } else if (inGroup || !group.empty()) {
        name = group;
    }
    if (Trimmed(name).empty() && comment) {
        name.clear();
        AppendText(name, *comment);
    }
    SetName(box, name);
    return box;
}
