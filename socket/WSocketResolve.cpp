// Address, port and protocol resolution, local binding, the addresses of
// both ends of a connection, and the asynchronous host look-ups whose
// results arrive through OnDnsLookupDone.
//
// Every socket call goes through the wsock binding, never to the platform
// directly: the first such call is what loads and starts the library.
#include "socket/WSocket.h"

#include <cstddef>
#include <cstring>

namespace {

namespace ps = platform::sock;

// Longest host text accepted by WSocketResolveHost.
constexpr size_t MaxHostTextLength = 256;
// Port, service and protocol texts must be shorter than this: the system's
// tables were sized for 31 characters and a terminator.
constexpr size_t MaxNameTextLength = 32;
// Size of the address record that bind, getsockname and getpeername get.
constexpr int SockAddrLength = static_cast<int>(sizeof(sockaddr_in));

std::string DottedText(uint32_t addressNetworkOrder)
{
    in_addr in{};
    in.s_addr = addressNetworkOrder;
    const char* text = wsock::inet_ntoa(in);
    return text ? std::string(text) : std::string();
}

// The host entry that an asynchronous look-up wrote into a socket's look-up
// buffer, checked before anything of it is used: the platform fills the
// buffer on another thread and a malformed or truncated entry must never
// send a reader outside the socket's 1025 bytes. The buffer carries no
// alignment guarantee, so every field is copied out with memcpy.
class LookupBufferEntry {
public:
    LookupBufferEntry(const char* buffer, size_t size) : FBuffer(buffer), FSize(size)
    {
        if (FSize >= sizeof(hostent)) {
            std::memcpy(&FEntry, FBuffer, sizeof(hostent));
            FHeaderValid = true;
        }
    }

    // The entry as a record whose pointers may be followed, or null when the
    // address list does not lie wholly inside the buffer or does not hold
    // 4-byte IPv4 addresses.
    const hostent* WithAddresses() const
    {
        if (!FHeaderValid || FEntry.h_addrtype != AF_INET || FEntry.h_length != 4)
            return nullptr;
        const char* slot = reinterpret_cast<const char*>(FEntry.h_addr_list);
        for (;;) {
            if (!Inside(slot, sizeof(char*)))
                return nullptr;
            char* address = nullptr;
            std::memcpy(&address, slot, sizeof(char*));
            if (!address)
                return &FEntry;
            if (!Inside(address, 4))
                return nullptr;
            slot += sizeof(char*);
        }
    }

    // The official name, or false when it is missing or not terminated
    // inside the buffer.
    bool OfficialName(std::string& name) const
    {
        if (!FHeaderValid || !FEntry.h_name || !Inside(FEntry.h_name, 1))
            return false;
        size_t room = FSize - Offset(FEntry.h_name);
        const void* end = std::memchr(FEntry.h_name, '\0', room);
        if (!end)
            return false;
        name.assign(FEntry.h_name, static_cast<size_t>(static_cast<const char*>(end) - FEntry.h_name));
        return true;
    }

private:
    size_t Offset(const void* p) const
    {
        return reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(FBuffer);
    }
    // Whether the n bytes at p lie inside the buffer. Addresses are compared
    // as integers: p may point anywhere.
    bool Inside(const void* p, size_t n) const
    {
        uintptr_t begin = reinterpret_cast<uintptr_t>(FBuffer);
        uintptr_t at = reinterpret_cast<uintptr_t>(p);
        return at >= begin && n <= FSize && at - begin <= FSize - n;
    }

    const char* FBuffer;
    size_t FSize;
    hostent FEntry{};
    bool FHeaderValid = false;
};

} // namespace

// ---------------------------------------------------------------------------
// Free functions

bool IsDecimalDigit(char Ch)
{
    return Ch >= '0' && Ch <= '9';
}

bool IsDottedNumericAddress(const std::string& Text)
{
    const size_t n = Text.size();
    size_t i = 0;
    while (i < n && Text[i] == ' ')
        ++i;
    if (i < n && Text[i] == '.')
        return false;
    // A group only needs to be known as "above 255", so it saturates there
    // instead of wrapping back into range on very long digit runs.
    constexpr uint32_t AboveGroup = 256;
    uint32_t group = 0;
    int dots = 0;
    while (i < n) {
        char ch = Text[i];
        if (IsDecimalDigit(ch)) {
            group = group * 10 + static_cast<uint32_t>(ch - '0');
            if (group > AboveGroup)
                group = AboveGroup;
            ++i;
        } else if (ch == '.') {
            ++dots;
            if (dots > 3 || group > 255 || i + 1 >= n || !IsDecimalDigit(Text[i + 1]))
                return false;
            group = 0;
            ++i;
        } else if (ch == ' ') {
            while (i < n && Text[i] == ' ')
                ++i;
            if (i < n)
                return false;
        } else {
            return false;
        }
    }
    return dots == 3 && group <= 255;
}

Integer ParseLeadingNumber(const std::string& Text)
{
    size_t i = 0;
    while (i < Text.size() && Text[i] == ' ')
        ++i;
    // Unchecked, as the callers expect: the value wraps modulo 2^32.
    uint32_t value = 0;
    while (i < Text.size() && IsDecimalDigit(Text[i])) {
        value = value * 10 + static_cast<uint32_t>(Text[i] - '0');
        ++i;
    }
    return static_cast<Integer>(value);
}

void CollectHostAddresses(const hostent* HostEntry, TStrings& List)
{
    if (!HostEntry || !HostEntry->h_addr_list || HostEntry->h_addrtype != AF_INET ||
        HostEntry->h_length != 4)
        return;
    // The list and the addresses may lie unaligned in a look-up buffer.
    const char* slot = reinterpret_cast<const char*>(HostEntry->h_addr_list);
    for (;; slot += sizeof(char*)) {
        const char* address = nullptr;
        std::memcpy(&address, slot, sizeof(char*));
        if (!address)
            break;
        uint32_t value = 0;
        std::memcpy(&value, address, sizeof(value));
        List.push_back(DottedText(value));
    }
}

uint32_t WSocketResolveHost(const std::string& InAddr)
{
    if (InAddr.empty() || InAddr.size() > MaxHostTextLength)
        throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid Hostname.");
    const std::string text = Trim(InAddr);
    if (IsDottedNumericAddress(InAddr)) {
        uint32_t address = wsock::inet_addr(text.c_str());
        // inet_addr cannot tell the broadcast address from a failure.
        if (address == INADDR_NONE && text != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid IP address.");
        return address;
    }
    hostent* entry = wsock::gethostbyname(text.c_str());
    if (!entry || !entry->h_addr_list || !entry->h_addr_list[0] || entry->h_length != 4)
        throw ESocketException(Format("WSocketResolveHost: Cannot convert host address '%s'", {InAddr}));
    uint32_t address = 0;
    std::memcpy(&address, entry->h_addr_list[0], sizeof(address));
    return address;
}

uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto)
{
    if (Port.empty() || Port.size() >= MaxNameTextLength)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (IsDecimalDigit(Port[0]))
        return static_cast<uint16_t>(static_cast<uint32_t>(ParseLeadingNumber(Port)) % 65536u);
    const std::string service = Trim(Port);
    const std::string proto = Trim(Proto);
    servent* entry = wsock::getservbyname(service.c_str(), proto.empty() ? nullptr : proto.c_str());
    if (!entry)
        throw ESocketException(Format("WSocketResolvePort: Cannot convert port '%s'", {Port}));
    return wsock::ntohs(static_cast<uint16_t>(entry->s_port));
}

Integer WSocketResolveProto(const std::string& Proto)
{
    if (Proto.empty() || Proto.size() >= MaxNameTextLength)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    const std::string text = Trim(Proto);
    if (!text.empty() && IsDecimalDigit(text[0]))
        return ParseLeadingNumber(text);
    protoent* entry = wsock::getprotobyname(text.c_str());
    if (!entry)
        throw ESocketException(Format("WSocketResolveProto: Cannot convert protocol '%s'", {text}));
    return static_cast<int16_t>(entry->p_proto);
}

// ---------------------------------------------------------------------------
// Local address and port

void TCustomWSocket::SetLocalPort(const std::string& Value)
{
    if (FState != wsClosed) {
        ReportError("Cannot change LocalPort if not closed");
        return;
    }
    // Kept untrimmed: the next Connect resolves it as given.
    FLocalPort = Value;
    FLocalPortReady = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& Value)
{
    if (FState != wsClosed) {
        ReportError("Cannot change LocalAddr if not closed");
        return;
    }
    const std::string text = Value.empty() ? std::string("0.0.0.0") : Value;
    // Only numeric forms are taken; inet_addr also refuses 255.255.255.255,
    // which cannot be a local interface.
    uint32_t address = wsock::inet_addr(text.c_str());
    if (address == INADDR_NONE) {
        ReportError("SetLocalAddr(): Invalid IP address");
        return;
    }
    FLocalAddr = DottedText(address);
}

void TCustomWSocket::BindLocal()
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = wsock::htons(static_cast<uint16_t>(FLocalPortNumber));
    local.sin_addr.s_addr = WSocketResolveHost(FLocalAddr);
    if (wsock::bind(FSocketHandle, reinterpret_cast<const sockaddr*>(&local), SockAddrLength) != 0) {
        ReportErrorFmt("winsock.bind failed, error #%d", {static_cast<int64_t>(wsock::WSAGetLastError())});
        return;
    }
    int length = SockAddrLength;
    if (wsock::getsockname(FSocketHandle, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        ReportErrorFmt("winsock.getsockname failed, error #%d",
                       {static_cast<int64_t>(wsock::WSAGetLastError())});
        return;
    }
    // A request for port 0 leaves the port the system chose.
    FLocalPortNumber = wsock::ntohs(local.sin_port);
    FLocalPort = std::to_string(FLocalPortNumber);
}

// ---------------------------------------------------------------------------
// Addresses of both ends

// The peer's address record while connected. A failing query is reported
// under FunctionName; false when there is no record to read.
bool TCustomWSocket::QueryPeer(sockaddr_in& Peer, const char* FunctionName)
{
    if (FState != wsConnected)
        return false;
    int length = SockAddrLength;
    if (wsock::getpeername(FSocketHandle, reinterpret_cast<sockaddr*>(&Peer), &length) != 0) {
        ReportSocketError(FunctionName);
        return false;
    }
    return true;
}

std::string TCustomWSocket::PeerAddr()
{
    sockaddr_in peer{};
    if (!QueryPeer(peer, "GetPeerName"))
        return "error";
    return DottedText(peer.sin_addr.s_addr);
}

std::string TCustomWSocket::PeerPort()
{
    sockaddr_in peer{};
    if (!QueryPeer(peer, "GetPeerPort"))
        return "error";
    return std::to_string(wsock::ntohs(peer.sin_port));
}

// NameLen is capped at the size of the record: the caller's record can
// never take more than that, whatever length it claims.
Integer TCustomWSocket::GetPeerName(sockaddr_in& Name, Integer NameLen)
{
    if (FState != wsConnected)
        return -1;
    int length = NameLen < SockAddrLength ? NameLen : SockAddrLength;
    return wsock::getpeername(FSocketHandle, reinterpret_cast<sockaddr*>(&Name), &length);
}

Integer TCustomWSocket::GetSockName(sockaddr_in& Name, Integer& NameLen)
{
    int length = NameLen < SockAddrLength ? NameLen : SockAddrLength;
    Integer result = wsock::getsockname(FSocketHandle, reinterpret_cast<sockaddr*>(&Name), &length);
    NameLen = length;
    return result;
}

std::string TCustomWSocket::GetBoundPort()
{
    if (FState != wsBound && FState != wsConnected && FState != wsListening)
        return "error";
    sockaddr_in local{};
    int length = SockAddrLength;
    if (wsock::getsockname(FSocketHandle, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return "error";
    return Format("%d", {static_cast<int64_t>(wsock::ntohs(local.sin_port))});
}

// ---------------------------------------------------------------------------
// Asynchronous look-ups

bool TCustomWSocket::BeginLookup(const std::string& Host)
{
    if (Host.empty()) {
        ReportError("DNS lookup: invalid host name.");
        FireDnsLookupDone(ps::WSAEINVAL);
        return false;
    }
    // The request being replaced ends silently: its completion, should it
    // still be queued, no longer matches LookupRequest.
    if (FLookupRequest != 0) {
        wsock::WSACancelAsyncRequest(FLookupRequest);
        FLookupRequest = 0;
    }
    FDnsResult.clear();
    FDnsResultList.clear();
    return true;
}

void TCustomWSocket::DnsLookup(const std::string& HostName)
{
    if (!BeginLookup(HostName))
        return;

    uint32_t address = wsock::inet_addr(HostName.c_str());
    if (address != INADDR_NONE) {
        FDnsResult = DottedText(address);
        FireDnsLookupDone(0);
        return;
    }
    if (!HasEndpoint("DnsLookup"))
        return;
    FLookupRequest = wsock::WSAAsyncGetHostByName(NotifyEndpoint(), WM_ASYNCGETHOSTBYNAME,
                                                  HostName.c_str(), FLookupBuffer,
                                                  static_cast<int>(sizeof(FLookupBuffer)));
    if (FLookupRequest == 0)
        ReportErrorFmt("%s: can't start DNS lookup, error #%d",
                       {HostName, static_cast<int64_t>(wsock::WSAGetLastError())});
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr)
{
    if (!BeginLookup(HostAddr))
        return;

    // Not validated: a text inet_addr refuses is looked up as 255.255.255.255.
    if (!HasEndpoint("ReverseDnsLookup"))
        return;
    uint32_t address = wsock::inet_addr(HostAddr.c_str());
    FLookupRequest = wsock::WSAAsyncGetHostByAddr(NotifyEndpoint(), WM_ASYNCGETHOSTBYADDR,
                                                  reinterpret_cast<const char*>(&address),
                                                  static_cast<int>(sizeof(address)), AF_INET,
                                                  FLookupBuffer, static_cast<int>(sizeof(FLookupBuffer)));
    if (FLookupRequest == 0)
        ReportErrorFmt("%s: can't start DNS lookup, error #%d",
                       {HostAddr, static_cast<int64_t>(wsock::WSAGetLastError())});
}

void TCustomWSocket::CancelDnsLookup()
{
    if (FLookupRequest == 0)
        return;
    int result = wsock::WSACancelAsyncRequest(FLookupRequest);
    FLookupRequest = 0;
    if (result != 0) {
        ReportSocketError("WSACancelAsyncRequest");
        return;
    }
    if (!IsDestroying())
        FireDnsLookupDone(ps::WSAEINTR);
}

// A successful completion whose entry yields no usable address (or name) is
// reported as "no data" rather than as success with an empty result.
void TCustomWSocket::HandleHostByNameDone(ps::TAsyncHandle Request, Word Error)
{
    if (Request == 0 || Request != FLookupRequest)
        return;
    FLookupRequest = 0;
    if (Error == 0) {
        FDnsResultList.clear();
        LookupBufferEntry entry(FLookupBuffer, sizeof(FLookupBuffer));
        CollectHostAddresses(entry.WithAddresses(), FDnsResultList);
        if (FDnsResultList.empty())
            Error = ps::WSANO_DATA;
        else
            FDnsResult = FDnsResultList.front();
    }
    FireDnsLookupDone(Error);
}

void TCustomWSocket::HandleHostByAddrDone(ps::TAsyncHandle Request, Word Error)
{
    if (Request == 0 || Request != FLookupRequest)
        return;
    FLookupRequest = 0;
    if (Error == 0) {
        // Aliases are not reported: the list holds the official name only.
        FDnsResultList.clear();
        std::string name;
        LookupBufferEntry entry(FLookupBuffer, sizeof(FLookupBuffer));
        if (entry.OfficialName(name) && !name.empty()) {
            FDnsResult = name;
            FDnsResultList.push_back(name);
        } else {
            Error = ps::WSANO_DATA;
        }
    }
    FireDnsLookupDone(Error);
}
