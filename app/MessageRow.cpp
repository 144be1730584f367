#include "app/MessageRow.h"

#include "mail/HeaderFields.h"
#include "mail/HeaderText.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <iterator>

namespace {

// Display text on one line: runs of blanks and tabs (an unfolded header
// keeps the white space of its folds) become one blank, none at either end.
QString OneLine(std::string_view text)
{
    // Most text is on one line already: converted as it stands.
    if (text.find('\t') == std::string_view::npos && text.find("  ") == std::string_view::npos
        && (text.empty() || (text.front() != ' ' && text.back() != ' ')))
        return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    std::string line(text.size(), '\0');
    char* p = line.data();
    bool blank = false;
    for (char c : text) {
        if (c == ' ' || c == '\t') {
            blank = p != line.data();
            continue;
        }
        if (blank)
            *p++ = ' ';
        blank = false;
        *p++ = c;
    }
    return QString::fromUtf8(line.data(), static_cast<qsizetype>(p - line.data()));
}

// Decimal digits of value at p, "-" first when negative; the end of them.
char* PutDecimal(char* p, int64_t value)
{
    uint64_t magnitude = static_cast<uint64_t>(value);
    if (value < 0) {
        *p++ = '-';
        magnitude = 0 - magnitude;
    }
    if (magnitude < 10) { // one digit, as many of a date and a size are
        *p++ = static_cast<char>('0' + magnitude);
        return p;
    }
    char digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0)
        *p++ = digits[--count];
    return p;
}

QString Latin1(const char* text, const char* end)
{
    return QString::fromLatin1(text, static_cast<qsizetype>(end - text));
}

} // namespace

TMessageRow MessageRow(const TMailMessage& message)
{
    static constexpr std::string_view kNames[] = {"Subject", "From", "Date"};
    // Kept from row to row: their strings are reused rather than allocated.
    thread_local std::optional<std::string> values[std::size(kNames)];
    HeaderFields(message.HeaderLines, kNames, values);
    auto value = [](size_t k) { return values[k] ? std::string_view(*values[k]) : std::string_view(); };
    const std::string_view subject = value(0), fromField = value(1), date = value(2);

    TMessageRow row;
    row.Subject = OneLine(DecodeHeaderText(subject));

    const TMailbox from = ParseMailbox(fromField);
    const QString name = OneLine(from.Name);
    const QString address = OneLine(from.Address);
    row.Sender = name.isEmpty() ? address : name;
    if (name.isEmpty() || address.isEmpty()) {
        row.SenderToolTip = row.Sender;
    } else {
        row.SenderToolTip.reserve(name.size() + address.size() + 3);
        row.SenderToolTip.append(name).append(u" <").append(address).append(u'>');
    }

    row.Time = ParseMailDate(date);
    row.Date = row.Time ? FinnishDateTime(*row.Time) : OneLine(DecodeHeaderText(date));
    row.Size = FinnishSize(message.MessageSize);
    // A rare huge field does not keep its memory for good.
    constexpr size_t kKeptCapacity = 64 * 1024;
    for (std::optional<std::string>& kept : values)
        if (kept && kept->capacity() > kKeptCapacity)
            kept.reset();
    return row;
}

QString FinnishDateTime(int64_t utcSeconds)
{
    const std::time_t time = static_cast<std::time_t>(utcSeconds);
    std::tm local{};
    if (!::localtime_r(&time, &local))
        return QString();
    // "%d.%d.%d %d.%02d": day, month, year, hour, minutes.
    char text[64];
    char* p = PutDecimal(text, local.tm_mday);
    *p++ = '.';
    p = PutDecimal(p, local.tm_mon + 1);
    *p++ = '.';
    p = PutDecimal(p, int64_t(local.tm_year) + 1900);
    *p++ = ' ';
    p = PutDecimal(p, local.tm_hour);
    *p++ = '.';
    *p++ = static_cast<char>('0' + local.tm_min / 10);
    *p++ = static_cast<char>('0' + local.tm_min % 10);
    return Latin1(text, p);
}

QString FinnishSize(int64_t bytes)
{
    constexpr double kKilo = 1024.0;
    double value = static_cast<double>(std::max<int64_t>(bytes, 0)) / kKilo;
    std::string_view unit = "kt";
    if (value >= kKilo) {
        value /= kKilo;
        unit = "Mt";
    }
    char text[64];
    char* p = text;
    if (std::round(value * 10) < 100) {
        double tenths = std::round(value * 10);
        if (tenths == 0 && bytes > 0)
            tenths = 1;
        p = PutDecimal(p, int(tenths) / 10);
        *p++ = ',';
        p = PutDecimal(p, int(tenths) % 10);
    } else {
        // Below 2^63 / 2^20: the rounded value is exact as an integer.
        p = PutDecimal(p, static_cast<int64_t>(std::round(value)));
    }
    *p++ = ' ';
    p = std::copy(unit.begin(), unit.end(), p);
    return Latin1(text, p);
}
