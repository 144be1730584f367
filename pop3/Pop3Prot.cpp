// The POP3 engine core: construction, the engine state, request completion
// and its posted notification, the receive loop with its line assembly, the
// banner, the connection's life (look-up, connect, close) and Abort.
#include "pop3/Pop3Prot.h"

#include <cstring>

namespace {

// Socket error number reported when the connection closes while a request
// is still open ("interrupted call").
constexpr Integer ClosedWhilePending = 10004;
// Result of a request abandoned by Abort.
constexpr Integer Abandoned = 426;

} // namespace

const char* Pop3StateName(TPop3State State)
{
    switch (State) {
    case pop3Ready: return "pop3Ready";
    case pop3DnsLookup: return "pop3DnsLookup";
    case pop3Connecting: return "pop3Connecting";
    case pop3Connected: return "pop3Connected";
    case pop3InternalReady: return "pop3InternalReady";
    case pop3WaitingBanner: return "pop3WaitingBanner";
    case pop3WaitingResponse: return "pop3WaitingResponse";
    case pop3Abort: return "pop3Abort";
    }
    return "?";
}

const char* Pop3ProtocolStateName(TPop3ProtocolState State)
{
    switch (State) {
    case pop3Disconnected: return "pop3Disconnected";
    case pop3WaitingUser: return "pop3WaitingUser";
    case pop3WaitingPass: return "pop3WaitingPass";
    case pop3Transaction: return "pop3Transaction";
    }
    return "?";
}

const char* Pop3RequestName(TPop3Request Request)
{
    switch (Request) {
    case pop3Connect: return "pop3Connect";
    case pop3User: return "pop3User";
    case pop3Pass: return "pop3Pass";
    case pop3RPop: return "pop3RPop";
    case pop3Quit: return "pop3Quit";
    case pop3Stat: return "pop3Stat";
    case pop3List: return "pop3List";
    case pop3Retr: return "pop3Retr";
    case pop3Top: return "pop3Top";
    case pop3Dele: return "pop3Dele";
    case pop3Noop: return "pop3Noop";
    case pop3Last: return "pop3Last";
    case pop3RSet: return "pop3RSet";
    case pop3Uidl: return "pop3Uidl";
    case pop3APop: return "pop3APop";
    case pop3Open: return "pop3Open";
    case pop3Capa: return "pop3Capa";
    case pop3Stls: return "pop3Stls";
    case pop3Auth: return "pop3Auth";
    case pop3TopAll: return "pop3TopAll";
    }
    return "?";
}

const char* Pop3SecurityName(TPop3Security Security)
{
    switch (Security) {
    case pop3SecNone: return "pop3SecNone";
    case pop3SecTls: return "pop3SecTls";
    case pop3SecStartTls: return "pop3SecStartTls";
    }
    return "?";
}

// ---------------------------------------------------------------------------
// Construction and destruction

TCustomPop3Cli::TCustomPop3Cli(TComponent* AOwner) : TComponent(AOwner)
{
    FNotifyWindow = std::make_unique<platform::NotifyEndpoint>([this](platform::TMessage& Msg) { WndProc(Msg); });
    FSocket = new TWSocket(nullptr);
    FSocket->OnSessionClosed = [this](TObject* Sender, Word Error) { SocketSessionClosed(Sender, Error); };
    FSocket->OnHandshakeDone = [this](TObject* Sender, Word Error) { SocketHandshakeDone(Sender, Error); };
}

// The socket reports state changes (and would report a close) while it is
// destroyed: its handlers are cleared first so that none of them runs on a
// client that is half gone.
TCustomPop3Cli::~TCustomPop3Cli()
{
    Destroying();
    if (FSocket) {
        FSocket->OnDataAvailable = nullptr;
        FSocket->OnDataSent = nullptr;
        FSocket->OnSessionClosed = nullptr;
        FSocket->OnSessionConnected = nullptr;
        FSocket->OnDnsLookupDone = nullptr;
        FSocket->OnHandshakeDone = nullptr;
        FSocket->OnChangeState = nullptr;
        FSocket->OnBgException = nullptr;
        delete FSocket;
        FSocket = nullptr;
    }
    FNotifyWindow->Detach();
    FNotifyWindow.reset();
}

void TCustomPop3Cli::Notification(TComponent* AComponent, TOperation Operation)
{
    TComponent::Notification(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent == FSocket)
        FSocket = nullptr;
}

// ---------------------------------------------------------------------------
// State and triggers

void TCustomPop3Cli::SetState(TPop3State NewState)
{
    if (NewState == FEngineState)
        return;
    FEngineState = NewState;
    FireStateChange();
}

void TCustomPop3Cli::FireStateChange()
{
    if (OnStateChange)
        OnStateChange(this);
}

void TCustomPop3Cli::FireDisplay(const std::string& Msg)
{
    if (OnDisplay)
        OnDisplay(this, Msg);
}

void TCustomPop3Cli::FireResponse(const std::string& Msg)
{
    if (OnResponse)
        OnResponse(this, Msg);
}

void TCustomPop3Cli::FireSessionConnected(Word Error)
{
    if (OnSessionConnected)
        OnSessionConnected(this, Error);
}

// Reports the end of the current request once. Inside a sequence the next
// step starts from here; otherwise the engine becomes ready and
// OnRequestDone follows from the event loop.
void TCustomPop3Cli::FireRequestDone(Integer Error)
{
    if (FDoneReported)
        return;
    FDoneReported = true;
    if (FSequenceNext) {
        if (FEngineState != pop3Abort)
            SetState(pop3InternalReady);
        (this->*FSequenceNext)();
        return;
    }
    SetState(pop3Ready);
    FInSequence = false;
    FNotifyWindow->Post(WM_POP3_REQUEST_DONE, FRequestType, Error);
}

void TCustomPop3Cli::WndProc(platform::TMessage& Msg)
{
    if (Msg.Msg == WM_POP3_REQUEST_DONE)
        HandleRequestDone(static_cast<TPop3Request>(Msg.WParam), static_cast<Integer>(Msg.LParam));
    else if (Msg.Msg == WM_POP3_CLOSE_AFTER_QUIT)
        CloseAfterQuit();
}

// RqType is the type of the request that ended, carried by the
// notification: another request may have started before it is delivered
// (a QUIT without connection completes at once, and the next Connect's
// pump delivers its completion), and must not be reported in its place.
void TCustomPop3Cli::HandleRequestDone(TPop3Request RqType, Integer Error)
{
    if (OnRequestDone)
        OnRequestDone(this, RqType, static_cast<Word>(Error & 0xFFFF));
}

bool TCustomPop3Cli::IsPositiveStatus()
{
    bool positive = !FLastResponse.empty() && FLastResponse[0] == '+';
    FStatusCode = positive ? 0 : NegativeReply;
    return positive;
}

void TCustomPop3Cli::KeepErrorMessage()
{
    if (FErrorMessage.empty())
        FErrorMessage = FLastResponse;
}

// ---------------------------------------------------------------------------
// Receive loop and line assembly

// Lines end with CR LF (RFC 1939 section 3). A line longer than the buffer
// can hold is handed on in pieces of almost a full buffer: its last byte (and
// a trailing CR, whose LF may still be on the way) stays behind, so that the
// line's last piece is never empty, which a handler that does not look at
// PartialLine would take for an empty line. Pieces other than a line's first
// are not a line start, so neither the "." terminator nor dot-unstuffing
// applies to them, and they go only where the line's first piece went.
void TCustomPop3Cli::SocketDataAvailable(TObject*, Word Error)
{
    // The buffer is never left full, but should it be, its content is
    // handed on below before anything more is read: taking no bytes here
    // would make the socket call again at once, for ever.
    const Integer room = Pop3RcvBufSize - 1 - FRcvLen;
    if (room > 0) {
        Integer n = FSocket->Receive(FRcvBuf + FRcvLen, room);
        if (n <= 0)
            return;
        FRcvLen += n;
        FRcvBuf[FRcvLen] = 0;
    }

    while (FRcvLen > 0) {
        const char* end = nullptr;
        for (const char* cr = FRcvBuf; (cr = static_cast<const char*>(std::memchr(cr, '\r', FRcvBuf + FRcvLen - cr)));
             ++cr) {
            if (cr + 1 < FRcvBuf + FRcvLen && cr[1] == '\n') {
                end = cr;
                break;
            }
        }
        Integer length = 0;
        Integer consumed = 0;
        if (end) {
            length = static_cast<Integer>(end - FRcvBuf);
            consumed = length + 2;
        } else if (FRcvLen == Pop3RcvBufSize - 1) {
            length = FRcvBuf[FRcvLen - 1] == '\r' ? FRcvLen - 2 : FRcvLen - 1;
            consumed = length;
        } else {
            return; // the partial line waits for more bytes
        }
        // A 0 byte ends the text, as in the received C string.
        FLastResponse.assign(FRcvBuf, strnlen(FRcvBuf, static_cast<size_t>(length)));
        const bool lineStart = !FPartialLine;
        FPartialLine = end == nullptr;
        std::memmove(FRcvBuf, FRcvBuf + consumed, static_cast<size_t>(FRcvLen - consumed) + 1);
        FRcvLen -= consumed;

        FireResponse(FLastResponse);
        if (!DispatchLine(lineStart, Error))
            return;
    }
}

// Hands the line in LastResponse to the handler of the current state.
// False when the loop must stop (a negative banner closed the connection).
bool TCustomPop3Cli::DispatchLine(bool LineStart, Word Error)
{
    switch (FEngineState) {
    case pop3WaitingBanner:
        if (!LineStart)
            return true;
        BannerReceived(Error);
        return FStatusCode == 0;
    case pop3WaitingResponse:
        if (LineStart) {
            FPieceToBody = FNext == &TCustomPop3Cli::MultiLineReceived;
        } else if (!FPieceToBody || FNext != &TCustomPop3Cli::MultiLineReceived) {
            return true;
        }
        if (!FNext)
            throw Pop3Exception("Program error: FNext is nil");
        FLineStart = LineStart;
        (this->*FNext)();
        return true;
    case pop3Ready:
    case pop3DnsLookup:
    case pop3Connecting:
    case pop3Connected:
    case pop3InternalReady:
    case pop3Abort:
        if (LineStart)
            FireDisplay("< " + FLastResponse);
        return true;
    }
    return true;
}

// The greeting (RFC 1939 section 4). A positive one may carry the APOP
// timestamp: from the first "<" through the first ">" after it.
void TCustomPop3Cli::BannerReceived(Word Error)
{
    FireDisplay("< " + FLastResponse);
    if (!IsPositiveStatus()) {
        // The close report completes the request (with 10004).
        FResponseCode = ParseResponseCode(FLastResponse);
        KeepErrorMessage();
        FRequestResult = FStatusCode;
        FSocket->Close();
        return;
    }
    size_t open = FLastResponse.find('<');
    if (open != std::string::npos) {
        size_t close = FLastResponse.find('>', open);
        if (close != std::string::npos)
            FApopTimeStamp = FLastResponse.substr(open, close - open + 1);
    }
    SetProtocolState(pop3WaitingUser);
    // STLS mode: the request goes on (the timestamp above is the plaintext
    // banner's, as APOP over the upgraded session expects).
    if (FSecurity == pop3SecStartTls && FSocket->TlsState() == tlsUnwrapped) {
        FStlsInConnect = true;
        SendInternal("CAPA", &TCustomPop3Cli::StlsCapaStart);
        return;
    }
    SetState(pop3Connected);
    FireSessionConnected(Error);
    FireRequestDone(0);
}

// ---------------------------------------------------------------------------
// Connection

void TCustomPop3Cli::Connect()
{
    CheckReady();
    // The server acknowledged QUIT and our own close has not run yet.
    if (FCloseAfterQuit)
        CloseAfterQuit();
    if (FConnected)
        throw Pop3Exception("POP3 component already connected");
    FCurrentStep = pop3StepConnect;
    if (!FInSequence)
        FRequestType = pop3Connect;
    FDoneReported = false;
    FRcvLen = 0;
    FRcvBuf[0] = 0;
    FPartialLine = false;
    FRequestResult = 0;
    FResponseCode.clear();
    // A timestamp and capabilities belong to one server's session: never
    // reuse them for another connection.
    FApopTimeStamp.clear();
    FCapabilities.clear();
    FCapabilityBytes = 0;
    FSasl.reset();
    FSaslInitial.reset();
    FStlsInConnect = false;
    FStlsPending = false;
    // With pop3SecNone nothing of TLS touches the connection.
    FSocket->SetTlsEnabled(FSecurity == pop3SecTls);
    FSocket->SetTlsHostName(FHost);
    FSocket->SetTlsCaFile(FTlsCaFile);
    FSocket->SetTlsPin(FTlsPin);
    SetState(pop3DnsLookup);
    FSocket->OnDataSent = nullptr;
    FSocket->OnDnsLookupDone = [this](TObject* Sender, Word Error) { SocketDnsLookupDone(Sender, Error); };
    FSocket->DnsLookup(FHost);
}

// A failure the client found itself (not a server's reply) recorded as the
// request's outcome: Text stands as its last response, and as its error
// message unless an earlier one is kept.
void TCustomPop3Cli::KeepFailure(const std::string& Text, Integer Error)
{
    FLastResponse = Text;
    FStatusCode = NegativeReply;
    FRequestResult = Error;
    KeepErrorMessage();
}

void TCustomPop3Cli::ConnectFailed(const std::string& Text, Integer Error)
{
    KeepFailure(Text, Error);
    FireRequestDone(Error);
}

void TCustomPop3Cli::SocketDnsLookupDone(TObject*, Word Error)
{
    if (Error != 0) {
        ConnectFailed(FailureText(Error), Error);
        return;
    }
    FSocket->SetAddr(FSocket->DnsResult());
    FSocket->SetProto("tcp");
    FSocket->SetPort(FPort);
    FSocket->OnSessionConnected = [this](TObject* Sender, Word E) { SocketSessionConnected(Sender, E); };
    FSocket->OnDataAvailable = [this](TObject* Sender, Word E) { SocketDataAvailable(Sender, E); };
    SetState(pop3Connecting);
    try {
        FSocket->Connect();
    } catch (Exception& E) {
        ConnectFailed(std::string("-ERR ") + E.ClassName() + ": " + E.Message(), NegativeReply);
        // A connect that failed after the socket was created leaves it open
        // and would refuse the next Connect: release it without a close
        // report, since no session ever existed.
        if (FSocket->State() != wsClosed) {
            auto closed = std::move(FSocket->OnSessionClosed);
            FSocket->OnSessionClosed = nullptr;
            try {
                FSocket->Abort();
            } catch (...) {
            }
            FSocket->OnSessionClosed = std::move(closed);
        }
    }
}

void TCustomPop3Cli::SocketSessionConnected(TObject*, Word Error)
{
    if (Error != 0) {
        FConnected = false;
        const std::string text = FailureText(Error);
        // A failed TLS handshake is worth a line of the log: the reason.
        if (FSocket->TlsError() == Error)
            FireDisplay(text);
        ConnectFailed(text, Error);
        FSocket->Close();
        SetState(pop3Ready);
        return;
    }
    FConnected = true;
    SetState(pop3WaitingBanner);
}

// A close while a request is open ends it with 10004, and records 10004 as
// its result unless it had already failed: the request did not succeed, so
// neither the blocking wrapper nor a running sequence may take it as done.
void TCustomPop3Cli::SocketSessionClosed(TObject*, Word Error)
{
    FConnected = false;
    FCloseAfterQuit = false;
    if (OnSessionClosed)
        OnSessionClosed(this, Error);
    if (!FDoneReported && FRequestResult == 0)
        FRequestResult = ClosedWhilePending;
    FireRequestDone(ClosedWhilePending);
    SetProtocolState(pop3Disconnected);
}

// Bytes already received belong to the connection that goes: none of them
// is handed on after this, so no message event follows the request's end.
void TCustomPop3Cli::Abort()
{
    SetState(pop3Abort);
    FStlsInConnect = false;
    FStlsPending = false;
    if (!FDoneReported && FRequestResult == 0)
        FRequestResult = Abandoned;
    FRcvLen = 0;
    FRcvBuf[0] = 0;
    FCloseAfterQuit = false;
    try {
        FSocket->CancelDnsLookup();
        FSocket->Abort();
    } catch (Exception&) {
        // Abort never fails: a close that the system refuses leaves nothing
        // more to do here.
    }
    SetState(pop3Ready);
}

// After "+OK" to QUIT the server should close the connection (RFC 1939
// section 6). One that does not would leave the next Connect failing with
// "already connected", so the client closes it itself once the completion
// has been delivered (or at once, when Connect comes first).
void TCustomPop3Cli::QuitDone()
{
    FCloseAfterQuit = true;
    FireRequestDone(0);
    FNotifyWindow->Post(WM_POP3_CLOSE_AFTER_QUIT, 0, 0);
}

void TCustomPop3Cli::CloseAfterQuit()
{
    if (!FCloseAfterQuit)
        return;
    FCloseAfterQuit = false;
    if (FConnected && FSocket)
        FSocket->Close();
}

// ---------------------------------------------------------------------------
// Sequences

void TCustomPop3Cli::Open()
{
    StartSequence(pop3Open, Pop3StepBit(pop3StepConnect) | Pop3StepBit(pop3StepUser) | Pop3StepBit(pop3StepPass));
}

void TCustomPop3Cli::StartSequence(TPop3Request Request, TPop3StepSet Steps)
{
    if (FConnected && (Steps & Pop3StepBit(pop3StepConnect)))
        throw Pop3Exception("pop3 component already connected");
    CheckReady();
    FRequestType = Request;
    FRequestResult = 0;
    FStepSet = Steps;
    FCurrentStep = pop3StepNone;
    FSequenceResult = 0;
    FInSequence = true;
    FLastResponse.clear();
    FErrorMessage.clear();
    SequenceStep();
}

void TCustomPop3Cli::SequenceStep()
{
    if (FEngineState == pop3Abort) {
        FStepSet = 0;
        FSequenceResult = Abandoned;
        FErrorMessage = "426 Operation aborted.";
    }
    FSequenceNext = &TCustomPop3Cli::SequenceStep;
    if (FRequestResult != 0) {
        FSequenceResult = FRequestResult;
        if ((FStepSet & Pop3StepBit(pop3StepQuit)) && FCurrentStep != pop3StepQuit)
            FStepSet = Pop3StepBit(pop3StepQuit);
        else
            FStepSet = 0;
    }
    struct Step {
        TPop3Step Code;
        void (TCustomPop3Cli::*Run)();
    };
    static constexpr Step Priority[] = {
        {pop3StepConnect, &TCustomPop3Cli::Connect}, {pop3StepUser, &TCustomPop3Cli::User},
        {pop3StepPass, &TCustomPop3Cli::Pass},       {pop3StepRPop, &TCustomPop3Cli::RPop},
        {pop3StepDele, &TCustomPop3Cli::Dele},       {pop3StepNoop, &TCustomPop3Cli::Noop},
        {pop3StepList, &TCustomPop3Cli::List},       {pop3StepRSet, &TCustomPop3Cli::RSet},
        {pop3StepAPop, &TCustomPop3Cli::APop},       {pop3StepRetr, &TCustomPop3Cli::Retr},
        {pop3StepTop, &TCustomPop3Cli::Top},         {pop3StepStat, &TCustomPop3Cli::Stat},
        {pop3StepUidl, &TCustomPop3Cli::Uidl},       {pop3StepLast, &TCustomPop3Cli::Last},
        {pop3StepQuit, &TCustomPop3Cli::Quit},
    };
    const bool first = FCurrentStep == pop3StepNone;
    for (const Step& step : Priority) {
        if (FStepSet & Pop3StepBit(step.Code)) {
            FStepSet = static_cast<TPop3StepSet>(FStepSet & ~Pop3StepBit(step.Code));
            FCurrentStep = step.Code;
            try {
                (this->*step.Run)();
            } catch (Exception& E) {
                SequenceStepRefused(E, first);
            }
            return;
        }
    }
    FSequenceNext = nullptr;
    FDoneReported = false;
    FireRequestDone(FSequenceResult);
}

// A step that refuses to start ends the sequence. The first step's refusal
// goes to the caller of the sequence, as any refusal does; a later step
// starts inside the completion of the one before, where nobody could take
// the exception, so the sequence completes with 500 and the refusal's text.
void TCustomPop3Cli::SequenceStepRefused(Exception& E, bool First)
{
    FSequenceNext = nullptr;
    FStepSet = 0;
    if (First) {
        FInSequence = false;
        throw;
    }
    if (FErrorMessage.empty())
        FErrorMessage = E.Message();
    FStatusCode = NegativeReply;
    FRequestResult = NegativeReply;
    FDoneReported = false;
    FireRequestDone(NegativeReply);
}
