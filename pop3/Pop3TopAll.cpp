// TopAll: the header block (TOP n MsgLines) of every message as one
// request. With the server's PIPELINING (RFC 2449 section 6.6) the commands
// go out in batches through the socket's send queue while the replies are
// read; otherwise one command follows the previous reply.
#include "pop3/Pop3Prot.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>

void TCustomPop3Cli::TopAll()
{
    if (FMsgLines < 0)
        throw Pop3Exception("Invalid MsgLines for TOP command");
    RunCommand(pop3TopAll);
}

std::string TCustomPop3Cli::TopAllCommand(Integer MsgNum) const
{
    return "TOP " + std::to_string(MsgNum) + " " + std::to_string(FMsgLines);
}

// Called by RunCommand once the command's checks have passed. Messages are
// 1 .. MsgCount of the last STAT; with none, nothing is sent and the request
// completes with 0 (delivered later, from the event loop).
void TCustomPop3Cli::TopAllStart(TPop3Request Request, TPop3ProtocolState Target, THandler AfterOk)
{
    BeginCommandRequest(Request, Target, AfterOk);
    FRequestResult = 0;
    FTopAllNext = 1;
    FTopAllCurrent = 1;
    FTopAllLast = FMsgCount;
    FTopAllBytesInFlight = 0;
    if (FTopAllLast < 1) {
        FireRequestDone(0);
        return;
    }
    const bool pipelined = FPipelining && HasCapability("PIPELINING");
    FTopAllWindow = pipelined ? Pop3PipelineMaxCommands : 1;
    FTopAllBatch = pipelined ? Pop3PipelineBatch : 1;
    if (pipelined) {
        // A batch sent while earlier ones are unacknowledged must not wait
        // for their acknowledgement (Nagle's algorithm, RFC 896). A failure
        // costs speed only.
        int one = 1;
        wsock::setsockopt(FSocket->SocketHandle(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    FNext = &TCustomPop3Cli::TopAllStatusReceived;
    SetState(pop3WaitingResponse);
    TopAllFill(true);
}

// Sends the next batch of commands in one piece once enough of them fit the
// window (its command count and its bytes), or all that are left do. The
// first batch is preceded, as every single command is, by one pass over
// pending events, which may hold the close of the connection.
void TCustomPop3Cli::TopAllFill(bool First)
{
    const Integer inFlight = FTopAllNext - FTopAllCurrent;
    Integer count = 0;
    size_t bytes = FTopAllBytesInFlight;
    for (Integer n = FTopAllNext; n <= FTopAllLast && inFlight + count < FTopAllWindow; ++n) {
        const size_t size = TopAllCommand(n).size() + 2;
        if (inFlight + count > 0 && bytes + size > Pop3PipelineMaxBytes)
            break;
        bytes += size;
        ++count;
    }
    if (count == 0 || count < std::min(FTopAllBatch, FTopAllLast - FTopAllNext + 1))
        return;

    std::string batch;
    batch.reserve(bytes - FTopAllBytesInFlight);
    for (Integer n = FTopAllNext; n < FTopAllNext + count; ++n) {
        const std::string line = TopAllCommand(n);
        FireDisplay("> " + line);
        if (!StillWaiting())
            return;
        batch += line;
        batch += "\r\n";
    }
    if (First)
        FSocket->ProcessMessages();
    if (!StillWaiting() || !FConnected)
        return;
    FTopAllNext += count;
    FTopAllBytesInFlight = bytes;
    FSocket->SendStr(batch);
}

// The status line of the reply to TOP FTopAllCurrent. A negative one ends
// that message at once (no body follows) and fails the request at its end.
void TCustomPop3Cli::TopAllStatusReceived()
{
    FMsgNum = FTopAllCurrent;
    FireDisplay("< " + FLastResponse);
    if (!StillWaiting())
        return;
    if (IsPositiveStatus()) {
        SetProtocolState(FNextProtocolState);
        (this->*FAfterOk)();
        return;
    }
    FRequestResult = FStatusCode;
    KeepErrorMessage();
    TopAllMessageDone();
}

void TCustomPop3Cli::TopAllMessageStart()
{
    StartMultiLine(nullptr, OnMessageEnd, OnMessageLine, OnMessageBegin, &TCustomPop3Cli::TopAllMessageDone);
}

// One reply is complete: the request ends with the last one, otherwise the
// next reply is awaited and the window refilled.
void TCustomPop3Cli::TopAllMessageDone()
{
    ++FRepliesCompleted;
    FTopAllBytesInFlight -= TopAllCommand(FTopAllCurrent).size() + 2;
    if (FTopAllCurrent++ >= FTopAllLast) {
        FireRequestDone(FRequestResult);
        return;
    }
    FNext = &TCustomPop3Cli::TopAllStatusReceived;
    TopAllFill(false);
}
