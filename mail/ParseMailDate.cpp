// RFC 5322 3.3 date-time with the obsolete forms of 4.3, read as a list of
// tokens rather than a fixed grammar, so that the orders and spellings mail
// programs have written (asctime's, full month names, "+02:00") are read too.
#include "mail/HeaderText.h"

#include <array>
#include <string_view>
#include <utility>

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsAlpha(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

constexpr std::array<std::string_view, 12> kMonths = {"january", "february", "march",     "april",
                                                      "may",     "june",     "july",      "august",
                                                      "september", "october", "november", "december"};

// 1 to 12 for "Dec", "dec", "December", "Sept"; 0 for anything else.
// The word is in lower case.
int MonthOf(std::string_view word)
{
    if (word.size() < 3)
        return 0;
    for (size_t m = 0; m < kMonths.size(); ++m)
        if (kMonths[m][0] == word[0] && kMonths[m][1] == word[1] && kMonths[m][2] == word[2]
            && word.size() <= kMonths[m].size() && kMonths[m].substr(0, word.size()) == word)
            return static_cast<int>(m) + 1;
    return 0;
}

// RFC 5322 4.3: the zones of North America by name, UT and GMT; military
// letters and names not known count as +0000 ("-0000": no zone given).
bool NamedZone(std::string_view word, int& minutes)
{
    struct TZone {
        std::string_view Name;
        int Minutes;
    };
    static constexpr TZone kZones[] = {{"ut", 0},        {"utc", 0},       {"gmt", 0},       {"z", 0},
                                       {"est", -5 * 60}, {"edt", -4 * 60}, {"cst", -6 * 60}, {"cdt", -5 * 60},
                                       {"mst", -7 * 60}, {"mdt", -6 * 60}, {"pst", -8 * 60}, {"pdt", -7 * 60}};
    if (word.size() > 3)
        return false;
    for (const TZone& zone : kZones)
        if (word == zone.Name) {
            minutes = zone.Minutes;
            return true;
        }
    return false;
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int DaysInMonth(int year, int month)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

struct TDateParts {
    int Month = 0;
    int Numbers[2] = {0, 0}; // day and year, in the order written
    int NumberDigits[2] = {0, 0};
    int NumberCount = 0;
    bool HasTime = false;
    int Hour = 0, Minute = 0, Second = 0;
    int Meridiem = 0; // 1 AM, 2 PM
    bool HasZone = false;
    int ZoneMinutes = 0;
    bool HasNamedZone = false;
    int NamedZoneMinutes = 0;
};

// Reads up to `max` digits at pos into value; the count, 0 when no digit.
// More digits than max make the token unusable (count max + 1).
int ReadDigits(std::string_view s, size_t& pos, int max, int& value)
{
    value = 0;
    int count = 0;
    while (pos < s.size() && IsDigit(s[pos])) {
        if (count < max)
            value = value * 10 + (s[pos] - '0');
        ++count;
        ++pos;
    }
    return count > max ? max + 1 : count;
}

// Exactly n digits at pos.
bool ReadFixed(std::string_view s, size_t& pos, int n, int& value)
{
    value = 0;
    for (int i = 0; i < n; ++i, ++pos) {
        if (pos >= s.size() || !IsDigit(s[pos]))
            return false;
        value = value * 10 + (s[pos] - '0');
    }
    return true;
}

// "hh:mm" or "hh:mm:ss" at pos (hours of one or two digits).
bool ReadTime(std::string_view s, size_t& pos, TDateParts& parts)
{
    size_t p = pos;
    int h, m, sec = 0;
    const int hd = ReadDigits(s, p, 2, h);
    if (hd == 0 || hd > 2 || p >= s.size() || s[p] != ':')
        return false;
    ++p;
    if (ReadDigits(s, p, 2, m) != 2)
        return false;
    if (p < s.size() && s[p] == ':') {
        ++p;
        if (ReadDigits(s, p, 2, sec) != 2)
            return false;
    }
    pos = p;
    if (!parts.HasTime) {
        parts.HasTime = true;
        parts.Hour = h;
        parts.Minute = m;
        parts.Second = sec;
    }
    return true;
}

// "+hhmm", "-hhmm" or "+hh:mm" at pos (which holds the sign). A zone
// beyond +-23:59 is taken as no zone.
bool ReadZone(std::string_view s, size_t& pos, TDateParts& parts)
{
    const bool negative = s[pos] == '-';
    size_t p = pos + 1;
    int hh, mm;
    if (!ReadFixed(s, p, 2, hh))
        return false;
    if (p < s.size() && s[p] == ':')
        ++p;
    if (!ReadFixed(s, p, 2, mm) || (p < s.size() && IsDigit(s[p])))
        return false;
    pos = p;
    if (!parts.HasZone && hh <= 23 && mm <= 59) {
        parts.HasZone = true;
        parts.ZoneMinutes = (negative ? -1 : 1) * (hh * 60 + mm);
    }
    return true;
}

void ReadWord(std::string_view word, TDateParts& parts)
{
    int minutes = 0;
    if (const int month = MonthOf(word); month != 0) {
        if (parts.Month == 0)
            parts.Month = month;
    } else if (word == "am" || word == "pm") {
        parts.Meridiem = word == "am" ? 1 : 2;
    } else if (!parts.HasNamedZone && NamedZone(word, minutes)) {
        parts.HasNamedZone = true;
        parts.NamedZoneMinutes = minutes;
    }
    // Weekdays, unknown zone names and other words are passed over.
}

// Seconds since the epoch of what was read, or nullopt when a part is
// missing or out of range.
std::optional<int64_t> Combine(const TDateParts& parts)
{
    if (parts.Month == 0 || parts.NumberCount < 2 || !parts.HasTime)
        return std::nullopt;
    // Day and year in the order written (RFC 5322: day first); a number of
    // three or four digits, or above 31, is the year wherever it stands.
    int day = parts.Numbers[0], year = parts.Numbers[1], yearDigits = parts.NumberDigits[1];
    if (parts.NumberDigits[0] > 2 || parts.Numbers[0] > 31) {
        std::swap(day, year);
        yearDigits = parts.NumberDigits[0];
    }
    if (yearDigits <= 2)
        year += year < 50 ? 2000 : 1900; // RFC 5322 4.3
    else if (yearDigits == 3)
        year += 1900;
    if (year < 1000 || day < 1 || day > DaysInMonth(year, parts.Month))
        return std::nullopt;
    int hour = parts.Hour;
    if (parts.Meridiem != 0 && hour >= 1 && hour <= 12) // "14:05 PM" is 14:05
        hour = hour % 12 + (parts.Meridiem == 2 ? 12 : 0);
    if (hour > 23 || parts.Minute > 59 || parts.Second > 60)
        return std::nullopt;
    const int zone = parts.HasZone ? parts.ZoneMinutes : parts.HasNamedZone ? parts.NamedZoneMinutes : 0;
    return DaysFromCivil(year, parts.Month, day) * 86400 + hour * 3600 + parts.Minute * 60 + parts.Second
           - int64_t(zone) * 60;
}

// 1 to n for the n-th three-letter name in names that text starts with, 0
// when none (letter case as written in names).
int ThreeLetterName(std::string_view text, std::string_view names)
{
    if (text.size() < 3)
        return 0;
    for (size_t k = 0; k < names.size(); k += 3)
        if (text[0] == names[k] && text[1] == names[k + 1] && text[2] == names[k + 2])
            return static_cast<int>(k / 3) + 1;
    return 0;
}

// Whether text holds n digits from at on.
bool Digits(std::string_view text, size_t at, size_t n)
{
    if (text.size() < at + n)
        return false;
    for (size_t i = at; i < at + n; ++i)
        if (!IsDigit(text[i]))
            return false;
    return true;
}

int TwoDigits(const char* p)
{
    return (p[0] - '0') * 10 + (p[1] - '0');
}

// The form nearly all mail carries, "Mon, 1 Dec 2025 14:05:00 +0200": an
// English weekday and comma (optional), the day in one or two digits, an
// English month abbreviation, a four-digit year, hh:mm[:ss], a numeric zone,
// single blanks between them, then nothing but white space and at most one
// comment without nesting or quoted-pairs, such as "(UTC)". Read straight
// into the parts the token loop would give for it; false for anything else
// (which the token loop then reads).
bool ReadCommonForm(std::string_view s, TDateParts& parts)
{
    if (s.size() > 5 && s[3] == ',' && s[4] == ' ' && ThreeLetterName(s, "MonTueWedThuFriSatSun") != 0)
        s.remove_prefix(5);
    if (s.empty() || !IsDigit(s[0]))
        return false;
    const int dayDigits = s.size() > 1 && IsDigit(s[1]) ? 2 : 1;
    const int day = dayDigits == 2 ? TwoDigits(s.data()) : s[0] - '0';
    s.remove_prefix(static_cast<size_t>(dayDigits));
    // After the day, at these offsets:
    //   " Dec 2025 14:05:00 +0200"   or   " Dec 2025 14:05 +0200"
    //    0   4    9  12 15 18                0   4    9  12 15
    if (!Digits(s, 13, 2) || s[0] != ' ' || s[4] != ' ' || !Digits(s, 5, 4) || s[9] != ' ' || !Digits(s, 10, 2)
        || s[12] != ':')
        return false;
    const bool seconds = s.size() > 15 && s[15] == ':';
    if (seconds && !Digits(s, 16, 2))
        return false;
    const size_t zoneAt = seconds ? 19 : 16;
    if (!Digits(s, zoneAt + 1, 4) || s[zoneAt - 1] != ' ' || (s[zoneAt] != '+' && s[zoneAt] != '-'))
        return false;
    const int month = ThreeLetterName(s.substr(1), "JanFebMarAprMayJunJulAugSepOctNovDec");
    if (month == 0)
        return false;
    const int zoneHours = TwoDigits(s.data() + zoneAt + 1), zoneMinutes = TwoDigits(s.data() + zoneAt + 3);

    // Then only white space and at most one plain comment.
    std::string_view rest = s.substr(zoneAt + 5);
    auto skipBlanks = [&rest] {
        while (!rest.empty() && (rest[0] == ' ' || rest[0] == '\t'))
            rest.remove_prefix(1);
    };
    skipBlanks();
    if (!rest.empty() && rest[0] == '(') {
        const size_t close = rest.find_first_of("()\\", 1);
        if (close == std::string_view::npos || rest[close] != ')')
            return false;
        rest.remove_prefix(close + 1);
        skipBlanks();
    }
    if (!rest.empty())
        return false;

    parts.Month = month;
    parts.Numbers[0] = day;
    parts.NumberDigits[0] = dayDigits;
    parts.Numbers[1] = TwoDigits(s.data() + 5) * 100 + TwoDigits(s.data() + 7);
    parts.NumberDigits[1] = 4;
    parts.NumberCount = 2;
    parts.HasTime = true;
    parts.Hour = TwoDigits(s.data() + 10);
    parts.Minute = TwoDigits(s.data() + 13);
    parts.Second = seconds ? TwoDigits(s.data() + 16) : 0;
    if (zoneHours <= 23 && zoneMinutes <= 59) { // else no zone, as ReadZone has it
        parts.HasZone = true;
        parts.ZoneMinutes = (s[zoneAt] == '-' ? -1 : 1) * (zoneHours * 60 + zoneMinutes);
    }
    return true;
}

} // namespace

std::optional<int64_t> ParseMailDate(std::string_view Raw)
{
    TDateParts parts;
    if (ReadCommonForm(Raw, parts))
        return Combine(parts);
    size_t pos = 0;
    int commentDepth = 0;
    while (pos < Raw.size()) {
        const char c = Raw[pos];
        if (commentDepth > 0 || c == '(') {
            // Comments (RFC 5322 3.2.2) count as white space, nested ones and
            // quoted-pairs included; one left open runs to the end.
            if (c == '\\')
                ++pos;
            else if (c == '(')
                ++commentDepth;
            else if (c == ')')
                --commentDepth;
            ++pos;
        } else if (IsDigit(c)) {
            if (ReadTime(Raw, pos, parts))
                continue;
            int value;
            const int digits = ReadDigits(Raw, pos, 4, value);
            if (digits <= 4 && parts.NumberCount < 2) {
                parts.Numbers[parts.NumberCount] = value;
                parts.NumberDigits[parts.NumberCount] = digits;
                ++parts.NumberCount;
            }
        } else if ((c == '+' || c == '-') && pos + 1 < Raw.size() && IsDigit(Raw[pos + 1])) {
            if (!ReadZone(Raw, pos, parts))
                ++pos;
        } else if (IsAlpha(c)) {
            // In lower case; a longer word than any month name is cut to
            // 12 letters, which no name matches.
            char word[12];
            size_t length = 0;
            for (; pos < Raw.size() && IsAlpha(Raw[pos]); ++pos)
                if (length < sizeof word)
                    word[length++] = Lower(Raw[pos]);
            ReadWord(std::string_view(word, length), parts);
        } else {
            ++pos;
        }
    }
    return Combine(parts);
}
