// Reading results out of replies, and multi-line replies (RFC 1939 section
// 3: a body of lines ended by a line of one ".", with dot-stuffing).
#include "pop3/Pop3Prot.h"

#include "platform/Format.h"

namespace {

bool IsDigit(char Ch)
{
    return Ch >= '0' && Ch <= '9';
}

// Position of the first digit at or after Pos, or the line's length.
size_t FirstDigit(const std::string& Line, size_t Pos)
{
    while (Pos < Line.size() && !IsDigit(Line[Pos]))
        ++Pos;
    return Pos;
}

} // namespace

size_t SkipBlanks(const std::string& Line, size_t Pos)
{
    while (Pos < Line.size() && (Line[Pos] == '\t' || Line[Pos] == '\n' || Line[Pos] == '\r' || Line[Pos] == ' '))
        ++Pos;
    return Pos;
}

Integer ParseDecimal(const std::string& Line, size_t& Pos)
{
    Pos = SkipBlanks(Line, Pos);
    uint32_t value = 0; // unsigned, so that overflow wraps without harm
    while (Pos < Line.size() && IsDigit(Line[Pos])) {
        value = value * 10u + static_cast<uint32_t>(Line[Pos] - '0');
        ++Pos;
    }
    return static_cast<Integer>(value);
}

void ParseTwoNumbers(const std::string& Line, Integer& A, Integer& B)
{
    A = 0;
    B = 0;
    size_t pos = FirstDigit(Line, 0);
    if (pos == Line.size())
        return;
    Integer first = ParseDecimal(Line, pos);
    pos = SkipBlanks(Line, pos);
    if (pos == Line.size())
        return; // one number alone counts as none
    A = first;
    B = ParseDecimal(Line, pos);
}

void ParseNumberAndWord(const std::string& Line, Integer& N, std::string& W)
{
    N = 0;
    W.clear();
    size_t pos = FirstDigit(Line, 0);
    if (pos == Line.size())
        return;
    N = ParseDecimal(Line, pos);
    while (pos < Line.size() && Line[pos] == ' ')
        ++pos;
    size_t start = pos;
    while (pos < Line.size() && Line[pos] >= 33 && Line[pos] <= 126)
        ++pos;
    W = Line.substr(start, pos - start);
}

// resp-code = "[" resp-level *("/" resp-level) "]", right after "-ERR ";
// resp-level = 1*rchar, rchar = %x21-2E / %x30-5C / %x5E-7F.
std::string ParseResponseCode(const std::string& Line)
{
    constexpr std::string_view Start = "-ERR [";
    if (Line.compare(0, Start.size(), Start) != 0)
        return {};
    const size_t close = Line.find(']', Start.size());
    if (close == std::string::npos)
        return {};
    const std::string code = Line.substr(Start.size(), close - Start.size());
    bool levelStart = true;
    for (char ch : code) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '/' && !levelStart)
            levelStart = true;
        else if (byte >= 0x21 && byte <= 0x7F && ch != '/')
            levelStart = false;
        else
            return {};
    }
    return levelStart ? std::string() : code;
}

// ---------------------------------------------------------------------------
// Single-line results, parsed from the positive status line

void TCustomPop3Cli::StatDone()
{
    ParseTwoNumbers(FLastResponse, FMsgCount, FMsgSize);
    FireRequestDone(FRequestResult);
}

void TCustomPop3Cli::ListOneDone()
{
    ParseTwoNumbers(FLastResponse, FMsgNum, FMsgSize);
    FireRequestDone(FRequestResult);
}

void TCustomPop3Cli::UidlOneDone()
{
    ParseNumberAndWord(FLastResponse, FMsgNum, FMsgUidl);
    FireRequestDone(FRequestResult);
}

// LAST (RFC 1725): the highest message number accessed; a second number, if
// any, goes to MsgSize.
void TCustomPop3Cli::LastDone()
{
    FMsgNum = 0;
    FMsgSize = 0;
    size_t pos = FirstDigit(FLastResponse, 0);
    if (pos < FLastResponse.size()) {
        FMsgNum = ParseDecimal(FLastResponse, pos);
        pos = SkipBlanks(FLastResponse, pos);
        if (pos < FLastResponse.size())
            FMsgSize = ParseDecimal(FLastResponse, pos);
    }
    FireRequestDone(FRequestResult);
}

// ---------------------------------------------------------------------------
// Multi-line transfers

void TCustomPop3Cli::ListAllStart()
{
    StartMultiLine(&TCustomPop3Cli::ParseListLine, OnListEnd, OnListLine, OnListBegin);
}

void TCustomPop3Cli::UidlAllStart()
{
    StartMultiLine(&TCustomPop3Cli::ParseUidlLine, OnUidlEnd, OnUidlLine, OnUidlBegin);
}

void TCustomPop3Cli::MessageStart()
{
    StartMultiLine(nullptr, OnMessageEnd, OnMessageLine, OnMessageBegin);
}

// CAPA's reply is a multi-line body of capability lines (RFC 2449 section
// 5); a new reply replaces the old list.
void TCustomPop3Cli::CapaStart()
{
    static const TNotifyEvent None;
    FCapabilities.clear();
    FCapabilityBytes = 0;
    StartMultiLine(&TCustomPop3Cli::ParseCapaLine, None, None, None);
}

// Pieces of an over-long line are joined to the line they belong to.
void TCustomPop3Cli::ParseCapaLine()
{
    if (FCapabilityBytes + FLastResponse.size() > Pop3MaxCapabilityBytes)
        return;
    FCapabilityBytes += FLastResponse.size();
    if (!FLineStart && !FCapabilities.empty())
        FCapabilities.back() += FLastResponse;
    else
        FCapabilities.push_back(FLastResponse);
}

bool TCustomPop3Cli::HasCapability(std::string_view Name) const
{
    for (const std::string& line : FCapabilities)
        if (SameText(std::string_view(line).substr(0, line.find(' ')), Name))
            return true;
    return false;
}

// "SASL" followed by mechanism names, separated by spaces (RFC 5034
// section 5).
std::vector<std::string> TCustomPop3Cli::SaslMechanisms() const
{
    std::vector<std::string> names;
    for (const std::string& line : FCapabilities) {
        if (!SameText(std::string_view(line).substr(0, line.find(' ')), "SASL"))
            continue;
        for (size_t pos = line.find(' '); pos != std::string::npos;) {
            const size_t start = line.find_first_not_of(' ', pos);
            if (start == std::string::npos)
                break;
            pos = line.find(' ', start);
            names.push_back(line.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
        }
    }
    return names;
}

void TCustomPop3Cli::ParseListLine()
{
    ParseTwoNumbers(FLastResponse, FMsgNum, FMsgSize);
}

void TCustomPop3Cli::ParseUidlLine()
{
    ParseNumberAndWord(FLastResponse, FMsgNum, FMsgUidl);
}

// The handlers are copied as assigned now; the begin event sees the status
// line in LastResponse, whose numbers are not parsed. AfterBody runs after
// the terminator; without one the terminator completes the request.
void TCustomPop3Cli::StartMultiLine(THandler Parser, const TNotifyEvent& EndEvent, const TNotifyEvent& LineEvent,
                                    const TNotifyEvent& BeginEvent, THandler AfterBody)
{
    FLineEvent = LineEvent;
    FEndEvent = EndEvent;
    FLineParser = Parser;
    FAfterBody = AfterBody;
    if (BeginEvent)
        BeginEvent(this);
    FNext = &TCustomPop3Cli::MultiLineReceived;
}

// One line of the body, or its terminator. Only a real line start can be
// the terminator or dot-stuffed; later pieces of an over-long line are
// passed on as they are.
void TCustomPop3Cli::MultiLineReceived()
{
    if (!FConnected) {
        FErrorMessage = "-ERR Disconneced unexpectedly";
        FRequestResult = NegativeReply;
        FireDisplay(FErrorMessage);
        FireRequestDone(NegativeReply);
        return;
    }
    if (FLineStart && !FPartialLine && FLastResponse == ".") {
        FNext = nullptr;
        if (FEndEvent)
            FEndEvent(this);
        // The handler may have aborted the request (and even started
        // another): then this body's end is no longer ours to act on.
        if (!StillWaiting())
            return;
        FLastResponse.clear();
        if (FAfterBody)
            (this->*FAfterBody)();
        else
            FireRequestDone(0);
        return;
    }
    if (FLineStart && FLastResponse.size() >= 2 && FLastResponse[0] == '.' && FLastResponse[1] == '.')
        FLastResponse.erase(0, 1);
    if (FLineParser)
        (this->*FLineParser)();
    if (FLineEvent)
        FLineEvent(this);
    FNext = &TCustomPop3Cli::MultiLineReceived;
}
