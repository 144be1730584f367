// The event-driven socket layer: the socket class chain, name, port and
// protocol resolution, the binding of the sockets interface and its error
// texts.
//
// A TCustomWSocket wraps one non-blocking IPv4 socket (stream or datagram)
// and reports everything that happens on it through events, raised while the
// owning thread runs its event loop. No operation waits for the network
// except the synchronous look-ups of Connect and Listen.
#pragma once

#include "platform/EventLoop.h"
#include "platform/Format.h"
#include "platform/Object.h"
#include "platform/Sockets.h"
#include "socket/WSockbuf.h"

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

using platform::sock::TSocket;
using platform::sock::INVALID_SOCKET;

// ---------------------------------------------------------------------------
// Errors

class ESocketException : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "ESocketException"; }
};

// The English text of a socket error number ("Not a WinSock error" for any
// number outside the table).
std::string SocketErrorText(Integer error);

// ---------------------------------------------------------------------------
// Binding of the sockets interface. The "library" is loaded and started by
// the first socket call, entry points are looked up by name on their first
// call and kept, and everything is dropped again by UnloadSocketLibrary when
// the last socket object goes, so that a later call starts afresh.

namespace wsock {

// Name of the library that LoadSocketProc loads.
extern std::string SocketLibraryName;

// Loads and starts the library when needed, then returns the entry point of
// procName (null for an empty name). Raises ESocketException when the
// library, its start-up or the entry point fails.
void (*LoadSocketProc(const std::string& procName))();
void UnloadSocketLibrary();
bool SocketLibraryLoaded();
// Number of entry points bound since the last load.
int BoundProcCount();

int WSAStartup(uint16_t versionRequested, platform::sock::WSAData* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);
int WSAAsyncSelect(TSocket s, platform::EndpointHandle endpoint, uint32_t msg, int32_t events);
platform::sock::TAsyncHandle WSAAsyncGetHostByName(platform::EndpointHandle endpoint, uint32_t msg,
                                                   const char* name, char* buf, int buflen);
platform::sock::TAsyncHandle WSAAsyncGetHostByAddr(platform::EndpointHandle endpoint, uint32_t msg,
                                                   const char* addr, int len, int type, char* buf,
                                                   int buflen);
int WSACancelAsyncRequest(platform::sock::TAsyncHandle handle);
hostent* gethostbyname(const char* name);
servent* getservbyname(const char* name, const char* proto);
protoent* getprotobyname(const char* name);
TSocket socket(int af, int type, int protocol);
int bind(TSocket s, const sockaddr* name, int namelen);
int listen(TSocket s, int backlog);
TSocket accept(TSocket s, sockaddr* addr, int* addrlen);
int connect(TSocket s, const sockaddr* name, int namelen);
int shutdown(TSocket s, int how);
int closesocket(TSocket s);
int setsockopt(TSocket s, int level, int optname, const void* optval, int optlen);
int ioctlsocket(TSocket s, long cmd, uint32_t* argp);
int getsockname(TSocket s, sockaddr* name, int* namelen);
int getpeername(TSocket s, sockaddr* name, int* namelen);
int send(TSocket s, const void* buf, int len, int flags);
int sendto(TSocket s, const void* buf, int len, int flags, const sockaddr* to, int tolen);
int recv(TSocket s, void* buf, int len, int flags);
int recvfrom(TSocket s, void* buf, int len, int flags, sockaddr* from, int* fromlen);
uint32_t inet_addr(const char* cp);
char* inet_ntoa(in_addr in);
uint16_t htons(uint16_t v);
uint16_t ntohs(uint16_t v);

} // namespace wsock

// ---------------------------------------------------------------------------
// Resolution (free functions; they raise ESocketException)

// 32-bit IPv4 address in network order.
uint32_t WSocketResolveHost(const std::string& InAddr);
// 16-bit port in host order.
uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto);
Integer WSocketResolveProto(const std::string& Proto);
bool IsDottedNumericAddress(const std::string& Text);
Integer ParseLeadingNumber(const std::string& Text);
bool IsDecimalDigit(char Ch);
// Appends the dotted text of every address of the entry, in entry order.
void CollectHostAddresses(const hostent* HostEntry, TStrings& List);

// ---------------------------------------------------------------------------
// The socket class

enum TSocketState : uint8_t {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed,
};
const char* SocketStateName(TSocketState state);

enum TSocketSendFlags : uint8_t { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff : uint8_t { wsLingerOff, wsLingerOn, wsLingerNoSet };

// Event types: the handler (a function bound to its object) gets the socket
// as Sender. An unassigned event is an empty function.
using TDataAvailable = std::function<void(TObject* Sender, Word Error)>;
using TDataSent = std::function<void(TObject* Sender, Word Error)>;
using TSendData = std::function<void(TObject* Sender, Integer BytesSent)>;
using TSessionClosed = std::function<void(TObject* Sender, Word Error)>;
using TSessionAvailable = std::function<void(TObject* Sender, Word Error)>;
using TSessionConnected = std::function<void(TObject* Sender, Word Error)>;
using TDnsLookupDone = std::function<void(TObject* Sender, Word Error)>;
using TChangeState = std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = std::function<void(TObject* Sender, Exception& E, bool& CanClose)>;
using TNotifyEvent = std::function<void(TObject* Sender)>;

// Notification codes of the socket's own endpoint.
constexpr uint32_t WM_ASYNCSELECT = platform::WM_USER + 1;       // 1025 readiness
constexpr uint32_t WM_ASYNCGETHOSTBYNAME = platform::WM_USER + 2; // 1026
constexpr uint32_t WM_ASYNCGETHOSTBYADDR = platform::WM_USER + 3; // 1027
constexpr uint32_t WM_CLOSE_DELAYED = platform::WM_USER + 4;     // 1028
constexpr uint32_t WM_WSOCKET_RELEASE = platform::WM_USER + 5;   // 1029
constexpr uint32_t WM_TRIGGER_EXCEPTION = platform::WM_USER + 6; // 1030
// Line mode: offer the held bytes again after LineMode changed.
constexpr uint32_t WM_LINE_REDELIVERY = platform::WM_USER + 20;  // 1044

// Result of a synchronous wait that ended by its time limit or because the
// application is quitting.
constexpr Integer WAIT_TIMED_OUT = 12001;

struct TTimeVal {
    int32_t tv_sec = 0;
    int32_t tv_usec = 0;
};

class TCustomWSocket : public TComponent {
public:
    explicit TCustomWSocket(TComponent* AOwner = nullptr);
    ~TCustomWSocket() override;
    const char* ClassName() const override { return "TCustomWSocket"; }

    // --- virtual operations, in slot order -------------------------------
    virtual void DispatchNotification(platform::TMessage& Msg);
    virtual void InitDefaults();
protected:
    virtual void CloseConnection(bool ShutdownFirst, Word Error);
public:
    virtual void SetPort(const std::string& Value);
    virtual void SetProto(const std::string& Value);
    virtual Integer RcvdCount();
protected:
    virtual void BindLocal();
    virtual Integer SendChunk(const void* Data, Integer Len);
    virtual void ReportErrorFmt(const std::string& Fmt, const TVarRecs& Args);
    virtual void ReportError(const std::string& Msg);
    virtual void HandleBgException(Exception& E);
    virtual bool FireDataAvailable(Word Error);
    virtual void FireSessionAvailable(Word Error);
    virtual void FireSessionConnected(Word Error);
    virtual void FireSessionClosed(Word Error);
    virtual void FireDataSent(Word Error);
    virtual void FireChangeState(TSocketState OldState, TSocketState NewState);
    virtual void FireDnsLookupDone(Word Error);
    virtual void FireError();
public:
    virtual Integer RecvRaw(void* Buffer, Integer Len, Integer Flags);
    virtual Integer RecvFromRaw(TSocket Handle, void* Buffer, Integer BufferSize, Integer Flags,
                                sockaddr_in& From, Integer& FromLen);
    virtual void Connect();
    virtual void Close();
    virtual void ScheduleClose();
    virtual void ScheduleDestroy();
    virtual void Abort();
    virtual void Flush();
    virtual void WaitUntilClosed();
    virtual void Listen();
    virtual TSocket Accept();
    virtual Integer Receive(void* Buffer, Integer BufferSize);
    virtual std::string ReceiveStr();
    virtual Integer ReceiveFrom(void* Buffer, Integer BufferSize, sockaddr_in& From, Integer& FromLen);
    virtual Integer Send(const void* Data, Integer Len);
    virtual Integer SendTo(const sockaddr_in& Dest, Integer DestLen, const void* Data, Integer Len);
    virtual Integer SendStr(const std::string& Str);
    virtual void DnsLookup(const std::string& HostName);
    virtual void ReverseDnsLookup(const std::string& HostAddr);
    virtual void CancelDnsLookup();
    virtual std::string PeerAddr();
    virtual std::string PeerPort();
    virtual Integer GetPeerName(sockaddr_in& Name, Integer NameLen);
    virtual std::string GetBoundPort();
    virtual bool TimevalIsSet(const TTimeVal& tv);
    virtual void TimevalClear(TTimeVal& tv);
    virtual bool TimevalCompare(const TTimeVal& A, const TTimeVal& B, bool Equal);
    virtual Integer GetSockName(sockaddr_in& Name, Integer& NameLen);
    virtual void Dup(TSocket NewHandle);
    virtual void Shutdown(Integer How);
    virtual void Pause();
    virtual void Resume();
    virtual void ProcessMessages();

    // --- operations that are not virtual ----------------------------------
    void ChangeState(TSocketState NewState);
    void ApplyLinger();
    void ReportSocketError(const std::string& FunctionName);
    void ClearSendQueue();
    void TryToSend();
    void AppendToSendQueue(const void* Data, Integer Len);
    // Removes one pending message of the calling thread; a quit request sets
    // QuitSeen and is not dispatched. Returns whether one was removed.
    bool PumpOneMessage();
    void PumpMessages();

    // --- properties -------------------------------------------------------
    const std::string& Addr() const { return FAddr; }
    void SetAddr(const std::string& Value);
    const std::string& Port() const { return FPort; }
    const std::string& Proto() const { return FProto; }
    const std::string& LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& Value);
    const std::string& LocalPort() const { return FLocalPort; }
    void SetLocalPort(const std::string& Value);
    const std::string& DnsResult() const { return FDnsResult; }
    const TStrings& DnsResultList() const { return FDnsResultList; }
    TSocketState State() const { return FState; }
    Integer ReadCount() const { return FReadCount; }
    Integer LastError() const { return FLastError; }
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }
    Integer FlushTimeout() const { return FFlushTimeout; }
    void SetFlushTimeout(Integer Value) { FFlushTimeout = Value; }
    TSocketSendFlags SendFlags() const;
    void SetSendFlags(TSocketSendFlags Value);
    TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
    Integer LingerTimeout() const { return FLingerTimeout; }
    void SetLingerTimeout(Integer Value) { FLingerTimeout = Value; }

    // --- fields readable by subclasses, tests and tools ---------------------
    TSocket SocketHandle() const { return FSocketHandle; }
    platform::EndpointHandle NotifyEndpoint() const { return FNotifyEndpoint ? FNotifyEndpoint->Handle() : 0; }
    const sockaddr_in& SockAddr() const { return FSockAddr; }
    Integer SocketKind() const { return FSocketKind; }
    Integer ProtoNumber() const { return FProtoNumber; }
    Integer PortNumber() const { return FPortNumber; }
    Integer LocalPortNumber() const { return FLocalPortNumber; }
    bool HasAddr() const { return FHasAddr; }
    bool HasPort() const { return FHasPort; }
    bool HasProto() const { return FHasProto; }
    bool AllDataSent() const { return FAllDataSent; }
    bool ClosedReported() const { return FClosedReported; }
    bool NotificationsPaused() const { return FNotificationsPaused; }
    bool QuitSeen() const { return FQuitSeen; }
    TSocket AcceptedHandle() const { return FAcceptedHandle; }
    platform::sock::TAsyncHandle LookupRequest() const { return FLookupRequest; }
    Integer BlockSize() const { return FBlockSize; }
    const std::list<std::unique_ptr<TBuffer>>& SendQueue() const { return FSendQueue; }

    // The number of live socket objects; when the last one goes the socket
    // library is unloaded.
    static Integer SocketInstanceCount();

    // --- events -----------------------------------------------------------
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TSessionClosed OnSessionClosed;
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TChangeState OnChangeState;
    TNotifyEvent OnLineTooLong;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

protected:
    void AssignTarget(std::string& Text, bool& Has, bool& Ready, const std::string& Value,
                      const char* NotClosedMessage);
    void ResolveTarget(bool WithLocalPort);
    bool QueryPeer(sockaddr_in& Peer, const char* FunctionName);
    void HandleSocketEvent(TSocket Handle, Word Events, Word Error);
    void HandleReadReady(Word Error);
    void HandleWriteReady(Word Error);
    // The common start of DnsLookup and ReverseDnsLookup: reports an empty
    // host text, drops the pending look-up and empties the results. False
    // when the look-up must not go on.
    bool BeginLookup(const std::string& Host);
    void HandleHostByNameDone(platform::sock::TAsyncHandle Request, Word Error);
    void HandleHostByAddrDone(platform::sock::TAsyncHandle Request, Word Error);
    void FireSendData(Integer BytesSent);
    // Posts a notification to the socket's own endpoint.
    void PostToSelf(uint32_t Msg, uintptr_t WParam, intptr_t LParam);
    // InitDefaults after a close, unless a handler of the close has opened
    // the socket again.
    void ResetAfterClose();
    // False, after reporting WSAEMFILE for FunctionName, when the
    // constructor could not create the notification endpoint.
    bool HasEndpoint(const std::string& FunctionName);
    // Blocks until the next event of the pump that ProcessMessages runs (the
    // thread's own loop with MultiThreaded, else the application's), a quit
    // or terminate request, or TimeoutMs (negative: no limit).
    void WaitForEvent(int TimeoutMs);

    // Waits for something that no event announces (bytes a handler left
    // unread, a paused socket) look again after this many milliseconds.
    static constexpr int IdleRecheckMs = 100;

    std::string FAddr;
    std::string FPort;
    std::string FProto;
    std::string FLocalAddr;
    std::string FLocalPort;
    std::string FDnsResult;
    TStrings FDnsResultList;
    TSocketState FState = wsClosed;
    Integer FReadCount = 0;
    Integer FLastError = 0;
    bool FMultiThreaded = false;
    Integer FFlushTimeout = 60;
    TSocketLingerOnOff FLingerOnOff = wsLingerOn;
    Integer FLingerTimeout = 0;

    TSocket FSocketHandle = INVALID_SOCKET;
    std::unique_ptr<platform::NotifyEndpoint> FNotifyEndpoint;
    sockaddr_in FSockAddr{};
    Integer FAddressFamily = AF_INET;
    Integer FSocketKind = SOCK_STREAM;
    Integer FProtoNumber = IPPROTO_TCP;
    Integer FPortNumber = 0;
    Integer FLocalPortNumber = 0;
    bool FHasAddr = false;
    bool FHasPort = false;
    bool FHasProto = true;
    bool FAddrReady = false;
    bool FPortReady = false;
    bool FProtoReady = false;
    bool FLocalPortReady = false;
    std::list<std::unique_ptr<TBuffer>> FSendQueue;
    Integer FBlockSize = TBuffer::DefaultSize;
    bool FAllDataSent = true;
    bool FClosedReported = false;
    bool FNotificationsPaused = false;
    bool FQuitSeen = false;
    TSocket FAcceptedHandle = INVALID_SOCKET;
    platform::sock::TAsyncHandle FLookupRequest = 0;
    char FLookupBuffer[1025] = {};
    Integer FSendFlags = 0;
    // True while TryToSend waits for a SendChunk to return: the offered bytes
    // are still unconsumed in the head block, so a TryToSend entered from an
    // OnSendData handler must not offer them again.
    bool FSending = false;
    // Set by a receive from the kernel that returned less than asked of a
    // stream socket: nothing was left waiting then, and bytes that come
    // later announce themselves with a new read notification.
    bool FReadDrained = false;
};

// ---------------------------------------------------------------------------
// SOCKS proxy client

enum TSocksAuthentication : uint8_t { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState : uint8_t { socksAuthStarted, socksAuthSucceeded, socksAuthFailed, socksAuthNotNeeded };

using TSocksAuthStateEvent = std::function<void(TObject* Sender, TSocksAuthState AuthState)>;
using TSocksErrorEvent = std::function<void(TObject* Sender, Integer Error, const std::string& Msg)>;

// Negotiation failure codes, given to OnSocksError and as the Error of
// OnSessionConnected and OnSessionClosed.
constexpr Integer socksErrTooMuchData = 20001;
constexpr Integer socksErrVersion = 20002;
constexpr Integer socksErrMethodNotAcceptable = 20003;
constexpr Integer socksErrGeneralFailure = 20004; // reply codes 1..8 follow in order
constexpr Integer socksErrConnectionRefused = 20008;
constexpr Integer socksErrAddressType = 20011;
constexpr Integer socksErrUnassigned = 20012;
constexpr Integer socksErrRequestTooLong = 20013;
constexpr Integer socksErrAuthFailed = 20015;
constexpr Integer socksErrRejected = 20016;
constexpr Integer socksErrResolve = 20017;

// SOCKS 4, 4A and 5 proxy client on top of the core. With SocksServer set,
// Connect opens the connection to the proxy, the negotiation runs inside
// the socket's own event handling, and OnSessionConnected fires only when
// the proxy has connected the destination (or the negotiation failed).
class TCustomSocksWSocket : public TCustomWSocket {
public:
    using TCustomWSocket::TCustomWSocket;
    const char* ClassName() const override { return "TCustomSocksWSocket"; }

    void InitDefaults() override;
    Integer RcvdCount() override;
    Integer RecvRaw(void* Buffer, Integer Len, Integer Flags) override;
    void Connect() override;
    void Listen() override;

    // --- new virtual operations, in slot order ------------------------------
protected:
    virtual void FireSocksConnected(Word Error);
public:
    virtual void SetSocksPort(const std::string& Value);
    virtual void SetSocksServer(const std::string& Value);
protected:
    virtual void FireSocksError(Integer Error, const std::string& Msg);

public:
    // --- properties -------------------------------------------------------
    const std::string& SocksServer() const { return FSocksServer; }
    const std::string& SocksPort() const { return FSocksPort; }
    const std::string& SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string& Value);
    const std::string& SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string& Value) { FSocksUsercode = Value; }
    const std::string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& Value) { FSocksPassword = Value; }
    TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication Value) { FSocksAuthentication = Value; }

    // --- negotiation state, readable by subclasses, tests and tools ---------
    uint8_t SocksPhase() const { return FSocksPhase; }
    Integer SocksLeftoverCount() const { return FSocksLeftoverCount; }

    // --- events -----------------------------------------------------------
    TSessionConnected OnSocksConnected;
    TSocksAuthStateEvent OnSocksAuthState;
    TSocksErrorEvent OnSocksError;

    // Negotiation phases (SocksPhase).
    static constexpr uint8_t PhaseNone = 0;
    static constexpr uint8_t PhaseMethod = 1; // connecting, then the level 5 method selection
    static constexpr uint8_t PhaseAuth = 2;
    static constexpr uint8_t PhaseConnect = 3;

    // Every request is built in an area of this size; one that does not fit
    // is refused with socksErrRequestTooLong.
    static constexpr Integer RequestAreaSize = 128;
    // Replies are collected in an area that holds the longest level 5
    // connect reply (4 + 1 + a 255-byte name + 2) with room to spare.
    static constexpr Integer ReplyAreaSize = 512;

protected:
    bool FireDataAvailable(Word Error) override;
    void FireSessionConnected(Word Error) override;
    void FireSessionClosed(Word Error) override;

    void FireSocksAuthState(TSocksAuthState AuthState);
    void SendSocksAuthRequest();
    void SendSocksConnectRequest();
    void SocksFail(Integer Code, const std::string& Msg);

private:
    bool SocksEnabled() const { return !FSocksServer.empty(); }
    bool SocksLevel4() const { return !FSocksLevel.empty() && FSocksLevel[0] == '4'; }
    void ForgetResolvedTarget();
    // Sends a request built by the caller, or fails the negotiation when it
    // outgrew the request area. Swallows what Send raises when asked to.
    bool SendSocksRequest(const std::string& Request, bool SwallowErrors);
    // One handler per waiting reply, each paired with the request it
    // answers. They act once the reply is complete (or judged early); the
    // connect replies return the result of FireDataAvailable.
    void TakeMethodSelection();
    void TakeAuthReply();
    bool TakeConnectReply();
    bool TakeLevel4Reply();
    bool ConnectSucceeded(Integer ReplyLength);

    std::string FSocksServer;
    std::string FSocksPort;
    std::string FSocksLevel = "5";
    std::string FSocksUsercode;
    std::string FSocksPassword;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
    uint8_t FSocksPhase = PhaseNone;
    uint8_t FSocksOfferedMethod = 0;
    uint8_t FSocksReplyBuf[ReplyAreaSize] = {};
    Integer FSocksReplyCount = 0;
    Integer FSocksLeftoverCount = 0;
    Integer FSocksLeftoverPos = 0;
};

// ---------------------------------------------------------------------------
// TLS client

// States of the TLS layer of one connection (TlsState).
enum TTlsState : uint8_t {
    tlsUnwrapped, // bytes pass as they are: TLS off, or not started yet
    tlsHandshake, // the handshake runs; the application sees nothing yet
    tlsWrapped,   // records carry the application's bytes
    tlsShutdown,  // close_notify sent or received, or the session failed: no more data
};
const char* TlsStateName(TTlsState State);

// TLS failure codes, a range of their own beside the socket numbers
// (10004...11004) and the SOCKS codes (20001...20017). They are the Error of
// OnHandshakeDone, OnSessionConnected (implicit TLS) and OnSessionClosed;
// SocketErrorText gives the fixed English text of each, and TlsErrorText the
// text of the last failure with its particulars ("certificate does not match
// host localhost", "TLS handshake failed: ...").
constexpr Integer tlsErrHandshake = 21001;        // "TLS handshake failed"
constexpr Integer tlsErrClosedInHandshake = 21002; // "connection closed during the TLS handshake"
constexpr Integer tlsErrCertExpired = 21003;      // "certificate has expired"
constexpr Integer tlsErrCertNotYetValid = 21004;  // "certificate is not yet valid"
constexpr Integer tlsErrCertUntrusted = 21005;    // "certificate is not trusted"
constexpr Integer tlsErrCertHostMismatch = 21006; // "certificate does not match host"
constexpr Integer tlsErrCertInvalid = 21007;      // "certificate verification failed"
constexpr Integer tlsErrProtocol = 21008;         // "TLS protocol error"
constexpr Integer tlsErrCaFile = 21009;           // "cannot load the CA file"
constexpr Integer tlsErrPlaintext = 21010;        // "unexpected plaintext before the TLS handshake"
constexpr Integer tlsErrNotTls = 21011;           // "the peer does not speak TLS"

// The certificate verification failures (21003 to 21007): the ones a pinned
// fingerprint overrides, and the ones a user may decide to trust.
bool IsTlsCertificateError(Integer Error);

// Posted to the socket's own endpoint when a handshake could not even start
// (the CA file cannot be loaded): the failure is reported from the loop, never
// from inside the call that started the handshake. WParam the handle.
constexpr uint32_t WM_TLS_FAILED = platform::WM_USER + 21; // 1045

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;
struct x509_store_ctx_st;

// TLS 1.2 and 1.3 client (OpenSSL with memory BIOs) between the SOCKS layer
// and line mode: TLS runs through a SOCKS tunnel, and line mode, the waits and
// every user above see plaintext only. Nothing blocks: records are fed to
// OpenSSL from the socket's own readiness notifications, and what OpenSSL
// writes is drained into the send queue after every step.
//
// Two ways in: TlsEnabled makes the next Connect speak TLS from the first
// byte (after the SOCKS negotiation when a proxy is set); StartTls starts it
// on a connected socket (STARTTLS). Events keep their meaning:
// OnSessionConnected fires once the handshake has finished (implicit TLS;
// with its failure code when it failed), OnHandshakeDone after every
// handshake, OnDataAvailable only for decrypted bytes, OnDataSent when the
// encrypted bytes have left, and a peer's close_notify, a close without it,
// or a fatal alert each end the session with one OnSessionClosed. Close sends
// close_notify when the kernel takes it at once; Abort never does.
//
// The peer's certificate is verified against the system store plus TlsCaFile
// and matched against TlsHostName (empty: the destination Addr, never the
// SOCKS server; an IP address is matched as an address and sends no SNI).
// TLS 1.2 is the minimum. A certificate that fails verification is accepted
// only when its SHA-256 fingerprint equals TlsPin. The peer's certificate
// data stay readable after the connection closed, until the next handshake.
class TCustomTlsWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomTlsWSocket(TComponent* AOwner = nullptr);
    ~TCustomTlsWSocket() override;
    const char* ClassName() const override { return "TCustomTlsWSocket"; }

    void DispatchNotification(platform::TMessage& Msg) override;
    void InitDefaults() override;
    // With TLS under way: the decrypted bytes held for the application.
    Integer RcvdCount() override;
protected:
    bool FireDataAvailable(Word Error) override;
    void FireSessionConnected(Word Error) override;
    void FireDataSent(Word Error) override;
public:
    // With TLS under way: takes decrypted bytes (-1 with WSAEWOULDBLOCK when
    // none are held).
    Integer RecvRaw(void* Buffer, Integer Len, Integer Flags) override;
    void Connect() override;
    void Close() override;
    void Listen() override;
    // With TLS under way: encrypts into the send queue (held until the
    // handshake has finished); returns Len.
    Integer Send(const void* Data, Integer Len) override;

    // --- virtual additions, in slot order ----------------------------------
    // Starts the handshake on a connected socket whose bytes still pass as
    // they are. Its end is reported by OnHandshakeDone; a failure then closes
    // the connection (OnSessionClosed with the same code).
    virtual void StartTls();
protected:
    virtual void FireHandshakeDone(Word Error);

public:
    // --- properties -------------------------------------------------------
    // Implicit TLS for the connections that follow; kept across connections.
    bool TlsEnabled() const { return FTlsEnabled; }
    void SetTlsEnabled(bool Value);
    // The name verified and sent as SNI; empty: the destination Addr.
    const std::string& TlsHostName() const { return FTlsHostName; }
    void SetTlsHostName(const std::string& Value) { FTlsHostName = Trim(Value); }
    // A PEM file of CA certificates trusted besides the system store.
    const std::string& TlsCaFile() const { return FTlsCaFile; }
    void SetTlsCaFile(const std::string& Value) { FTlsCaFile = Value; }
    // The SHA-256 fingerprint of a certificate to accept even when it fails
    // verification: hex digits, colons, blanks and letter case ignored.
    const std::string& TlsPin() const { return FTlsPin; }
    void SetTlsPin(const std::string& Value) { FTlsPin = Value; }

    // Read only. Protocol and cipher of the session ("TLSv1.3",
    // "TLS_AES_256_GCM_SHA384"), empty until a handshake has finished.
    TTlsState TlsState() const { return FTlsState; }
    const std::string& TlsProtocol() const { return FTlsProtocol; }
    const std::string& TlsCipher() const { return FTlsCipher; }
    // The peer's certificate as the last handshake saw it, also when it
    // failed verification: subject and issuer as RFC 2253 text, validity as
    // "YYYY-MM-DD HH:MM:SS UTC", and the SHA-256 fingerprint as uppercase hex
    // pairs joined by colons (as `openssl x509 -fingerprint -sha256` prints).
    const std::string& TlsPeerSubject() const { return FTlsPeerSubject; }
    const std::string& TlsPeerIssuer() const { return FTlsPeerIssuer; }
    const std::string& TlsPeerNotBefore() const { return FTlsPeerNotBefore; }
    const std::string& TlsPeerNotAfter() const { return FTlsPeerNotAfter; }
    const std::string& TlsPeerFingerprint() const { return FTlsPeerFingerprint; }
    // Whether the last handshake accepted a certificate only through TlsPin.
    bool TlsPinUsed() const { return FTlsPinUsed; }
    // The code (0: none) and full text of the last TLS failure, kept until
    // the next Connect or StartTls.
    Integer TlsError() const { return FTlsError; }
    const std::string& TlsErrorText() const { return FTlsErrorText; }
    // Decrypted bytes not yet taken by the application.
    Integer TlsPlainHeld() const { return static_cast<Integer>(FPlain.size() - FPlainStart); }

    // --- events -----------------------------------------------------------
    TSessionConnected OnHandshakeDone;

private:
    friend int TlsVerifyCallback(int Ok, x509_store_ctx_st* Ctx);
    bool Engaged() const { return FTlsState != tlsUnwrapped; }
    // Creates the session and sends the ClientHello; false (with the failure
    // posted) when the session cannot be set up.
    bool BeginHandshake(bool Explicit);
    void ForgetPeer();
    void FreeSession();
    // Readiness of the socket while TLS is under way.
    void ReadReady();
    void CloseReady(Word Error);
    // One raw read into OpenSSL's input; the byte count, or <= 0.
    Integer ReadIntoSession();
    // Runs the state's step on what OpenSSL holds. False when the session
    // ended (or the socket was reused) by the step or an event it fired.
    bool Advance(TSocket Handle);
    bool FinishHandshake(TSocket Handle);
    void ReadPlain();
    void WritePending();
    // Moves whatever OpenSSL wrote into the send queue; false when the send
    // found the connection lost (it is closed, the session gone).
    bool DrainOutgoing();
    // Offers the held plaintext until it is taken, a call takes nothing or
    // the session ends; false in the last case.
    bool OfferPlain(TSocket Handle);
    // Acts on a close_notify or a fatal error met by the last step, once the
    // plaintext before it was offered.
    bool SettleAfterRead(TSocket Handle);
    void FailHandshake(Integer Code, const std::string& Text);
    void Fail(Integer Code, const std::string& Text);
    void SendCloseNotify();
    // Records the leaf certificate; returns whether TlsPin names it.
    bool NotePeerCertificate(void* Leaf);
    void NoteVerifyError(int X509Error);

    bool FTlsEnabled = false;
    std::string FTlsHostName;
    std::string FTlsCaFile;
    std::string FTlsPin;
    TTlsState FTlsState = tlsUnwrapped;
    std::string FTlsProtocol;
    std::string FTlsCipher;
    std::string FTlsPeerSubject;
    std::string FTlsPeerIssuer;
    std::string FTlsPeerNotBefore;
    std::string FTlsPeerNotAfter;
    std::string FTlsPeerFingerprint;
    bool FTlsPinUsed = false;
    Integer FTlsError = 0;
    std::string FTlsErrorText;

    ssl_ctx_st* FContext = nullptr;
    ssl_st* FSession = nullptr;
    bio_st* FIncoming = nullptr; // records read from the socket, for OpenSSL
    bio_st* FOutgoing = nullptr; // records OpenSSL wrote, for the send queue
    bool FImplicitPending = false; // handshake to start once connected
    bool FExplicit = false;        // started by StartTls: no OnSessionConnected
    int FVerifyError = 0;          // first X509 error the chain met, 0 none
    std::string FVerifyName;       // the name or address verified
    // Decrypted bytes for the application: FPlain[FPlainStart, end).
    std::string FPlain;
    size_t FPlainStart = 0;
    // Plaintext sent before the handshake finished, or that OpenSSL could
    // not take yet.
    std::string FPendingPlain;
    bool FPeerClosed = false;   // close_notify received
    Integer FReadFailure = 0;   // fatal error met while reading, 0 none
    std::string FReadFailureText;
    int FOffering = 0;          // nesting of OfferPlain
};

// Line mode: delivers received bytes a line at a time, with echo and editing.
//
// With LineMode on, every byte waiting at the socket is read into the held
// buffer, and each complete line (everything up to and including LineEnd) is
// offered through OnDataAvailable; RcvdCount then gives the line's length
// and Receive/ReceiveStr take it from the buffer. Lines have no length
// limit. With LineMode off (or LineEnd empty) the class behaves as its
// parent, except that bytes still held from line mode are served first.
class TCustomLineWSocket : public TCustomTlsWSocket {
public:
    explicit TCustomLineWSocket(TComponent* AOwner = nullptr);
    const char* ClassName() const override { return "TCustomLineWSocket"; }

    void DispatchNotification(platform::TMessage& Msg) override;
    Integer RcvdCount() override;
protected:
    bool FireDataAvailable(Word Error) override;
    void FireSessionClosed(Word Error) override;
public:
    Integer RecvRaw(void* Buffer, Integer Len, Integer Flags) override;

    // --- virtual additions, in slot order ----------------------------------
    virtual void SetLineMode(bool Value);
protected:
    // Applies backspace and tab editing to the Count bytes just received at
    // index HeldCount of the held buffer, collecting their echo (sent by the
    // caller) when LineEcho is on. May
    // lower HeldCount (a backspace erases held bytes of the current line)
    // and changes Count to the number of edited bytes from the new
    // HeldCount.
    virtual void EditReceivedBytes(Integer& Count);

public:
    bool LineMode() const { return FLineMode; }
    const std::string& LineEnd() const { return FLineEnd; }
    void SetLineEnd(const std::string& Value) { FLineEnd = Value; }
    bool LineEcho() const { return FLineEcho; }
    void SetLineEcho(bool Value) { FLineEcho = Value; }
    bool LineEdit() const { return FLineEdit; }
    void SetLineEdit(bool Value) { FLineEdit = Value; }

    // The held buffer, for tests and tools.
    Integer HeldCount() const { return FHeldCount; }
    Integer HeldCapacity() const { return static_cast<Integer>(FHeldBuf.size()); }
    Integer PendingLineLength() const { return FPendingLineLength; }

private:
    bool LineModeActive() const { return FLineMode && !FLineEnd.empty(); }
    bool FireApplicationDataAvailable();
    char* Held() { return FHeldBuf.data() + FHeldStart; }
    // Drops Count bytes from the front of the held bytes.
    void ConsumeHeld(Integer Count);
    // Reads every byte waiting at the socket behind the held bytes, with
    // editing or echo. Returns where the search for a line end must start,
    // or -1 when nothing was read.
    Integer ReadIntoHeld();
    // Offers every complete line from SearchFrom on, while line mode stays
    // on. Returns early when the session closed during an offer.
    void DeliverLines(Integer SearchFrom);
    // Offers the first PendingLineLength held bytes until they are taken or
    // dropped. False when the session closed meanwhile or when a call took
    // nothing (the line stays held, offered again on the next pass).
    bool OfferPendingLine();
    // Offers the held bytes as plain data until they are taken, a call takes
    // nothing or line mode comes back on.
    void OfferHeldAsData();
    void RedeliverHeld();
    void ReleaseHeld();

    std::vector<char> FHeldBuf;   // capacity is its size; empty = none
    Integer FHeldStart = 0;       // first held byte
    Integer FHeldCount = 0;
    Integer FPendingLineLength = 0;
    std::string FLineEnd;
    bool FLineMode = false;
    bool FLineEcho = false;
    bool FLineEdit = false;
    // Set when line mode comes back on over held bytes, or a line stayed
    // untaken: the next search starts at the first held byte.
    bool FRescanHeld = false;
    // While set, RecvRaw reads the socket even though a line is offered.
    bool FFilling = false;
    // Nesting depth of line delivery; a read readiness met inside (a handler
    // pumping events) only fills the buffer.
    int FDelivering = 0;
    // Bumped when the held buffer is released at session close, so that an
    // offer loop can tell the session it served has ended.
    uint32_t FHeldGeneration = 0;
    // Echo collected by the receive path, sent once the new bytes are held.
    std::string FPendingEcho;
};

// Synchronous waiting for a flag set by an event handler.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    // An optional operation that starts what the wait waits for.
    using TWaitProc = std::function<void()>;

    explicit TCustomSyncWSocket(TComponent* AOwner = nullptr);
    const char* ClassName() const override { return "TCustomSyncWSocket"; }

    // --- virtual additions, in slot order ----------------------------------
    // Clears DoneFlag, calls Proc when given, then waits for DoneFlag.
    virtual Integer StartAndWait(const TWaitProc& Proc, bool& DoneFlag);
    // Pumps events until DoneFlag is set (0), or WaitTimeout milliseconds
    // have passed or the application is quitting (WAIT_TIMED_OUT). Between
    // passes it blocks until the next event; waits may nest.
    virtual Integer WaitForDoneFlag(bool& DoneFlag);

    // Milliseconds; 0 or less waits without limit.
    Integer WaitTimeout() const { return FWaitTimeout; }
    void SetWaitTimeout(Integer Value) { FWaitTimeout = Value; }
    // Tick count at which the latest wait ends.
    Integer WaitDeadline() const { return FWaitDeadline; }

protected:
    Integer FWaitTimeout = 0;
    Integer FWaitDeadline = 0;
};

// Publishes the properties and events of the socket chain, and offers them
// by name for tools that configure components from text.
class TWSocket : public TCustomSyncWSocket {
public:
    using TCustomSyncWSocket::TCustomSyncWSocket;
    const char* ClassName() const override { return "TWSocket"; }

    // Published property values as text: booleans "True"/"False",
    // enumerations by their names, numbers in decimal. Throws
    // ESocketException for an unknown name or a value of the wrong form.
    std::string GetPropertyByName(const std::string& Name);
    void SetPropertyByName(const std::string& Name, const std::string& Value);
    // The published property names, in published order.
    static const TStrings& PublishedProperties();
};
