// What a message's row shows: the raw header values of its record decoded
// for display (mail/HeaderText.h), in Finnish form, as Qt text. The record
// itself keeps the raw bytes.
#pragma once

#include "app/MailMsg.h"

#include <QString>

#include <cstdint>
#include <optional>

struct TMessageRow {
    QString Subject;       // decoded, unfolded, on one line
    QString Sender;        // the display name, the address when there is none
    QString SenderToolTip; // "Name <address>" (either alone when the other is missing)
    QString Date;          // local time "1.12.2025 14.05", or the raw text when it is no date
    std::optional<int64_t> Time; // seconds since the epoch, UTC
    QString Size;          // "1,5 kt"
};

// The first Subject, From and Date fields of the header lines (RFC 5322:
// each appears once; a repeated one is shown as its first).
TMessageRow MessageRow(const TMailMessage& message);

// "1.12.2025 14.05": day.month.year hour.minutes in local time, without
// leading zeros on day, month and hour.
QString FinnishDateTime(int64_t utcSeconds);

// Kilobytes below 1024 kt, else megabytes (1 kt = 1024 bytes), with one
// decimal below 10 ("1,5 kt", "0,1 kt" at least for a non-empty message)
// and none above ("523 kt").
QString FinnishSize(int64_t bytes);
