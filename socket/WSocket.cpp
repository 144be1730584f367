// The socket core: construction and defaults, the life of a connection
// (Connect, Listen, Accept, Dup, the closes), notification dispatch and the
// reporting rule.
#include "socket/WSocket.h"

#include <arpa/inet.h>

namespace ps = platform::sock;

namespace {

// Live socket objects; the library is unloaded when the last one goes.
Integer GSocketInstanceCount = 0;

// Readiness masks selected by the core.
constexpr int32_t MaskConnect = ps::FD_READ | ps::FD_WRITE | ps::FD_ACCEPT | ps::FD_CONNECT | ps::FD_CLOSE; // 59
constexpr int32_t MaskListen = ps::FD_READ | ps::FD_WRITE | ps::FD_ACCEPT | ps::FD_CLOSE;                  // 43
constexpr int32_t MaskConnected = ps::FD_READ | ps::FD_WRITE | ps::FD_CONNECT | ps::FD_CLOSE;             // 51

// Boolean socket options are set to the 32-bit value with all bits set.
constexpr int32_t OptionTrue = -1;

} // namespace

const char* SocketStateName(TSocketState state)
{
    switch (state) {
    case wsInvalidState: return "wsInvalidState";
    case wsOpened: return "wsOpened";
    case wsBound: return "wsBound";
    case wsConnecting: return "wsConnecting";
    case wsConnected: return "wsConnected";
    case wsAccepting: return "wsAccepting";
    case wsListening: return "wsListening";
    case wsClosed: return "wsClosed";
    }
    return "?";
}

Integer TCustomWSocket::SocketInstanceCount()
{
    return GSocketInstanceCount;
}

// ---------------------------------------------------------------------------
// Construction and destruction

TCustomWSocket::TCustomWSocket(TComponent* AOwner) : TComponent(AOwner)
{
    // The thread's loop is made on first use and needs descriptors of its
    // own; when they cannot be had (descriptor exhaustion) the socket is
    // still constructed, without an endpoint, and every operation that
    // needs one reports WSAEMFILE (see HasEndpoint).
    try {
        FNotifyEndpoint = std::make_unique<platform::NotifyEndpoint>(
            [this](platform::TMessage& msg) { DispatchNotification(msg); });
    } catch (const std::exception&) {
        FNotifyEndpoint.reset();
    }
    FBlockSize = TBuffer::DefaultSize;
    TCustomWSocket::InitDefaults();
    ++GSocketInstanceCount;
}

TCustomWSocket::~TCustomWSocket()
{
    // Marked first, so that the cancel and the close below fire neither
    // OnDnsLookupDone nor OnSessionClosed.
    Destroying();
    try {
        CancelDnsLookup();
    } catch (...) {
    }
    // A destructor must not throw: a failing close has nobody to report to.
    try {
        if (FState != wsClosed)
            Close();
    } catch (...) {
    }
    // A handle whose close failed earlier is released here at the latest.
    if (FSocketHandle != INVALID_SOCKET) {
        try {
            wsock::closesocket(FSocketHandle);
        } catch (...) {
        }
        FSocketHandle = INVALID_SOCKET;
    }
    if (--GSocketInstanceCount <= 0) {
        wsock::UnloadSocketLibrary();
        GSocketInstanceCount = 0;
    }
    ClearSendQueue();
    FDnsResultList.clear();
    if (FNotifyEndpoint)
        FNotifyEndpoint->Detach();
    FNotifyEndpoint.reset();
}

void TCustomWSocket::InitDefaults()
{
    FSockAddr = sockaddr_in{};
    FSockAddr.sin_family = AF_INET;
    FAddressFamily = AF_INET;
    FHasPort = false;
    FHasAddr = false;
    FAddrReady = false;
    FPortReady = false;
    FProtoReady = false;
    FLocalPortReady = false;
    FHasProto = true;
    FProtoNumber = IPPROTO_TCP;
    FProto = "tcp";
    FSocketKind = SOCK_STREAM;
    FLocalPort = "0";
    FLocalAddr = "0.0.0.0";
    FLingerOnOff = wsLingerOn;
    FLingerTimeout = 0;
    FSocketHandle = INVALID_SOCKET;
    FState = wsClosed;
    FAllDataSent = true;
    FNotificationsPaused = false;
    FReadCount = 0;
    FClosedReported = false;
    FFlushTimeout = 60;
}

// ---------------------------------------------------------------------------
// Addr, Port and Proto

// Addr, Port and Proto follow one rule: the text they already hold is
// accepted in any state; otherwise the socket must be closed. The stored
// text is trimmed; an empty one clears the Has flag (the Ready flag stays),
// any other clears the Ready flag so the next Connect resolves it again.
void TCustomWSocket::AssignTarget(std::string& Text, bool& Has, bool& Ready, const std::string& Value,
                                  const char* NotClosedMessage)
{
    if (Has && Value == Text)
        return;
    if (FState != wsClosed) {
        ReportError(NotClosedMessage);
        return;
    }
    Text = Trim(Value);
    if (Text.empty()) {
        Has = false;
    } else {
        Ready = false;
        Has = true;
    }
}

void TCustomWSocket::SetAddr(const std::string& Value)
{
    AssignTarget(FAddr, FHasAddr, FAddrReady, Value, "Cannot change Addr if not closed");
}

void TCustomWSocket::SetPort(const std::string& Value)
{
    AssignTarget(FPort, FHasPort, FPortReady, Value, "Cannot change Port if not closed");
}

void TCustomWSocket::SetProto(const std::string& Value)
{
    AssignTarget(FProto, FHasProto, FProtoReady, Value, "Cannot change Proto if not closed");
}

// Resolves, in this order, whatever is not ready yet: the protocol (17
// makes a datagram socket), the remote port, the local port (only when
// asked: Listen binds to the remote fields) and the remote address. The
// resolution functions' exceptions pass to the caller.
void TCustomWSocket::ResolveTarget(bool WithLocalPort)
{
    if (!FProtoReady) {
        FProtoNumber = WSocketResolveProto(FProto);
        FSocketKind = FProtoNumber == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
        FProtoReady = true;
    }
    if (!FPortReady) {
        FPortNumber = WSocketResolvePort(FPort, FProto);
        FSockAddr.sin_port = wsock::htons(static_cast<uint16_t>(FPortNumber));
        FPortReady = true;
    }
    if (WithLocalPort && !FLocalPortReady) {
        FLocalPortNumber = WSocketResolvePort(FLocalPort, FProto);
        FLocalPortReady = true;
    }
    if (!FAddrReady) {
        FSockAddr.sin_addr.s_addr = WSocketResolveHost(FAddr);
        FAddrReady = true;
    }
}

// ---------------------------------------------------------------------------
// Connect, Listen, Accept, Dup

void TCustomWSocket::Connect()
{
    if (FSocketHandle != INVALID_SOCKET && FState != wsClosed) {
        ReportError("Connect: Socket already in use");
        return;
    }
    if (!FHasPort) {
        ReportError("Connect: No Port Specified");
        return;
    }
    if (!FHasAddr) {
        ReportError("Connect: No IP Address Specified");
        return;
    }
    if (!FHasProto) {
        ReportError("Connect: No Protocol Specified");
        return;
    }

    if (!HasEndpoint("Connect"))
        return;

    try {
        ResolveTarget(true);
    } catch (Exception& E) {
        ReportError("connect: " + E.Message());
        return;
    }

    ClearSendQueue();

    FSocketHandle = wsock::socket(FAddressFamily, FSocketKind, FProtoNumber);
    if (FSocketHandle == INVALID_SOCKET) {
        ReportSocketError("Connect (socket)");
        return;
    }
    // A new connection, also when a close handler opens it before the
    // close it handles has reset the socket.
    FClosedReported = false;
    ChangeState(wsOpened);

    if (FSocketKind == SOCK_DGRAM) {
        BindLocal();
        if (FSockAddr.sin_addr.s_addr == INADDR_BROADCAST) {
            int32_t on = 1;
            if (wsock::setsockopt(FSocketHandle, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
                ReportSocketError("setsockopt(SO_BROADCAST)");
                return;
            }
        }
    } else {
        if (FLocalPortNumber != 0 || FLocalAddr != "0.0.0.0")
            BindLocal();
        ApplyLinger();
        int32_t on = OptionTrue;
        if (wsock::setsockopt(FSocketHandle, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
            ReportSocketError("setsockopt(SO_KEEPALIVE)");
            return;
        }
        if (wsock::setsockopt(FSocketHandle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            ReportSocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
    }

    if (wsock::WSAAsyncSelect(FSocketHandle, NotifyEndpoint(), WM_ASYNCSELECT, MaskConnect) != 0) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }

    if (FSocketKind == SOCK_DGRAM) {
        ChangeState(wsConnected);
        FireSessionConnected(0);
        return;
    }

    // The outcome arrives later as the connect notification.
    int rc = wsock::connect(FSocketHandle, reinterpret_cast<const sockaddr*>(&FSockAddr), sizeof FSockAddr);
    if (rc == 0 || wsock::WSAGetLastError() == ps::WSAEWOULDBLOCK) {
        ChangeState(wsConnecting);
    } else {
        FLastError = wsock::WSAGetLastError();
        ReportSocketError("Connect");
    }
}

void TCustomWSocket::Listen()
{
    if (!FHasPort) {
        wsock::WSASetLastError(ps::WSAEINVAL);
        ReportSocketError("listen: port not assigned");
        return;
    }
    if (!FHasProto) {
        wsock::WSASetLastError(ps::WSAEINVAL);
        ReportSocketError("listen: protocol not assigned");
        return;
    }
    if (!FHasAddr) {
        wsock::WSASetLastError(ps::WSAEINVAL);
        ReportSocketError("listen: address not assigned");
        return;
    }

    if (!HasEndpoint("listen"))
        return;

    try {
        ResolveTarget(false);
    } catch (Exception& E) {
        ReportError("listen: " + E.Message());
        return;
    }

    ClearSendQueue();

    FSocketHandle = wsock::socket(FAddressFamily, FSocketKind, FProtoNumber);
    if (FSocketHandle == INVALID_SOCKET) {
        ReportSocketError("socket");
        return;
    }
    FClosedReported = false;

    if (wsock::bind(FSocketHandle, reinterpret_cast<const sockaddr*>(&FSockAddr), sizeof FSockAddr) != 0) {
        // The state is still wsClosed here, so no close would ever release
        // the new handle: release it now, quietly, before reporting.
        int err = wsock::WSAGetLastError();
        wsock::closesocket(FSocketHandle);
        FSocketHandle = INVALID_SOCKET;
        wsock::WSASetLastError(err);
        ReportSocketError("Bind");
        return;
    }
    ChangeState(wsBound);

    if (FSocketKind == SOCK_DGRAM) {
        ChangeState(wsListening);
        ChangeState(wsConnected);
        FireSessionConnected(0);
    } else {
        if (wsock::listen(FSocketHandle, 5) != 0) {
            ReportSocketError("Listen");
            return;
        }
        ChangeState(wsListening);
    }

    if (wsock::WSAAsyncSelect(FSocketHandle, NotifyEndpoint(), WM_ASYNCSELECT, MaskListen) != 0)
        ReportSocketError("WSAASyncSelect");
}

TSocket TCustomWSocket::Accept()
{
    if (FState != wsListening) {
        wsock::WSASetLastError(ps::WSAEINVAL);
        ReportSocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    int len = sizeof FSockAddr;
    FAcceptedHandle = wsock::accept(FSocketHandle, reinterpret_cast<sockaddr*>(&FSockAddr), &len);
    if (FAcceptedHandle == INVALID_SOCKET) {
        ReportSocketError("Accept");
        return INVALID_SOCKET;
    }
    return FAcceptedHandle;
}

void TCustomWSocket::Dup(TSocket NewHandle)
{
    if (NewHandle == 0 || NewHandle == INVALID_SOCKET) {
        wsock::WSASetLastError(ps::WSAEINVAL);
        ReportSocketError("Dup");
        return;
    }
    if (!HasEndpoint("Dup"))
        return;
    if (FState != wsClosed) {
        int rc = wsock::closesocket(FSocketHandle);
        FSocketHandle = INVALID_SOCKET;
        if (rc != 0) {
            ReportSocketError("Dup (closesocket)");
            return;
        }
        ChangeState(wsClosed);
    }
    FSocketHandle = NewHandle;
    FClosedReported = false;
    ApplyLinger();
    if (wsock::WSAAsyncSelect(FSocketHandle, NotifyEndpoint(), WM_ASYNCSELECT, MaskConnected) != 0)
        ReportSocketError("WSAAsyncSelect");
    else
        ChangeState(wsConnected);
}

// ---------------------------------------------------------------------------
// Closing

void TCustomWSocket::CloseConnection(bool ShutdownFirst, Word Error)
{
    if (FSocketHandle == INVALID_SOCKET) {
        if (FState != wsClosed) {
            try {
                ChangeState(wsClosed);
            } catch (...) {
                ResetAfterClose();
                throw;
            }
            ResetAfterClose();
        }
        return;
    }
    if (FState == wsClosed)
        return;

    if (ShutdownFirst)
        Shutdown(SHUT_WR);

    for (;;) {
        if (wsock::closesocket(FSocketHandle) == 0)
            break;
        int err = wsock::WSAGetLastError();
        if (err == ps::WSAEWOULDBLOCK) {
            FLastError = err;
            ProcessMessages();
            continue;
        }
        if (err == ps::WSANOTINITIALISED)
            break;
        FLastError = err;
        FSocketHandle = INVALID_SOCKET;
        ReportSocketError("Disconnect (closesocket)");
        return;
    }
    FSocketHandle = INVALID_SOCKET;

    try {
        ChangeState(wsClosed);
        if (!IsDestroying() && !FClosedReported) {
            FClosedReported = true;
            FireSessionClosed(Error);
        }
    } catch (...) {
        ResetAfterClose();
        throw;
    }
    ResetAfterClose();
}

// The defaults return after every close, also when a handler of the close
// raised; but a handler that has already opened the socket again (a retry
// from OnSessionClosed) keeps its new connection.
void TCustomWSocket::ResetAfterClose()
{
    if (FState != wsClosed || FSocketHandle != INVALID_SOCKET)
        return;
    try {
        InitDefaults();
    } catch (...) {
    }
}

bool TCustomWSocket::HasEndpoint(const std::string& FunctionName)
{
    if (FNotifyEndpoint)
        return true;
    wsock::WSASetLastError(ps::WSAEMFILE);
    ReportSocketError(FunctionName);
    return false;
}

void TCustomWSocket::WaitForEvent(int TimeoutMs)
{
    if (FMultiThreaded)
        platform::EventLoop::Wait(TimeoutMs);
    else
        platform::Application::WaitMessage(TimeoutMs);
}

void TCustomWSocket::Close()
{
    CloseConnection(true, 0);
}

void TCustomWSocket::Abort()
{
    CancelDnsLookup();
    ClearSendQueue();
    if (FState == wsConnected && FProtoNumber == IPPROTO_TCP) {
        FLingerOnOff = wsLingerOff;
        ApplyLinger();
    }
    CloseConnection(false, 0);
}

void TCustomWSocket::ScheduleClose()
{
    PostToSelf(WM_CLOSE_DELAYED, 0, 0);
}

void TCustomWSocket::ScheduleDestroy()
{
    PostToSelf(WM_WSOCKET_RELEASE, 0, 0);
}

void TCustomWSocket::Shutdown(Integer How)
{
    if (FSocketHandle != INVALID_SOCKET)
        wsock::shutdown(FSocketHandle, How);
}

void TCustomWSocket::Pause()
{
    FNotificationsPaused = true;
    wsock::WSAAsyncSelect(FSocketHandle, NotifyEndpoint(), 0, 0);
}

void TCustomWSocket::Resume()
{
    FNotificationsPaused = false;
    wsock::WSAAsyncSelect(FSocketHandle, NotifyEndpoint(), WM_ASYNCSELECT, MaskConnected);
}

void TCustomWSocket::WaitUntilClosed()
{
    while (FSocketHandle != INVALID_SOCKET && FState != wsClosed) {
        ProcessMessages();
        if (FSocketHandle == INVALID_SOCKET)
            break;
        uint32_t waiting = 0;
        if (wsock::ioctlsocket(FSocketHandle, FIONREAD, &waiting) == ps::SOCKET_ERROR)
            break;
        if (waiting > 0)
            FireDataAvailable(0);
        char probe = 0;
        if (RecvRaw(&probe, 0, 0) <= 0) {
            FLastError = wsock::WSAGetLastError();
            if (FLastError != ps::WSAEWOULDBLOCK)
                break;
        }
        ProcessMessages();
        if (FSocketHandle == INVALID_SOCKET || FState == wsClosed)
            break;
        // Nothing to do until the next event: block instead of spinning.
        // Bytes a handler left waiting announce nothing more, so they are
        // offered again after a short while rather than never.
        waiting = 0;
        wsock::ioctlsocket(FSocketHandle, FIONREAD, &waiting);
        WaitForEvent(waiting > 0 ? IdleRecheckMs : -1);
    }
}

void TCustomWSocket::ApplyLinger()
{
    if (FLingerOnOff == wsLingerNoSet)
        return;
    if (FSocketHandle == INVALID_SOCKET) {
        ReportError("Cannot set linger option at this time");
        return;
    }
    ps::TLinger linger{static_cast<uint16_t>(FLingerOnOff), static_cast<uint16_t>(FLingerTimeout & 0xFFFF)};
    if (wsock::setsockopt(FSocketHandle, SOL_SOCKET, SO_LINGER, &linger, sizeof linger) != 0)
        ReportSocketError("setsockopt(SO_LINGER)");
}

// ---------------------------------------------------------------------------
// Pumps

void TCustomWSocket::ProcessMessages()
{
    if (FMultiThreaded)
        PumpMessages();
    else
        platform::Application::ProcessMessages();
}

bool TCustomWSocket::PumpOneMessage()
{
    switch (platform::EventLoop::PumpOne()) {
    case platform::EventLoop::PumpResult::Empty:
        return false;
    case platform::EventLoop::PumpResult::Quit:
        FQuitSeen = true;
        return true;
    case platform::EventLoop::PumpResult::Dispatched:
        return true;
    }
    return false;
}

void TCustomWSocket::PumpMessages()
{
    while (PumpOneMessage()) {
    }
}

// ---------------------------------------------------------------------------
// Notification dispatch

void TCustomWSocket::PostToSelf(uint32_t Msg, uintptr_t WParam, intptr_t LParam)
{
    if (FNotifyEndpoint)
        FNotifyEndpoint->Post(Msg, WParam, LParam);
}

void TCustomWSocket::DispatchNotification(platform::TMessage& Msg)
{
    const Word low = static_cast<Word>(Msg.LParam & 0xFFFF);
    const Word high = static_cast<Word>((static_cast<uintptr_t>(Msg.LParam) >> 16) & 0xFFFF);
    try {
        switch (Msg.Msg) {
        case WM_ASYNCSELECT:
            HandleSocketEvent(static_cast<TSocket>(Msg.WParam), low, high);
            break;
        case WM_ASYNCGETHOSTBYNAME:
            HandleHostByNameDone(static_cast<ps::TAsyncHandle>(Msg.WParam), high);
            break;
        case WM_ASYNCGETHOSTBYADDR:
            HandleHostByAddrDone(static_cast<ps::TAsyncHandle>(Msg.WParam), high);
            break;
        case WM_CLOSE_DELAYED:
            Close();
            break;
        case WM_WSOCKET_RELEASE:
            // Nothing of the object may be touched after this.
            delete this;
            return;
        case WM_TRIGGER_EXCEPTION:
            throw ESocketException("Test exception in WSocket");
        default:
            break;
        }
    } catch (Exception& E) {
        HandleBgException(E);
    }
}

void TCustomWSocket::HandleSocketEvent(TSocket Handle, Word Events, Word Error)
{
    if (Handle == INVALID_SOCKET || Handle != FSocketHandle || FNotificationsPaused)
        return;

    // Every handler below may close the socket, or close it and connect
    // anew; once the connection this notification was for is gone, the
    // remaining event bits are not for the socket's new life.
    if (Events & ps::FD_CONNECT) {
        ChangeState(wsConnected);
        FireSessionConnected(Error);
        if (Handle != FSocketHandle)
            return;
        if (Error != 0 && FState != wsClosed)
            Close();
    }
    if ((Events & ps::FD_READ) && Handle == FSocketHandle)
        HandleReadReady(Error);
    if ((Events & ps::FD_WRITE) && Handle == FSocketHandle)
        HandleWriteReady(Error);
    if ((Events & ps::FD_ACCEPT) && Handle == FSocketHandle)
        FireSessionAvailable(Error);
    if ((Events & ps::FD_CLOSE) && Handle == FSocketHandle) {
        if (FState == wsConnecting)
            return;
        HandleReadReady(0);
        // A handler that closed the socket while the last data was
        // delivered has already reported the close.
        if (Handle != FSocketHandle)
            return;
        if (!FClosedReported) {
            FClosedReported = true;
            try {
                FireSessionClosed(Error);
            } catch (...) {
                // The connection is gone whatever the handler did.
                if (Handle == FSocketHandle && FState != wsClosed)
                    Close();
                throw;
            }
        }
        if (Handle == FSocketHandle && FState != wsClosed)
            Close();
    }
}

// ---------------------------------------------------------------------------
// Reporting

void TCustomWSocket::ReportError(const std::string& Msg)
{
    if (OnError)
        FireError();
    else
        throw ESocketException(Msg);
}

void TCustomWSocket::ReportErrorFmt(const std::string& Fmt, const TVarRecs& Args)
{
    if (OnError)
        FireError();
    else
        throw ESocketException(Format(Fmt, Args));
}

void TCustomWSocket::ReportSocketError(const std::string& FunctionName)
{
    int n = wsock::WSAGetLastError();
    std::string msg = "Error " + std::to_string(n) + " in function " + FunctionName + "\r\n" + SocketErrorText(n);
    if (n == ps::WSAECONNRESET || n == ps::WSAENOTCONN) {
        if (FSocketHandle != INVALID_SOCKET)
            wsock::closesocket(FSocketHandle);
        FSocketHandle = INVALID_SOCKET;
        ChangeState(wsClosed);
    }
    FLastError = n;
    ReportError(msg);
}

void TCustomWSocket::HandleBgException(Exception& E)
{
    bool CanClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, CanClose);
        } catch (...) {
        }
    }
    if (CanClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

// ---------------------------------------------------------------------------
// Triggers and state

void TCustomWSocket::ChangeState(TSocketState NewState)
{
    TSocketState old = FState;
    FState = NewState;
    FireChangeState(old, NewState);
}

bool TCustomWSocket::FireDataAvailable(Word Error)
{
    if (!OnDataAvailable)
        return false;
    OnDataAvailable(this, Error);
    return true;
}

void TCustomWSocket::FireSessionAvailable(Word Error)
{
    if (OnSessionAvailable)
        OnSessionAvailable(this, Error);
}

void TCustomWSocket::FireSessionConnected(Word Error)
{
    if (OnSessionConnected)
        OnSessionConnected(this, Error);
}

void TCustomWSocket::FireSessionClosed(Word Error)
{
    if (OnSessionClosed)
        OnSessionClosed(this, Error);
}

void TCustomWSocket::FireDataSent(Word Error)
{
    if (OnDataSent)
        OnDataSent(this, Error);
}

void TCustomWSocket::FireChangeState(TSocketState OldState, TSocketState NewState)
{
    if (OnChangeState)
        OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::FireDnsLookupDone(Word Error)
{
    if (OnDnsLookupDone)
        OnDnsLookupDone(this, Error);
}

void TCustomWSocket::FireError()
{
    if (OnError)
        OnError(this);
}

// ---------------------------------------------------------------------------
// Time values (kept for callers of the class; the socket itself uses none)

bool TCustomWSocket::TimevalIsSet(const TTimeVal& tv)
{
    return tv.tv_sec != 0 || tv.tv_usec != 0;
}

void TCustomWSocket::TimevalClear(TTimeVal& tv)
{
    tv.tv_sec = 0;
    tv.tv_usec = 0;
}

bool TCustomWSocket::TimevalCompare(const TTimeVal& A, const TTimeVal& B, bool Equal)
{
    bool same = A.tv_sec == B.tv_sec && A.tv_usec == B.tv_usec;
    return Equal ? same : !same;
}
