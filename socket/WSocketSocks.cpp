// The SOCKS proxy client of the socket chain: SOCKS 4 and 4A, and SOCKS 5
// (RFC 1928) with user name/password authentication (RFC 1929).
//
// The negotiation runs inside the socket's own event handling: the connect
// notification starts it, read notifications feed the proxy's replies to one
// handler per waiting reply, and the application sees OnSessionConnected only
// when the proxy has connected the destination or the negotiation failed.
// Bytes that arrived behind the final reply are served to the application's
// first receive calls before anything the kernel holds.
#include "socket/WSocket.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

namespace ps = platform::sock;

constexpr uint8_t Socks4Version = 4;
constexpr uint8_t Socks4ReplyVersion = 0;
constexpr uint8_t Socks5Version = 5;
constexpr uint8_t AuthSubnegotiationVersion = 1; // RFC 1929 section 2
constexpr uint8_t CommandConnect = 1;
constexpr uint8_t AddressTypeIPv4 = 1;
constexpr uint8_t AddressTypeName = 3;
constexpr uint8_t MethodNoAuthentication = 0;
constexpr uint8_t MethodUsercode = 2;

// A SOCKS 4 reply: version, status, port (2), address (4).
constexpr Integer Level4ReplyLength = 8;
// A SOCKS 5 connect reply up to its address: version, reply, reserved,
// address type; a name is preceded by its length byte.
constexpr Integer Socks5ReplyHead = 4;
// Version, reply, reserved, type and the bound port around the address.
constexpr Integer Socks5ReplyFrame = 6;
constexpr Integer IPv4Length = 4;

// SOCKS 4 status values (the reply's second byte).
constexpr uint8_t Socks4Granted = 90;
constexpr uint8_t Socks4Rejected = 91;
constexpr uint8_t Socks4NoIdentd = 92;
constexpr uint8_t Socks4IdentMismatch = 93;

// Texts of the SOCKS 5 reply codes 1 to 8 (RFC 1928 section 6), codes
// 20004 to 20011 in the same order.
const char* const Socks5ReplyTexts[] = {
    "general SOCKS server failure",
    "connection not allowed by ruleset",
    "network unreachable",
    "host unreachable",
    "connection refused",
    "time to live expired",
    "command not supported",
    "address type not supported",
};
constexpr Integer Socks5ReplyTextCount = sizeof Socks5ReplyTexts / sizeof Socks5ReplyTexts[0];

bool IsTcp(const std::string& proto)
{
    if (proto.size() != 3)
        return false;
    for (size_t i = 0; i < 3; ++i)
        if (std::tolower(static_cast<unsigned char>(proto[i])) != "tcp"[i])
            return false;
    return true;
}

std::string UnassignedText(Integer code)
{
    return "unassigned error #" + std::to_string(code);
}

void AppendPort(std::string& out, Integer port)
{
    out += static_cast<char>((port >> 8) & 0xFF);
    out += static_cast<char>(port & 0xFF);
}

// The address as its four bytes in network order.
void AppendAddress(std::string& out, uint32_t networkOrder)
{
    out.append(reinterpret_cast<const char*>(&networkOrder), sizeof networkOrder);
}

// A text preceded by its length in one byte; the request-area check refuses
// the request long before a length could exceed 255.
void AppendCounted(std::string& out, const std::string& text)
{
    out += static_cast<char>(text.size() & 0xFF);
    out += text;
}

} // namespace

// ---------------------------------------------------------------------------
// Properties

void TCustomSocksWSocket::SetSocksServer(const std::string& Value)
{
    if (FState != wsClosed) {
        ReportError("Can't change socks server if not closed");
        return;
    }
    FSocksServer = Trim(Value);
    ForgetResolvedTarget();
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value)
{
    if (FState != wsClosed) {
        ReportError("Can't change socks port if not closed");
        return;
    }
    FSocksPort = Trim(Value);
    ForgetResolvedTarget();
}

// A proxied Connect that stopped early leaves the proxy's port and address
// in the target, marked ready; a changed proxy, or none, must not inherit
// them.
void TCustomSocksWSocket::ForgetResolvedTarget()
{
    FPortReady = false;
    FAddrReady = false;
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value)
{
    if (FState != wsClosed) {
        ReportError("Can't change socks level if not closed");
        return;
    }
    if (Value != "4" && Value != "5" && Value != "4A" && Value != "4a") {
        ReportError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    FSocksLevel = Value == "4a" ? "4A" : Value;
}

// The server, port and level apply to one connection; the user code,
// password and authentication choice stay.
void TCustomSocksWSocket::InitDefaults()
{
    FSocksPhase = PhaseNone;
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel = "5";
    FSocksLeftoverCount = 0;
    TCustomWSocket::InitDefaults();
}

// ---------------------------------------------------------------------------
// Connect and Listen

void TCustomSocksWSocket::Connect()
{
    // A socket in use is refused by the core; the phase of its negotiation
    // (or of its established connection) must not be touched first.
    if (!SocksEnabled() || (FSocketHandle != INVALID_SOCKET && FState != wsClosed)) {
        TCustomWSocket::Connect();
        return;
    }
    if (!IsTcp(FProto)) {
        ReportError("tcp is the only protocol supported thru socks server");
        return;
    }
    // The connection goes to the proxy: its port and address take the
    // places of the destination's, marked ready so that the core keeps
    // them. The destination port is kept apart for the request, and the
    // destination address is never resolved here (the proxy does it, except
    // at level 4, whose request resolves it).
    try {
        if (!FPortReady || !FAddrReady) {
            FSockAddr.sin_port = wsock::htons(WSocketResolvePort(FSocksPort, FProto));
            FPortReady = true;
            FSockAddr.sin_addr.s_addr = WSocketResolveHost(FSocksServer);
            FAddrReady = true;
        }
        FPortNumber = WSocketResolvePort(FPort, FProto);
    } catch (Exception& E) {
        ReportError("connect: " + E.Message());
        return;
    }
    FSocksPhase = PhaseMethod;
    FSocksReplyCount = 0;
    // A Connect that stops before the connection is under way must not
    // leave the negotiation armed for the socket's next, maybe direct,
    // connection.
    try {
        TCustomWSocket::Connect();
    } catch (...) {
        FSocksPhase = PhaseNone;
        throw;
    }
    if (FState != wsConnecting)
        FSocksPhase = PhaseNone;
}

void TCustomSocksWSocket::Listen()
{
    if (SocksEnabled()) {
        ReportError("listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

// ---------------------------------------------------------------------------
// Triggers

void TCustomSocksWSocket::FireSocksConnected(Word Error)
{
    if (OnSocksConnected)
        OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::FireSocksError(Integer Error, const std::string& Msg)
{
    if (OnSocksError)
        OnSocksError(this, Error, Msg);
}

void TCustomSocksWSocket::FireSocksAuthState(TSocksAuthState AuthState)
{
    if (OnSocksAuthState)
        OnSocksAuthState(this, AuthState);
}

// The connection to the proxy is established (or failed): the negotiation
// starts here, and the application hears of the connection only at its end.
void TCustomSocksWSocket::FireSessionConnected(Word Error)
{
    if (FSocksPhase != PhaseMethod) {
        TCustomWSocket::FireSessionConnected(Error);
        return;
    }
    const TSocket handle = FSocketHandle;
    FireSocksConnected(Error);
    if (Error != 0) {
        TCustomWSocket::FireSessionConnected(Error);
        return;
    }
    // Every handler may close the socket, or close it and connect anew.
    if (FSocketHandle != handle)
        return;
    if (SocksLevel4()) {
        SendSocksConnectRequest();
        return;
    }
    FSocksOfferedMethod =
        FSocksAuthentication == socksNoAuthentication ? MethodNoAuthentication : MethodUsercode;
    const uint8_t offer[] = {Socks5Version, 1, FSocksOfferedMethod};
    Send(offer, sizeof offer);
}

void TCustomSocksWSocket::FireSessionClosed(Word Error)
{
    if (FSocksPhase == PhaseAuth)
        FireSocksAuthState(socksAuthFailed);
    TCustomWSocket::FireSessionClosed(Error);
}

// ---------------------------------------------------------------------------
// Requests

bool TCustomSocksWSocket::SendSocksRequest(const std::string& Request, bool SwallowErrors)
{
    if (static_cast<Integer>(Request.size()) > RequestAreaSize) {
        SocksFail(socksErrRequestTooLong, "socks request too long (" + std::to_string(Request.size()) +
                                              " bytes, at most " + std::to_string(RequestAreaSize) + ")");
        return false;
    }
    try {
        Send(Request.data(), static_cast<Integer>(Request.size()));
    } catch (Exception&) {
        if (!SwallowErrors)
            throw;
    }
    return true;
}

void TCustomSocksWSocket::SendSocksAuthRequest()
{
    FSocksPhase = PhaseAuth;
    const TSocket handle = FSocketHandle;
    FireSocksAuthState(socksAuthStarted);
    if (FSocketHandle != handle)
        return;
    std::string request(1, static_cast<char>(AuthSubnegotiationVersion));
    AppendCounted(request, FSocksUsercode);
    AppendCounted(request, FSocksPassword);
    SendSocksRequest(request, true);
}

void TCustomSocksWSocket::SendSocksConnectRequest()
{
    FSocksPhase = PhaseConnect;
    std::string request;
    if (FSocksLevel == "5") {
        request = {static_cast<char>(Socks5Version), static_cast<char>(CommandConnect), 0,
                   static_cast<char>(AddressTypeName)};
        AppendCounted(request, FAddr);
        AppendPort(request, FPortNumber);
        SendSocksRequest(request, true);
        return;
    }
    request = {static_cast<char>(Socks4Version), static_cast<char>(CommandConnect)};
    AppendPort(request, FPortNumber);
    if (FSocksLevel == "4A") {
        // SOCKS 4A: an address 0.0.0.x with x non-zero tells the proxy that
        // the host name follows the user id, for the proxy to resolve.
        AppendAddress(request, WSocketResolveHost("0.0.0.1"));
        request += FSocksUsercode;
        request += '\0';
        request += FAddr;
        request += '\0';
        SendSocksRequest(request, true);
        return;
    }
    uint32_t address = 0;
    try {
        address = WSocketResolveHost(FAddr);
    } catch (Exception& E) {
        const TSocket handle = FSocketHandle;
        FireSocksError(socksErrResolve, std::string(E.ClassName()) + " " + E.Message());
        if (FSocketHandle == handle)
            CloseConnection(true, static_cast<Word>(socksErrResolve));
        return;
    }
    AppendAddress(request, address);
    request += FSocksUsercode;
    request += '\0';
    SendSocksRequest(request, true);
}

// ---------------------------------------------------------------------------
// Replies

void TCustomSocksWSocket::SocksFail(Integer Code, const std::string& Msg)
{
    const TSocket handle = FSocketHandle;
    FireSocksError(Code, Msg);
    if (FSocketHandle != handle)
        return;
    TCustomWSocket::FireSessionConnected(static_cast<Word>(Code));
    // A handler that closed the connection has had it reported; one that
    // connected anew must keep its new connection.
    if (FSocketHandle != handle)
        return;
    CloseConnection(true, static_cast<Word>(Code));
}

bool TCustomSocksWSocket::FireDataAvailable(Word Error)
{
    if (FSocksPhase == PhaseNone)
        return TCustomWSocket::FireDataAvailable(Error);
    if (Error != 0) {
        SocksFail(Error, "data receive error");
        return false;
    }
    const bool level4Reply = FSocksPhase == PhaseConnect && SocksLevel4();
    const Integer room = (level4Reply ? Level4ReplyLength : ReplyAreaSize - 1) - FSocksReplyCount;
    const Integer n = Receive(FSocksReplyBuf + FSocksReplyCount, room);
    if (n < 0)
        return true;
    FSocksReplyCount += n;

    if (FSocksPhase == PhaseMethod)
        TakeMethodSelection();
    else if (FSocksPhase == PhaseAuth)
        TakeAuthReply();
    else if (level4Reply)
        return TakeLevel4Reply();
    else if (FSocksPhase == PhaseConnect)
        return TakeConnectReply();
    return true;
}

// Level 5 method selection: version, method. Bytes behind it are dropped.
void TCustomSocksWSocket::TakeMethodSelection()
{
    if (FSocksReplyCount < 2)
        return;
    FSocksReplyCount = 0;
    if (FSocksReplyBuf[0] != Socks5Version) {
        SocksFail(socksErrVersion, "socks version error");
        return;
    }
    const uint8_t method = FSocksReplyBuf[1];
    if (method == MethodNoAuthentication) {
        if (FSocksOfferedMethod == MethodUsercode) {
            const TSocket handle = FSocketHandle;
            FireSocksAuthState(socksAuthNotNeeded);
            if (FSocketHandle != handle)
                return;
        }
        SendSocksConnectRequest();
    } else if (method == MethodUsercode) {
        SendSocksAuthRequest();
    } else {
        SocksFail(socksErrMethodNotAcceptable, "authentification method not acceptable");
    }
}

// RFC 1929 reply: version 1, status (0 is success).
void TCustomSocksWSocket::TakeAuthReply()
{
    if (FSocksReplyCount < 2)
        return;
    const TSocket handle = FSocketHandle;
    if (FSocksReplyCount > 2) {
        FireSocksAuthState(socksAuthFailed);
        if (FSocketHandle == handle)
            SocksFail(socksErrTooMuchData, "too much data availaible");
        return;
    }
    FSocksReplyCount = 0;
    if (FSocksReplyBuf[0] != AuthSubnegotiationVersion) {
        FireSocksAuthState(socksAuthFailed);
        if (FSocketHandle == handle)
            SocksFail(socksErrVersion, "socks version error");
        return;
    }
    if (FSocksReplyBuf[1] != 0) {
        FireSocksAuthState(socksAuthFailed);
        if (FSocketHandle == handle)
            SocksFail(socksErrAuthFailed, "socks authentication failed");
        return;
    }
    FireSocksAuthState(socksAuthSucceeded);
    if (FSocketHandle == handle)
        SendSocksConnectRequest();
}

// Level 5 connect reply: version, reply code, reserved, address type, the
// bound address (4 bytes, or a length byte and a name) and the bound port.
// The version and the reply code are judged as soon as they are held.
bool TCustomSocksWSocket::TakeConnectReply()
{
    if (FSocksReplyCount < 1)
        return true;
    if (FSocksReplyBuf[0] != Socks5Version) {
        SocksFail(socksErrVersion, "socks version error");
        return true;
    }
    if (FSocksReplyCount < 2)
        return true;
    const uint8_t reply = FSocksReplyBuf[1];
    if (reply != 0) {
        if (reply <= Socks5ReplyTextCount)
            SocksFail(socksErrGeneralFailure + reply - 1, Socks5ReplyTexts[reply - 1]);
        else
            SocksFail(socksErrUnassigned, UnassignedText(reply));
        return true;
    }
    if (FSocksReplyCount < Socks5ReplyHead + 1)
        return true;
    Integer length = 0;
    const uint8_t addressType = FSocksReplyBuf[Socks5ReplyHead - 1];
    if (addressType == AddressTypeIPv4) {
        length = Socks5ReplyFrame + IPv4Length;
    } else if (addressType == AddressTypeName) {
        length = Socks5ReplyFrame + 1 + FSocksReplyBuf[Socks5ReplyHead];
    } else {
        SocksFail(socksErrAddressType, "address type not supported");
        return true;
    }
    if (FSocksReplyCount < length)
        return true;
    return ConnectSucceeded(length);
}

// SOCKS 4 and 4A reply: version 0, status, port, address; exactly 8 bytes.
bool TCustomSocksWSocket::TakeLevel4Reply()
{
    if (FSocksReplyCount < Level4ReplyLength)
        return true;
    if (FSocksReplyBuf[0] != Socks4ReplyVersion) {
        SocksFail(socksErrVersion, "socks version error");
        return true;
    }
    switch (FSocksReplyBuf[1]) {
    case Socks4Granted:
        return ConnectSucceeded(Level4ReplyLength);
    case Socks4Rejected:
        SocksFail(socksErrRejected, "request rejected or failed");
        return true;
    case Socks4NoIdentd:
        SocksFail(socksErrConnectionRefused, "connection refused");
        return true;
    case Socks4IdentMismatch:
        SocksFail(socksErrAuthFailed, "authentification failed");
        return true;
    default:
        SocksFail(socksErrUnassigned, UnassignedText(FSocksReplyBuf[1]));
        return true;
    }
}

// The proxy has connected the destination. Bytes held behind the reply are
// made the leftover before OnSessionConnected fires, so that a handler
// which reads at once gets them before anything the kernel holds; then the
// application gets one OnDataAvailable through the whole chain (a line
// layer above takes the leftover through RcvdCount and RecvRaw).
bool TCustomSocksWSocket::ConnectSucceeded(Integer ReplyLength)
{
    FSocksPhase = PhaseNone;
    FSocksLeftoverCount = FSocksReplyCount - ReplyLength;
    FSocksLeftoverPos = ReplyLength;
    FSocksReplyCount = 0;
    const TSocket handle = FSocketHandle;
    // Through the whole chain: a TLS layer above starts its handshake here
    // instead of reporting the connection.
    FireSessionConnected(0);
    if (FSocketHandle != handle)
        return true;
    return FireDataAvailable(0);
}

// ---------------------------------------------------------------------------
// Receiving behind the final reply

Integer TCustomSocksWSocket::RcvdCount()
{
    if (FSocksLeftoverCount > 0)
        return FSocksLeftoverCount;
    return TCustomWSocket::RcvdCount();
}

Integer TCustomSocksWSocket::RecvRaw(void* Buffer, Integer Len, Integer Flags)
{
    if (FSocksLeftoverCount <= 0 || Len <= 0)
        return TCustomWSocket::RecvRaw(Buffer, Len, Flags);
    const Integer n = std::min(Len, FSocksLeftoverCount);
    std::memcpy(Buffer, FSocksReplyBuf + FSocksLeftoverPos, static_cast<size_t>(n));
    FSocksLeftoverPos += n;
    FSocksLeftoverCount -= n;
    // The kernel announces bytes again after every receive that leaves some
    // waiting; leftover bytes are announced the same way, or a reader that
    // takes them piecewise would find the rest only with the next arrival.
    if (FSocksLeftoverCount > 0)
        PostToSelf(WM_ASYNCSELECT, FSocketHandle, ps::FD_READ);
    return n;
}
