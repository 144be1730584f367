// Host name look-ups of the sockets stand-in: the replaceable resolver, the
// synchronous gethostbyname family and the asynchronous look-ups, which run
// on one detached worker thread each and post their completion to the
// caller's endpoint.
//
// Locking: GLookupMutex guards the look-up requests, GResolverMutex the
// replaceable resolvers; neither is taken while the other is held. The
// event loop's queue lock is taken inside GLookupMutex (posting,
// withdrawing), never the other way round.
#include "platform/Sockets.h"
#include "platform/SocketsInternal.h"

#include <arpa/inet.h>

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

namespace {

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
        host.Error = EaiToWsa(result, errno);
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
        host.Error = EaiToWsa(result, errno);
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
    // Nobody could ever receive the completion.
    if (endpoint == 0) {
        tLastError = WSAEINVAL;
        return 0;
    }
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

} // namespace

// A name that does not exist is "Host not found"; a name that exists
// without an address of the family is "No Data" (RFC 1035 NODATA).
int EaiToWsa(int eai, int err)
{
    switch (eai) {
    case 0:
        return 0;
    case EAI_NONAME:
        return WSAHOST_NOT_FOUND;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
        return WSANO_DATA;
#endif
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_MEMORY:
        return WSAENOBUFS;
    case EAI_FAMILY:
        return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE:
        return WSAESOCKTNOSUPPORT;
    case EAI_SYSTEM:
        return ErrnoToWsa(err);
    default:
        return WSANO_RECOVERY;
    }
}

void CancelAllLookups()
{
    std::lock_guard<std::mutex> lock(GLookupMutex);
    GLookups.clear();
    GPosted.clear();
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

namespace {

// The common checks of the synchronous look-ups; sets the last error when
// the call cannot go on.
bool CanLookUp(const char* name)
{
    if (!Started()) {
        tLastError = WSANOTINITIALISED;
        return false;
    }
    if (!name) {
        tLastError = WSAEFAULT;
        return false;
    }
    return true;
}

} // namespace

hostent* gethostbyname(const char* name)
{
    if (!CanLookUp(name))
        return nullptr;
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
    if (!CanLookUp(name))
        return nullptr;
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
    if (!CanLookUp(name))
        return nullptr;
    thread_local protoent entry;
    thread_local char texts[4096];
    protoent* result = nullptr;
    if (::getprotobyname_r(name, &entry, texts, sizeof texts, &result) != 0 || !result) {
        tLastError = WSANO_DATA;
        return nullptr;
    }
    return result;
}

} // namespace platform::sock
