// POP3S and STLS against the scripted TLS server (what Dovecot will not do
// on demand): the exact commands the server decrypted, what the client
// returns and reports, records in pieces down to a byte, every way the STLS
// negotiation must fail closed, handshake failures and silence, close_notify
// in the middle of a TOP, and a 10 MB TOP. (A certificate trusted by its pin:
// the socket's verification table and the window's trust prompt.)
#include "pop3/Pop3Prot.h"
#include "tests/support/Pop3Peer.h"
#include "tests/support/TlsServer.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

using testsupport::Pop3EventLog;
using testsupport::Pop3Peer;
using testsupport::PumpUntil;
using testsupport::TestPki;
using testsupport::TlsServer;

namespace {

using Sync = TSyncPop3Cli;
using Call = bool (Sync::*)();

const std::string Login = "USER bob\r\nPASS secret\r\n";
const std::string Capa = "+OK\r\nUSER\r\nSTLS\r\n.\r\n";

std::shared_ptr<TlsServer> Cert(const char* name = "server")
{
    return std::make_shared<TlsServer>(name);
}

// The handshake line of OnDisplay for the test server's certificate.
std::string Handshake()
{
    return "display TLS 1.3, ";
}

// The client's account at the scripted server: localhost, bob/secret, the
// test CA, 5 s per request.
void PointAt(Sync& cli, const Pop3Peer& peer, TPop3Security security)
{
    cli.SetHost("localhost");
    cli.SetPort(peer.PortText());
    cli.SetUserName("bob");
    cli.SetPassWord("secret");
    cli.SetSecurity(security);
    cli.SetTlsCaFile(TestPki::Get().Cert("ca"));
    cli.SetTimeout(5);
}

struct TlsScenario {
    const char* Name;
    TPop3Security Security;
    std::function<void(Pop3Peer&)> Script;
    std::vector<Call> Calls;
    std::string Results;  // T/F per call
    std::string Transcript; // what the server received (decrypted)
    std::string Error;    // ErrorMessage at the end
    std::vector<std::string> Done; // the "done" events in order
    bool TlsLine = true;  // a handshake line was displayed
    std::string Code = "";  // ResponseCode at the end
};

void PrintTo(const TlsScenario& s, std::ostream* os)
{
    *os << s.Name;
}

const Call Connect = &Sync::SyncConnect, User = &Sync::SyncUser, Pass = &Sync::SyncPass, Stat = &Sync::SyncStat,
           Stls = &Sync::SyncStls;

const TlsScenario Table[] = {
    {"Pop3sLogin", pop3SecTls,
     [](Pop3Peer& p) { p.StartTls(Cert()).Reply("+OK hi").Answer("+OK").Answer("+OK").Answer("+OK 0 0"); },
     {Connect, User, Pass, Stat}, "TTTT", Login + "STAT\r\n", "",
     {"done pop3Connect 0", "done pop3User 0", "done pop3Pass 0", "done pop3Stat 0"}},
    {"StlsLogin", pop3SecStartTls,
     [](Pop3Peer& p) {
         p.Reply("+OK hi <1.2@x>").Expect().Send(Capa).Answer("+OK Begin TLS").StartTls(Cert());
         p.Expect().Send("+OK\r\nUSER\r\nUIDL\r\n.\r\n").Answer("+OK").Answer("+OK");
     },
     {Connect, User, Pass}, "TTT", "CAPA\r\nSTLS\r\nCAPA\r\n" + Login, "",
     {"done pop3Connect 0", "done pop3User 0", "done pop3Pass 0"}},
    {"StlsNotListed", pop3SecStartTls, [](Pop3Peer& p) { p.Reply("+OK hi").Expect().Send("+OK\r\nUSER\r\n.\r\n"); },
     {Connect, User, Pass}, "FFF", "CAPA\r\n", "-ERR Server does not offer STLS", {"done pop3Connect 500"}, false},
    {"StlsRefused", pop3SecStartTls,
     [](Pop3Peer& p) { p.Reply("+OK hi").Expect().Send(Capa).Answer("-ERR [SYS/TEMP] TLS not now"); },
     {Connect, User}, "FF", "CAPA\r\nSTLS\r\n", "-ERR [SYS/TEMP] TLS not now", {"done pop3Connect 500"}, false,
     "SYS/TEMP"},
    // A man in the middle appends a command behind the server's "+OK".
    {"StlsInjection", pop3SecStartTls,
     [](Pop3Peer& p) { p.Reply("+OK hi").Expect().Send(Capa).Expect().Send("+OK Begin TLS\r\n-ERR injected\r\n"); },
     {Connect, User}, "FF", "CAPA\r\nSTLS\r\n", "-ERR unexpected plaintext before the TLS handshake (TLS error #21010)",
     {"done pop3Connect 21010"}, false},
    {"StlsHandshakeFails", pop3SecStartTls,
     [](Pop3Peer& p) { p.Reply("+OK hi").Expect().Send(Capa).Answer("+OK Begin TLS").StartTls(Cert("expired")); },
     {Connect, User}, "FF", "CAPA\r\nSTLS\r\n", "-ERR certificate has expired (TLS error #21003)",
     {"done pop3Connect 21003"}, false},
    {"PlaintextWhereTlsIsExpected", pop3SecTls, [](Pop3Peer& p) { p.Reply("+OK POP3 ready"); },
     {Connect, User}, "FF", "", "-ERR the peer does not speak TLS (wrong version number) (TLS error #21011)",
     {"done pop3Connect 21011"}, false},
    {"StlsOnRequest", pop3SecNone,
     [](Pop3Peer& p) { p.Reply("+OK hi").Answer("+OK go ahead").StartTls(Cert()).Answer("+OK").Answer("+OK"); },
     {Connect, Stls, User, Pass}, "TTTT", "STLS\r\n" + Login, "",
     {"done pop3Connect 0", "done pop3Stls 0", "done pop3User 0", "done pop3Pass 0"}},
};

class TlsScenarios : public testing::TestWithParam<TlsScenario> {};

TEST_P(TlsScenarios, CommandsResultsAndCompletions)
{
    const TlsScenario& s = GetParam();
    for (size_t chunk : {0, 1, 5}) {
        SCOPED_TRACE("records in pieces of " + std::to_string(chunk));
        Pop3Peer peer(chunk);
        s.Script(peer);
        peer.WaitFor("end");
        peer.Start();
        TSyncPop3Cli cli;
        Pop3EventLog log;
        log.Attach(cli);
        PointAt(cli, peer, s.Security);
        std::string results;
        for (Call call : s.Calls)
            results += (cli.*call)() ? "T" : "F";
        EXPECT_EQ(results, s.Results) << cli.ErrorMessage();
        EXPECT_EQ(cli.ErrorMessage(), s.Error);
        EXPECT_EQ(cli.ResponseCode(), s.Code);
        PumpUntil([&] { return log.Only("done").size() >= s.Done.size(); }, 2000);
        EXPECT_EQ(log.Only("done"), s.Done);
        const auto tls = log.Only(Handshake());
        EXPECT_EQ(tls.size(), s.TlsLine ? 1u : 0u) << log.Joined(false);
        if (s.TlsLine) {
            EXPECT_NE(tls[0].find(", CN=localhost,O=Quillbox Test"), std::string::npos) << tls[0];
        }
        EXPECT_EQ(cli.TlsActive(), s.TlsLine);
        // A failure reaches the log once (the server's line or the client's
        // own text); the password never does.
        const auto shown = log.Only("display ");
        if (!s.Error.empty()) {
            EXPECT_EQ(std::count_if(shown.begin(), shown.end(),
                                    [&](const std::string& l) {
                                        return l.size() >= s.Error.size() &&
                                               l.compare(l.size() - s.Error.size(), s.Error.size(), s.Error) == 0;
                                    }),
                      1)
                << log.Joined(false);
        }
        for (const std::string& line : shown)
            EXPECT_EQ(line.find("secret"), std::string::npos) << line;
        peer.Signal("end");
        EXPECT_TRUE(peer.Join());
        EXPECT_EQ(peer.Transcript(), s.Transcript);
    }
}

INSTANTIATE_TEST_SUITE_P(Pop3Tls, TlsScenarios, testing::ValuesIn(Table),
                         [](const auto& info) { return std::string(info.param.Name); });

// After STLS the capabilities are those of the second CAPA, and the APOP
// timestamp is the plaintext banner's.
TEST(Pop3Tls, StlsReplacesTheCapabilitiesAndKeepsTheBannerTimestamp)
{
    Pop3Peer peer;
    peer.Reply("+OK hi <1.2@x>").Expect().Send(Capa).Answer("+OK Begin TLS").StartTls(Cert());
    peer.Expect().Send("+OK\r\nUSER\r\nSASL PLAIN\r\n.\r\n").Expect().Reply("+OK").WaitFor("end");
    peer.Start();
    TSyncPop3Cli cli;
    PointAt(cli, peer, pop3SecStartTls);
    ASSERT_TRUE(cli.SyncConnect()) << cli.ErrorMessage();
    EXPECT_EQ(cli.Capabilities(), (std::vector<std::string>{"USER", "SASL PLAIN"}));
    EXPECT_FALSE(cli.HasCapability("STLS"));
    EXPECT_TRUE(cli.SyncAPop());
    peer.Signal("end");
    peer.Join();
    EXPECT_EQ(peer.Transcript(), "CAPA\r\nSTLS\r\nCAPA\r\nAPOP bob 128d2ad8f578fa9de63b08648575e532\r\n");
}

// The engine's other requests and mends hold over TLS as in the clear: the
// SASL login is masked in the log while the server decrypts the real one,
// TopAll pipelines (both TOPs leave before the first reply) when the CAPA
// after STLS lists PIPELINING, and after "+OK" to QUIT the client closes the
// connection the server keeps open, with close_notify.
TEST(Pop3Tls, MaskedLoginPipelinedTopAllAndCloseAfterQuitOverStls)
{
    const auto tls = Cert();
    Pop3Peer peer;
    peer.Reply("+OK hi").Expect().Send(Capa).Answer("+OK Begin TLS").StartTls(tls);
    peer.Expect().Send("+OK\r\nSASL PLAIN\r\nPIPELINING\r\n.\r\n").Answer("+OK").Answer("+OK 2 40");
    peer.Expect(2).Send("+OK\r\nSubject: a\r\n\r\n.\r\n+OK\r\nSubject: b\r\n\r\n.\r\n");
    peer.Answer("+OK bye").Expect(); // ends with the client's close_notify
    peer.Start();
    TSyncPop3Cli cli;
    Pop3EventLog log;
    log.Attach(cli);
    PointAt(cli, peer, pop3SecStartTls);
    cli.SetAuthMechanism("PLAIN");
    cli.SetMsgLines(0);
    EXPECT_TRUE(cli.SyncConnect() && cli.SyncAuth() && cli.SyncStat() && cli.SyncTopAll() && cli.SyncQuit())
        << cli.ErrorMessage();
    EXPECT_TRUE(PumpUntil([&] { return !log.Only("closed").empty(); }));
    EXPECT_TRUE(peer.Join());
    EXPECT_TRUE(tls->ClientClosed());
    EXPECT_EQ(peer.Transcript(),
              "CAPA\r\nSTLS\r\nCAPA\r\nAUTH PLAIN AGJvYgBzZWNyZXQ=\r\nSTAT\r\nTOP 1 0\r\nTOP 2 0\r\nQUIT\r\n");
    EXPECT_EQ(log.Only("display > "),
              (std::vector<std::string>{"display > CAPA", "display > STLS", "display > CAPA",
                                        "display > AUTH PLAIN ********", "display > STAT", "display > TOP 1 0",
                                        "display > TOP 2 0", "display > QUIT"}));
    const std::string joined = log.Joined(false);
    EXPECT_LT(joined.find("display > TOP 2 0"), joined.find("msgbegin")) << joined;
    EXPECT_EQ(log.Only("msgline "),
              (std::vector<std::string>{"msgline Subject: a", "msgline ", "msgline Subject: b", "msgline "}));
    EXPECT_NE(joined.find("done pop3TopAll 0|display > QUIT|display < +OK bye|done pop3Quit 0|closed 0|"),
              std::string::npos)
        << joined;
}

// A server that closes, or goes silent, in the middle of the handshake: the
// first fails at once with 21002, the second within the timeout.
TEST(Pop3Tls, CloseOrSilenceInTheHandshake)
{
    for (bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "silent" : "closes");
        testsupport::ScriptedPeer peer;
        peer.Do([](int fd) {
            pollfd p{fd, POLLIN, 0};
            char buf[4096];
            if (::poll(&p, 1, 5000) > 0)
                ::recv(fd, buf, sizeof buf, 0);
        });
        if (silent)
            peer.WaitFor("end");
        else
            peer.Close();
        peer.Start();
        TSyncPop3Cli cli;
        cli.SetHost("127.0.0.1");
        cli.SetPort(peer.PortText());
        cli.SetSecurity(pop3SecTls);
        cli.SetTimeout(1);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(cli.SyncConnect());
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(cli.ErrorMessage(), silent ? "426 Timeout"
                                             : "-ERR connection closed during the TLS handshake (TLS error #21002)");
        EXPECT_LT(seconds, silent ? 3.0 : 1.0);
        EXPECT_EQ(cli.State(), pop3Ready);
        peer.Signal("end");
        peer.Join();
    }
}

// close_notify in the middle of a TOP ends the session like a close: the
// lines before it were delivered, the TOP ends with 10004, nothing hangs.
TEST(Pop3Tls, CloseNotifyInTheMiddleOfATop)
{
    Pop3Peer peer;
    peer.StartTls(Cert()).Reply("+OK hi").Answer("+OK").Answer("+OK").Answer("+OK").Reply("Subject: cut");
    peer.CloseNotify().WaitFor("end");
    peer.Start();
    TSyncPop3Cli cli;
    Pop3EventLog log;
    log.Attach(cli);
    PointAt(cli, peer, pop3SecTls);
    ASSERT_TRUE(cli.SyncConnect() && cli.SyncUser() && cli.SyncPass());
    cli.SetMsgNum(1);
    EXPECT_FALSE(cli.SyncTop());
    EXPECT_EQ(log.Joined(false).substr(log.Joined(false).find("display > TOP")),
              "display > TOP 1 0|display < +OK|msgbegin|msgline Subject: cut|closed 0|done pop3Top 10004|");
    EXPECT_EQ(cli.ProtocolState(), pop3Disconnected);
    peer.Signal("end");
    peer.Join();
}

// A TOP of 10 MB over TLS arrives line for line.
TEST(Pop3Tls, TenMegabyteTop)
{
    const std::string line(998, 'x');
    std::string body;
    while (body.size() < 10 * 1024 * 1024)
        body += line + "\r\n";
    const size_t lines = body.size() / (line.size() + 2);
    Pop3Peer peer;
    peer.StartTls(Cert()).Reply("+OK hi").Answer("+OK").Answer("+OK").Answer("+OK").Send(body + ".\r\n");
    peer.WaitFor("end");
    peer.Start();
    TSyncPop3Cli cli;
    size_t got = 0, bad = 0;
    cli.OnMessageLine = [&](TObject*) {
        ++got;
        bad += cli.LastResponse() != line;
    };
    PointAt(cli, peer, pop3SecTls);
    cli.SetTimeout(60);
    ASSERT_TRUE(cli.SyncConnect() && cli.SyncUser() && cli.SyncPass());
    cli.SetMsgNum(1);
    EXPECT_TRUE(cli.SyncTop()) << cli.ErrorMessage();
    EXPECT_EQ(got, lines);
    EXPECT_EQ(bad, 0u);
    peer.Signal("end");
    peer.Join();
}

} // namespace
