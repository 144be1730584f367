// Windows Sockets 1.1 over POSIX sockets. See Sockets.h for the contract.
//
// Locking: GTableMutex guards the handle table and the start count;
// GLookupMutex guards the look-up requests; GResolverMutex guards the
// replaceable resolvers. None of them is ever taken while another of them is
// held. The event loop's queue lock is taken inside the first two (posting,
// withdrawing), never the other way round: the loop calls readiness
// callbacks and handlers without holding it.
//
// Threads: a socket is selected and used on one thread. Readiness watching
// lives in the loop of the thread that first selected the socket; calls
// made on another thread still work but do not change what that loop
// watches.
#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

namespace platform::sock {

static_assert(sizeof(TSocket) >= 8, "a handle holds a 32-bit serial beside the descriptor");

namespace {

thread_local int tLastError = 0;

int Fail(int error)
{
    tLastError = error;
    return SOCKET_ERROR;
}

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

bool Started()
{
    std::lock_guard<std::mutex> lock(GTableMutex);
    return StartedLocked();
}

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
// ends a stall.
void UpdateInterest(TSocketEntry& e, bool afterCall)
{
    if (afterCall)
        e.Stalled = false;
    if (!e.Watched || e.WatchThread != std::this_thread::get_id())
        return;
    uint32_t want = WantedEvents(e);
    if (want == e.Armed)
        return;
    try {
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
                int waiting = 0;
                if (::ioctl(e.Fd, FIONREAD, &waiting) != 0)
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
    UpdateInterest(e, false);
}

// ---- Host look-ups -------------------------------------------------------

struct TLookup {
    EndpointHandle Endpoint = 0;
    uint32_t Msg = 0;
    char* Buf = nullptr;
    int BufLen = 0;
};

// A request is in GLookups from its start until its worker posts the
// completion; cancelling removes it, which is what the worker checks.
// Posted completions are remembered in GPosted so that one still queued can
// be withdrawn; the oldest are forgotten, since a completion stays queued
// only until its loop runs.
struct TPosted {
    TAsyncHandle Handle;
    EndpointHandle Endpoint;
};
constexpr size_t MaxPostedKept = 256;

std::mutex GLookupMutex;
std::unordered_map<TAsyncHandle, TLookup> GLookups;
std::deque<TPosted> GPosted;
TAsyncHandle GNextLookup = 1;

std::mutex GResolverMutex;
NameResolver GNameResolver; // empty: the system resolver
AddrResolver GAddrResolver;

int EaiToWsa(int eai)
{
    switch (eai) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
        return WSAHOST_NOT_FOUND;
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
        return WSANO_DATA;
#endif
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    default:
        return WSANO_RECOVERY;
    }
}

ResolvedHost SystemResolveName(const std::string& name)
{
    ResolvedHost host;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM; // one entry per address, not per socket type
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    int result = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (result != 0) {
        host.Error = EaiToWsa(result);
        return host;
    }
    host.OfficialName = list->ai_canonname ? list->ai_canonname : name;
    for (addrinfo* p = list; p; p = p->ai_next) {
        if (p->ai_family != AF_INET || p->ai_addrlen < sizeof(sockaddr_in))
            continue;
        sockaddr_in sa;
        std::memcpy(&sa, p->ai_addr, sizeof sa);
        bool seen = false;
        for (uint32_t a : host.Addresses)
            seen = seen || a == sa.sin_addr.s_addr;
        if (!seen)
            host.Addresses.push_back(sa.sin_addr.s_addr);
    }
    ::freeaddrinfo(list);
    if (host.Addresses.empty())
        host.Error = WSANO_DATA;
    return host;
}

ResolvedHost SystemResolveAddress(uint32_t address)
{
    ResolvedHost host;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    char name[NI_MAXHOST];
    int result = ::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, name, sizeof name,
                               nullptr, 0, NI_NAMEREQD);
    if (result != 0) {
        host.Error = EaiToWsa(result);
        return host;
    }
    host.OfficialName = name;
    host.Addresses.push_back(address);
    return host;
}

NameResolver CurrentNameResolver()
{
    std::lock_guard<std::mutex> lock(GResolverMutex);
    return GNameResolver ? GNameResolver : NameResolver(SystemResolveName);
}

AddrResolver CurrentAddrResolver()
{
    std::lock_guard<std::mutex> lock(GResolverMutex);
    return GAddrResolver ? GAddrResolver : AddrResolver(SystemResolveAddress);
}

size_t AlignUp(const char* base, size_t offset, size_t alignment)
{
    uintptr_t at = reinterpret_cast<uintptr_t>(base) + offset;
    return offset + (alignment - at % alignment) % alignment;
}

// Layout in the buffer: hostent | alias pointers | address pointers |
// 4-byte addresses | texts. The pointer arrays are aligned; the hostent
// itself is copied in, because a caller's buffer need not be aligned (it is
// read back the same way by careful callers, or from an aligned buffer).
struct THostLayout {
    size_t Aliases, AddrPtrs, Addrs, Texts, End;
};

THostLayout LayoutHost(const ResolvedHost& host, const char* buf)
{
    THostLayout l{};
    l.Aliases = AlignUp(buf, sizeof(hostent), alignof(char*));
    l.AddrPtrs = l.Aliases + (host.Aliases.size() + 1) * sizeof(char*);
    l.Addrs = l.AddrPtrs + (host.Addresses.size() + 1) * sizeof(char*);
    l.Texts = l.Addrs + host.Addresses.size() * 4;
    l.End = l.Texts + host.OfficialName.size() + 1;
    for (const std::string& alias : host.Aliases)
        l.End += alias.size() + 1;
    return l;
}

void StorePointer(char* at, char* value) { std::memcpy(at, &value, sizeof value); }

// Returns 0, or WSAENOBUFS with nothing written when the entry does not fit.
int WriteHostEntry(const ResolvedHost& host, char* buf, int buflen)
{
    if (!buf || buflen <= 0)
        return WSAENOBUFS;
    THostLayout l = LayoutHost(host, buf);
    if (l.End > static_cast<size_t>(buflen))
        return WSAENOBUFS;

    size_t text = l.Texts;
    auto putText = [&](const std::string& s) {
        char* at = buf + text;
        std::memcpy(at, s.c_str(), s.size() + 1);
        text += s.size() + 1;
        return at;
    };
    hostent entry{};
    entry.h_name = putText(host.OfficialName);
    for (size_t i = 0; i < host.Aliases.size(); ++i)
        StorePointer(buf + l.Aliases + i * sizeof(char*), putText(host.Aliases[i]));
    StorePointer(buf + l.Aliases + host.Aliases.size() * sizeof(char*), nullptr);
    for (size_t i = 0; i < host.Addresses.size(); ++i) {
        char* at = buf + l.Addrs + i * 4;
        std::memcpy(at, &host.Addresses[i], 4);
        StorePointer(buf + l.AddrPtrs + i * sizeof(char*), at);
    }
    StorePointer(buf + l.AddrPtrs + host.Addresses.size() * sizeof(char*), nullptr);
    entry.h_aliases = reinterpret_cast<char**>(buf + l.Aliases);
    entry.h_addrtype = AF_INET;
    entry.h_length = 4;
    entry.h_addr_list = reinterpret_cast<char**>(buf + l.AddrPtrs);
    std::memcpy(buf, &entry, sizeof entry);
    return 0;
}

void FinishLookup(TAsyncHandle handle, const ResolvedHost& host)
{
    std::lock_guard<std::mutex> lock(GLookupMutex);
    auto it = GLookups.find(handle);
    if (it == GLookups.end())
        return; // cancelled: the buffer may no longer exist
    TLookup request = it->second;
    GLookups.erase(it);
    int error = host.Error;
    if (error == 0)
        error = WriteHostEntry(host, request.Buf, request.BufLen);
    intptr_t lParam = static_cast<intptr_t>(static_cast<uint32_t>(error & 0xFFFF) << 16);
    if (PostNotification(request.Endpoint, request.Msg, handle, lParam, handle)) {
        GPosted.push_back({handle, request.Endpoint});
        if (GPosted.size() > MaxPostedKept)
            GPosted.pop_front();
    }
}

TAsyncHandle StartLookup(EndpointHandle endpoint, uint32_t msg, char* buf, int buflen,
                         std::function<ResolvedHost()> resolve)
{
    TAsyncHandle handle;
    {
        std::lock_guard<std::mutex> lock(GLookupMutex);
        handle = GNextLookup++;
        GLookups[handle] = TLookup{endpoint, msg, buf, buflen};
    }
    try {
        std::thread([handle, resolve = std::move(resolve)] {
            ResolvedHost host;
            try {
                host = resolve();
            } catch (...) {
                host = ResolvedHost{};
                host.Error = WSANO_RECOVERY;
            }
            FinishLookup(handle, host);
        }).detach();
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(GLookupMutex);
        GLookups.erase(handle);
        tLastError = WSAENOBUFS;
        return 0;
    }
    return handle;
}

void CancelAllLookups()
{
    std::lock_guard<std::mutex> lock(GLookupMutex);
    GLookups.clear();
    GPosted.clear();
}

} // namespace

// ---- Errors and start-up -------------------------------------------------

int ErrnoToWsa(int err)
{
    switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET; // leads into the send path's close handling
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
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
    default: return WSAEINVAL;
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

// ---- Asynchronous look-ups -----------------------------------------------

TAsyncHandle WSAAsyncGetHostByName(EndpointHandle endpoint, uint32_t msg, const char* name, char* buf,
                                   int buflen)
{
    if (!Started()) {
        tLastError = WSANOTINITIALISED;
        return 0;
    }
    if (!name || !buf || buflen < 0) {
        tLastError = WSAEFAULT;
        return 0;
    }
    NameResolver resolver = CurrentNameResolver();
    std::string text = name;
    return StartLookup(endpoint, msg, buf, buflen,
                       [resolver, text] { return resolver(text); });
}

TAsyncHandle WSAAsyncGetHostByAddr(EndpointHandle endpoint, uint32_t msg, const char* addr, int len,
                                   int type, char* buf, int buflen)
{
    if (!Started()) {
        tLastError = WSANOTINITIALISED;
        return 0;
    }
    if (type != AF_INET) {
        tLastError = WSAEAFNOSUPPORT;
        return 0;
    }
    if (!addr || len < 4 || !buf || buflen < 0) {
        tLastError = WSAEFAULT;
        return 0;
    }
    uint32_t address;
    std::memcpy(&address, addr, 4);
    AddrResolver resolver = CurrentAddrResolver();
    return StartLookup(endpoint, msg, buf, buflen,
                       [resolver, address] { return resolver(address); });
}

int WSACancelAsyncRequest(TAsyncHandle handle)
{
    if (!Started())
        return Fail(WSANOTINITIALISED);
    std::lock_guard<std::mutex> lock(GLookupMutex);
    if (GLookups.erase(handle) > 0)
        return 0;
    for (auto it = GPosted.begin(); it != GPosted.end(); ++it) {
        if (it->Handle != handle)
            continue;
        bool withdrawn = WithdrawTagged(it->Endpoint, handle);
        GPosted.erase(it);
        return withdrawn ? 0 : Fail(WSAEALREADY);
    }
    return Fail(WSAEINVAL);
}

void SetResolvers(NameResolver byName, AddrResolver byAddr)
{
    std::lock_guard<std::mutex> lock(GResolverMutex);
    GNameResolver = std::move(byName);
    GAddrResolver = std::move(byAddr);
}

// ---- Synchronous look-ups ------------------------------------------------

hostent* gethostbyname(const char* name)
{
    if (!Started()) {
        tLastError = WSANOTINITIALISED;
        return nullptr;
    }
    if (!name) {
        tLastError = WSAEFAULT;
        return nullptr;
    }
    ResolvedHost host = CurrentNameResolver()(name);
    if (host.Error != 0) {
        tLastError = host.Error;
        return nullptr;
    }
    // Whole max_align_t units, so the entry at the start is aligned.
    thread_local std::vector<std::max_align_t> storage;
    size_t needed = LayoutHost(host, nullptr).End + alignof(char*);
    storage.assign(needed / sizeof(std::max_align_t) + 1, std::max_align_t{});
    char* buf = reinterpret_cast<char*>(storage.data());
    int size = static_cast<int>(storage.size() * sizeof(std::max_align_t));
    if (WriteHostEntry(host, buf, size) != 0) {
        tLastError = WSAENOBUFS;
        return nullptr;
    }
    return reinterpret_cast<hostent*>(buf);
}

servent* getservbyname(const char* name, const char* proto)
{
    if (!Started()) {
        tLastError = WSANOTINITIALISED;
        return nullptr;
    }
    if (!name) {
        tLastError = WSAEFAULT;
        return nullptr;
    }
    thread_local servent entry;
    thread_local char texts[4096];
    servent* result = nullptr;
    if (::getservbyname_r(name, proto, &entry, texts, sizeof texts, &result) != 0 || !result) {
        tLastError = WSANO_DATA;
        return nullptr;
    }
    return result;
}

protoent* getprotobyname(const char* name)
{
    if (!Started()) {
        tLastError = WSANOTINITIALISED;
        return nullptr;
    }
    if (!name) {
        tLastError = WSAEFAULT;
        return nullptr;
    }
    thread_local protoent entry;
    thread_local char texts[4096];
    protoent* result = nullptr;
    if (::getprotobyname_r(name, &entry, texts, sizeof texts, &result) != 0 || !result) {
        tLastError = WSANO_DATA;
        return nullptr;
    }
    return result;
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
