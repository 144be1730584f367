// Binding of the sockets interface. The platform's sockets functions are the
// "library": it is loaded (and started with version 1.1) by the first socket
// call, each entry point is looked up by name on the first call of its
// binding and kept in a slot, and UnloadSocketLibrary cleans up and empties
// every slot, so the next call loads, starts and binds everything afresh.
#include "socket/WSocket.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace wsock {

std::string SocketLibraryName = "wsock32.dll";

namespace {

namespace ps = platform::sock;

using Proc = void (*)();

// Windows system error numbers of a failed library load and look-up.
constexpr int ErrorModNotFound = 126;
constexpr int ErrorProcNotFound = 127;

struct Export {
    const char* Name;
    Proc Entry;
};

template <typename F>
constexpr Export Exp(const char* name, F* f)
{
    return {name, reinterpret_cast<Proc>(f)};
}

// The entry points of the library, by the names they are looked up with.
const Export Exports[] = {
    Exp("WSAStartup", &ps::WSAStartup),
    Exp("WSACleanup", &ps::WSACleanup),
    Exp("WSAGetLastError", &ps::WSAGetLastError),
    Exp("WSASetLastError", &ps::WSASetLastError),
    Exp("WSAAsyncSelect", &ps::WSAAsyncSelect),
    Exp("WSAAsyncGetHostByName", &ps::WSAAsyncGetHostByName),
    Exp("WSAAsyncGetHostByAddr", &ps::WSAAsyncGetHostByAddr),
    Exp("WSACancelAsyncRequest", &ps::WSACancelAsyncRequest),
    Exp("gethostbyname", &ps::gethostbyname),
    Exp("getservbyname", &ps::getservbyname),
    Exp("getprotobyname", &ps::getprotobyname),
    Exp("socket", &ps::socket),
    Exp("bind", &ps::bind),
    Exp("listen", &ps::listen),
    Exp("accept", &ps::accept),
    Exp("connect", &ps::connect),
    Exp("shutdown", &ps::shutdown),
    Exp("closesocket", &ps::closesocket),
    Exp("setsockopt", &ps::setsockopt),
    Exp("ioctlsocket", &ps::ioctlsocket),
    Exp("getsockname", &ps::getsockname),
    Exp("getpeername", &ps::getpeername),
    Exp("send", &ps::send),
    Exp("sendto", &ps::sendto),
    Exp("recv", &ps::recv),
    Exp("recvfrom", &ps::recvfrom),
    Exp("inet_addr", &ps::inet_addr),
    Exp("inet_ntoa", &ps::inet_ntoa),
    Exp("htons", &ps::htons),
    Exp("ntohs", &ps::ntohs),
};
constexpr size_t ExportCount = sizeof(Exports) / sizeof(Exports[0]);

// Slot of each binding; the order is that of Exports.
enum Slot : size_t {
    Slot_WSAStartup,
    Slot_WSACleanup,
    Slot_WSAGetLastError,
    Slot_WSASetLastError,
    Slot_WSAAsyncSelect,
    Slot_WSAAsyncGetHostByName,
    Slot_WSAAsyncGetHostByAddr,
    Slot_WSACancelAsyncRequest,
    Slot_gethostbyname,
    Slot_getservbyname,
    Slot_getprotobyname,
    Slot_socket,
    Slot_bind,
    Slot_listen,
    Slot_accept,
    Slot_connect,
    Slot_shutdown,
    Slot_closesocket,
    Slot_setsockopt,
    Slot_ioctlsocket,
    Slot_getsockname,
    Slot_getpeername,
    Slot_send,
    Slot_sendto,
    Slot_recv,
    Slot_recvfrom,
    Slot_inet_addr,
    Slot_inet_ntoa,
    Slot_htons,
    Slot_ntohs,
};

bool LibraryLoaded = false;
bool ExitHookInstalled = false;
ps::WSAData StartupData{};
std::array<Proc, ExportCount> Slots{};

int SlotOf(const char* name)
{
    for (size_t i = 0; i < ExportCount; ++i)
        if (std::strcmp(Exports[i].Name, name) == 0)
            return static_cast<int>(i);
    return -1;
}

// Returns the kept entry point of a binding, looking it up on first use.
template <typename F>
F* Bound(Slot slot)
{
    Proc& entry = Slots[slot];
    if (!entry)
        entry = LoadSocketProc(Exports[slot].Name);
    return reinterpret_cast<F*>(entry);
}

} // namespace

Proc LoadSocketProc(const std::string& procName)
{
    if (!LibraryLoaded) {
        if (SocketLibraryName != "wsock32.dll")
            throw ESocketException("Unable to load " + SocketLibraryName + " Error #" +
                                   std::to_string(ErrorModNotFound));
        // The handle is kept before start-up, so the WSAStartup binding
        // below goes straight to the look-up.
        LibraryLoaded = true;
        int err = wsock::WSAStartup(0x0101, &StartupData);
        if (err != 0)
            throw ESocketException(Format("%s: WSAStartup error #%d",
                                          {SocketLibraryName, static_cast<int64_t>(err)}));
        if (!ExitHookInstalled) {
            ExitHookInstalled = true;
            std::atexit(UnloadSocketLibrary);
        }
    }
    if (procName.empty())
        return nullptr;
    int slot = SlotOf(procName.c_str());
    if (slot < 0)
        throw ESocketException("Procedure " + procName + " not found in wsock32.dll Error #" +
                               std::to_string(ErrorProcNotFound));
    return Exports[slot].Entry;
}

void UnloadSocketLibrary()
{
    if (!LibraryLoaded)
        return;
    // Calls the platform directly: the cleanup binding would otherwise
    // fill a slot that is emptied right after.
    ps::WSACleanup();
    LibraryLoaded = false;
    Slots.fill(nullptr);
}

bool SocketLibraryLoaded()
{
    return LibraryLoaded;
}

int BoundProcCount()
{
    int n = 0;
    for (Proc p : Slots)
        n += p != nullptr;
    return n;
}

int WSAStartup(uint16_t v, ps::WSAData* d) { return Bound<decltype(ps::WSAStartup)>(Slot_WSAStartup)(v, d); }
int WSACleanup() { return Bound<decltype(ps::WSACleanup)>(Slot_WSACleanup)(); }
int WSAGetLastError() { return Bound<decltype(ps::WSAGetLastError)>(Slot_WSAGetLastError)(); }
void WSASetLastError(int e) { Bound<decltype(ps::WSASetLastError)>(Slot_WSASetLastError)(e); }
int WSAAsyncSelect(TSocket s, platform::EndpointHandle ep, uint32_t msg, int32_t events)
{
    return Bound<decltype(ps::WSAAsyncSelect)>(Slot_WSAAsyncSelect)(s, ep, msg, events);
}
ps::TAsyncHandle WSAAsyncGetHostByName(platform::EndpointHandle ep, uint32_t msg, const char* name,
                                       char* buf, int buflen)
{
    return Bound<decltype(ps::WSAAsyncGetHostByName)>(Slot_WSAAsyncGetHostByName)(ep, msg, name, buf,
                                                                               buflen);
}
ps::TAsyncHandle WSAAsyncGetHostByAddr(platform::EndpointHandle ep, uint32_t msg, const char* addr,
                                       int len, int type, char* buf, int buflen)
{
    return Bound<decltype(ps::WSAAsyncGetHostByAddr)>(Slot_WSAAsyncGetHostByAddr)(ep, msg, addr, len,
                                                                               type, buf, buflen);
}
int WSACancelAsyncRequest(ps::TAsyncHandle h)
{
    return Bound<decltype(ps::WSACancelAsyncRequest)>(Slot_WSACancelAsyncRequest)(h);
}
hostent* gethostbyname(const char* n) { return Bound<decltype(ps::gethostbyname)>(Slot_gethostbyname)(n); }
servent* getservbyname(const char* n, const char* p)
{
    return Bound<decltype(ps::getservbyname)>(Slot_getservbyname)(n, p);
}
protoent* getprotobyname(const char* n) { return Bound<decltype(ps::getprotobyname)>(Slot_getprotobyname)(n); }
TSocket socket(int af, int type, int protocol) { return Bound<decltype(ps::socket)>(Slot_socket)(af, type, protocol); }
int bind(TSocket s, const sockaddr* a, int l) { return Bound<decltype(ps::bind)>(Slot_bind)(s, a, l); }
int listen(TSocket s, int backlog) { return Bound<decltype(ps::listen)>(Slot_listen)(s, backlog); }
TSocket accept(TSocket s, sockaddr* a, int* l) { return Bound<decltype(ps::accept)>(Slot_accept)(s, a, l); }
int connect(TSocket s, const sockaddr* a, int l) { return Bound<decltype(ps::connect)>(Slot_connect)(s, a, l); }
int shutdown(TSocket s, int how) { return Bound<decltype(ps::shutdown)>(Slot_shutdown)(s, how); }
int closesocket(TSocket s) { return Bound<decltype(ps::closesocket)>(Slot_closesocket)(s); }
int setsockopt(TSocket s, int level, int name, const void* v, int l)
{
    return Bound<decltype(ps::setsockopt)>(Slot_setsockopt)(s, level, name, v, l);
}
int ioctlsocket(TSocket s, long cmd, uint32_t* arg) { return Bound<decltype(ps::ioctlsocket)>(Slot_ioctlsocket)(s, cmd, arg); }
int getsockname(TSocket s, sockaddr* a, int* l) { return Bound<decltype(ps::getsockname)>(Slot_getsockname)(s, a, l); }
int getpeername(TSocket s, sockaddr* a, int* l) { return Bound<decltype(ps::getpeername)>(Slot_getpeername)(s, a, l); }
int send(TSocket s, const void* b, int l, int f) { return Bound<decltype(ps::send)>(Slot_send)(s, b, l, f); }
int sendto(TSocket s, const void* b, int l, int f, const sockaddr* to, int tl)
{
    return Bound<decltype(ps::sendto)>(Slot_sendto)(s, b, l, f, to, tl);
}
int recv(TSocket s, void* b, int l, int f) { return Bound<decltype(ps::recv)>(Slot_recv)(s, b, l, f); }
int recvfrom(TSocket s, void* b, int l, int f, sockaddr* from, int* fl)
{
    return Bound<decltype(ps::recvfrom)>(Slot_recvfrom)(s, b, l, f, from, fl);
}
uint32_t inet_addr(const char* cp) { return Bound<decltype(ps::inet_addr)>(Slot_inet_addr)(cp); }
char* inet_ntoa(in_addr in) { return Bound<decltype(ps::inet_ntoa)>(Slot_inet_ntoa)(in); }
uint16_t htons(uint16_t v) { return Bound<decltype(ps::htons)>(Slot_htons)(v); }
uint16_t ntohs(uint16_t v) { return Bound<decltype(ps::ntohs)>(Slot_ntohs)(v); }

} // namespace wsock
