// The POP3 client (RFC 1939): the asynchronous engine TCustomPop3Cli, its
// published face TPop3Cli, the blocking TSyncPop3Cli and Pop3Exception.
//
// The engine owns one TWSocket, does its own line assembly from raw bytes in
// a fixed 4096-byte buffer, sends one command at a time and reports the end
// of every request exactly once through OnRequestDone, which it posts to its
// own notification endpoint so that it is never fired from inside the call
// that completed the request.
#pragma once

#include "platform/EventLoop.h"
#include "platform/Object.h"
#include "pop3/Sasl.h"
#include "socket/WSocket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Pop3Exception : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "Pop3Exception"; }
};

// Request-engine state.
enum TPop3State : uint8_t {
    pop3Ready,
    pop3DnsLookup,
    pop3Connecting,
    pop3Connected,
    pop3InternalReady,
    pop3WaitingBanner,
    pop3WaitingResponse,
    pop3Abort,
};

// Protocol state of the session (RFC 1939 section 3: AUTHORIZATION is
// pop3WaitingUser/pop3WaitingPass, TRANSACTION is pop3Transaction).
enum TPop3ProtocolState : uint8_t {
    pop3Disconnected,
    pop3WaitingUser,
    pop3WaitingPass,
    pop3Transaction,
};

// RqType of OnRequestDone.
enum TPop3Request : uint8_t {
    pop3Connect,
    pop3User,
    pop3Pass,
    pop3RPop,
    pop3Quit,
    pop3Stat,
    pop3List,
    pop3Retr,
    pop3Top,
    pop3Dele,
    pop3Noop,
    pop3Last,
    pop3RSet,
    pop3Uidl,
    pop3APop,
    pop3Open,
    // Types added after the original set: new ones are only ever appended,
    // so that the numbers above (which logs show) never change.
    pop3Capa,
    pop3Stls,
    pop3Auth,
    pop3TopAll,
};

// How Connect secures the session: not at all (the password goes in the
// clear), TLS from the first byte (POP3S, port 995, RFC 8314), or STLS on
// the plain port (RFC 2595). Neither TLS mode ever falls back to plaintext.
enum TPop3Security : uint8_t { pop3SecNone, pop3SecTls, pop3SecStartTls };
const char* Pop3SecurityName(TPop3Security Security);

// The operations a sequence can run. The numbers differ from TPop3Request's.
enum TPop3Step : uint8_t {
    pop3StepNone,
    pop3StepConnect,
    pop3StepUser,
    pop3StepPass,
    pop3StepRPop,
    pop3StepQuit,
    pop3StepAPop,
    pop3StepStat,
    pop3StepList,
    pop3StepUidl,
    pop3StepRetr,
    pop3StepTop,
    pop3StepDele,
    pop3StepNoop,
    pop3StepRSet,
    pop3StepLast,
};

// A set of steps: bit n stands for step n.
using TPop3StepSet = uint16_t;
constexpr TPop3StepSet Pop3StepBit(TPop3Step Step)
{
    return static_cast<TPop3StepSet>(1u << Step);
}

const char* Pop3StateName(TPop3State State);
const char* Pop3ProtocolStateName(TPop3ProtocolState State);
const char* Pop3RequestName(TPop3Request Request);

using TPop3Display = std::function<void(TObject* Sender, const std::string& Msg)>;
using TPop3RequestDone = std::function<void(TObject* Sender, TPop3Request RqType, Word Error)>;

// Posted by the client to its own endpoint when a request ends; WParam the
// TPop3Request that ended, LParam the error code (its low 16 bits become
// OnRequestDone's Error).
constexpr uint32_t WM_POP3_REQUEST_DONE = platform::WM_USER + 1;
// Posted after a positive reply to QUIT: closes the connection unless the
// server has closed it meanwhile.
constexpr uint32_t WM_POP3_CLOSE_AFTER_QUIT = platform::WM_USER + 2;

// Size of the receive buffer: at most RcvBufSize - 1 data bytes are held,
// followed by a 0 byte.
constexpr Integer Pop3RcvBufSize = 4096;

// At most this many bytes of CAPA lines are kept: a capability list is a few
// hundred bytes, and a server that sends more must not make the client grow
// without bound.
constexpr size_t Pop3MaxCapabilityBytes = 65536;

// A command line, CR LF included, is at most this long (RFC 2449 section 4);
// an AUTH initial response that would make it longer is sent in reply to
// the server's first, empty challenge instead (RFC 5034 section 4).
constexpr size_t Pop3MaxCommandLine = 255;

// What OnDisplay shows in place of a secret: a password, an APOP digest, a
// SASL response.
constexpr const char* Pop3Mask = "********";
// The pipelined header fetch (RFC 2449 section 6.6) keeps at most this many
// TOP commands unanswered, and at most Pop3PipelineMaxBytes of their text:
// a window that covers a 20 ms round trip at loopback speed, while the
// commands in flight always fit the kernel's smallest default send buffer,
// so the send queue never holds more than one batch.
constexpr Integer Pop3PipelineMaxCommands = 512;
constexpr size_t Pop3PipelineMaxBytes = 8192;
// A new batch goes out once this many commands fit into the window again
// (or all that are left), so that one send carries many commands.
constexpr Integer Pop3PipelineBatch = 64;

// ---------------------------------------------------------------------------
// Reading numbers out of response lines (RFC 1939 "scan listings" and
// "unique-id listings"). Positions are 0-based byte offsets into Line.

// Skips TAB, LF, CR and space from Pos; returns the first other position.
size_t SkipBlanks(const std::string& Line, size_t Pos);
// Skips blanks, then reads the decimal digits there into a 32-bit value that
// wraps around on overflow; no sign is recognised, 0 when no digit follows.
// Pos is left after the digits.
Integer ParseDecimal(const std::string& Line, size_t& Pos);
// The first two numbers of the line, from its first digit on. A and B are
// both 0 when the line has no digit or ends after the first number.
void ParseTwoNumbers(const std::string& Line, Integer& A, Integer& B);
// The first number of the line and the word (bytes 33 to 126) after it,
// separated by spaces only.
void ParseNumberAndWord(const std::string& Line, Integer& N, std::string& W);
// The response code of a negative reply (RFC 2449 section 8, RFC 3206):
// "IN-USE" for "-ERR [IN-USE] ...", "SYS/TEMP" for "-ERR [SYS/TEMP] ...";
// empty when the line has none or its brackets do not hold one.
std::string ParseResponseCode(const std::string& Line);

// ---------------------------------------------------------------------------

class TCustomPop3Cli : public TComponent {
public:
    explicit TCustomPop3Cli(TComponent* AOwner = nullptr);
    ~TCustomPop3Cli() override;
    const char* ClassName() const override { return "TCustomPop3Cli"; }

    // --- virtual operations, in slot order -------------------------------
protected:
    virtual void WndProc(platform::TMessage& Msg);
    virtual void FireSessionConnected(Word Error);
    virtual void FireResponse(const std::string& Msg);
    virtual void FireStateChange();
    virtual void FireRequestDone(Integer Error);

public:
    // Each either raises Pop3Exception at once or starts a request whose end
    // is reported by OnRequestDone. Arguments come from the properties.
    virtual void Connect();
    virtual void Open();
    virtual void User();
    virtual void Pass();
    virtual void RPop();
    virtual void APop();
    virtual void Quit();
    virtual void Stat();
    virtual void List();
    virtual void Retr();
    virtual void Top();
    virtual void Dele();
    virtual void Noop();
    virtual void Last();
    virtual void RSet();
    virtual void Uidl();
    // Abandons the current request and closes the connection; never raises.
    virtual void Abort();
    // CAPA (RFC 2449): allowed in any protocol state once connected; the
    // reply's lines replace Capabilities().
    virtual void Capa();
    // STLS (RFC 2595): allowed before USER on a session not yet under TLS.
    // The request ends after the TLS handshake (Capabilities() emptied, as
    // they may change); a failed handshake closes the connection.
    virtual void Stls();
    // AUTH (RFC 5034) with the SASL mechanism AuthMechanism(), from the
    // AUTHORIZATION state before USER; UserName and PassWord (for XOAUTH2 and
    // OAUTHBEARER the access token) are its credentials. Refused at once when
    // the mechanism is unknown, or when the last CAPA listed SASL mechanisms
    // without it. A refused login leaves the session waiting for USER, APOP
    // or AUTH again.
    virtual void Auth();
    // TOP n MsgLines for n = 1 .. MsgCount (from the last STAT) as one
    // request: per message OnMessageBegin, OnMessageLine..., OnMessageEnd in
    // message order, with MsgNum() == n during them. A negative reply for a
    // message is shown through OnDisplay and skipped; the request succeeds
    // only when every TOP did. With Pipelining() and PIPELINING in the last
    // CAPA the commands go out in batches while replies are read (RFC 2449
    // section 6.6), otherwise one at a time.
    virtual void TopAll();

    // --- properties -------------------------------------------------------
    const std::string& Host() const { return FHost; }
    void SetHost(const std::string& Value) { FHost = Value; }
    // A port number or a service name; "pop3" after construction.
    const std::string& Port() const { return FPort; }
    void SetPort(const std::string& Value) { FPort = Value; }
    const std::string& UserName() const { return FUserName; }
    void SetUserName(const std::string& Value) { FUserName = Value; }
    const std::string& PassWord() const { return FPassWord; }
    void SetPassWord(const std::string& Value) { FPassWord = Value; }
    // The first error text recorded since a sequence last cleared it.
    const std::string& ErrorMessage() const { return FErrorMessage; }
    // The last line received (without CR LF), or a composed error text.
    // During a line event of a multi-line reply: the body line, unstuffed.
    const std::string& LastResponse() const { return FLastResponse; }
    TPop3ProtocolState ProtocolState() const { return FProtoState; }
    TPop3State State() const { return FEngineState; }
    Integer MsgCount() const { return FMsgCount; }
    Integer MsgSize() const { return FMsgSize; }
    // 1-based message number: argument of LIST, UIDL, RETR, TOP and DELE;
    // overwritten by the number parsed from LIST/UIDL replies and LAST.
    Integer MsgNum() const { return FMsgNum; }
    void SetMsgNum(Integer Value) { FMsgNum = Value; }
    // Body lines TOP asks for after the header.
    Integer MsgLines() const { return FMsgLines; }
    void SetMsgLines(Integer Value) { FMsgLines = Value; }
    const std::string& MsgUidl() const { return FMsgUidl; }
    // The client's own value kept for the user (not the component's Tag).
    Integer Tag() const { return FTag; }
    void SetTag(Integer Value) { FTag = Value; }
    // True while a line event carries a piece of a line longer than the
    // receive buffer holds: the rest of the same line follows in the next
    // line event(s), the last piece with PartialLine false.
    bool PartialLine() const { return FPartialLine; }
    // The capability lines of the last CAPA reply (RFC 2449 section 5), as
    // the server sent them, without CR LF. Emptied by every Connect.
    const std::vector<std::string>& Capabilities() const { return FCapabilities; }
    // Whether the last CAPA listed the capability Name (its first word,
    // compared without regard to case: "STLS", "PIPELINING", "SASL").
    bool HasCapability(std::string_view Name) const;
    // The mechanisms on the last CAPA's SASL line (RFC 5034 section 5).
    std::vector<std::string> SaslMechanisms() const;
    // The APOP timestamp of the greeting ("<1896.697170952@dbc.mtview.ca.us>",
    // RFC 1939 section 7); empty when it had none. Emptied by every Connect.
    const std::string& ApopTimeStamp() const { return FApopTimeStamp; }
    // The SASL mechanism Auth uses, named as the RFCs write it ("PLAIN",
    // "LOGIN", "CRAM-MD5", "SCRAM-SHA-256", "XOAUTH2", "OAUTHBEARER"),
    // compared without regard to case. Empty after construction.
    const std::string& AuthMechanism() const { return FAuthMechanism; }
    void SetAuthMechanism(const std::string& Value) { FAuthMechanism = Value; }
    // The response code (ParseResponseCode) of the negative reply that ended
    // the last request: "IN-USE", "LOGIN-DELAY", "SYS/TEMP", "SYS/PERM",
    // "AUTH". Empty when that request ended otherwise or its reply had none;
    // cleared when a request starts.
    const std::string& ResponseCode() const { return FResponseCode; }
    // Whether TopAll may keep several commands in flight when the server
    // announces PIPELINING. True after construction.
    bool Pipelining() const { return FPipelining; }
    void SetPipelining(bool Value) { FPipelining = Value; }

    // TLS for the connections that follow (Connect reads them).
    TPop3Security Security() const { return FSecurity; }
    void SetSecurity(TPop3Security Value) { FSecurity = Value; }
    // A PEM file of CA certificates trusted besides the system store; empty:
    // the system store only.
    const std::string& TlsCaFile() const { return FTlsCaFile; }
    void SetTlsCaFile(const std::string& Value) { FTlsCaFile = Value; }
    // The SHA-256 fingerprint of a server certificate to trust even when it
    // fails verification (hex; colons and letter case ignored).
    const std::string& TlsPin() const { return FTlsPin; }
    void SetTlsPin(const std::string& Value) { FTlsPin = Value; }
    // The certificate the server presented in the last handshake, also when
    // it failed verification; empty before any handshake. The fingerprint
    // is uppercase hex with colons, as `openssl x509 -noout -fingerprint
    // -sha256` prints it; names are RFC 2253 text, dates "YYYY-MM-DD
    // HH:MM:SS UTC".
    const std::string& TlsPeerFingerprint() const { return FSocket->TlsPeerFingerprint(); }
    const std::string& TlsPeerSubject() const { return FSocket->TlsPeerSubject(); }
    const std::string& TlsPeerIssuer() const { return FSocket->TlsPeerIssuer(); }
    const std::string& TlsPeerNotBefore() const { return FSocket->TlsPeerNotBefore(); }
    const std::string& TlsPeerNotAfter() const { return FSocket->TlsPeerNotAfter(); }
    // The TLS failure of the last connection (21001...21011, WSocket.h; 0
    // none) and its text.
    Integer TlsError() const { return FSocket->TlsError(); }
    const std::string& TlsErrorText() const { return FSocket->TlsErrorText(); }
    // Whether the session is encrypted now.
    bool TlsActive() const { return FSocket->TlsState() == tlsWrapped; }

    // --- events -----------------------------------------------------------
    TPop3Display OnDisplay;
    TNotifyEvent OnMessageBegin;
    TNotifyEvent OnMessageEnd;
    TNotifyEvent OnMessageLine;
    TNotifyEvent OnListBegin;
    TNotifyEvent OnListEnd;
    TNotifyEvent OnListLine;
    TNotifyEvent OnUidlBegin;
    TNotifyEvent OnUidlEnd;
    TNotifyEvent OnUidlLine;
    TNotifyEvent OnStateChange;
    TPop3RequestDone OnRequestDone;
    TPop3Display OnResponse;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;

protected:
    // Status code of a negative reply, and the result of a request the
    // client itself declares failed.
    static constexpr Integer NegativeReply = 500;

    // A handler of the engine (FNext, FAfterOk, FSequenceNext, FLineParser).
    using THandler = void (TCustomPop3Cli::*)();
    struct TCommand;

    void Notification(TComponent* AComponent, TOperation Operation) override;

    // Command cycle
    void CheckReady();
    void RefuseWith(const std::string& Text);
    // The common start of every request that sends commands: refused unless
    // ready and connected; afterwards the request is open.
    void BeginCommandRequest(TPop3Request Request, TPop3ProtocolState Target, THandler AfterOk);
    // Shown: what OnDisplay gets for a line that carries a secret (empty:
    // the line itself). Next: the handler of the reply's first line.
    void StartCommand(TPop3Request Request, const std::string& Line, TPop3ProtocolState Target,
                      THandler AfterOk, const std::string& Shown = {},
                      THandler Next = &TCustomPop3Cli::CommandStatusReceived);
    static const TCommand* FindCommand(TPop3Request Request);
    void RunCommand(TPop3Request Request);
    void SendCommand(const std::string& Line, const std::string& Shown = {});
    void CommandStatusReceived();
    bool IsPositiveStatus();
    void KeepErrorMessage();
    void KeepFailure(const std::string& Text, Integer Error);
    void SetState(TPop3State NewState);
    // Whether the request that sent a command still awaits its reply: false
    // once an event handler has aborted it (or started another after that).
    bool StillWaiting() const { return !FDoneReported && FEngineState == pop3WaitingResponse; }
    void SetProtocolState(TPop3ProtocolState NewState) { FProtoState = NewState; }
    void FireDisplay(const std::string& Msg);
    void HandleRequestDone(TPop3Request RqType, Integer Error);

    // Connection
    void SocketDnsLookupDone(TObject* Sender, Word Error);
    void SocketSessionConnected(TObject* Sender, Word Error);
    void SocketDataAvailable(TObject* Sender, Word Error);
    void SocketSessionClosed(TObject* Sender, Word Error);
    void BannerReceived(Word Error);
    bool DispatchLine(bool LineStart, Word Error);
    void ConnectFailed(const std::string& Text, Integer Error);
    // "-ERR <text> (Winsock error #N)", or for a TLS failure "-ERR <its
    // text> (TLS error #N)".
    std::string FailureText(Word Error) const;

    // TLS: the STLS negotiation of Connect, the STLS request, the handshake.
    void SendInternal(const std::string& Line, THandler AfterOk);
    void InternalStatusReceived();
    void StlsCapaStart();
    void StlsCapaDone();
    void StlsGoAhead();
    void StlsCapaAgainStart();
    void StlsConnected();
    void StlsFailed(const std::string& Text, Integer Error, bool Display = true);
    void SocketHandshakeDone(TObject* Sender, Word Error);
    void DisplayTls();

    // SASL (AUTH)
    void AuthReplyReceived();
    void AuthChallengeReceived();
    void AuthFailed(const std::string& Why);
    // SCRAM's client nonce (RFC 5802 section 5.1): fresh random bytes, in
    // base64, for every exchange. Tests replace it with the RFCs' nonces.
    virtual std::string SaslClientNonce();

    // Sequences
    void StartSequence(TPop3Request Request, TPop3StepSet Steps);
    void SequenceStep();
    void SequenceStepRefused(Exception& E, bool First);

    // Results and multi-line transfers
    void StatDone();
    void ListOneDone();
    void UidlOneDone();
    void LastDone();
    void ListAllStart();
    void UidlAllStart();
    void MessageStart();
    void ParseListLine();
    void ParseUidlLine();
    void CapaStart();
    void ParseCapaLine();
    // AfterBody runs after the terminating line instead of the completion (a
    // reply that is one step of a longer request).
    void StartMultiLine(THandler Parser, const TNotifyEvent& EndEvent, const TNotifyEvent& LineEvent,
                        const TNotifyEvent& BeginEvent, THandler AfterBody = nullptr);
    void MultiLineReceived();
    void QuitDone();
    void CloseAfterQuit();

    // The header fetch of every message (TopAll)
    void TopAllStart(TPop3Request Request, TPop3ProtocolState Target, THandler AfterOk);
    void TopAllFill(bool First);
    void TopAllStatusReceived();
    void TopAllMessageStart();
    void TopAllMessageDone();
    std::string TopAllCommand(Integer MsgNum) const;

    TWSocket* FSocket = nullptr;
    std::unique_ptr<platform::NotifyEndpoint> FNotifyWindow;
    TPop3State FEngineState = pop3Ready;
    TPop3ProtocolState FNextProtocolState = pop3Disconnected;
    TPop3ProtocolState FProtoState = pop3Disconnected;
    bool FConnected = false;
    TPop3Request FRequestType = pop3Connect;
    // True when no request is pending: nothing has started yet, or the
    // current one has been reported.
    bool FDoneReported = true;
    Integer FRcvLen = 0;
    // Outcome of the current request: 0, 500, 426, or a socket error number.
    Integer FRequestResult = 0;
    Integer FStatusCode = 0;
    char FRcvBuf[Pop3RcvBufSize] = {};
    THandler FNext = nullptr;
    TPop3StepSet FStepSet = 0;
    TPop3Step FCurrentStep = pop3StepNone;
    Integer FSequenceResult = 0;
    bool FInSequence = false;
    THandler FSequenceNext = nullptr;
    THandler FAfterOk = nullptr;
    TNotifyEvent FLineEvent;
    TNotifyEvent FEndEvent;
    THandler FLineParser = nullptr;
    // Run after a multi-line body's terminator; none completes the request.
    THandler FAfterBody = nullptr;
    std::string FHost;
    std::string FPort = "pop3";
    std::string FUserName;
    std::string FPassWord;
    std::string FLastResponse;
    std::string FErrorMessage;
    std::string FApopTimeStamp;
    Integer FMsgCount = 0;
    Integer FMsgSize = 0;
    Integer FMsgNum = 0;
    std::string FMsgUidl;
    Integer FMsgLines = 0;
    Integer FTag = 0;
    std::vector<std::string> FCapabilities;
    // Bytes kept in FCapabilities; lines beyond Pop3MaxCapabilityBytes are dropped.
    size_t FCapabilityBytes = 0;
    std::string FAuthMechanism;
    std::string FResponseCode;
    // The running AUTH exchange, and its initial response while it waits for
    // the server's first challenge (too long for the AUTH line).
    std::unique_ptr<TSaslMechanism> FSasl;
    std::optional<std::string> FSaslInitial;
    // Line assembly: whether the line being handled begins a line (it may
    // be a later piece of an over-long one), and whether the pieces of the
    // current over-long line go to a multi-line body.
    bool FLineStart = true;
    bool FPieceToBody = false;
    bool FPartialLine = false;
    bool FPipelining = true;
    // Set by a positive reply to QUIT until the connection is closed: a
    // close of our own follows unless the server's comes first.
    bool FCloseAfterQuit = false;
    // TopAll: the next message to ask for, the one whose reply is awaited
    // and the last one (1-based); the window's limits and the command bytes
    // unanswered.
    Integer FTopAllNext = 0;
    Integer FTopAllCurrent = 0;
    Integer FTopAllLast = 0;
    Integer FTopAllWindow = 1;
    Integer FTopAllBatch = 1;
    size_t FTopAllBytesInFlight = 0;
    // Replies completed so far (positive or negative), counted across
    // requests: a blocking wait that sees it change knows the request is
    // making progress.
    uint32_t FRepliesCompleted = 0;
    TPop3Security FSecurity = pop3SecNone;
    std::string FTlsCaFile;
    std::string FTlsPin;
    bool FStlsInConnect = false; // Connect runs its STLS negotiation
    bool FStlsPending = false;   // STLS accepted, handshake under way
};

// Publishes the properties and events, and offers the published properties
// by name as text (numbers in decimal, enumerations by their names).
class TPop3Cli : public TCustomPop3Cli {
public:
    using TCustomPop3Cli::TCustomPop3Cli;
    const char* ClassName() const override { return "TPop3Cli"; }

    // Raise Pop3Exception for an unknown name, a read-only property or a
    // value of the wrong form.
    virtual std::string GetPropertyByName(const std::string& Name);
    virtual void SetPropertyByName(const std::string& Name, const std::string& Value);
    // The published property names, in published order.
    static const TStrings& PublishedProperties();
};

// Blocking face of the engine: each SyncX starts X and waits until the
// engine is ready again, the Timeout has passed or the application ends.
// None raises; each returns whether the request succeeded.
class TSyncPop3Cli : public TPop3Cli {
public:
    explicit TSyncPop3Cli(TComponent* AOwner = nullptr);
    const char* ClassName() const override { return "TSyncPop3Cli"; }

    // Seconds one blocking operation may take in all; 0 or less: no limit.
    // For SyncTopAll: seconds without a complete message.
    Integer Timeout() const { return FTimeout; }
    void SetTimeout(Integer Value) { FTimeout = Value; }
    // Wait on this thread's own loop (a client living in a worker thread)
    // instead of the application's pump.
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool Value);

    // --- virtual operations, in slot order after the engine's ------------
    virtual bool WaitForReady();
    virtual bool SyncConnect();
    virtual bool SyncOpen();
    virtual bool SyncUser();
    virtual bool SyncPass();
    virtual bool SyncRPop();
    virtual bool SyncAPop();
    virtual bool SyncQuit();
    virtual bool SyncStat();
    virtual bool SyncList();
    virtual bool SyncRetr();
    virtual bool SyncTop();
    virtual bool SyncDele();
    virtual bool SyncNoop();
    virtual bool SyncLast();
    virtual bool SyncRSet();
    virtual bool SyncUidl();
    virtual bool SyncAbort();
    virtual bool SyncCapa();
    virtual bool SyncStls();
    virtual bool SyncAuth();
    virtual bool SyncTopAll();

    std::string GetPropertyByName(const std::string& Name) override;
    void SetPropertyByName(const std::string& Name, const std::string& Value) override;
    static const TStrings& PublishedProperties();

    // Milliseconds one wait blocks at most before it looks again at the
    // application's terminating flag and the deadline.
    static constexpr int WaitSliceMs = 100;

protected:
    bool RunSync(void (TCustomPop3Cli::*Operation)());

    Integer FTimeout = 15;
    // Tick count (ms) at which the current wait times out.
    uint32_t FWaitDeadline = 0;
    bool FMultiThreaded = false;
};
