// Stand-in for the Windows Sockets 1.1 interface over POSIX sockets (IPv4).
//
// The functions keep the Windows calling conventions: failures return -1
// (SOCKET_ERROR), INVALID_SOCKET, 0 or a null entry, and the calling
// thread's last error (WSAGetLastError) holds a Windows Sockets error number.
// errno values are mapped onto that numbering; EAGAIN, EWOULDBLOCK and
// EINPROGRESS all become WSAEWOULDBLOCK, and EPIPE becomes WSAECONNRESET so
// that a send to a vanished peer leads into the send path's close handling.
// SIGPIPE is never raised (MSG_NOSIGNAL).
//
// Handles are not descriptors: each carries a serial number beside the
// descriptor, so a stale notification for a closed socket can never match a
// new socket that happens to get the same descriptor.
//
// WSAAsyncSelect readiness, posted to the endpoint with the given code,
// WParam = handle, LParam = event bits | error << 16:
// - FD_READ: bytes are waiting and reading is enabled; posting disables it,
//   every recv/recvfrom re-enables it. End of stream alone is not FD_READ.
// - FD_WRITE: once after a connect succeeds (right after FD_CONNECT), once
//   when selection is made on a connected (or datagram) socket, once when the
//   socket becomes writable after a send that failed with WSAEWOULDBLOCK.
// - FD_ACCEPT: a connection is waiting and accepting is enabled; posting
//   disables it, accept re-enables it.
// - FD_CONNECT: once when a non-blocking connect finishes, with its error.
// - FD_CLOSE: once per connection when the peer closed (0) or reset
//   (WSAECONNRESET) it, after any FD_READ for bytes that came before it.
// - Mask 0 stops notifications; already queued ones stay queued.
#pragma once

#include "platform/EventLoop.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// glibc turns these into macros when optimising; this interface declares
// functions of the same names.
#undef htons
#undef ntohs

namespace platform::sock {

using TSocket = uintptr_t;
constexpr TSocket INVALID_SOCKET = ~TSocket(0);
constexpr int SOCKET_ERROR = -1;

// Request handle of an asynchronous look-up; 0 means the request failed.
using TAsyncHandle = uintptr_t;

constexpr int32_t FD_READ = 1;
constexpr int32_t FD_WRITE = 2;
constexpr int32_t FD_OOB = 4;
constexpr int32_t FD_ACCEPT = 8;
constexpr int32_t FD_CONNECT = 16;
constexpr int32_t FD_CLOSE = 32;

// Size of the buffer WSAAsyncGetHostBy* need at most for one host entry.
constexpr int MAXGETHOSTSTRUCT = 1024;

// The 4-byte linger record of this interface (Linux's struct linger is two
// ints); setsockopt(SOL_SOCKET, SO_LINGER) takes this one.
struct TLinger {
    uint16_t l_onoff;
    uint16_t l_linger;
};

struct WSAData {
    uint16_t wVersion;
    uint16_t wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    uint16_t iMaxSockets;
    uint16_t iMaxUdpDg;
    char* lpVendorInfo;
};

enum : int {
    WSAEINTR = 10004, WSAEBADF = 10009, WSAEACCES = 10013, WSAEFAULT = 10014,
    WSAEINVAL = 10022, WSAEMFILE = 10024, WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036, WSAEALREADY = 10037, WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039, WSAEMSGSIZE = 10040, WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042, WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044, WSAEOPNOTSUPP = 10045, WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047, WSAEADDRINUSE = 10048, WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050, WSAENETUNREACH = 10051, WSAENETRESET = 10052,
    WSAECONNABORTED = 10053, WSAECONNRESET = 10054, WSAENOBUFS = 10055,
    WSAEISCONN = 10056, WSAENOTCONN = 10057, WSAESHUTDOWN = 10058,
    WSAETOOMANYREFS = 10059, WSAETIMEDOUT = 10060, WSAECONNREFUSED = 10061,
    WSAELOOP = 10062, WSAENAMETOOLONG = 10063, WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065, WSAENOTEMPTY = 10066, WSAEPROCLIM = 10067,
    WSAEUSERS = 10068, WSAEDQUOT = 10069, WSAESTALE = 10070, WSAEREMOTE = 10071,
    WSASYSNOTREADY = 10091, WSAVERNOTSUPPORTED = 10092,
    WSANOTINITIALISED = 10093,
    WSAHOST_NOT_FOUND = 11001, WSATRY_AGAIN = 11002, WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
};

// Maps an errno value onto the numbering above.
int ErrnoToWsa(int err);
// Maps a getaddrinfo/getnameinfo result (with errno for EAI_SYSTEM) onto the
// numbering above.
int EaiToWsa(int eai, int err);

// Library start and error state. Every other function except the
// conversions fails with WSANOTINITIALISED while no WSAStartup is in force;
// the last WSACleanup closes every socket still open.
int WSAStartup(uint16_t versionRequested, WSAData* data);
int WSACleanup();
bool IsStarted();
int WSAGetLastError();
void WSASetLastError(int error);

int WSAAsyncSelect(TSocket s, EndpointHandle endpoint, uint32_t msg, int32_t events);

// The host entry (a struct hostent whose texts and addresses lie in buf) is
// written into buf before the completion {msg, handle, error << 16} is
// posted. A cancelled request never completes and never writes into buf
// after WSACancelAsyncRequest returned.
TAsyncHandle WSAAsyncGetHostByName(EndpointHandle endpoint, uint32_t msg, const char* name,
                                   char* buf, int buflen);
TAsyncHandle WSAAsyncGetHostByAddr(EndpointHandle endpoint, uint32_t msg, const char* addr,
                                   int len, int type, char* buf, int buflen);
int WSACancelAsyncRequest(TAsyncHandle handle);

// Synchronous look-ups; results stay valid until the next call on the
// same thread.
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
// Only FIONREAD is supported.
int ioctlsocket(TSocket s, long cmd, uint32_t* argp);
int getsockname(TSocket s, sockaddr* name, int* namelen);
int getpeername(TSocket s, sockaddr* name, int* namelen);
int send(TSocket s, const void* buf, int len, int flags);
int sendto(TSocket s, const void* buf, int len, int flags, const sockaddr* to, int tolen);
int recv(TSocket s, void* buf, int len, int flags);
int recvfrom(TSocket s, void* buf, int len, int flags, sockaddr* from, int* fromlen);

// INADDR_NONE when the text is not an address in the inet_addr forms.
uint32_t inet_addr(const char* cp);
char* inet_ntoa(in_addr in);
uint16_t htons(uint16_t v);
uint16_t ntohs(uint16_t v);

// The descriptor behind a handle, -1 for an unknown handle (tests use it to
// inspect the kernel socket).
int DescriptorOf(TSocket s);

// Host name resolution behind gethostbyname and the asynchronous look-ups.
// Tests replace it so that no query ever leaves the machine; the default
// asks the system resolver (getaddrinfo / getnameinfo, IPv4 only).
struct ResolvedHost {
    int Error = 0; // 0 or WSAHOST_NOT_FOUND ... WSANO_DATA
    std::string OfficialName;
    std::vector<std::string> Aliases;
    std::vector<uint32_t> Addresses; // network order, resolver order
};
using NameResolver = std::function<ResolvedHost(const std::string& name)>;
using AddrResolver = std::function<ResolvedHost(uint32_t addressNetworkOrder)>;
// Empty functions restore the system resolver.
void SetResolvers(NameResolver byName, AddrResolver byAddr);

} // namespace platform::sock
