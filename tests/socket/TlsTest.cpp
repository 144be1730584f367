// The TLS layer against a scripted TLS server (tests/support/TlsServer.h):
// the events a plain socket gives, in the same order, for records cut into
// pieces of any size; line mode and large transfers over TLS; close_notify
// both ways and a close without it; handshake failures; StartTls with and
// without injected plaintext; the certificate verification table; and TLS
// through a real SOCKS proxy, verified against the destination's name.
#include "socket/WSocket.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SocksProxies.h"
#include "tests/support/TlsServer.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <memory>
#include <string>

using testsupport::PumpUntil;
using testsupport::ScriptedPeer;
using testsupport::TestPki;
using testsupport::TlsServer;

namespace {

// A TLS client that logs its events one line each ("handshake 0",
// "connected 0", "sent 0", "closed 0") and keeps every byte it receives,
// taking at most Take bytes per OnDataAvailable (all in line mode).
struct TlsClient {
    TWSocket S;
    std::string Events;
    std::string Data;
    std::vector<std::string> Lines;
    Integer Take = 3;
    bool LogSent = false; // OnDataSent is logged only when asked
    std::function<void()> OnConnected;

    TlsClient()
    {
        S.OnHandshakeDone = [this](TObject*, Word e) { Log("handshake", e); };
        S.OnSessionConnected = [this](TObject*, Word e) {
            Log("connected", e);
            if (OnConnected && e == 0)
                OnConnected();
        };
        S.OnSessionClosed = [this](TObject*, Word e) { Log("closed", e); };
        S.OnDataSent = [this](TObject*, Word e) {
            if (LogSent)
                Log("sent", e);
        };
        S.OnDataAvailable = [this](TObject*, Word) {
            if (S.LineMode()) {
                Lines.push_back(S.ReceiveStr());
                return;
            }
            std::string buf(static_cast<size_t>(Take), '\0');
            const Integer n = S.Receive(buf.data(), Take);
            if (n > 0)
                Data.append(buf, 0, static_cast<size_t>(n));
        };
        S.SetTlsCaFile(TestPki::Get().Cert("ca"));
    }
    void Log(const char* what, Integer n) { Events += std::string(what) + " " + std::to_string(n) + "\n"; }
    void ConnectTo(const ScriptedPeer& peer, const std::string& addr = "127.0.0.1")
    {
        S.SetTlsEnabled(true);
        S.SetAddr(addr);
        S.SetPort(peer.PortText());
        S.Connect();
    }
    bool Closed(int timeoutMs = 5000)
    {
        return PumpUntil([&] { return Events.find("closed ") != std::string::npos; }, timeoutMs);
    }
};

// The server's side: handshake, then steps on the same TLS session.
struct Server {
    std::shared_ptr<TlsServer> Tls;
    ScriptedPeer Peer;
    bool CloseNotifySeen = false;

    explicit Server(const std::string& cert = "server", size_t chunk = 0)
        : Tls(std::make_shared<TlsServer>(cert))
    {
        Tls->SetChunkSize(chunk);
    }
    Server& Handshake()
    {
        Peer.Do([tls = Tls](int fd) { tls->Accept(fd); });
        return *this;
    }
    Server& Send(const std::string& bytes)
    {
        Peer.Do([tls = Tls, bytes](int fd) { tls->Send(fd, bytes); });
        return *this;
    }
    // Reads decrypted bytes until n have come, the client's data ends or 5 s pass.
    Server& Read(size_t n, std::string* into)
    {
        Peer.Do([this, n, into](int fd) {
            char ch;
            for (int waited = 0; into->size() < n && waited < 5000; waited += 50) {
                const int r = Tls->ReadByte(fd, ch, 50);
                if (r < 0)
                    break;
                if (r > 0)
                    *into += ch, waited = 0;
            }
        });
        return *this;
    }
    // Waits for the end of the client's data and notes whether it came as close_notify.
    Server& ReadEnd()
    {
        Peer.Do([this](int fd) {
            char ch;
            for (int waited = 0; waited < 5000; waited += 50)
                if (Tls->ReadByte(fd, ch, 50) < 0)
                    break;
            CloseNotifySeen = Tls->ClientClosed();
        });
        return *this;
    }
    Server& CloseNotify()
    {
        Peer.Do([tls = Tls](int fd) { tls->SendCloseNotify(fd); });
        return *this;
    }
};

// Implicit TLS over records that arrive whole or in pieces down to a byte:
// OnSessionConnected once, after the handshake; OnDataAvailable only for
// decrypted bytes; OnDataSent once the encrypted bytes have left, never for
// the handshake's; the peer's close_notify ends the session with one
// OnSessionClosed, after every byte before it; the peer's data as sent.
TEST(Tls, EventsInPlainOrderForRecordsInPiecesOfAnySize)
{
    for (size_t chunk : {0, 1, 7, 100}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        Server server("server", chunk);
        std::string got;
        // Several records' worth; one record where every byte leaves on its own.
        const std::string bulk(chunk != 0 && chunk < 10 ? 3000 : 50000, 'x');
        server.Handshake().Send("+OK hello\r\n").Read(6, &got).Send(bulk).CloseNotify().ReadEnd();
        server.Peer.Start();
        TlsClient c;
        c.LogSent = true;
        c.OnConnected = [&] { c.S.SendStr("ping\r\n"); };
        c.S.SetTlsHostName("localhost");
        c.ConnectTo(server.Peer);
        ASSERT_TRUE(c.Closed(10000)) << c.Events;
        // As a plain connection: one for the connection (here its last
        // handshake flight), one for the ping.
        EXPECT_EQ(c.Events, "handshake 0\nconnected 0\nsent 0\nsent 0\nclosed 0\n");
        EXPECT_EQ(c.Data, "+OK hello\r\n" + bulk);
        EXPECT_TRUE(server.Peer.Join());
        EXPECT_EQ(got, "ping\r\n");
        EXPECT_TRUE(server.CloseNotifySeen); // answered
        EXPECT_EQ(server.Tls->ServerName(), "localhost");
        EXPECT_EQ(c.S.TlsProtocol(), "TLSv1.3");
        EXPECT_EQ(c.S.TlsCipher().substr(0, 4), "TLS_");
        EXPECT_EQ(c.S.TlsPeerSubject(), "CN=localhost,O=Quillbox Test");
        EXPECT_EQ(c.S.TlsPeerIssuer(), "CN=Quillbox Test CA,O=Quillbox Test");
        EXPECT_EQ(c.S.TlsPeerFingerprint(), TestPki::Get().Fingerprint("server"));
        EXPECT_EQ(c.S.TlsPeerNotAfter().size(), 23u);
        EXPECT_EQ(c.S.TlsState(), tlsUnwrapped); // back at the defaults
    }
}

// Line mode sees plaintext lines, the rest at the close; Close sends
// close_notify; a TLS 1.2 server works as well.
TEST(Tls, LineModeAndOurCloseNotifyOverTls12)
{
    auto tls = std::make_shared<TlsServer>("server", TLS1_2_VERSION);
    ScriptedPeer peer;
    bool closeNotify = false;
    peer.Do([tls](int fd) { tls->Accept(fd); });
    peer.Do([tls](int fd) { tls->Send(fd, "a\r\nb"); tls->Send(fd, "\r\nc\r"); });
    peer.WaitFor("taken").Do([tls](int fd) { tls->Send(fd, "\nrest"); });
    peer.Do([tls, &closeNotify](int fd) {
        char ch;
        for (int waited = 0; waited < 5000 && tls->ReadByte(fd, ch, 50) >= 0; waited += 50) {
        }
        closeNotify = tls->ClientClosed();
    });
    peer.Start();
    TlsClient c;
    c.OnConnected = [&] { c.S.SetLineMode(true); };
    c.ConnectTo(peer);
    ASSERT_TRUE(PumpUntil([&] { return c.Lines.size() == 2; })) << c.Events;
    peer.Signal("taken");
    ASSERT_TRUE(PumpUntil([&] { return c.Lines.size() == 3; }));
    c.S.Close();
    // The unterminated rest is offered as the last line at the close.
    EXPECT_EQ(c.Lines, (std::vector<std::string>{"a\r\n", "b\r\n", "c\r\n", "rest"}));
    EXPECT_EQ(c.S.TlsProtocol(), "TLSv1.2");
    EXPECT_TRUE(peer.Join());
    EXPECT_TRUE(closeNotify);
    EXPECT_EQ(c.Events, "handshake 0\nconnected 0\nclosed 0\n");
}

// A reader that takes a byte per call still gets every byte of records
// larger than what one readiness reads, and nothing stays decrypted in
// OpenSSL unannounced: the server waits for the whole echo before it closes.
TEST(Tls, EveryDecryptedByteReachesASlowReader)
{
    const std::string big(300000, 'q');
    Server server;
    std::string echo;
    server.Handshake().Send(big).Send("end").Read(3, &echo);
    server.Peer.Start();
    TlsClient c;
    c.Take = 1;
    c.S.OnDataAvailable = [&](TObject*, Word) {
        char ch;
        if (c.S.Receive(&ch, 1) == 1)
            c.Data += ch;
        if (c.Data.size() == big.size() + 3)
            c.S.SendStr("got");
    };
    c.ConnectTo(server.Peer);
    ASSERT_TRUE(PumpUntil([&] { return c.Data.size() == big.size() + 3; }, 20000)) << c.Data.size();
    EXPECT_TRUE(server.Peer.Join());
    EXPECT_EQ(echo, "got");
    EXPECT_EQ(c.Data, big + "end");
}

// A close without close_notify in the middle of a record is a close: the
// complete records before it are delivered, the cut one never is.
TEST(Tls, CloseWithoutCloseNotifyIsACloseNotData)
{
    Server server;
    server.Handshake().Send("whole\r\n");
    server.Peer.Do([tls = server.Tls](int fd) { tls->SendCut(fd, "never delivered", 10); }).Close();
    server.Peer.Start();
    TlsClient c;
    c.ConnectTo(server.Peer);
    ASSERT_TRUE(c.Closed());
    EXPECT_EQ(c.Data, "whole\r\n");
    EXPECT_EQ(c.Events, "handshake 0\nconnected 0\nclosed 0\n");
}

// The handshake fails: the peer speaks no TLS, closes, resets, or the
// chain fails verification (the table). Each gives its own code and text on
// OnHandshakeDone, OnSessionConnected and OnSessionClosed, and the peer's
// certificate stays readable.
// Reads the ClientHello (one segment), so that a close sends no reset.
void TakeClientHello(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char buf[4096];
    if (::poll(&p, 1, 5000) > 0)
        ::recv(fd, buf, sizeof buf, 0);
}

struct FailureCase {
    const char* Name;
    std::function<void(ScriptedPeer&)> Script;
    Integer Code;
    const char* Text;
};

const FailureCase HandshakeFailures[] = {
    {"PlaintextGreeting", [](ScriptedPeer& p) { p.Write("+OK POP3 ready\r\n").Sleep(300); }, tlsErrNotTls,
     "the peer does not speak TLS (wrong version number)"},
    {"CloseAfterClientHello", [](ScriptedPeer& p) { p.Do(TakeClientHello).Close(); }, tlsErrClosedInHandshake,
     "connection closed during the TLS handshake"},
    {"ResetAfterClientHello", [](ScriptedPeer& p) { p.Do(TakeClientHello).Reset(); }, tlsErrClosedInHandshake,
     "connection reset during the TLS handshake"},
};

TEST(Tls, HandshakeFailuresCloseWithTheirCode)
{
    for (const auto& f : HandshakeFailures) {
        SCOPED_TRACE(f.Name);
        ScriptedPeer peer;
        f.Script(peer);
        peer.Start();
        TlsClient c;
        c.ConnectTo(peer);
        ASSERT_TRUE(c.Closed());
        const std::string n = std::to_string(f.Code);
        EXPECT_EQ(c.Events, "handshake " + n + "\nconnected " + n + "\nclosed " + n + "\n");
        EXPECT_EQ(c.S.TlsError(), f.Code);
        EXPECT_EQ(c.S.TlsErrorText(), f.Text);
        EXPECT_EQ(c.S.LastError(), f.Code);
    }
}

struct VerifyCase {
    const char* Name;
    const char* Cert;     // what the server presents
    const char* Host;     // TlsHostName ("" : the address 127.0.0.1)
    bool CaFile;          // the test CA given as TlsCaFile
    std::string Pin;      // TlsPin
    Integer Code;         // 0: accepted
    const char* Text;
};

std::string LowerNoColons(std::string fp)
{
    std::string out;
    for (char ch : fp)
        if (ch != ':')
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return out;
}

const std::string Untrusted = "certificate is not trusted (unable to get local issuer certificate)";

std::vector<VerifyCase> VerifyCases()
{
    const TestPki& pki = TestPki::Get();
    return {
        {"NameWithCaFile", "server", "localhost", true, "", 0, ""},
        {"AddressWithCaFile", "server", "", true, "", 0, ""},
        {"SystemStoreOnly", "server", "localhost", false, "", tlsErrCertUntrusted, Untrusted.c_str()},
        {"Expired", "expired", "localhost", true, "", tlsErrCertExpired, "certificate has expired"},
        {"OtherName", "othername", "localhost", true, "", tlsErrCertHostMismatch,
         "certificate does not match host localhost"},
        {"OtherNameByAddress", "othername", "", true, "", tlsErrCertHostMismatch,
         "certificate does not match host 127.0.0.1"},
        {"SelfSigned", "selfsigned", "localhost", true, "", tlsErrCertUntrusted,
         "certificate is not trusted (self-signed certificate)"},
        {"MissingCaFile", "server", "localhost", false, "-", tlsErrCaFile, "cannot load the CA file /nonexistent/ca.pem"},
        {"PinnedLowercaseWithoutColons", "selfsigned", "localhost", true, LowerNoColons(pki.Fingerprint("selfsigned")), 0,
         ""},
        {"PinnedExpired", "expired", "localhost", true, pki.Fingerprint("expired"), 0, ""},
        {"WrongPin", "selfsigned", "localhost", true, pki.Fingerprint("server"), tlsErrCertUntrusted,
         "certificate is not trusted (self-signed certificate)"},
    };
}

TEST(Tls, VerificationTable)
{
    for (const auto& v : VerifyCases()) {
        SCOPED_TRACE(v.Name);
        Server server(v.Cert);
        server.Handshake().Send("+OK\r\n").CloseNotify();
        server.Peer.Start();
        TlsClient c;
        c.S.SetTlsCaFile(v.CaFile ? TestPki::Get().Cert("ca") : "");
        if (v.Pin == "-")
            c.S.SetTlsCaFile("/nonexistent/ca.pem");
        else
            c.S.SetTlsPin(v.Pin);
        c.S.SetTlsHostName(v.Host);
        c.ConnectTo(server.Peer);
        ASSERT_TRUE(c.Closed());
        const std::string n = std::to_string(v.Code);
        EXPECT_EQ(c.Events, v.Code == 0 ? "handshake 0\nconnected 0\nclosed 0\n"
                                        : "handshake " + n + "\nconnected " + n + "\nclosed " + n + "\n");
        EXPECT_EQ(c.S.TlsError(), v.Code);
        EXPECT_EQ(c.S.TlsErrorText(), v.Text);
        EXPECT_EQ(c.Data, v.Code == 0 ? "+OK\r\n" : "");
        EXPECT_EQ(c.S.TlsPinUsed(), v.Code == 0 && !v.Pin.empty());
        // Known also when the chain failed, unless the handshake never began.
        EXPECT_EQ(c.S.TlsPeerFingerprint(), v.Code == tlsErrCaFile ? "" : TestPki::Get().Fingerprint(v.Cert));
    }
}

// STARTTLS: a plaintext exchange, then StartTls from the data handler. The
// handshake reports through OnHandshakeDone only. Bytes already waiting when
// StartTls is called are an injection: no handshake, the code 21010.
TEST(Tls, StartTlsAndInjectedPlaintext)
{
    for (bool inject : {false, true}) {
        SCOPED_TRACE(inject ? "injected" : "clean");
        auto tls = std::make_shared<TlsServer>();
        ScriptedPeer peer;
        peer.Do([](int fd) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        });
        peer.Write(inject ? "+OK go\r\nUSER evil\r\n" : "+OK go\r\n");
        peer.Do([tls](int fd) {
            if (!tls->Accept(fd))
                return;
            tls->Send(fd, "secret\r\n");
        });
        peer.Start();
        TlsClient c;
        c.S.OnDataAvailable = [&](TObject*, Word) {
            if (c.S.TlsState() == tlsUnwrapped) {
                char line[8];
                if (c.S.Receive(line, 8) == 8)
                    c.S.StartTls();
                return;
            }
            c.Data += c.S.ReceiveStr();
        };
        c.S.SetAddr("127.0.0.1");
        c.S.SetPort(peer.PortText());
        c.S.Connect();
        if (inject) {
            ASSERT_TRUE(c.Closed());
            EXPECT_EQ(c.Events, "connected 0\nhandshake 21010\nclosed 21010\n");
            EXPECT_EQ(c.S.TlsErrorText(), "unexpected plaintext before the TLS handshake");
            EXPECT_EQ(c.Data, "");
        } else {
            ASSERT_TRUE(PumpUntil([&] { return c.Data == "secret\r\n"; })) << c.Events;
            EXPECT_EQ(c.Events, "connected 0\nhandshake 0\n");
            c.S.Close();
        }
        peer.Join();
    }
}

// Through microsocks: the proxy is 127.0.0.1, the destination "localhost"
// (from /etc/hosts), which is the name sent as SNI and verified. A server
// whose certificate names neither fails against "localhost", not against
// the proxy's address.
TEST(Tls, ThroughSocks5TheDestinationNameIsVerified)
{
    testsupport::SocksProxy proxy(testsupport::ProxyKind::Microsocks);
    for (const char* cert : {"server", "othername"}) {
        SCOPED_TRACE(cert);
        Server server(cert);
        server.Handshake().Send("+OK via proxy\r\n").CloseNotify();
        server.Peer.Start();
        TlsClient c;
        c.S.SetSocksServer("127.0.0.1");
        c.S.SetSocksPort(proxy.PortText());
        c.ConnectTo(server.Peer, "localhost");
        ASSERT_TRUE(c.Closed()) << proxy.Output();
        if (std::string(cert) == "server") {
            EXPECT_EQ(c.Events, "handshake 0\nconnected 0\nclosed 0\n");
            EXPECT_EQ(c.Data, "+OK via proxy\r\n");
            EXPECT_EQ(server.Tls->ServerName(), "localhost");
        } else {
            EXPECT_EQ(c.S.TlsErrorText(), "certificate does not match host localhost");
        }
    }
}

} // namespace
