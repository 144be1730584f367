#include "app/MessageRow.h"

#include "mail/HeaderFields.h"
#include "mail/HeaderText.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <iterator>

namespace {

// Display text on one line: runs of blanks and tabs (an unfolded header
// keeps the white space of its folds) become one blank, none at either end.
QString OneLine(const std::string& text)
{
    std::string line;
    line.reserve(text.size());
    bool blank = false;
    for (char c : text) {
        if (c == ' ' || c == '\t') {
            blank = !line.empty();
            continue;
        }
        if (blank)
            line += ' ';
        blank = false;
        line += c;
    }
    return QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
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
    if (name.isEmpty() || address.isEmpty())
        row.SenderToolTip = row.Sender;
    else
        row.SenderToolTip = name + QStringLiteral(" <") + address + QLatin1Char('>');

    row.Time = ParseMailDate(date);
    row.Date = row.Time ? FinnishDateTime(*row.Time) : OneLine(DecodeHeaderText(date));
    row.Size = FinnishSize(message.MessageSize);
    return row;
}

QString FinnishDateTime(int64_t utcSeconds)
{
    const std::time_t time = static_cast<std::time_t>(utcSeconds);
    std::tm local{};
    if (!::localtime_r(&time, &local))
        return QString();
    char text[64];
    std::snprintf(text, sizeof text, "%d.%d.%d %d.%02d", local.tm_mday, local.tm_mon + 1, local.tm_year + 1900,
                  local.tm_hour, local.tm_min);
    return QString::fromLatin1(text);
}

QString FinnishSize(int64_t bytes)
{
    constexpr double kKilo = 1024.0;
    double value = static_cast<double>(std::max<int64_t>(bytes, 0)) / kKilo;
    const char* unit = "kt";
    if (value >= kKilo) {
        value /= kKilo;
        unit = "Mt";
    }
    char text[64];
    if (std::round(value * 10) < 100) {
        double tenths = std::round(value * 10);
        if (tenths == 0 && bytes > 0)
            tenths = 1;
        std::snprintf(text, sizeof text, "%d,%d %s", int(tenths) / 10, int(tenths) % 10, unit);
    } else {
        std::snprintf(text, sizeof text, "%.0f %s", std::round(value), unit);
    }
    return QString::fromLatin1(text);
}
