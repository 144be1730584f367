// The TLS layer of the socket chain: one small state machine between two
// byte streams, the records on the socket below and the plaintext of the
// application above (unwrapped, handshake, wrapped, shut down).
//
// OpenSSL works on two memory BIOs: FIncoming receives the bytes read from
// the socket, FOutgoing collects what OpenSSL writes. Every step (handshake,
// read, write, shutdown) is followed by DrainOutgoing, which moves those
// bytes into the core's send queue, so WANT_READ/WANT_WRITE never leave this
// file: SSL_read may have to write (a TLS 1.3 KeyUpdate answer, an alert),
// and a write that needs a read first is retried after the next read.
//
// Decryption is eager: everything OpenSSL can decrypt from what has arrived
// is taken into FPlain at once, so no byte stays decrypted inside OpenSSL
// (SSL_pending) where no readiness notification of the socket would ever
// announce it. FPlain is then offered through OnDataAvailable until the
// application has taken it.
#include "socket/WSocket.h"

#include "platform/ScopedCount.h"

#include <arpa/inet.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

namespace {

namespace ps = platform::sock;

// A record carries at most 16 KiB of plaintext (RFC 8446 section 5.1) and
// at most 256 bytes of expansion; one raw read of this size holds it whole.
constexpr Integer RawChunk = 16384 + 512;
// Decrypted bytes are taken from OpenSSL one record's plaintext at a time.
constexpr int PlainChunk = 16384;
// Raw reads per readiness notification; more bytes are announced again by
// the platform after each read that leaves some.
constexpr int ReadsPerReadiness = 16;
// Decrypted bytes held beyond this stop further reads until the application
// takes some, so a reader that falls behind never makes the layer grow.
constexpr size_t MaxPlainHeld = 256 * 1024;

// Slot of the socket object in its SSL session, for the verify callback.
int SessionSlot()
{
    static const int slot = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return slot;
}

bool IsTcp(const std::string& proto)
{
    std::string p = proto;
    std::transform(p.begin(), p.end(), p.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return p == "tcp" || p == "6";
}

std::string NameText(X509_NAME* name)
{
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return "";
    // RFC 2253 order and escaping, but UTF-8 left as it is.
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(std::max(0L, len)));
    BIO_free(bio);
    return text;
}

std::string TimeText(const ASN1_TIME* time)
{
    std::tm tm{};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1)
        return "";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

std::string FingerprintText(X509* cert)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &len) != 1)
        return "";
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < len; ++i) {
        if (i > 0)
            text += ':';
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

// Hex digits only, upper case: the form fingerprints are compared in.
std::string HexDigits(const std::string& text)
{
    std::string out;
    for (unsigned char c : text)
        if (std::isxdigit(c))
            out += char(std::toupper(c));
        else if (c != ':' && c > ' ')
            return "-"; // not a fingerprint: matches none
    return out;
}

// "TLS handshake failed: wrong version number" and the like, from the
// error queue of this thread (emptied on the way).
unsigned long TakeOpenSslError(std::string& reason)
{
    unsigned long first = 0;
    while (unsigned long e = ERR_get_error())
        if (!first)
            first = e;
    const char* text = first ? ERR_reason_error_string(first) : nullptr;
    reason = text ? text : "";
    return first;
}

// A peer that answers a ClientHello with something that is no TLS record
// (a plaintext greeting, an HTTP answer).
bool MeansNotTls(unsigned long error)
{
    if (ERR_GET_LIB(error) != ERR_LIB_SSL)
        return false;
    switch (ERR_GET_REASON(error)) {
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_HTTP_REQUEST:
    case SSL_R_HTTPS_PROXY_REQUEST:
    case SSL_R_RECORD_LENGTH_MISMATCH:
        return true;
    default:
        return false;
    }
}

bool IsAddressText(const std::string& name)
{
    in_addr a4{};
    in6_addr a6{};
    return inet_pton(AF_INET, name.c_str(), &a4) == 1 || inet_pton(AF_INET6, name.c_str(), &a6) == 1;
}

} // namespace

const char* TlsStateName(TTlsState State)
{
    switch (State) {
    case tlsUnwrapped: return "tlsUnwrapped";
    case tlsHandshake: return "tlsHandshake";
    case tlsWrapped: return "tlsWrapped";
    case tlsShutdown: return "tlsShutdown";
    }
    return "?";
}

bool IsTlsCertificateError(Integer Error)
{
    return Error >= tlsErrCertExpired && Error <= tlsErrCertInvalid;
}

// Called by OpenSSL for every certificate of the chain and every problem
// found. The leaf is recorded on the first call; the first problem ends the
// handshake unless TlsPin names the leaf.
int TlsVerifyCallback(int Ok, x509_store_ctx_st* Ctx)
{
    auto* session = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(Ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self = session ? static_cast<TCustomTlsWSocket*>(SSL_get_ex_data(session, SessionSlot())) : nullptr;
    if (!self)
        return Ok;
    const bool pinned = self->NotePeerCertificate(X509_STORE_CTX_get0_cert(Ctx));
    if (Ok)
        return 1;
    if (pinned) {
        self->FTlsPinUsed = true;
        return 1;
    }
    self->NoteVerifyError(X509_STORE_CTX_get_error(Ctx));
    return 0;
}

// ---------------------------------------------------------------------------
// Construction and properties

TCustomTlsWSocket::TCustomTlsWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner)
{
}

// The close of a connection still open sends close_notify from here, while
// this layer is whole; the base destructor then finds the socket closed.
TCustomTlsWSocket::~TCustomTlsWSocket()
{
    Destroying();
    try {
        if (FState != wsClosed)
            Close();
    } catch (...) {
    }
    FreeSession();
}

void TCustomTlsWSocket::SetTlsEnabled(bool Value)
{
    FTlsEnabled = Value;
}

void TCustomTlsWSocket::InitDefaults()
{
    FreeSession();
    FTlsState = tlsUnwrapped;
    FImplicitPending = false;
    FExplicit = false;
    FPlain.clear();
    FPlainStart = 0;
    FPendingPlain.clear();
    FPeerClosed = false;
    FReadFailure = 0;
    FReadFailureText.clear();
    TCustomSocksWSocket::InitDefaults();
}

void TCustomTlsWSocket::FreeSession()
{
    // The session owns both BIOs once they are attached to it.
    if (FSession)
        SSL_free(FSession);
    else {
        BIO_free(FIncoming);
        BIO_free(FOutgoing);
    }
    SSL_CTX_free(FContext);
    FSession = nullptr;
    FIncoming = nullptr;
    FOutgoing = nullptr;
    FContext = nullptr;
}

void TCustomTlsWSocket::ForgetPeer()
{
    FTlsProtocol.clear();
    FTlsCipher.clear();
    FTlsPeerSubject.clear();
    FTlsPeerIssuer.clear();
    FTlsPeerNotBefore.clear();
    FTlsPeerNotAfter.clear();
    FTlsPeerFingerprint.clear();
    FTlsPinUsed = false;
    FVerifyError = 0;
}

bool TCustomTlsWSocket::NotePeerCertificate(void* Leaf)
{
    auto* cert = static_cast<X509*>(Leaf);
    if (!cert)
        return false;
    if (FTlsPeerFingerprint.empty()) {
        FTlsPeerFingerprint = FingerprintText(cert);
        FTlsPeerSubject = NameText(X509_get_subject_name(cert));
        FTlsPeerIssuer = NameText(X509_get_issuer_name(cert));
        FTlsPeerNotBefore = TimeText(X509_get0_notBefore(cert));
        FTlsPeerNotAfter = TimeText(X509_get0_notAfter(cert));
    }
    const std::string pin = HexDigits(FTlsPin);
    return !pin.empty() && pin == HexDigits(FTlsPeerFingerprint);
}

void TCustomTlsWSocket::NoteVerifyError(int X509Error)
{
    if (FVerifyError == 0)
        FVerifyError = X509Error;
}

// ---------------------------------------------------------------------------
// Starting

void TCustomTlsWSocket::Connect()
{
    if (FTlsEnabled && FState == wsClosed && !IsTcp(FProto)) {
        ReportError("TLS is only supported over tcp");
        return;
    }
    if (FState == wsClosed) {
        FTlsError = 0;
        FTlsErrorText.clear();
        FImplicitPending = FTlsEnabled;
    }
    TCustomSocksWSocket::Connect();
}

void TCustomTlsWSocket::Listen()
{
    if (FTlsEnabled) {
        ReportError("listening is not supported with TLS");
        return;
    }
    TCustomSocksWSocket::Listen();
}

void TCustomTlsWSocket::StartTls()
{
    if (FState != wsConnected || FSocketHandle == INVALID_SOCKET || FSocketKind != SOCK_STREAM) {
        ReportError("StartTls: socket not connected");
        return;
    }
    if (Engaged() || SocksPhase() != PhaseNone) {
        ReportError("StartTls: TLS already under way");
        return;
    }
    FTlsError = 0;
    FTlsErrorText.clear();
    // After the server's go-ahead nothing may come before its handshake:
    // bytes already waiting are someone's injection (RFC 2595 section 8,
    // RFC 3207 section 6), never TLS. The handshake does not even start.
    if (TCustomSocksWSocket::RcvdCount() > 0) {
        ForgetPeer();
        FExplicit = true;
        FTlsState = tlsHandshake;
        FTlsError = tlsErrPlaintext;
        FTlsErrorText = "unexpected plaintext before the TLS handshake";
        PostToSelf(WM_TLS_FAILED, FSocketHandle, 0);
        return;
    }
    BeginHandshake(true);
}

// The connection (to the destination, or through the proxy) is up: implicit
// TLS starts its handshake here, and the application hears of the
// connection only when it has finished.
void TCustomTlsWSocket::FireSessionConnected(Word Error)
{
    if (!FImplicitPending || SocksPhase() != PhaseNone) {
        TCustomSocksWSocket::FireSessionConnected(Error);
        return;
    }
    FImplicitPending = false;
    if (Error != 0) {
        TCustomSocksWSocket::FireSessionConnected(Error);
        return;
    }
    BeginHandshake(false);
}

bool TCustomTlsWSocket::BeginHandshake(bool Explicit)
{
    ForgetPeer();
    FExplicit = Explicit;
    FTlsState = tlsHandshake;
    FVerifyName = FTlsHostName.empty() ? FAddr : FTlsHostName;
    ERR_clear_error();

    auto fail = [this](Integer code, const std::string& text) {
        FTlsError = code;
        FTlsErrorText = text;
        PostToSelf(WM_TLS_FAILED, FSocketHandle, 0);
        return false;
    };
    FContext = SSL_CTX_new(TLS_client_method());
    if (!FContext)
        return fail(tlsErrHandshake, "TLS handshake failed: cannot create a TLS context");
    SSL_CTX_set_min_proto_version(FContext, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(FContext);
    if (!FTlsCaFile.empty() && SSL_CTX_load_verify_locations(FContext, FTlsCaFile.c_str(), nullptr) != 1) {
        ERR_clear_error();
        return fail(tlsErrCaFile, "cannot load the CA file " + FTlsCaFile);
    }
    FSession = SSL_new(FContext);
    FIncoming = BIO_new(BIO_s_mem());
    FOutgoing = BIO_new(BIO_s_mem());
    if (!FSession || !FIncoming || !FOutgoing)
        return fail(tlsErrHandshake, "TLS handshake failed: out of memory");
    SSL_set_bio(FSession, FIncoming, FOutgoing);
    SSL_set_ex_data(FSession, SessionSlot(), this);
    SSL_set_verify(FSession, SSL_VERIFY_PEER, TlsVerifyCallback);
    if (IsAddressText(FVerifyName)) {
        // RFC 6066 section 3: no SNI for an address.
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSession), FVerifyName.c_str());
    } else if (!FVerifyName.empty()) {
        SSL_set_tlsext_host_name(FSession, FVerifyName.c_str());
        SSL_set1_host(FSession, FVerifyName.c_str());
    }
    SSL_set_connect_state(FSession);

    const TSocket handle = FSocketHandle;
    if (!Advance(handle))
        return false;
    return handle == FSocketHandle;
}

// ---------------------------------------------------------------------------
// The steps

bool TCustomTlsWSocket::Advance(TSocket Handle)
{
    // Without a session a failure is on its way (WM_TLS_FAILED).
    if (!FSession)
        return Handle == FSocketHandle;
    if (FTlsState == tlsHandshake) {
        ERR_clear_error();
        const int r = SSL_do_handshake(FSession);
        const int error = r == 1 ? SSL_ERROR_NONE : SSL_get_error(FSession, r);
        DrainOutgoing();
        if (Handle != FSocketHandle)
            return false;
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
            return true;
        if (error != SSL_ERROR_NONE) {
            std::string reason;
            const unsigned long e = TakeOpenSslError(reason);
            if (FVerifyError != 0)
                FailHandshake(0, "");
            else if (MeansNotTls(e) && FExplicit)
                // After STARTTLS's go-ahead: plaintext that came later than
                // StartTls could see it, an injection all the same.
                FailHandshake(tlsErrPlaintext, "unexpected plaintext before the TLS handshake");
            else if (MeansNotTls(e))
                FailHandshake(tlsErrNotTls, "the peer does not speak TLS (" + reason + ")");
            else
                FailHandshake(tlsErrHandshake, "TLS handshake failed" + (reason.empty() ? "" : ": " + reason));
            return false;
        }
        if (!FinishHandshake(Handle))
            return false;
    }
    if (FTlsState == tlsWrapped)
        ReadPlain();
    return Handle == FSocketHandle;
}

bool TCustomTlsWSocket::FinishHandshake(TSocket Handle)
{
    FTlsState = tlsWrapped;
    FTlsProtocol = SSL_get_version(FSession);
    FTlsCipher = SSL_CIPHER_get_name(SSL_get_current_cipher(FSession));
    FireHandshakeDone(0);
    if (Handle != FSocketHandle)
        return false;
    if (!FExplicit) {
        TCustomSocksWSocket::FireSessionConnected(0);
        if (Handle != FSocketHandle)
            return false;
    }
    if (!FPendingPlain.empty())
        WritePending();
    return Handle == FSocketHandle && FTlsState == tlsWrapped;
}

// Takes everything OpenSSL can decrypt now. Session tickets and key updates
// (TLS 1.3 post-handshake messages) are consumed on the way.
void TCustomTlsWSocket::ReadPlain()
{
    char plain[PlainChunk];
    for (;;) {
        if (FPlain.size() - FPlainStart >= MaxPlainHeld)
            break;
        // Taken bytes leave the front now and then, so that a reader that
        // always leaves some never makes the buffer grow.
        if (FPlainStart >= static_cast<size_t>(PlainChunk) || FPlainStart == FPlain.size()) {
            FPlain.erase(0, FPlainStart);
            FPlainStart = 0;
        }
        ERR_clear_error();
        const int n = SSL_read(FSession, plain, PlainChunk);
        if (n > 0) {
            FPlain.append(plain, static_cast<size_t>(n));
            continue;
        }
        const int error = SSL_get_error(FSession, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
            break;
        if (error == SSL_ERROR_ZERO_RETURN) {
            FPeerClosed = true;
            break;
        }
        std::string reason;
        TakeOpenSslError(reason);
        FReadFailure = tlsErrProtocol;
        FReadFailureText = "TLS protocol error" + (reason.empty() ? "" : ": " + reason);
        break;
    }
    // A send that finds the connection lost closes it, session and all.
    if (DrainOutgoing() && !FPendingPlain.empty() && FReadFailure == 0 && !FPeerClosed)
        WritePending();
}

void TCustomTlsWSocket::WritePending()
{
    while (!FPendingPlain.empty()) {
        ERR_clear_error();
        const int n = SSL_write(FSession, FPendingPlain.data(), static_cast<int>(FPendingPlain.size()));
        if (n > 0) {
            FPendingPlain.erase(0, static_cast<size_t>(n));
            continue;
        }
        const int error = SSL_get_error(FSession, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
            break; // written after the next read
        std::string reason;
        TakeOpenSslError(reason);
        FPendingPlain.clear();
        if (!DrainOutgoing())
            return;
        Fail(tlsErrProtocol, "TLS protocol error" + (reason.empty() ? "" : ": " + reason));
        return;
    }
    DrainOutgoing();
}

bool TCustomTlsWSocket::DrainOutgoing()
{
    if (!FOutgoing)
        return false;
    // The records are handed over where the BIO holds them, then dropped
    // from it (a reset empties a writable memory BIO).
    char* records = nullptr;
    const long n = BIO_get_mem_data(FOutgoing, &records);
    if (n <= 0)
        return true;
    if (FState == wsConnected)
        TCustomSocksWSocket::Send(records, static_cast<Integer>(n));
    if (!FSession)
        return false;
    BIO_reset(FOutgoing);
    return true;
}

Integer TCustomTlsWSocket::ReadIntoSession()
{
    char raw[RawChunk];
    const Integer n = TCustomSocksWSocket::RecvRaw(raw, RawChunk, 0);
    // Without a session its failure is on its way: the bytes are dropped
    // (read all the same, or they would be announced again and again).
    if (n > 0 && FIncoming)
        BIO_write(FIncoming, raw, n);
    return n;
}

// ---------------------------------------------------------------------------
// Readiness

void TCustomTlsWSocket::DispatchNotification(platform::TMessage& Msg)
{
    if (Msg.Msg == WM_TLS_FAILED) {
        try {
            if (static_cast<TSocket>(Msg.WParam) == FSocketHandle && FTlsState == tlsHandshake)
                FailHandshake(FTlsError, FTlsErrorText);
        } catch (Exception& E) {
            HandleBgException(E);
        }
        return;
    }
    const TSocket handle = static_cast<TSocket>(Msg.WParam);
    const Word events = static_cast<Word>(Msg.LParam & 0xFFFF);
    const Word error = static_cast<Word>((static_cast<uintptr_t>(Msg.LParam) >> 16) & 0xFFFF);
    constexpr Word own = ps::FD_READ | ps::FD_CLOSE;
    if (Msg.Msg != WM_ASYNCSELECT || !Engaged() || handle != FSocketHandle || FNotificationsPaused ||
        !(events & own)) {
        TCustomSocksWSocket::DispatchNotification(Msg);
        return;
    }
    if (events & ~own) {
        platform::TMessage rest = Msg;
        rest.LParam = static_cast<intptr_t>((static_cast<uintptr_t>(error) << 16) | (events & ~own));
        TCustomSocksWSocket::DispatchNotification(rest);
        if (handle != FSocketHandle)
            return;
    }
    try {
        if ((events & ps::FD_READ) && Engaged())
            ReadReady();
        if ((events & ps::FD_CLOSE) && handle == FSocketHandle)
            CloseReady(error);
    } catch (Exception& E) {
        HandleBgException(E);
    }
}

void TCustomTlsWSocket::ReadReady()
{
    const TSocket handle = FSocketHandle;
    for (int i = 0; i < ReadsPerReadiness && Engaged(); ++i) {
        const Integer n = TlsPlainHeld() >= static_cast<Integer>(MaxPlainHeld) ? 0 : ReadIntoSession();
        if (!Advance(handle) || !OfferPlain(handle) || !SettleAfterRead(handle))
            return;
        if (n < RawChunk || TlsPlainHeld() > 0)
            return;
    }
}

// The peer closed (or reset) the connection: what came before the close is
// taken and offered, then the session ends as a plain one does. A close
// without close_notify is a close, never data; one during the handshake
// fails it.
void TCustomTlsWSocket::CloseReady(Word Error)
{
    const TSocket handle = FSocketHandle;
    if (Engaged()) {
        for (;;) {
            const Integer n = ReadIntoSession();
            if (!Advance(handle) || !OfferPlain(handle) || !SettleAfterRead(handle))
                return;
            if (n <= 0)
                break;
        }
        if (FTlsState == tlsHandshake) {
            FailHandshake(tlsErrClosedInHandshake, Error == 0 ? "connection closed during the TLS handshake"
                                                              : "connection reset during the TLS handshake");
            return;
        }
    }
    if (!FClosedReported) {
        FClosedReported = true;
        FireSessionClosed(Error);
    }
    if (handle == FSocketHandle && FState != wsClosed)
        Close();
}

// "Bytes have arrived at the socket", by another way than the readiness
// notification this layer takes itself: the bytes that came with the SOCKS
// reply, the core's read loop going on after StartTls, a wait that polls.
// While TLS is under way they are records. Only the plaintext that this
// layer offers itself passes through to the application.
bool TCustomTlsWSocket::FireDataAvailable(Word Error)
{
    if (Engaged() && FOffering == 0) {
        ReadReady();
        return true;
    }
    return TCustomSocksWSocket::FireDataAvailable(Error);
}

bool TCustomTlsWSocket::OfferPlain(TSocket Handle)
{
    platform::TScopedCount depth(FOffering);
    // Like the core's read loop: a handler must take bytes on each call, and
    // whatever escapes it ends the offer and goes no further.
    try {
        while (TlsPlainHeld() > 0) {
            const Integer before = TlsPlainHeld();
            FLastError = 0;
            if (!FireDataAvailable(0)) {
                FPlainStart = FPlain.size(); // nobody reads: dropped
                break;
            }
            if (Handle != FSocketHandle)
                return false;
            // A call that took nothing ends the offer instead of spinning;
            // the bytes stay held and are offered again with the next ones.
            if (TlsPlainHeld() >= before)
                break;
        }
    } catch (...) {
    }
    return Handle == FSocketHandle;
}

bool TCustomTlsWSocket::SettleAfterRead(TSocket Handle)
{
    if (Handle != FSocketHandle)
        return false;
    if (FReadFailure != 0) {
        Fail(FReadFailure, FReadFailureText);
        return false;
    }
    if (FPeerClosed) {
        // The peer's close_notify ends its data (RFC 8446 section 6.1): it is
        // answered, and the session closes as at the end of the stream.
        Close();
        return false;
    }
    return true;
}

Integer TCustomTlsWSocket::RcvdCount()
{
    if (!Engaged())
        return TCustomSocksWSocket::RcvdCount();
    return TlsPlainHeld();
}

Integer TCustomTlsWSocket::RecvRaw(void* Buffer, Integer Len, Integer Flags)
{
    if (!Engaged() || Len <= 0)
        return TCustomSocksWSocket::RecvRaw(Buffer, Len, Flags);
    const Integer n = std::min(Len, TlsPlainHeld());
    if (n <= 0) {
        wsock::WSASetLastError(ps::WSAEWOULDBLOCK);
        return -1;
    }
    std::memcpy(Buffer, FPlain.data() + FPlainStart, static_cast<size_t>(n));
    FPlainStart += static_cast<size_t>(n);
    if (FPlainStart == FPlain.size()) {
        FPlain.clear();
        FPlainStart = 0;
    }
    return n;
}

// ---------------------------------------------------------------------------
// Sending and closing

Integer TCustomTlsWSocket::Send(const void* Data, Integer Len)
{
    if (!Engaged() || FState != wsConnected || Len <= 0)
        return TCustomSocksWSocket::Send(Data, Len);
    if (FTlsState == tlsShutdown) {
        wsock::WSASetLastError(ps::WSAESHUTDOWN);
        ReportSocketError("Send");
        return -1;
    }
    FAllDataSent = false;
    FPendingPlain.append(static_cast<const char*>(Data), static_cast<size_t>(Len));
    if (FTlsState == tlsWrapped)
        WritePending();
    return Len;
}

// Handshake records and plaintext not yet encrypted are no data of the
// application's that has left.
void TCustomTlsWSocket::FireDataSent(Word Error)
{
    if (FTlsState == tlsHandshake || !FPendingPlain.empty())
        return;
    TCustomSocksWSocket::FireDataSent(Error);
}

void TCustomTlsWSocket::Close()
{
    if (FTlsState == tlsWrapped && FSocketHandle != INVALID_SOCKET && FState == wsConnected) {
        FTlsState = tlsShutdown;
        SendCloseNotify();
    }
    TCustomSocksWSocket::Close();
}

// close_notify goes behind whatever the queue still holds, offered to the
// kernel once and quietly: the connection is closed right after, so a peer
// that is already gone must not turn a close into a reported failure.
void TCustomTlsWSocket::SendCloseNotify()
{
    ERR_clear_error();
    SSL_shutdown(FSession);
    ERR_clear_error();
    const size_t pending = BIO_ctrl_pending(FOutgoing);
    if (pending == 0)
        return;
    std::string alert(pending, '\0');
    const int n = BIO_read(FOutgoing, alert.data(), static_cast<int>(pending));
    if (n <= 0)
        return;
    AppendToSendQueue(alert.data(), n);
    while (!FSendQueue.empty()) {
        TBuffer* head = FSendQueue.front().get();
        Integer len = 0;
        char* data = head->PeekData(len);
        if (len <= 0) {
            if (FSendQueue.size() == 1)
                break;
            FSendQueue.pop_front();
            continue;
        }
        const Integer sent = wsock::send(FSocketHandle, data, len, FSendFlags);
        if (sent <= 0)
            break;
        head->Consume(sent);
    }
}

void TCustomTlsWSocket::FailHandshake(Integer Code, const std::string& Text)
{
    if (Code == 0) {
        // The chain failed verification (and no pin named the leaf).
        switch (FVerifyError) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            Code = tlsErrCertExpired;
            break;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            Code = tlsErrCertNotYetValid;
            break;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
            Code = tlsErrCertUntrusted;
            break;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            Code = tlsErrCertHostMismatch;
            break;
        default:
            Code = tlsErrCertInvalid;
            break;
        }
        const std::string why = X509_verify_cert_error_string(FVerifyError);
        if (Code == tlsErrCertHostMismatch)
            FTlsErrorText = "certificate does not match host " + FVerifyName;
        else if (Code == tlsErrCertUntrusted || Code == tlsErrCertInvalid)
            FTlsErrorText = SocketErrorText(Code) + " (" + why + ")";
        else
            FTlsErrorText = SocketErrorText(Code);
    } else {
        FTlsErrorText = Text;
    }
    FTlsError = Code;
    FLastError = Code;
    FTlsState = tlsShutdown;
    FPendingPlain.clear();
    const TSocket handle = FSocketHandle;
    FireHandshakeDone(static_cast<Word>(Code));
    if (handle != FSocketHandle)
        return;
    if (!FExplicit) {
        TCustomSocksWSocket::FireSessionConnected(static_cast<Word>(Code));
        if (handle != FSocketHandle)
            return;
    }
    CloseConnection(true, static_cast<Word>(Code));
}

// A fatal error after the handshake: OpenSSL has queued its alert, which
// has gone out with the last drain; the session ends with the code.
void TCustomTlsWSocket::Fail(Integer Code, const std::string& Text)
{
    FTlsError = Code;
    FTlsErrorText = Text;
    FLastError = Code;
    FTlsState = tlsShutdown;
    CloseConnection(true, static_cast<Word>(Code));
}

void TCustomTlsWSocket::FireHandshakeDone(Word Error)
{
    if (OnHandshakeDone)
        OnHandshakeDone(this, Error);
}
