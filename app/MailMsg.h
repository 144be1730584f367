// One message of the mailbox as the window knows it: its number and size
// from LIST, the header lines that TOP returned, and the three header values
// shown in its row.
#pragma once

#include "platform/Object.h"

#include <string>

class TMailMessage : public TObject {
public:
    explicit TMailMessage(Integer messageNumber) : MessageNumber(messageNumber) {}
    ~TMailMessage() override { HeaderLines.clear(); }
    const char* ClassName() const override { return "TMailMessage"; }

    Integer MessageNumber = 0; // 1-based number in the current POP3 session
    Integer MessageSize = 0;   // bytes, as LIST reported them
    TStrings HeaderLines;      // TOP lines in arrival order, dot-unstuffed
    std::string From;
    std::string Date;
    std::string Subject;
};

// Sets From, Date and Subject from HeaderLines: a line beginning with exactly
// "From: ", "Date: " or "Subject: " (that letter case, one blank after the
// colon) gives the rest of the line without control characters and blanks at
// either end. A later line overwrites an earlier one; every other line
// (other headers, folded continuations, the blank end line) is ignored, and
// encoded words stay as received.
void ExtractHeaders(TMailMessage& message);
