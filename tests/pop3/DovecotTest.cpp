// The blocking client against a real server: Debian's Dovecot, started for
// each test on 127.0.0.1 with a generated Maildir. Besides what the client
// reports, the tests check what the server did (files gone after DELE and
// QUIT, what a second session sees).
#include "pop3/Pop3Prot.h"
#include "tests/support/Dovecot.h"
#include "tests/support/Mailbox.h"
#include "tests/support/Pop3Peer.h"
#include "tests/support/SocksProxies.h"
#include "tests/support/TlsServer.h"
#include "tests/support/TokenIntrospection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

using testsupport::Dovecot;
using testsupport::Pop3EventLog;

namespace {

using Sync = TSyncPop3Cli;

// Connects through a SOCKS proxy: the socket gets the proxy before each
// Connect (a close forgets it).
struct ProxiedClient : TSyncPop3Cli {
    std::string ProxyPort;
    void Connect() override
    {
        if (!ProxyPort.empty() && State() == pop3Ready) {
            FSocket->SetSocksServer("127.0.0.1");
            FSocket->SetSocksPort(ProxyPort);
        }
        TSyncPop3Cli::Connect();
    }
};

// A client pointed at the server, with everything it reports recorded.
struct Session {
    ProxiedClient Cli;
    Pop3EventLog Log;

    explicit Session(const Dovecot& server, const std::string& proxyPort = "")
    {
        Cli.ProxyPort = proxyPort;
        Cli.SetHost(server.Host());
        Cli.SetPort(server.PortText());
        Cli.SetUserName(server.User());
        Cli.SetPassWord(server.Password());
        Cli.SetTimeout(20);
        Log.Attach(Cli);
    }
    bool On(Integer msgNum, bool (Sync::*op)())
    {
        Cli.SetMsgNum(msgNum);
        return (Cli.*op)();
    }
    // The last message retrieved, its lines joined with LF.
    std::string Text() const
    {
        std::string text;
        for (const auto& line : Log.Message())
            text += line + "\n";
        return text;
    }
    // QUIT, and the server's close after it reported.
    bool Quit()
    {
        return Cli.SyncQuit() && testsupport::PumpUntil([this] { return !Log.Only("closed").empty(); });
    }
};

// The size a POP3 server gives: with CR LF line ends (RFC 1939 section 5).
Integer Octets(const std::string& message)
{
    return static_cast<Integer>(message.size() + static_cast<size_t>(std::count(message.begin(), message.end(), '\n')));
}

// The server's TLS files from the tests' throwaway PKI.
testsupport::DovecotTls ServerTls()
{
    const auto& pki = testsupport::TestPki::Get();
    return {pki.Cert("server"), pki.Key("server"), pki.Dir + "/dh.pem"};
}

class DovecotPop3 : public testing::Test {
protected:
    void Serve(size_t count, bool withTls = false)
    {
        FServer = withTls ? std::make_unique<Dovecot>(count, 1, ServerTls()) : std::make_unique<Dovecot>(count);
        for (const auto& path : FServer->MessageFiles())
            FFiles.push_back(testsupport::ReadFileBytes(path));
    }
    std::unique_ptr<Session> LoggedIn()
    {
        auto s = std::make_unique<Session>(*FServer);
        EXPECT_TRUE(s->Cli.SyncConnect() && s->Cli.SyncUser() && s->Cli.SyncPass())
            << s->Cli.ErrorMessage() << "\n" << FServer->Log();
        return s;
    }
    std::unique_ptr<Dovecot> FServer;
    std::vector<std::string> FFiles; // message n is FFiles[n - 1]
};

// A mailbox size and the way the session is secured.
struct CheckCase {
    size_t Count;
    TPop3Security Security;
    bool ViaSocks = false;
};

class MailboxSizes : public DovecotPop3, public testing::WithParamInterface<CheckCase> {};

// The application's whole check (STAT, LIST, TOP n 0 for each), then UIDL
// and RETR of each: every number and line as the server has it, each
// request reported exactly once, nothing deleted. The same in the clear,
// over POP3S, over STLS and over POP3S through microsocks, where the name
// verified is the destination's ("localhost"), not the proxy's address.
TEST_P(MailboxSizes, CheckSequenceAndRetrDeliverEveryMessageAsStored)
{
    const CheckCase& c = GetParam();
    Serve(c.Count, c.Security != pop3SecNone);
    std::unique_ptr<testsupport::SocksProxy> proxy;
    if (c.ViaSocks)
        proxy = std::make_unique<testsupport::SocksProxy>(testsupport::ProxyKind::Microsocks);
    auto s = std::make_unique<Session>(*FServer, c.ViaSocks ? proxy->PortText() : "");
    auto& cli = s->Cli;
    cli.SetSecurity(c.Security);
    cli.SetTlsCaFile(testsupport::TestPki::Get().Cert("ca"));
    cli.SetHost("localhost");
    if (c.Security == pop3SecTls)
        cli.SetPort(FServer->TlsPortText());
    ASSERT_TRUE(cli.SyncConnect() && cli.SyncUser() && cli.SyncPass()) << cli.ErrorMessage() << "\n" << FServer->Log();
    EXPECT_EQ(cli.TlsActive(), c.Security != pop3SecNone);
    EXPECT_EQ(s->Log.Only("display TLS 1.3, TLS_").size(), c.Security != pop3SecNone ? 1u : 0u);
    // Dovecot logged the login as one over TLS, or as one in the clear (its
    // log process writes the line a moment later).
    std::string log;
    ASSERT_TRUE(testsupport::PumpUntil([&] {
        log = FServer->Log();
        return log.find("Login: user=<demo>") != std::string::npos;
    })) << log;
    const std::string login = log.substr(log.find("Login: user=<demo>"));
    EXPECT_EQ(login.substr(0, login.find('\n')).find(", TLS") != std::string::npos, c.Security != pop3SecNone)
        << login;

    ASSERT_TRUE(cli.SyncStat());
    Integer total = 0;
    std::vector<std::string> list;
    for (size_t i = 0; i < FFiles.size(); ++i) {
        total += Octets(FFiles[i]);
        list.push_back("listline " + std::to_string(i + 1) + " " + std::to_string(Octets(FFiles[i])));
    }
    EXPECT_EQ(std::to_string(cli.MsgCount()) + " " + std::to_string(cli.MsgSize()),
              std::to_string(FFiles.size()) + " " + std::to_string(total));
    ASSERT_TRUE(s->On(0, &Sync::SyncList));
    EXPECT_EQ(s->Log.Only("listline"), list);

    // TOP n 0 gives the header and its empty line; RETR (after UIDL) gives
    // the whole file back byte for byte, dot-unstuffed.
    cli.SetMsgLines(0);
    std::vector<std::string> headers;
    for (size_t i = 0; i < FFiles.size(); ++i) {
        headers.push_back(FFiles[i].substr(0, FFiles[i].find("\n\n") + 2));
        ASSERT_TRUE(s->On(static_cast<Integer>(i + 1), &Sync::SyncTop)) << i + 1;
        ASSERT_EQ(s->Text(), headers[i]) << "message " << i + 1;
    }

    // The same header blocks as one request, pipelined (Dovecot announces
    // PIPELINING) and lock-step, each message's events under its number.
    ASSERT_TRUE(cli.SyncCapa());
    EXPECT_TRUE(cli.HasCapability("PIPELINING"));
    for (bool pipelining : {true, false}) {
        SCOPED_TRACE(pipelining ? "pipelined" : "lock-step");
        std::vector<std::string> texts;
        const TNotifyEvent keepBegin = cli.OnMessageBegin, keepLine = cli.OnMessageLine;
        cli.OnMessageBegin = [&](TObject*) { texts.emplace_back(std::to_string(cli.MsgNum()) + ":"); };
        cli.OnMessageLine = [&](TObject*) {
            texts.back() += cli.LastResponse() + (cli.PartialLine() ? "" : "\n");
        };
        cli.SetPipelining(pipelining);
        EXPECT_TRUE(cli.SyncTopAll());
        cli.OnMessageBegin = keepBegin;
        cli.OnMessageLine = keepLine;
        ASSERT_EQ(texts.size(), headers.size());
        for (size_t i = 0; i < headers.size(); ++i)
            ASSERT_EQ(texts[i], std::to_string(i + 1) + ":" + headers[i]);
    }

    ASSERT_TRUE(s->On(0, &Sync::SyncUidl));
    const auto uidl = s->Log.Only("uidlline");
    std::set<std::string> ids; // distinct and not empty
    for (size_t i = 0; i < uidl.size(); ++i) {
        EXPECT_EQ(uidl[i].rfind("uidlline " + std::to_string(i + 1) + " ", 0), 0u) << uidl[i];
        ids.insert(uidl[i].substr(uidl[i].rfind(' ')));
    }
    EXPECT_EQ(ids.size() - ids.count(" "), FFiles.size());

    for (size_t i = 0; i < FFiles.size(); ++i) {
        ASSERT_TRUE(s->On(static_cast<Integer>(i + 1), &Sync::SyncRetr)) << i + 1;
        ASSERT_EQ(s->Text(), FFiles[i]) << "message " << i + 1;
    }
    ASSERT_TRUE(s->Quit());
    EXPECT_EQ(cli.ProtocolState(), pop3Disconnected);
    // connect, USER, PASS, STAT, LIST, TOP and RETR per message, CAPA, two
    // TopAll, UIDL, QUIT.
    EXPECT_EQ(s->Log.DoneCount, static_cast<int>(10 + 2 * FFiles.size()));
    EXPECT_EQ(FServer->MessageFiles().size(), FFiles.size());
}

const CheckCase CheckCases[] = {
    {0, pop3SecNone}, {3, pop3SecNone}, {500, pop3SecNone},  {3, pop3SecTls},
    {500, pop3SecTls}, {3, pop3SecStartTls}, {3, pop3SecTls, true},
};

std::string CheckName(const testing::TestParamInfo<CheckCase>& info)
{
    const char* way[] = {"", "Pop3s", "Stls"};
    return std::to_string(info.param.Count) + "Messages" + way[info.param.Security] +
           (info.param.ViaSocks ? "ViaSocks" : "");
}

INSTANTIATE_TEST_SUITE_P(Dovecot, MailboxSizes, testing::ValuesIn(CheckCases), CheckName);

// DELE marks, RSET unmarks, QUIT commits: the files are gone from the
// Maildir and a second session no longer sees those messages.
TEST_F(DovecotPop3, DeleRsetAndQuitDeleteOnTheServer)
{
    Serve(5);
    auto first = LoggedIn();
    ASSERT_TRUE(first->On(0, &Sync::SyncUidl));
    const auto ids = first->Log.Only("uidlline");
    auto id = [&](size_t n) { return ids[n - 1].substr(ids[n - 1].rfind(' ')); };

    ASSERT_TRUE(first->On(2, &Sync::SyncDele) && first->Cli.SyncStat());
    EXPECT_EQ(first->Cli.MsgCount(), 4);
    EXPECT_FALSE(first->On(2, &Sync::SyncRetr)); // marked messages are gone for this session
    EXPECT_FALSE(first->On(2, &Sync::SyncDele));
    ASSERT_TRUE(first->Cli.SyncRSet());
    ASSERT_TRUE(first->Cli.SyncStat());
    EXPECT_EQ(first->Cli.MsgCount(), 5);
    ASSERT_TRUE(first->On(1, &Sync::SyncDele) && first->On(4, &Sync::SyncDele));
    ASSERT_TRUE(first->Quit());

    const auto files = FServer->MessageFiles();
    ASSERT_EQ(files.size(), 3u) << FServer->Log();
    for (size_t i : {0, 1, 2})
        EXPECT_EQ(testsupport::ReadFileBytes(files[i]), FFiles[i == 2 ? 4 : i + 1]) << i;

    auto second = LoggedIn();
    ASSERT_TRUE(second->Cli.SyncStat());
    EXPECT_EQ(second->Cli.MsgCount(), 3);
    EXPECT_EQ(second->Cli.MsgSize(), Octets(FFiles[1]) + Octets(FFiles[2]) + Octets(FFiles[4]));
    ASSERT_TRUE(second->On(0, &Sync::SyncUidl));
    EXPECT_EQ(second->Log.Only("uidlline"),
              (std::vector<std::string>{"uidlline 1" + id(2), "uidlline 2" + id(3), "uidlline 3" + id(5)}));
    EXPECT_FALSE(second->On(4, &Sync::SyncRetr));
    EXPECT_TRUE(second->Quit());
}

// What the server refuses completes with 500 and the server's own line,
// fires no message or list events, and leaves the session usable.
TEST_F(DovecotPop3, RefusedCommandsLeaveTheSessionUsable)
{
    const struct {
        const char* Sent;
        Integer MsgNum;
        bool (Sync::*Op)();
    } cases[] = {
        {"LAST", 0, &Sync::SyncLast}, // not in RFC 1939's later editions; Dovecot refuses it
        {"RETR 0", 0, &Sync::SyncRetr}, {"RETR 4", 4, &Sync::SyncRetr},   {"TOP 9 0", 9, &Sync::SyncTop},
        {"DELE -1", -1, &Sync::SyncDele}, {"LIST 7", 7, &Sync::SyncList}, {"UIDL 7", 7, &Sync::SyncUidl},
    };
    Serve(3);
    auto s = LoggedIn();
    s->Cli.SetMsgLines(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Sent);
        s->Log.Lines.clear();
        EXPECT_FALSE(s->On(c.MsgNum, c.Op));
        EXPECT_EQ(s->Cli.LastResponse().substr(0, 5), "-ERR ");
        // The command, the server's refusal, the completion: nothing more.
        const std::string sent = c.Sent;
        std::string verb = sent.substr(0, sent.find(' '));
        std::transform(verb.begin() + 1, verb.end(), verb.begin() + 1, [](char ch) { return ch - 'A' + 'a'; });
        EXPECT_EQ(s->Log.Joined(false),
                  "display > " + sent + "|display < " + s->Cli.LastResponse() + "|done pop3" + verb + " 500|");
        EXPECT_EQ(s->Cli.ProtocolState(), pop3Transaction);
        EXPECT_TRUE(s->Cli.SyncNoop());
    }
    EXPECT_EQ(s->Cli.ErrorMessage(), "-ERR Unknown command: LAST"); // the first error is kept
    EXPECT_TRUE(s->Quit());
}

// USER/PASS, APOP (RFC 1939 section 7: digest of the banner's timestamp and
// the secret) and Open (connect, USER, PASS as one request, reported once),
// each with the right and a wrong password.
TEST_F(DovecotPop3, LoginsWithTheRightPasswordOnly)
{
    enum Way { UserPass, Apop, Open };
    Serve(3);
    for (Way way : {UserPass, Apop, Open})
        for (bool right : {true, false}) {
            SCOPED_TRACE(std::to_string(way) + (right ? " right" : " wrong"));
            Session s(*FServer);
            if (!right)
                s.Cli.SetPassWord("tqrnbzxb");
            bool ok = way == Open ? s.Cli.SyncOpen() : s.Cli.SyncConnect();
            if (way != Open)
                ok = way == Apop ? s.Cli.SyncAPop() : (s.Cli.SyncUser() && s.Cli.SyncPass());
            EXPECT_EQ(ok, right);
            const auto done = s.Log.Only("done");
            EXPECT_EQ(done.back(), std::string("done pop3") + (way == Open ? "Open" : way == Apop ? "APop" : "Pass") +
                                       (right ? " 0" : " 500"));
            EXPECT_TRUE(way != Open || done.size() == 1); // Open reports once, for the whole sequence
            EXPECT_EQ(s.Cli.ErrorMessage().substr(0, right ? 0 : 5), right ? "" : "-ERR ");
            EXPECT_EQ(s.Cli.ProtocolState() == pop3Transaction, right);
            EXPECT_EQ(s.Cli.SyncStat() ? s.Cli.MsgCount() : -1, right ? 3 : -1);
            EXPECT_TRUE(s.Quit());
        }
    // Dovecot took the APOP login as APOP, not as some other mechanism.
    EXPECT_NE(FServer->Log().find("method=APOP"), std::string::npos) << FServer->Log();
}

} // namespace

namespace {

// Every line the client showed as sent; no secret may be among them.
std::vector<std::string> Sent(const Pop3EventLog& log)
{
    std::vector<std::string> sent;
    for (const std::string& line : log.Only("display > "))
        sent.push_back(line.substr(10));
    return sent;
}

// SASL logins (RFC 5034) with every mechanism that Dovecot derives from the
// stored plain password, each with the right and a wrong password. A
// refused one leaves the session in AUTHORIZATION with the server's [AUTH]
// code. Dovecot's log tells which mechanism it took.
TEST_F(DovecotPop3, SaslLoginsWithTheRightPasswordOnly)
{
    Serve(3);
    for (const std::string mechanism : {"PLAIN", "LOGIN", "CRAM-MD5", "SCRAM-SHA-256"})
        for (bool right : {true, false}) {
            SCOPED_TRACE(mechanism + (right ? " right" : " wrong"));
            Session s(*FServer);
            s.Cli.SetAuthMechanism(mechanism);
            if (!right)
                s.Cli.SetPassWord("tqrnbzxb");
            ASSERT_TRUE(s.Cli.SyncConnect() && s.Cli.SyncCapa());
            EXPECT_EQ(s.Cli.SyncAuth(), right) << s.Cli.ErrorMessage() << "\n" << FServer->Log();
            EXPECT_EQ(s.Cli.ProtocolState(), right ? pop3Transaction : pop3WaitingUser);
            EXPECT_EQ(s.Cli.ResponseCode(), right ? "" : "AUTH");
            EXPECT_EQ(s.Cli.SyncStat() ? s.Cli.MsgCount() : -1, right ? 3 : -1);
            EXPECT_TRUE(s.Quit());
            const std::string initial = mechanism == "PLAIN" || mechanism == "SCRAM-SHA-256" ? " ********" : "";
            for (const std::string& line : Sent(s.Log))
                EXPECT_TRUE(line == "CAPA" || line == "AUTH " + mechanism + initial || line == "********" ||
                            line == "STAT" || line == "QUIT")
                    << line;
        }
    for (const char* mechanism : {"PLAIN", "LOGIN", "CRAM-MD5", "SCRAM-SHA-256"})
        EXPECT_NE(FServer->Log().find(std::string("method=") + mechanism), std::string::npos) << FServer->Log();
}

// RFC 1939 section 4: after a refused login the server stays in
// AUTHORIZATION, and the same session takes the next try, whichever way it
// logs in.
TEST_F(DovecotPop3, SecondLoginAfterARefusedOne)
{
    Serve(3);
    Session s(*FServer);
    ASSERT_TRUE(s.Cli.SyncConnect());
    s.Cli.SetPassWord("tqrnbzxb");
    EXPECT_TRUE(s.Cli.SyncUser());
    EXPECT_FALSE(s.Cli.SyncPass());
    EXPECT_EQ(s.Cli.ProtocolState(), pop3WaitingUser);
    EXPECT_EQ(s.Cli.ResponseCode(), "AUTH");
    s.Cli.SetAuthMechanism("SCRAM-SHA-256");
    s.Cli.SetPassWord(FServer->Password());
    EXPECT_TRUE(s.Cli.SyncAuth() && s.Cli.SyncStat()) << s.Cli.ErrorMessage();
    EXPECT_EQ(s.Cli.ResponseCode(), "");
    EXPECT_EQ(s.Cli.MsgCount(), 3);
    EXPECT_EQ(s.Cli.ErrorMessage(), "-ERR [AUTH] Authentication failed.");
    EXPECT_TRUE(s.Quit());
    EXPECT_EQ(Sent(s.Log), (std::vector<std::string>{"USER demo", "PASS ********", "AUTH SCRAM-SHA-256 ********",
                                                     "********", "********", "STAT", "QUIT"}));
}

// XOAUTH2 and OAUTHBEARER against Dovecot's oauth2 passdb, which asks a
// token-introspection endpoint on loopback. An expired token is refused
// with an error challenge that the client answers before the "-ERR".
TEST(DovecotOAuth2, ValidTokenAcceptedExpiredRefused)
{
    testsupport::TokenIntrospection tokens;
    Dovecot server(2, 1, tokens.Url());
    for (const std::string mechanism : {"XOAUTH2", "OAUTHBEARER"})
        for (bool valid : {true, false}) {
            SCOPED_TRACE(mechanism + (valid ? " valid" : " expired"));
            Session s(server);
            s.Cli.SetAuthMechanism(mechanism);
            s.Cli.SetPassWord(valid ? tokens.Valid() : tokens.Expired());
            ASSERT_TRUE(s.Cli.SyncConnect() && s.Cli.SyncCapa());
            EXPECT_EQ(s.Cli.SyncAuth(), valid) << server.Log() << tokens.Log();
            const std::string status = mechanism == "XOAUTH2" ? "401" : "invalid_token";
            EXPECT_EQ(s.Cli.ErrorMessage(), valid ? "" : "-ERR " + mechanism + " token refused: " + status);
            EXPECT_EQ(s.Cli.ResponseCode(), valid ? "" : "AUTH");
            EXPECT_EQ(s.Cli.ProtocolState(), valid ? pop3Transaction : pop3WaitingUser);
            EXPECT_EQ(s.Cli.SyncStat() ? s.Cli.MsgCount() : -1, valid ? 2 : -1);
            EXPECT_TRUE(s.Quit());
            const auto sent = Sent(s.Log);
            EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 2),
                      (std::vector<std::string>{"CAPA", "AUTH " + mechanism + " ********"}));
            EXPECT_EQ(sent[2], valid ? "STAT" : "********");
        }
    // Each token was asked about once, in login order.
    EXPECT_EQ(tokens.Log().substr(tokens.Log().find('\n') + 1), "introspect /introspect active\nintrospect /introspect inactive\n"
                            "introspect /introspect active\nintrospect /introspect inactive\n");
}

} // namespace
