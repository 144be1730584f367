#include "mail/Charset.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace mail {

const std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void TTextBuffer::Grow(size_t Bytes)
{
    constexpr size_t kLeast = 256;
    FStorage.resize(std::max({FUsed + Bytes, 2 * FStorage.size(), kLeast}));
}

void TTextBuffer::Release()
{
    FStorage = std::string();
}

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD

// A byte of input gives at most three bytes of output (U+FFFD, the euro sign).
constexpr size_t kMaxGrowth = 3;

bool IsPrintableAscii(char c)
{
    return c >= 0x20 && c < 0x7F;
}

char* PutReplacement(char* p)
{
    std::memcpy(p, kReplacement.data(), kReplacement.size());
    return p + kReplacement.size();
}

// A character below U+0080 that is not printable: tab as it is, CR and LF
// dropped, every other control character U+FFFD.
char* PutAsciiControl(char* p, char c)
{
    if (c == '\t')
        *p++ = c;
    else if (c != '\r' && c != '\n')
        p = PutReplacement(p);
    return p;
}

// A code point from U+0080 to U+FFFF as UTF-8 (C1 controls as U+FFFD).
char* PutHighCodePoint(char* p, char32_t c)
{
    if (c <= 0x9F)
        return PutReplacement(p);
    if (c < 0x800) {
        *p++ = static_cast<char>(0xC0 | (c >> 6));
    } else {
        *p++ = static_cast<char>(0xE0 | (c >> 12));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    *p++ = static_cast<char>(0x80 | (c & 0x3F));
    return p;
}

// A Windows-1252 byte as display text.
char* PutWindows1252(char* p, unsigned char b)
{
    if (b < 0x80)
        return IsPrintableAscii(static_cast<char>(b)) ? (*p = static_cast<char>(b), p + 1)
                                                      : PutAsciiControl(p, static_cast<char>(b));
    return PutHighCodePoint(p, b < 0xA0 ? char32_t(kWindows1252High[b - 0x80]) : char32_t(b));
}

// The length of the well-formed UTF-8 sequence of at least two bytes at s
// (Unicode table 3-7: no overlong forms, no surrogates, nothing above
// U+10FFFF), 0 when there is none; c receives its code point.
size_t Utf8Sequence(const char* s, size_t size, char32_t& c)
{
    const auto b0 = static_cast<unsigned char>(s[0]);
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        c = b0 & 0x0F;
        if (b0 == 0xE0)
            low = 0xA0;
        else if (b0 == 0xED)
            high = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        c = b0 & 0x07;
        if (b0 == 0xF0)
            low = 0x90;
        else if (b0 == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (size < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF))
            return 0;
        c = (c << 6) | (b & 0x3F);
    }
    return length;
}

// Copies the printable ASCII that bytes[i, size) starts with to p, eight
// bytes at a time while eight remain (p has room for them: the output has
// room for three bytes per byte of input), and moves both past it.
void CopyAsciiRun(const char* bytes, size_t size, size_t& i, char*& p)
{
    while (size - i >= 8) {
        uint64_t block;
        std::memcpy(&block, bytes + i, 8);
        std::memcpy(p, &block, 8); // all eight; only the printable ones count
        const size_t run = AsciiBytes(block, 0x20);
        p += run;
        i += run;
        if (run < 8)
            return;
    }
    while (i < size && IsPrintableAscii(bytes[i]))
        *p++ = bytes[i++];
}

void AppendWindows1252(TTextBuffer& out, std::string_view bytes)
{
    char* p = out.Room(bytes.size() * kMaxGrowth);
    for (size_t i = 0; i < bytes.size(); ++i) {
        CopyAsciiRun(bytes.data(), bytes.size(), i, p);
        if (i < bytes.size())
            p = PutWindows1252(p, static_cast<unsigned char>(bytes[i]));
    }
    out.Commit(p);
}

// iconv descriptors by charset name, opened once per thread and kept (opening
// one costs far more than a conversion); a name that iconv does not know is
// kept as well, so it is not looked up again. Bounded: a stream of invented
// names empties the cache instead of growing it.
class TConverters {
public:
    ~TConverters() { Clear(); }

    iconv_t Find(const std::string& charset)
    {
        for (auto& [name, cd] : FEntries)
            if (name.size() == charset.size() && name == charset)
                return cd;
        if (FEntries.size() >= kMaxEntries)
            Clear();
        iconv_t cd = ::iconv_open("UTF-8", charset.c_str());
        FEntries.emplace_back(charset, cd);
        return cd;
    }

private:
    static constexpr size_t kMaxEntries = 32;
    void Clear()
    {
        for (auto& entry : FEntries)
            if (entry.second != Unknown())
                ::iconv_close(entry.second);
        FEntries.clear();
    }
    static iconv_t Unknown() { return reinterpret_cast<iconv_t>(-1); }

    std::vector<std::pair<std::string, iconv_t>> FEntries;
};

thread_local TConverters gConverters;

constexpr std::string_view kOwnUtf8 = "UTF-8";
constexpr std::string_view kOwnCp1252 = "WINDOWS-1252";
constexpr std::string_view kOwnRaw = "UNKNOWN-8BIT"; // RFC 1428: read as raw bytes

// Labels read as another charset, as browsers and mail programs read them
// (the WHATWG Encoding Standard): the label names a subset of what senders
// really put in such mail.
struct TAlias {
    std::string_view Label;
    std::string_view Charset;
};
constexpr TAlias kAliases[] = {
    {"UTF8", kOwnUtf8},
    {"US-ASCII", kOwnCp1252},      {"ASCII", kOwnCp1252},        {"ANSI_X3.4-1968", kOwnCp1252},
    {"ISO-8859-1", kOwnCp1252},    {"ISO8859-1", kOwnCp1252},    {"ISO_8859-1", kOwnCp1252},
    {"LATIN1", kOwnCp1252},        {"L1", kOwnCp1252},           {"CP819", kOwnCp1252},
    {"IBM819", kOwnCp1252},        {"ISO-IR-100", kOwnCp1252},   {"CP1252", kOwnCp1252},
    {"X-CP1252", kOwnCp1252},
    {"X-UNKNOWN", kOwnRaw},        {"UNKNOWN", kOwnRaw},
    {"GB2312", "GB18030"},         {"GBK", "GB18030"},           {"X-GBK", "GB18030"},
    {"CP936", "GB18030"},          {"EUC-CN", "GB18030"},
    {"KS_C_5601-1987", "CP949"},   {"KS_C_5601-1989", "CP949"},  {"KSC5601", "CP949"},
    {"EUC-KR", "CP949"},
    {"SHIFT_JIS", "CP932"},        {"SHIFT-JIS", "CP932"},       {"SJIS", "CP932"},
    {"X-SJIS", "CP932"},           {"MS_KANJI", "CP932"},        {"WINDOWS-31J", "CP932"},
    {"BIG5", "BIG5-HKSCS"},        {"X-X-BIG5", "BIG5-HKSCS"},
    {"ISO-8859-9", "CP1254"},      {"LATIN5", "CP1254"},
    {"ISO-8859-11", "CP874"},      {"TIS-620", "CP874"},         {"WINDOWS-874", "CP874"},
    {"ISO-8859-8-I", "ISO-8859-8"},
    {"X-MAC-ROMAN", "MACINTOSH"},  {"MAC", "MACINTOSH"},
};

// iconv's conversion: a sequence it cannot convert becomes U+FFFD and the
// conversion goes on after its first byte; its output is checked again.
void AppendIconv(TTextBuffer& out, iconv_t cd, std::string_view bytes)
{
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr); // initial shift state
    std::string converted(bytes.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* outPtr = converted.data();
    size_t outLeft = converted.size();
    auto flush = [&] {
        const size_t used = converted.size() - outLeft;
        AppendRawText(out, std::string_view(converted.data(), used));
        outPtr = converted.data();
        outLeft = converted.size();
    };
    while (inLeft > 0) {
        if (::iconv(cd, &in, &inLeft, &outPtr, &outLeft) != size_t(-1))
            break;
        const int error = errno;
        flush();
        if (error == E2BIG)
            continue;
        out.Append(kReplacement);
        if (error != EILSEQ) // EINVAL: an incomplete sequence at the end
            break;
        ++in;
        --inLeft;
        ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    ::iconv(cd, nullptr, nullptr, &outPtr, &outLeft); // the shift back, if any
    flush();
}

// The characters of charset labels (RFC 2978 mime-charset, less the rare
// ones, plus parentheses), upper-cased; 0 for any other character.
constexpr std::array<char, 256> kLabelChars = [] {
    std::array<char, 256> chars{};
    for (char c = 'A'; c <= 'Z'; ++c)
        chars[static_cast<unsigned char>(c)] = chars[static_cast<unsigned char>(c - 'A' + 'a')] = c;
    for (char c = '0'; c <= '9'; ++c)
        chars[static_cast<unsigned char>(c)] = c;
    for (char c : std::string_view("-_.:+()"))
        chars[static_cast<unsigned char>(c)] = c;
    return chars;
}();

} // namespace

void AppendRawText(TTextBuffer& Out, std::string_view Bytes)
{
    if (Bytes.empty())
        return;
    const char* const bytes = Bytes.data();
    const size_t size = Bytes.size();
    // Leading printable ASCII (often all of it) goes across in one piece.
    size_t i = AsciiRun(Bytes);
    char* p = Out.Room(i + (size - i) * kMaxGrowth);
    std::memcpy(p, bytes, i);
    p += i;
    while (i < size) {
        if (size - i >= 8) {
            // Eight bytes copied at once (there is room for three times as
            // many), of which the printable ASCII ones from the first count.
            uint64_t block;
            std::memcpy(&block, bytes + i, 8);
            std::memcpy(p, &block, 8);
            const size_t run = AsciiBytes(block, 0x20);
            p += run;
            i += run;
            if (run > 0)
                continue;
        }
        const auto b = static_cast<unsigned char>(bytes[i]);
        char32_t c = 0;
        size_t length = 0;
        if (IsPrintableAscii(static_cast<char>(b))) {
            *p++ = static_cast<char>(b);
            ++i;
        } else if (b < 0x80 || (length = Utf8Sequence(bytes + i, size - i, c)) == 0) {
            p = PutWindows1252(p, b);
            ++i;
        } else if (c <= 0x9F) {
            p = PutReplacement(p); // a C1 control written in UTF-8
            i += length;
        } else {
            for (const size_t end = i + length; i < end; ++i) // well-formed: the UTF-8 of c as it stands
                *p++ = bytes[i];
        }
    }
    Out.Commit(p);
}

std::string CharsetName(std::string_view Label)
{
    Label = Label.substr(0, Label.find('*'));
    // Longer than any charset name, or not one: iconv never sees it (a name
    // like "UTF-8//IGNORE" or a path must not steer the conversion).
    constexpr size_t kMaxLabel = 40;
    if (Label.empty() || Label.size() > kMaxLabel)
        return {};
    char upper[kMaxLabel];
    const char* const label = Label.data();
    const size_t size = Label.size();
    for (size_t i = 0; i < size; ++i)
        if ((upper[i] = kLabelChars[static_cast<unsigned char>(label[i])]) == 0)
            return {};
    const std::string_view name(upper, size);
    if (name == kOwnUtf8 || name == kOwnCp1252) // the most common labels
        return std::string(name);
    for (const TAlias& alias : kAliases)
        if (alias.Label[0] == name[0] && name == alias.Label)
            return std::string(alias.Charset);
    return std::string(name);
}

bool CharsetKnown(const std::string& Charset)
{
    if (Charset.empty())
        return false;
    if (Charset == kOwnUtf8 || Charset == kOwnCp1252 || Charset == kOwnRaw)
        return true;
    return gConverters.Find(Charset) != reinterpret_cast<iconv_t>(-1);
}

void AppendCharsetText(TTextBuffer& Out, const std::string& Charset, std::string_view Bytes)
{
    // UTF-8 that is not valid UTF-8 is mostly Windows-1252 mislabelled, which
    // the raw reading shows as the sender saw it.
    if (Charset == kOwnUtf8 || Charset == kOwnRaw) {
        AppendRawText(Out, Bytes);
        return;
    }
    if (Charset == kOwnCp1252) {
        AppendWindows1252(Out, Bytes);
        return;
    }
    iconv_t cd = gConverters.Find(Charset);
    if (cd == reinterpret_cast<iconv_t>(-1))
        AppendRawText(Out, Bytes);
    else
        AppendIconv(Out, cd, Bytes);
}

} // namespace mail
