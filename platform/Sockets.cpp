// Windows Sockets 1.1 over POSIX sockets: start-up, the handle table,
// readiness notifications and the socket calls. Host look-ups are in
// HostLookup.cpp. See Sockets.h for the contract.
//
// Locking: GTableMutex guards the handle table and the start count; it is
// never held while the look-up locks are. The event loop's queue lock is
// taken inside it (posting), never the other way round: the loop calls
// readiness callbacks and handlers without holding it.
//
// Threads: a socket is selected and used on one thread. Readiness watching
// lives in the loop of the thread that first selected the socket; calls
// made on another thread still work but do not change what that loop
// watches.
#include "platform/Sockets.h"
#include "platform/SocketsInternal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

namespace platform::sock {

static_assert(sizeof(TSocket) >= 8, "a handle holds a 32-bit serial beside the descriptor");

thread_local int tLastError = 0;

int Fail(int error)
{
    tLastError = error;
    return SOCKET_ERROR;
}

namespace {

// The WSAAsyncSelect state of one socket. The flags are the Windows
// "re-enabling" rules: a posted FD_READ / FD_ACCEPT disables itself until
// the matching receive / accept call, FD_CLOSE is posted once per
// connection, FD_WRITE is posted again only after a send was refused.
struct TSocketEntry {
    int Fd = -1;
    int Type = SOCK_STREAM;

    EndpointHandle Endpoint = 0;
    uint32_t Msg = 0;
    int32_t Mask = 0;

    bool ReadEnabled = true;
    bool AcceptEnabled = true;
    bool WriteWanted = false;    // a send failed with WSAEWOULDBLOCK
    bool ConnectPending = false; // FD_CONNECT still to be posted
    bool Connected = false;
    bool Listening = false;
    bool ClosePosted = false;
    bool EofIdle = false; // end of stream seen, no read interest until recv
    // A hang-up or error was reported and nothing could be posted for it:
    // arming again would only repeat it (epoll always reports HUP and ERR),
    // so nothing is armed until a call changes the state.
    bool Stalled = false;

    int ConnectError = 0; // a refusal that connect() itself returned
    // A reset that recv/send consumed (the kernel reports a socket error
    // only once), so that FD_CLOSE still carries it.
    int ResetError = 0;

    bool Watched = false;
    std::thread::id WatchThread;
    uint32_t Armed = 0; // epoll events armed now; 0 after each callback
};

std::mutex GTableMutex;
std::unordered_map<TSocket, TSocketEntry> GSockets;
uint32_t GNextSerial = 1;
int GStartCount = 0;

bool StartedLocked() { return GStartCount > 0; }

} // namespace

bool Started()
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    return StartedLocked();
}

namespace {

// With GTableMutex held. Sets the last error and returns null when the
// library is not started or the handle is unknown.
TSocketEntry* Lookup(TSocket s)
{
    if (!StartedLocked()) {
        tLastError = WSANOTINITIALISED;
        return nullptr;
    }
    auto it = GSockets.find(s);
    if (it == GSockets.end()) {
        tLastError = WSAENOTSOCK;
        return nullptr;
    }
    return &it->second;
}

TSocket Register(int fd, int type)
{
    uint32_t serial = GNextSerial++;
    if (GNextSerial == 0)
        GNextSerial = 1;
    TSocket handle = (TSocket(serial) << 32) | TSocket(static_cast<uint32_t>(fd));
    TSocketEntry entry;
    entry.Fd = fd;
    entry.Type = type;
    GSockets[handle] = entry;
    return handle;
}

int PendingSocketError(int fd)
{
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        return errno;
    return error;
}

bool HasPeer(int fd)
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
}

bool IsConnectionError(int err)
{
    return err == ECONNRESET || err == EPIPE || err == ECONNABORTED || err == ETIMEDOUT;
}

void NoteConnectionError(TSocketEntry& e, int err)
{
    if (IsConnectionError(err))
        e.ResetError = ErrnoToWsa(err);
}

void PostEvent(TSocket handle, const TSocketEntry& e, int32_t event, int error)
{
    uint32_t lParam = (static_cast<uint32_t>(error & 0xFFFF) << 16) | static_cast<uint32_t>(event);
    PostNotification(e.Endpoint, e.Msg, handle, static_cast<intptr_t>(lParam));
}

// Only what can lead to a post is armed, so that a socket never wakes the
// loop for nothing.
uint32_t WantedEvents(const TSocketEntry& e)
{
    if (e.Mask == 0 || e.Endpoint == 0 || e.Stalled)
        return 0;
    uint32_t want = 0;
    // Followed even without FD_CONNECT in the mask: completion is what
    // makes the socket connected for read and close tracking.
    if (e.ConnectPending)
        want |= EPOLLOUT;
    if (e.Listening) {
        if (e.AcceptEnabled && (e.Mask & FD_ACCEPT))
            want |= EPOLLIN;
    } else if (e.Type != SOCK_STREAM) {
        if (e.ReadEnabled && (e.Mask & FD_READ))
            want |= EPOLLIN;
        if (e.WriteWanted && (e.Mask & FD_WRITE))
            want |= EPOLLOUT;
    } else if (e.Connected) {
        if (e.ReadEnabled && !e.EofIdle && (e.Mask & FD_READ))
            want |= EPOLLIN;
        // EPOLLRDHUP rather than EPOLLIN: waiting bytes must not wake a
        // socket whose FD_READ is disabled.
        if (!e.ClosePosted && (e.Mask & FD_CLOSE))
            want |= EPOLLRDHUP;
        if (e.WriteWanted && (e.Mask & FD_WRITE))
            want |= EPOLLOUT;
    }
    return want;
}

// With GTableMutex held. afterCall: a socket call changed the state, which
// ends a stall. inCallback: called from the descriptor's own readiness
// callback, whose one-shot arming has just fired, so the new arming can wait
// for the loop's next look at the kernel (a receive usually replaces it
// before that).
void UpdateInterest(TSocketEntry& e, bool afterCall, bool inCallback = false)
{
    if (afterCall)
        e.Stalled = false;
    if (!e.Watched || e.WatchThread != std::this_thread::get_id())
        return;
    uint32_t want = WantedEvents(e);
    if (want == e.Armed)
        return;
    try {
        if (inCallback)
            EventLoop::ArmLater(e.Fd, want);
        else
            EventLoop::Arm(e.Fd, want);
        e.Armed = want;
    } catch (...) {
        // The loop could not register the descriptor; nothing is armed and
        // the next call that changes the state tries again.
        e.Armed = 0;
    }
}

uint32_t FlagBits(const TSocketEntry& e)
{
    return (e.ReadEnabled ? 1u : 0u) | (e.AcceptEnabled ? 2u : 0u) | (e.WriteWanted ? 4u : 0u) |
           (e.ConnectPending ? 8u : 0u) | (e.Connected ? 16u : 0u) | (e.ClosePosted ? 32u : 0u) |
           (e.EofIdle ? 64u : 0u);
}

void OnReadiness(TSocket handle, uint32_t events)
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    auto it = GSockets.find(handle);
    if (it == GSockets.end())
        return;
    TSocketEntry& e = it->second;
    const uint32_t armed = e.Armed;
    e.Armed = 0; // one-shot: this arming is used up

    const uint32_t flagsBefore = FlagBits(e);
    int posted = 0;
    auto post = [&](int32_t event, int error) {
        if (e.Mask & event) {
            PostEvent(handle, e, event, error);
            ++posted;
        }
    };
    const bool failed = events & (EPOLLERR | EPOLLHUP);
    const bool hangup = failed || (events & EPOLLRDHUP);

    if (e.Mask != 0 && e.Endpoint != 0) {
        if (e.ConnectPending && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
            int soError = PendingSocketError(e.Fd);
            int error = e.ConnectError != 0 ? e.ConnectError : (soError != 0 ? ErrnoToWsa(soError) : 0);
            bool finished = true;
            if (error == 0 && !HasPeer(e.Fd)) {
                if (failed)
                    error = WSAENOTCONN; // failed, but its error was already taken
                else
                    finished = false;
            }
            if (finished) {
                e.ConnectPending = false;
                e.ConnectError = 0;
                post(FD_CONNECT, error);
                if (error == 0) {
                    e.Connected = true;
                    e.WriteWanted = false;
                    post(FD_WRITE, 0);
                }
            }
        }

        if (e.Listening) {
            if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) && e.AcceptEnabled && (e.Mask & FD_ACCEPT)) {
                e.AcceptEnabled = false;
                post(FD_ACCEPT, 0);
            }
        } else if (e.Type != SOCK_STREAM) {
            // A pending error (an ICMP refusal) is taken by the next
            // recvfrom, so it counts as something to read.
            if ((events & (EPOLLIN | EPOLLERR)) && e.ReadEnabled && (e.Mask & FD_READ)) {
                e.ReadEnabled = false;
                post(FD_READ, 0);
            }
        } else if (e.Connected) {
            if ((events & EPOLLIN) || hangup) {
                // Readable without a hang-up, when the arming asked for
                // hang-ups, means bytes are waiting; otherwise ask whether any
                // came before the end of the stream.
                int waiting = 1;
                if ((hangup || !(armed & EPOLLRDHUP)) && ::ioctl(e.Fd, FIONREAD, &waiting) != 0)
                    waiting = 0;
                if (waiting > 0) {
                    if (e.ReadEnabled && (e.Mask & FD_READ)) {
                        e.ReadEnabled = false;
                        post(FD_READ, 0);
                    }
                } else if ((events & EPOLLIN) && e.ReadEnabled) {
                    e.EofIdle = true; // end of stream is FD_CLOSE, not FD_READ
                }
            }
            if (hangup && !e.ClosePosted && (e.Mask & FD_CLOSE)) {
                int soError = PendingSocketError(e.Fd);
                e.ClosePosted = true;
                post(FD_CLOSE, soError != 0 ? ErrnoToWsa(soError) : e.ResetError);
            }
        }

        if (e.WriteWanted && (e.Mask & FD_WRITE) && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) &&
            (e.Type != SOCK_STREAM || e.Connected)) {
            e.WriteWanted = false;
            post(FD_WRITE, 0);
        }
    }

    if (posted == 0 && FlagBits(e) == flagsBefore && failed)
        e.Stalled = true;
    UpdateInterest(e, false, true);
}

} // namespace

// ---- Errors and start-up -------------------------------------------------

// Every errno value lands on the nearest number of the table, so that no
// failure reads as "Invalid argument" unless it was one.
int ErrnoToWsa(int err)
{
    switch (err) {
    case 0: return 0;
    case EINTR:
    case ECANCELED: return WSAEINTR;
    case EBADF:
    case EBADFD: return WSAEBADF;
    case EPERM:
    case EACCES:
    case EROFS: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL:
    case EDOM:
    case ERANGE: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY:
    case EBUSY: return WSAEALREADY;
    case ENOTSOCK:
    case ENOTTY: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE:
    case E2BIG:
    case EOVERFLOW:
    case EFBIG: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
    case ENOSYS: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE:
    case EEXIST: return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
    case ENOENT:
    case ENXIO: return WSAEADDRNOTAVAIL;
    case ENETDOWN:
    case ENODEV:
    case ENONET:
    case EIO: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED:
    case EPROTO: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE:
    case ENOLINK:
    case ECOMM:
    case EREMOTEIO: return WSAECONNRESET; // leads into the send path's close handling
    case ENOBUFS:
    case ENOMEM:
    case ENOSPC:
    case ENOSR: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT:
    case ETIME: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default:
        // Whatever else the system reports is a failure of the system
        // underneath the sockets rather than of the caller's arguments.
        return WSASYSNOTREADY;
    }
}

int WSAStartup(uint16_t versionRequested, WSAData* data)
{
    const unsigned major = versionRequested & 0xFF;
    const unsigned minor = versionRequested >> 8;
    if (major < 1)
        return WSAVERNOTSUPPORTED;
    if (!data)
        return WSAEFAULT;
    std::memset(data, 0, sizeof *data);
    data->wVersion = (major == 1 && minor == 0) ? 0x0001 : 0x0101;
    data->wHighVersion = 0x0101;
    std::strcpy(data->szDescription, "POSIX sockets, IPv4");
    std::strcpy(data->szSystemStatus, "Running");
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = 65507;
    data->lpVendorInfo = nullptr;
    std::lock_guard<std::mutex> lock(GTableMutex);
    ++GStartCount;
    return 0;
}

int WSACleanup()
{
    std::vector<int> descriptors;
    {
        std::lock_guard<std::mutex> lock(GTableMutex);
        if (!StartedLocked())
            return Fail(WSANOTINITIALISED);
        if (--GStartCount > 0)
            return 0;
        for (auto& [handle, e] : GSockets) {
            if (e.Watched && e.WatchThread == std::this_thread::get_id())
                EventLoop::Unwatch(e.Fd);
            descriptors.push_back(e.Fd);
        }
        GSockets.clear();
    }
    // Like the last cleanup on Windows: outstanding look-ups end without a
    // completion.
    CancelAllLookups();
    for (int fd : descriptors)
        ::close(fd);
    return 0;
}

bool IsStarted() { return Started(); }

int WSAGetLastError() { return tLastError; }

void WSASetLastError(int error) { tLastError = error; }

// ---- Readiness -----------------------------------------------------------

int WSAAsyncSelect(TSocket s, EndpointHandle endpoint, uint32_t msg, int32_t events)
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    TSocketEntry* e = Lookup(s);
    if (!e)
        return SOCKET_ERROR;
    if (events != 0 && endpoint == 0)
        return Fail(WSAEINVAL);
    e->Endpoint = endpoint;
    e->Msg = msg;
    e->Mask = events;
    if (events != 0) {
        // A new selection re-evaluates everything, as on Windows: what was
        // posted before (and perhaps ignored while paused) is reported again.
        e->ReadEnabled = true;
        e->AcceptEnabled = true;
        if (!e->Watched) {
            EventLoop::Watch(e->Fd, [s](uint32_t fired) { OnReadiness(s, fired); });
            e->Watched = true;
            e->WatchThread = std::this_thread::get_id();
            e->Armed = 0;
        }
        if (e->Type == SOCK_STREAM && !e->Connected && !e->ConnectPending && !e->Listening &&
            HasPeer(e->Fd))
            e->Connected = true;
        if ((events & FD_WRITE) && !e->ConnectPending && !e->Listening &&
            (e->Type != SOCK_STREAM || e->Connected)) {
            e->WriteWanted = false;
            PostEvent(s, *e, FD_WRITE, 0);
        }
    }
    UpdateInterest(*e, true);
    return 0;
}

// ---- Socket life ---------------------------------------------------------

TSocket socket(int af, int type, int protocol)
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    if (!StartedLocked()) {
        tLastError = WSANOTINITIALISED;
        return INVALID_SOCKET;
    }
    if (af != AF_INET) {
        tLastError = WSAEAFNOSUPPORT;
        return INVALID_SOCKET;
    }
    int fd = ::socket(af, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        tLastError = ErrnoToWsa(errno);
        return INVALID_SOCKET;
    }
    return Register(fd, type);
}

int bind(TSocket s, const sockaddr* name, int namelen)
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    TSocketEntry* e = Lookup(s);
    if (!e)
        return SOCKET_ERROR;
    if (namelen < 0)
        return Fail(WSAEFAULT);
    if (::bind(e->Fd, name, static_cast<socklen_t>(namelen)) != 0)
        return Fail(ErrnoToWsa(errno));
    return 0;
}

int listen(TSocket s, int backlog)
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    TSocketEntry* e = Lookup(s);
    if (!e)
        return SOCKET_ERROR;
    if (::listen(e->Fd, backlog) != 0)
        return Fail(ErrnoToWsa(errno));
    e->Listening = true;
    UpdateInterest(*e, true);
    return 0;
}

TSocket accept(TSocket s, sockaddr* addr, int* addrlen)
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    TSocketEntry* e = Lookup(s);
    if (!e)
        return INVALID_SOCKET;
    socklen_t len = 0;
    if (addr) {
        if (!addrlen || *addrlen < 0) {
            tLastError = WSAEFAULT;
            return INVALID_SOCKET;
        }
        len = static_cast<socklen_t>(*addrlen);
    }
    int fd = ::accept4(e->Fd, addr, addr ? &len : nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    int err = errno;
    e->AcceptEnabled = true;
    UpdateInterest(*e, true);
    if (fd < 0) {
        tLastError = ErrnoToWsa(err);
        return INVALID_SOCKET;
    }
    if (addr)
        *addrlen = static_cast<int>(len);
    TSocket handle = Register(fd, SOCK_STREAM);
    GSockets[handle].Connected = true;
    return handle;
}

int connect(TSocket s, const sockaddr* name, int namelen)
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    TSocketEntry* e = Lookup(s);
    if (!e)
        return SOCKET_ERROR;
    if (namelen < 0)
        return Fail(WSAEFAULT);
    int result = ::connect(e->Fd, name, static_cast<socklen_t>(namelen));
    int err = errno;
    if (e->Type != SOCK_STREAM)
        return result == 0 ? 0 : Fail(ErrnoToWsa(err));
    if (result == 0) {
        // The socket layer expects FD_CONNECT(0) even then.
        e->ConnectPending = true;
        UpdateInterest(*e, true);
        return 0;
    }
    if (err == EINPROGRESS || err == ECONNREFUSED) {
        // A refusal that the kernel already knows is reported like a later
        // one, through FD_CONNECT: a non-blocking connect never fails with
        // the outcome of the connection itself.
        e->ConnectPending = true;
        e->ConnectError = err == ECONNREFUSED ? WSAECONNREFUSED : 0;
        UpdateInterest(*e, true);
        return Fail(WSAEWOULDBLOCK);
    }
    return Fail(ErrnoToWsa(err));
}

int shutdown(TSocket s, int how)
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    TSocketEntry* e = Lookup(s);
    if (!e)
        return SOCKET_ERROR;
    if (::shutdown(e->Fd, how) != 0)
        return Fail(ErrnoToWsa(errno));
    return 0;
}

int closesocket(TSocket s)
{
    int fd;
    {
        std::lock_guard<std::mutex> lock(GTableMutex);
        TSocketEntry* e = Lookup(s);
        if (!e)
            return SOCKET_ERROR;
        fd = e->Fd;
        if (e->Watched && e->WatchThread == std::this_thread::get_id())
            EventLoop::Unwatch(fd);
        GSockets.erase(s);
    }
    // Outside the lock: with a linger time set, close may wait for it.
    if (::close(fd) != 0 && errno != EINTR)
        return Fail(ErrnoToWsa(errno));
    return 0;
}

// ---- Options and queries -------------------------------------------------

int setsockopt(TSocket s, int level, int optname, const void* optval, int optlen)
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    TSocketEntry* e = Lookup(s);
    if (!e)
        return SOCKET_ERROR;
    if (optlen < 0)
        return Fail(WSAEFAULT);
    int result;
    if (level == SOL_SOCKET && optname == SO_LINGER) {
        if (!optval || optlen < static_cast<int>(sizeof(TLinger)))
            return Fail(WSAEFAULT);
        TLinger record;
        std::memcpy(&record, optval, sizeof record);
        linger value{};
        value.l_onoff = record.l_onoff != 0 ? 1 : 0;
        value.l_linger = record.l_linger;
        result = ::setsockopt(e->Fd, SOL_SOCKET, SO_LINGER, &value, sizeof value);
    } else {
        result = ::setsockopt(e->Fd, level, optname, optval, static_cast<socklen_t>(optlen));
    }
    return result == 0 ? 0 : Fail(ErrnoToWsa(errno));
}

int ioctlsocket(TSocket s, long cmd, uint32_t* argp)
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    TSocketEntry* e = Lookup(s);
    if (!e)
        return SOCKET_ERROR;
    if (cmd != static_cast<long>(FIONREAD))
        return Fail(WSAEINVAL);
    if (!argp)
        return Fail(WSAEFAULT);
    int waiting = 0;
    if (::ioctl(e->Fd, FIONREAD, &waiting) != 0)
        return Fail(ErrnoToWsa(errno));
    *argp = static_cast<uint32_t>(waiting);
    return 0;
}

namespace {

template <typename Query>
int AddressQuery(TSocket s, sockaddr* name, int* namelen, Query query)
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    TSocketEntry* e = Lookup(s);
    if (!e)
        return SOCKET_ERROR;
    if (!name || !namelen || *namelen < 0)
        return Fail(WSAEFAULT);
    socklen_t len = static_cast<socklen_t>(*namelen);
    if (query(e->Fd, name, &len) != 0)
        return Fail(ErrnoToWsa(errno));
    *namelen = static_cast<int>(len);
    return 0;
}

} // namespace

int getsockname(TSocket s, sockaddr* name, int* namelen)
{
    return AddressQuery(s, name, namelen, ::getsockname);
}

int getpeername(TSocket s, sockaddr* name, int* namelen)
{
    return AddressQuery(s, name, namelen, ::getpeername);
}

// ---- Data ----------------------------------------------------------------

int send(TSocket s, const void* buf, int len, int flags)
{
    return sendto(s, buf, len, flags, nullptr, 0);
}

int sendto(TSocket s, const void* buf, int len, int flags, const sockaddr* to, int tolen)
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    TSocketEntry* e = Lookup(s);
    if (!e)
        return SOCKET_ERROR;
    if (len < 0 || tolen < 0)
        return Fail(WSAEFAULT);
    ssize_t n = ::sendto(e->Fd, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL, to,
                         to ? static_cast<socklen_t>(tolen) : 0);
    if (n >= 0)
        return static_cast<int>(n);
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
        e->WriteWanted = true;
        UpdateInterest(*e, true);
    }
    NoteConnectionError(*e, err);
    return Fail(ErrnoToWsa(err));
}

int recv(TSocket s, void* buf, int len, int flags)
{
    return recvfrom(s, buf, len, flags, nullptr, nullptr);
}

int recvfrom(TSocket s, void* buf, int len, int flags, sockaddr* from, int* fromlen)
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    TSocketEntry* e = Lookup(s);
    if (!e)
        return SOCKET_ERROR;
    if (len < 0 || (from && (!fromlen || *fromlen < 0)))
        return Fail(WSAEFAULT);
    socklen_t addrLen = from ? static_cast<socklen_t>(*fromlen) : 0;
    ssize_t n;
    if (len == 0 && e->Type == SOCK_STREAM) {
        // Linux answers a zero-length receive with 0 at once; this interface
        // answers WSAEWOULDBLOCK while the connection is open and nothing
        // waits, and 0 when bytes wait or the peer has closed. Callers use
        // it to probe a connection without taking anything.
        char probe;
        n = ::recv(e->Fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0)
            n = 0;
    } else {
        n = ::recvfrom(e->Fd, buf, static_cast<size_t>(len), flags, from, from ? &addrLen : nullptr);
    }
    int err = errno;
    // Every receive re-enables FD_READ, a failed one included.
    e->ReadEnabled = true;
    e->EofIdle = false;
    if (n < 0)
        NoteConnectionError(*e, err);
    UpdateInterest(*e, true);
    if (n < 0)
        return Fail(ErrnoToWsa(err));
    if (from)
        *fromlen = static_cast<int>(addrLen);
    return static_cast<int>(n);
}

// ---- Conversions ---------------------------------------------------------

uint32_t inet_addr(const char* cp)
{
    // The classic forms (octal, hexadecimal, fewer than four groups); all
    // ones comes back as INADDR_NONE, like the failure.
    return cp ? ::inet_addr(cp) : INADDR_NONE;
}

char* inet_ntoa(in_addr in)
{
    thread_local char text[INET_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET, &in, text, sizeof text))
        text[0] = '\0';
    return text;
}

uint16_t htons(uint16_t v) { return ::htons(v); }

uint16_t ntohs(uint16_t v) { return ::ntohs(v); }

int DescriptorOf(TSocket s)
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    auto it = GSockets.find(s);
    return it == GSockets.end() ? -1 : it->second.Fd;
}

} // namespace platform::sock
