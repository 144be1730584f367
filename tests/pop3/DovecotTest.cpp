// The blocking client against a real server: Debian's Dovecot, started for
// each test on 127.0.0.1 with a generated Maildir. Besides what the client
// reports, the tests check what the server did (files gone after DELE and
// QUIT, what a second session sees).
#include "pop3/Pop3Prot.h"
#include "tests/support/Dovecot.h"
#include "tests/support/Mailbox.h"
#include "tests/support/Pop3Peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

using testsupport::Dovecot;
using testsupport::Pop3EventLog;

namespace {

constexpr uint32_t Seed = 20261208;

// A client pointed at the server, with everything it reports recorded, and
// the lines of the last RETR or TOP put back together (a line longer than
// the receive buffer arrives in pieces).
struct Session {
    TSyncPop3Cli Cli;
    Pop3EventLog Log;
    std::vector<std::string> Message;
    bool Continued = false;

    explicit Session(const Dovecot& server)
    {
        Cli.SetHost(server.Host());
        Cli.SetPort(server.PortText());
        Cli.SetUserName(server.User());
        Cli.SetPassWord(server.Password());
        Cli.SetTimeout(20);
        Log.Attach(Cli);
        auto logged = Cli.OnMessageLine;
        Cli.OnMessageBegin = [this](TObject*) {
            Message.clear();
            Continued = false;
        };
        Cli.OnMessageLine = [this, logged](TObject* Sender) {
            if (Continued)
                Message.back() += Cli.LastResponse();
            else
                Message.push_back(Cli.LastResponse());
            Continued = Cli.PartialLine();
            logged(Sender);
        };
    }
    bool Login() { return Cli.SyncConnect() && Cli.SyncUser() && Cli.SyncPass(); }
    bool On(Integer msgNum, bool (TSyncPop3Cli::*op)())
    {
        Cli.SetMsgNum(msgNum);
        return (Cli.*op)();
    }
    // The server's close after QUIT has been reported.
    bool WaitClosed()
    {
        return testsupport::PumpUntil([this] { return !Log.Only("closed").empty(); });
    }
};

std::vector<std::string> LinesOf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1)
        lines.push_back(text.substr(start, lf - start));
    return lines;
}

// The size a POP3 server gives: with CR LF line ends (RFC 1939 section 5).
Integer Octets(const std::string& message)
{
    return static_cast<Integer>(message.size() + static_cast<size_t>(std::count(message.begin(), message.end(), '\n')));
}

class DovecotPop3 : public testing::Test {
protected:
    void Serve(size_t count) { Keep(std::make_unique<Dovecot>(count, Seed)); }
    void Serve(const std::vector<std::string>& messages) { Keep(std::make_unique<Dovecot>(messages)); }
    void Keep(std::unique_ptr<Dovecot> server)
    {
        FServer = std::move(server);
        FFiles.clear();
        for (const auto& path : FServer->MessageFiles())
            FFiles.push_back(testsupport::ReadFileBytes(path));
    }
    std::unique_ptr<Session> NewSession() { return std::make_unique<Session>(*FServer); }
    std::unique_ptr<Session> LoggedIn()
    {
        auto s = NewSession();
        EXPECT_TRUE(s->Login()) << s->Cli.ErrorMessage() << "\n" << FServer->Log();
        return s;
    }
    Integer TotalOctets() const
    {
        Integer total = 0;
        for (const auto& f : FFiles)
            total += Octets(f);
        return total;
    }

    std::unique_ptr<Dovecot> FServer;
    std::vector<std::string> FFiles; // message n is FFiles[n - 1]
};

class MailboxSizes : public DovecotPop3, public testing::WithParamInterface<size_t> {};

// The application's whole check, plus UIDL: every number and every header
// line as the server has it, each request reported exactly once.
TEST_P(MailboxSizes, CheckSequenceDeliversEveryHeaderAsStored)
{
    Serve(GetParam());
    auto s = LoggedIn();
    auto& cli = s->Cli;

    ASSERT_TRUE(cli.SyncStat());
    EXPECT_EQ(cli.MsgCount(), static_cast<Integer>(FFiles.size()));
    EXPECT_EQ(cli.MsgSize(), TotalOctets());

    ASSERT_TRUE(s->On(0, &TSyncPop3Cli::SyncList));
    std::vector<std::string> expectedList;
    for (size_t i = 0; i < FFiles.size(); ++i)
        expectedList.push_back("listline " + std::to_string(i + 1) + " " + std::to_string(Octets(FFiles[i])));
    EXPECT_EQ(s->Log.Only("listline"), expectedList);

    cli.SetMsgLines(0);
    for (size_t i = 0; i < FFiles.size(); ++i) {
        ASSERT_TRUE(s->On(static_cast<Integer>(i + 1), &TSyncPop3Cli::SyncTop)) << i + 1;
        // TOP n 0: the header and the empty line that ends it.
        const auto lines = LinesOf(FFiles[i].substr(0, FFiles[i].find("\n\n") + 2));
        ASSERT_EQ(s->Message, lines) << "message " << i + 1;
    }

    ASSERT_TRUE(s->On(0, &TSyncPop3Cli::SyncUidl));
    const auto uidl = s->Log.Only("uidlline");
    ASSERT_EQ(uidl.size(), FFiles.size());
    std::set<std::string> ids;
    for (size_t i = 0; i < uidl.size(); ++i) {
        const std::string prefix = "uidlline " + std::to_string(i + 1) + " ";
        ASSERT_EQ(uidl[i].substr(0, prefix.size()), prefix);
        ids.insert(uidl[i].substr(prefix.size()));
    }
    EXPECT_EQ(ids.size(), FFiles.size());
    EXPECT_EQ(ids.count(""), 0u);

    ASSERT_TRUE(cli.SyncQuit());
    EXPECT_EQ(cli.ProtocolState(), pop3Disconnected);
    ASSERT_TRUE(s->WaitClosed());
    // connect, USER, PASS, STAT, LIST, TOP per message, UIDL, QUIT.
    EXPECT_EQ(s->Log.DoneCount, static_cast<int>(7 + FFiles.size()));
    EXPECT_EQ(s->Log.Only("done pop3Quit"), std::vector<std::string>{"done pop3Quit 0"});
    EXPECT_EQ(FServer->MessageFiles().size(), FFiles.size()); // a check deletes nothing
}

// RETR hands on every line of the stored message, dot-unstuffed, so the
// lines joined with LF give the file back byte for byte.
TEST_P(MailboxSizes, RetrGivesBackEachFileByteForByte)
{
    Serve(GetParam());
    auto s = LoggedIn();
    for (size_t i = 0; i < FFiles.size(); ++i) {
        ASSERT_TRUE(s->On(static_cast<Integer>(i + 1), &TSyncPop3Cli::SyncRetr)) << i + 1;
        std::string joined;
        for (const auto& line : s->Message)
            joined += line + "\n";
        ASSERT_EQ(joined, FFiles[i]) << "message " << i + 1;
    }
    EXPECT_TRUE(s->Cli.SyncQuit());
}

// Lines longer than the client's 4096-byte receive buffer reach the client in
// pieces; joined they are the stored lines, and a piece that begins with a
// dot is neither unstuffed nor taken for the end of the message.
TEST_F(DovecotPop3, RetrJoinsLinesLongerThanTheReceiveBuffer)
{
    std::string body;
    for (size_t length : {4094, 4095, 4096, 4097, 10000})
        body += std::string(length, 'x') + "\n";
    for (size_t prefix = 4088; prefix <= 4100; ++prefix)
        body += std::string(prefix, 'y') + "..\n" + std::string(prefix, 'z') + ".\n";
    body += "." + std::string(5000, 'd') + "\n.\n..\n";
    Serve(std::vector<std::string>{"Subject: pitk\xE4t rivit\n\n" + body, "Subject: toinen\n\nok\n"});

    auto s = LoggedIn();
    for (Integer n = 1; n <= 2; ++n) {
        ASSERT_TRUE(s->On(n, &TSyncPop3Cli::SyncRetr)) << n;
        std::string joined;
        for (const auto& line : s->Message)
            joined += line + "\n";
        EXPECT_EQ(joined, FFiles[static_cast<size_t>(n - 1)]) << n;
    }
    EXPECT_TRUE(s->Cli.SyncQuit());
}

INSTANTIATE_TEST_SUITE_P(Dovecot, MailboxSizes, testing::Values(0, 3, 500),
                         [](const auto& info) { return std::to_string(info.param) + "Messages"; });

// DELE marks, RSET unmarks, QUIT commits: the files are gone from the
// Maildir and a second session no longer sees those messages.
TEST_F(DovecotPop3, DeleRsetAndQuitDeleteOnTheServer)
{
    Serve(5);
    auto first = LoggedIn();
    ASSERT_TRUE(first->On(0, &TSyncPop3Cli::SyncUidl));
    const auto before = first->Log.Only("uidlline");

    ASSERT_TRUE(first->On(2, &TSyncPop3Cli::SyncDele));
    ASSERT_TRUE(first->Cli.SyncStat());
    EXPECT_EQ(first->Cli.MsgCount(), 4);
    EXPECT_FALSE(first->On(2, &TSyncPop3Cli::SyncRetr)); // marked messages are gone for this session
    EXPECT_FALSE(first->On(2, &TSyncPop3Cli::SyncDele));
    ASSERT_TRUE(first->Cli.SyncRSet());
    ASSERT_TRUE(first->Cli.SyncStat());
    EXPECT_EQ(first->Cli.MsgCount(), 5);

    ASSERT_TRUE(first->On(1, &TSyncPop3Cli::SyncDele));
    ASSERT_TRUE(first->On(4, &TSyncPop3Cli::SyncDele));
    ASSERT_TRUE(first->Cli.SyncQuit());
    ASSERT_TRUE(first->WaitClosed());

    const auto files = FServer->MessageFiles();
    ASSERT_EQ(files.size(), 3u) << FServer->Log();
    EXPECT_EQ(testsupport::ReadFileBytes(files[0]), FFiles[1]);
    EXPECT_EQ(testsupport::ReadFileBytes(files[1]), FFiles[2]);
    EXPECT_EQ(testsupport::ReadFileBytes(files[2]), FFiles[4]);

    auto second = LoggedIn();
    ASSERT_TRUE(second->Cli.SyncStat());
    EXPECT_EQ(second->Cli.MsgCount(), 3);
    EXPECT_EQ(second->Cli.MsgSize(), Octets(FFiles[1]) + Octets(FFiles[2]) + Octets(FFiles[4]));
    ASSERT_TRUE(second->On(0, &TSyncPop3Cli::SyncUidl));
    const std::vector<std::string> kept = {
        "uidlline 1 " + before[1].substr(std::string("uidlline 2 ").size()),
        "uidlline 2 " + before[2].substr(std::string("uidlline 3 ").size()),
        "uidlline 3 " + before[4].substr(std::string("uidlline 5 ").size()),
    };
    EXPECT_EQ(second->Log.Only("uidlline"), kept);
    EXPECT_FALSE(second->On(4, &TSyncPop3Cli::SyncRetr));
    EXPECT_TRUE(second->Cli.SyncQuit());
}

// What the server refuses completes with 500 and the server's own line, and
// leaves the session usable.
TEST_F(DovecotPop3, RefusedCommandsLeaveTheSessionUsable)
{
    struct Case {
        const char* Sent;
        Integer MsgNum;
        bool (TSyncPop3Cli::*Op)();
    };
    const Case cases[] = {
        {"LAST", 0, &TSyncPop3Cli::SyncLast}, // not in RFC 1939's later editions; Dovecot refuses it
        {"RETR 0", 0, &TSyncPop3Cli::SyncRetr},
        {"RETR 4", 4, &TSyncPop3Cli::SyncRetr},
        {"TOP 9 0", 9, &TSyncPop3Cli::SyncTop},
        {"DELE -1", -1, &TSyncPop3Cli::SyncDele},
        {"LIST 7", 7, &TSyncPop3Cli::SyncList},
        {"UIDL 7", 7, &TSyncPop3Cli::SyncUidl},
    };
    Serve(3);
    auto s = LoggedIn();
    s->Cli.SetMsgLines(0);
    for (const auto& c : cases) {
        s->Log.Lines.clear();
        EXPECT_FALSE(s->On(c.MsgNum, c.Op)) << c.Sent;
        EXPECT_EQ(s->Log.Only("display >"), std::vector<std::string>{std::string("display > ") + c.Sent});
        EXPECT_EQ(s->Cli.LastResponse().substr(0, 5), "-ERR ") << c.Sent;
        EXPECT_EQ(s->Log.Only("done").back().substr(s->Log.Only("done").back().rfind(' ')), " 500") << c.Sent;
        EXPECT_EQ(s->Cli.ProtocolState(), pop3Transaction) << c.Sent;
        EXPECT_TRUE(s->Cli.SyncNoop()) << c.Sent;
    }
    EXPECT_EQ(s->Cli.ErrorMessage(), "-ERR Unknown command: LAST"); // the first error is kept
    EXPECT_TRUE(s->Cli.SyncQuit());
}

// USER/PASS and APOP (RFC 1939 section 7, digest of the banner's timestamp
// and the secret), each with the right and a wrong password.
TEST_F(DovecotPop3, LoginsWithTheRightPasswordOnly)
{
    struct Case {
        const char* Name;
        bool Apop;
        bool RightPassword;
    };
    const Case cases[] = {
        {"USER/PASS", false, true},
        {"USER/PASS, wrong password", false, false},
        {"APOP", true, true},
        {"APOP, wrong password", true, false},
    };
    Serve(3);
    for (const auto& c : cases) {
        auto s = NewSession();
        if (!c.RightPassword)
            s->Cli.SetPassWord("tqrnbzxb");
        ASSERT_TRUE(s->Cli.SyncConnect()) << c.Name;
        const bool ok = c.Apop ? s->Cli.SyncAPop() : (s->Cli.SyncUser() && s->Cli.SyncPass());
        EXPECT_EQ(ok, c.RightPassword) << c.Name;
        if (c.RightPassword) {
            EXPECT_EQ(s->Cli.ProtocolState(), pop3Transaction) << c.Name;
            EXPECT_TRUE(s->Cli.SyncStat()) << c.Name;
            EXPECT_EQ(s->Cli.MsgCount(), 3) << c.Name;
        } else {
            EXPECT_EQ(s->Cli.ErrorMessage().substr(0, 5), "-ERR ") << c.Name;
            EXPECT_NE(s->Cli.ProtocolState(), pop3Transaction) << c.Name;
            EXPECT_FALSE(s->Cli.SyncStat()) << c.Name;
        }
        EXPECT_TRUE(s->Cli.SyncQuit()) << c.Name;
        EXPECT_TRUE(s->WaitClosed()) << c.Name;
    }
    // Dovecot took the APOP login as APOP, not as some other mechanism.
    EXPECT_NE(FServer->Log().find("method=APOP"), std::string::npos) << FServer->Log();
}

// Open (connect, USER, PASS as one request) reports once, for the whole
// sequence.
TEST_F(DovecotPop3, OpenReportsOnceForTheWholeSequence)
{
    Serve(3);
    for (bool right : {true, false}) {
        auto s = NewSession();
        if (!right)
            s->Cli.SetPassWord("wrong");
        EXPECT_EQ(s->Cli.SyncOpen(), right);
        EXPECT_EQ(s->Log.Only("done"), std::vector<std::string>{right ? "done pop3Open 0" : "done pop3Open 500"});
        EXPECT_EQ(s->Cli.ProtocolState(), right ? pop3Transaction : pop3WaitingPass);
        EXPECT_TRUE(s->Cli.SyncQuit());
    }
}

} // namespace
