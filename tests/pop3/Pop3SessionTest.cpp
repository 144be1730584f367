// The engine and its blocking face against the scripted POP3 server: the
// exact command transcript, the exact event order, replies in every chunk
// size, and the failure paths no real server produces on demand.
#include "pop3/Pop3Prot.h"
#include "tests/support/Pop3Peer.h"

#include <gtest/gtest.h>

#include <ctime>
#include <thread>

using testsupport::Pop3EventLog;
using testsupport::Pop3Peer;
using testsupport::PumpUntil;

namespace {

const char* const LoginTranscript = "USER bob\r\nPASS secret\r\n";
const char* const LoginEvents = "display < +OK hi|connected 0|done pop3Connect 0|display > USER bob|display < +OK|"
                                "done pop3User 0|display > PASS secret|display < +OK|done pop3Pass 0|";

void PointAt(TSyncPop3Cli& client, uint16_t port)
{
    client.SetHost("127.0.0.1");
    client.SetPort(std::to_string(port));
    client.SetUserName(" bob ");
    client.SetPassWord("secret");
}

Pop3Peer& ScriptLogin(Pop3Peer& peer)
{
    return peer.Reply("+OK hi").Answer("+OK").Answer("+OK");
}

std::string R(bool ok)
{
    return ok ? "T" : "F";
}

// Runs the blocking calls in order: T or F for each.
std::string Calls(TSyncPop3Cli& c, std::initializer_list<bool (TSyncPop3Cli::*)()> calls)
{
    std::string out;
    for (auto call : calls)
        out += R((c.*call)());
    return out;
}

std::string Login(TSyncPop3Cli& c)
{
    return Calls(c, {&TSyncPop3Cli::SyncConnect, &TSyncPop3Cli::SyncUser, &TSyncPop3Cli::SyncPass});
}

std::string Nums(Integer a, Integer b)
{
    return std::to_string(a) + "," + std::to_string(b);
}

class ChunkSizes : public testing::TestWithParam<size_t> {};

TEST_P(ChunkSizes, FullCheckGivesTheSameTranscriptAndEvents)
{
    Pop3Peer peer(GetParam());
    ScriptLogin(peer)
        .Answer("+OK 2 320")
        .Expect()
        .Send("+OK 2 messages\r\n1 120\r\n2\t200\r\n.\r\n")
        .Expect()
        .Send("+OK\r\nSubject: one\r\n..\r\n...\r\n.single\r\n\r\n.\r\n")
        .Answer("+OK bye")
        .WaitFor("quit-done")
        .Close();
    peer.Start();
    TSyncPop3Cli client;
    PointAt(client, peer.Port());
    Pop3EventLog log;
    log.Attach(client);

    std::string results = Login(client);
    results += R(client.SyncStat());
    results += Nums(client.MsgCount(), client.MsgSize());
    client.SetMsgNum(0);
    results += R(client.SyncList());
    client.SetMsgNum(1);
    results += Calls(client, {&TSyncPop3Cli::SyncTop, &TSyncPop3Cli::SyncQuit});
    peer.Signal("quit-done");
    ASSERT_TRUE(PumpUntil([&] { return !log.Only("closed").empty(); }));

    EXPECT_EQ(results, "TTTT2,320TTT");
    EXPECT_EQ(client.ProtocolState(), pop3Disconnected);
    EXPECT_EQ(peer.Transcript(), std::string(LoginTranscript) + "STAT\r\nLIST\r\nTOP 1 0\r\nQUIT\r\n");
    const std::string command = "state pop3WaitingResponse|";
    const std::string ready = "state pop3Ready|";
    EXPECT_EQ(log.Joined(),
              "state pop3DnsLookup|state pop3Connecting|state pop3WaitingBanner|display < +OK hi|"
              "state pop3Connected|connected 0|" + ready + "done pop3Connect 0|" +
              command + "display > USER bob|display < +OK|" + ready + "done pop3User 0|" +
              command + "display > PASS secret|display < +OK|" + ready + "done pop3Pass 0|" +
              command + "display > STAT|display < +OK 2 320|" + ready + "done pop3Stat 0|" +
              command + "display > LIST|display < +OK 2 messages|listbegin|listline 1 120|listline 2 200|"
              "listend|" + ready + "done pop3List 0|" +
              command + "display > TOP 1 0|display < +OK|msgbegin|msgline Subject: one|msgline .|msgline ..|"
              "msgline .single|msgline |msgend|" + ready + "done pop3Top 0|" +
              command + "display > QUIT|display < +OK bye|" + ready + "done pop3Quit 0|closed 0|");
}

INSTANTIATE_TEST_SUITE_P(Pop3Session, ChunkSizes, testing::Values(0, 1, 2, 3, 5, 7, 64));

// One conversation with the scripted server: what the client does, what it
// returns (T/F per blocking call, plus any values it reports), the exact
// lines the server received and the events in order (without state
// changes unless WithStates).
struct Scenario {
    const char* Name;
    std::function<void(Pop3Peer&)> Script;
    std::function<std::string(TSyncPop3Cli&, Pop3EventLog&)> Drive;
    std::string Results;
    std::string Transcript;
    std::string Events;
    bool WithStates = false;
};

void PrintTo(const Scenario& s, std::ostream* os)
{
    *os << s.Name;
}

class Scenarios : public testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, TranscriptResultsAndEvents)
{
    const Scenario& s = GetParam();
    Pop3Peer peer;
    s.Script(peer);
    peer.Start();
    TSyncPop3Cli client;
    PointAt(client, peer.Port());
    Pop3EventLog log;
    log.Attach(client);

    EXPECT_EQ(s.Drive(client, log), s.Results);
    // Completions and closes that come after the last blocking call.
    PumpUntil([&] { return log.Joined(s.WithStates) == s.Events; }, 2000);
    EXPECT_EQ(log.Joined(s.WithStates), s.Events);
    peer.Signal("end");
    EXPECT_TRUE(peer.Join());
    EXPECT_EQ(peer.Transcript(), s.Transcript);
}

const Scenario ScenarioTable[] = {
    {"NegativeBannerClosesAndCompletesWith10004", [](Pop3Peer& p) { p.Reply("-ERR busy").WaitFor("end"); },
     [](TSyncPop3Cli& c, Pop3EventLog&) { return R(c.SyncConnect()).append(c.ErrorMessage()); }, "F-ERR busy", "",
     "display < -ERR busy|closed 0|done pop3Connect 10004|"},
    {"NegativeBannerInOpenEndsTheSequenceWith500", [](Pop3Peer& p) { p.Reply("-ERR busy").WaitFor("end"); },
     [](TSyncPop3Cli& c, Pop3EventLog&) { return R(c.SyncOpen()).append(c.ErrorMessage()); }, "F-ERR busy", "",
     "display < -ERR busy|closed 0|done pop3Open 500|"},
    {"PassRefusedInOpenGivesOneCompletion",
     [](Pop3Peer& p) { p.Reply("+OK hi").Answer("+OK").Answer("-ERR bad").WaitFor("end"); },
     [](TSyncPop3Cli& c, Pop3EventLog& log) {
         std::string r = R(c.SyncOpen());
         return r.append(c.ErrorMessage()).append(std::to_string(log.DoneCount));
     },
     "F-ERR bad1", LoginTranscript,
     "display < +OK hi|connected 0|display > USER bob|display < +OK|display > PASS secret|display < -ERR bad|"
     "done pop3Open 500|"},
    {"TwoLinesInOneReadAreBothHandled", [](Pop3Peer& p) { p.Send("+OK hi\r\n+OK extra\r\n").WaitFor("end"); },
     [](TSyncPop3Cli& c, Pop3EventLog&) { return R(c.SyncConnect()); }, "T", "",
     "display < +OK hi|connected 0|display < +OK extra|done pop3Connect 0|"},
    {"ConnectWhileConnectedIsRefusedAndKeepsTheSession", [](Pop3Peer& p) { p.Reply("+OK hi").Answer("+OK"); },
     [](TSyncPop3Cli& c, Pop3EventLog&) {
         return Calls(c, {&TSyncPop3Cli::SyncConnect, &TSyncPop3Cli::SyncConnect, &TSyncPop3Cli::SyncUser});
     },
     "TFT", "USER bob\r\n",
     "display < +OK hi|connected 0|done pop3Connect 0|display > USER bob|display < +OK|done pop3User 0|"},
    {"CloseDuringSingleLineReplyFailsTheRequest",
     [](Pop3Peer& p) { p.Reply("+OK hi").Expect().Send("+O").Close(); },
     [](TSyncPop3Cli& c, Pop3EventLog&) { return Calls(c, {&TSyncPop3Cli::SyncConnect, &TSyncPop3Cli::SyncUser}); }, "TF", "USER bob\r\n",
     "display < +OK hi|connected 0|done pop3Connect 0|display > USER bob|closed 0|done pop3User 10004|"},
    {"CloseDuringMultiLineReplyGivesNoEndEvent",
     [](Pop3Peer& p) { ScriptLogin(p).Expect().Send("+OK\r\nline 1\r\n").Close(); },
     [](TSyncPop3Cli& c, Pop3EventLog&) {
         c.SetMsgNum(4);
         return Login(c).append(R(c.SyncRetr()));
     },
     "TTTF", std::string(LoginTranscript) + "RETR 4\r\n",
     std::string(LoginEvents) + "display > RETR 4|display < +OK|msgbegin|msgline line 1|closed 0|done pop3Retr 10004|"},
    {"SingleLineRepliesFillTheirProperties",
     [](Pop3Peer& p) { ScriptLogin(p).Answer("+OK 3 1200").Answer("+OK 2 QhdPYR:00WBw1Ph7x7").Answer("+OK 5"); },
     [](TSyncPop3Cli& c, Pop3EventLog&) {
         c.SetMsgNum(3);
         std::string r = Login(c);
         r += R(c.SyncList());
         r += Nums(c.MsgNum(), c.MsgSize());
         c.SetMsgNum(2);
         r += R(c.SyncUidl());
         r += std::to_string(c.MsgNum()) + "," + c.MsgUidl();
         r += R(c.SyncLast());
         return r + Nums(c.MsgNum(), c.MsgSize());
     },
     "TTTT3,1200T2,QhdPYR:00WBw1Ph7x7T5,0", std::string(LoginTranscript) + "LIST 3\r\nUIDL 2\r\nLAST\r\n",
     std::string(LoginEvents) + "display > LIST 3|display < +OK 3 1200|done pop3List 0|display > UIDL 2|"
                                "display < +OK 2 QhdPYR:00WBw1Ph7x7|done pop3Uidl 0|display > LAST|display < +OK 5|"
                                "done pop3Last 0|"},
    {"EmptyListAndTabSeparatedUidl",
     [](Pop3Peer& p) { ScriptLogin(p).Answer("+OK\r\n.").Answer("+OK\r\n1 ab\r\n2\tcd\r\n."); },
     [](TSyncPop3Cli& c, Pop3EventLog&) {
         return Login(c).append(Calls(c, {&TSyncPop3Cli::SyncList, &TSyncPop3Cli::SyncUidl}));
     }, "TTTTT",
     std::string(LoginTranscript) + "LIST\r\nUIDL\r\n",
     std::string(LoginEvents) + "display > LIST|display < +OK|listbegin|listend|done pop3List 0|display > UIDL|"
                                "display < +OK|uidlbegin|uidlline 1 ab|uidlline 2 |uidlend|done pop3Uidl 0|"},
    {"NegativeRetrFiresNoMessageEvent", [](Pop3Peer& p) { ScriptLogin(p).Answer("-ERR no such message"); },
     [](TSyncPop3Cli& c, Pop3EventLog&) { return Login(c).append(R(c.SyncRetr())); }, "TTTF",
     std::string(LoginTranscript) + "RETR 0\r\n",
     std::string(LoginEvents) + "display > RETR 0|display < -ERR no such message|done pop3Retr 500|"},
    {"ApopSendsTheDigestOfTimestampAndSecret",
     [](Pop3Peer& p) { p.Reply("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>").Answer("+OK"); },
     [](TSyncPop3Cli& c, Pop3EventLog&) {
         c.SetUserName("mrose");
         c.SetPassWord("tanstaaf");
         return Calls(c, {&TSyncPop3Cli::SyncConnect, &TSyncPop3Cli::SyncAPop})
             .append(Pop3ProtocolStateName(c.ProtocolState()));
     },
     "TTpop3Transaction", "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n",
     "display < +OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>|connected 0|done pop3Connect 0|"
     "display > APOP mrose c4c9334bac560ecc979e58001b3e22fb|display < +OK|done pop3APop 0|"},
    {"NestedBlockingCallsAreRefused", [](Pop3Peer& p) { ScriptLogin(p).Answer("+OK\r\nbody\r\n."); },
     [](TSyncPop3Cli& c, Pop3EventLog& log) {
         c.OnMessageBegin = [&c, &log](TObject*) {
             try {
                 c.Stat();
             } catch (Pop3Exception& E) {
                 log.Lines.push_back("nested " + E.Message() + " " + R(c.SyncNoop()));
             }
         };
         return Login(c).append(R(c.SyncRetr()));
     },
     "TTTT", std::string(LoginTranscript) + "RETR 0\r\n",
     std::string(LoginEvents) + "display > RETR 0|display < +OK|nested POP3 component not ready F|msgline body|"
                                "msgend|done pop3Retr 0|"},
    {"SilentServerTimesOut", [](Pop3Peer& p) { p.Reply("+OK hi").Expect().WaitFor("end"); },
     [](TSyncPop3Cli& c, Pop3EventLog&) {
         c.SetTimeout(1);
         std::string r = R(c.SyncConnect());
         // The wait blocks instead of spinning: the second it lasts costs
         // next to no processor time.
         const std::clock_t cpu = std::clock();
         r += R(c.SyncUser());
         const bool idle = std::clock() - cpu < CLOCKS_PER_SEC / 4;
         return r.append(c.ErrorMessage()).append(idle ? " idle" : " busy");
     },
     "TF426 Timeout idle", "USER bob\r\n",
     "state pop3DnsLookup|state pop3Connecting|state pop3WaitingBanner|display < +OK hi|state pop3Connected|"
     "connected 0|state pop3Ready|done pop3Connect 0|state pop3WaitingResponse|display > USER bob|state pop3Abort|"
     "closed 0|state pop3Ready|done pop3User 10004|",
     true},
    {"TimeoutInsideOpenAbortsTheSequence", [](Pop3Peer& p) { p.Reply("+OK hi").Expect().WaitFor("end"); },
     [](TSyncPop3Cli& c, Pop3EventLog& log) {
         c.SetTimeout(1);
         std::string r = R(c.SyncOpen()).append(c.ErrorMessage());
         PumpUntil([&] { return log.DoneCount == 1; });
         return r;
     },
     "F426 Timeout", "USER bob\r\n",
     "display < +OK hi|connected 0|display > USER bob|closed 0|done pop3Open 426|"},
    {"EndOfTheApplicationEndsTheWait", [](Pop3Peer& p) { p.Reply("+OK hi").Expect().WaitFor("end"); },
     [](TSyncPop3Cli& c, Pop3EventLog&) {
         std::string r = R(c.SyncConnect());
         platform::Application::Terminate();
         r += R(c.SyncUser());
         platform::Application::ResetTerminated();
         return r.append(c.ErrorMessage());
     },
     "TF426 Timeout", "USER bob\r\n",
     "display < +OK hi|connected 0|done pop3Connect 0|display > USER bob|closed 0|done pop3User 10004|"},
    {"ResponsesSeeRawLinesBeforeUnstuffing",
     [](Pop3Peer& p) { ScriptLogin(p).Answer("+OK\r\n..a\r\n."); },
     [](TSyncPop3Cli& c, Pop3EventLog& log) {
         std::string r = Login(c);
         c.OnResponse = [&log](TObject*, const std::string& Msg) { log.Lines.push_back("response " + Msg); };
         return r.append(R(c.SyncRetr()));
     },
     "TTTT", std::string(LoginTranscript) + "RETR 0\r\n",
     std::string(LoginEvents) + "display > RETR 0|response +OK|display < +OK|msgbegin|response ..a|msgline .a|"
                                "response .|msgend|done pop3Retr 0|"},
};

INSTANTIATE_TEST_SUITE_P(Pop3Session, Scenarios, testing::ValuesIn(ScenarioTable),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace

namespace {

// A body line longer than the receive buffer reaches the line event in
// pieces; joined up they give the line, unstuffed only at its start, and
// no piece is taken for the terminator. The size is the raw line's, CR LF
// excluded; the line is all dots, the worst case for a piece boundary.
class LongLines : public testing::TestWithParam<size_t> {};

TEST_P(LongLines, ArriveWholeWithoutStallOrDesync)
{
    const std::string dots(GetParam(), '.');
    Pop3Peer peer;
    ScriptLogin(peer).Expect().Send("+OK\r\n" + dots + "\r\nafter\r\n.\r\n").Answer("+OK 1 2");
    peer.Start();
    TSyncPop3Cli client;
    PointAt(client, peer.Port());
    Pop3EventLog log;
    log.Attach(client);

    ASSERT_EQ(Login(client), "TTT");
    ASSERT_TRUE(client.SyncRetr());
    ASSERT_TRUE(client.SyncStat());
    std::vector<std::string> lines(1);
    for (const std::string& event : log.Only("msgline ")) {
        const bool partial = event.size() >= 2 && event.compare(event.size() - 2, 2, " +") == 0;
        lines.back() += event.substr(8, event.size() - 8 - (partial ? 2 : 0));
        if (!partial)
            lines.emplace_back();
    }
    EXPECT_EQ(lines, (std::vector<std::string>{dots.substr(1), "after", ""}));
    EXPECT_EQ(log.Only("msgend").size(), 1u);
    EXPECT_EQ(Nums(client.MsgCount(), client.MsgSize()), "1,2");
    EXPECT_TRUE(peer.Join());
}

INSTANTIATE_TEST_SUITE_P(Pop3Session, LongLines, testing::Values(4093, 4094, 4095, 4096, 100000));

TEST(Pop3Connection, RefusedConnectReportsTheSocketErrorAndAllowsAnother)
{
    TSyncPop3Cli client;
    PointAt(client, testsupport::UnusedPort());
    Pop3EventLog log;
    log.Attach(client);
    EXPECT_FALSE(client.SyncConnect());
    EXPECT_FALSE(client.SyncConnect());
    PumpUntil([&] { return log.DoneCount == 2; });
    EXPECT_EQ(client.LastResponse(), "-ERR Connection refused (Winsock error #10061)");
    EXPECT_EQ(client.ErrorMessage(), client.LastResponse());
    EXPECT_EQ(log.Only("done"), (std::vector<std::string>{"done pop3Connect 10061", "done pop3Connect 10061"}));
    EXPECT_EQ(client.State(), pop3Ready);
}

// A QUIT without connection sends nothing and completes at once, so the
// blocking call returns before the completion; the next call's pump
// delivers it, still reported as the QUIT's.
TEST(Pop3Connection, QuitWithoutConnectionCompletesLaterKeepingItsType)
{
    Pop3Peer peer;
    peer.Reply("+OK hi").WaitFor("end");
    peer.Start();
    TSyncPop3Cli client;
    PointAt(client, peer.Port());
    Pop3EventLog log;
    log.Attach(client);
    EXPECT_TRUE(client.SyncQuit());
    EXPECT_EQ(log.DoneCount, 0);
    EXPECT_TRUE(client.SyncConnect());
    EXPECT_EQ(log.Only("done"), (std::vector<std::string>{"done pop3Quit 0", "done pop3Connect 0"}));
    peer.Signal("end");
}

// A timestamp from one server's greeting is never used for another.
TEST(Pop3Connection, ApopTimestampBelongsToOneConnection)
{
    Pop3Peer first;
    first.Reply("+OK <1.2@one>").Answer("+OK bye").Close();
    first.Start();
    TSyncPop3Cli client;
    PointAt(client, first.Port());
    ASSERT_EQ(Calls(client, {&TSyncPop3Cli::SyncConnect, &TSyncPop3Cli::SyncQuit}), "TT");
    ASSERT_TRUE(PumpUntil([&] { return first.Finished() && client.State() == pop3Ready; }));

    Pop3Peer second;
    second.Reply("+OK no stamp").WaitFor("end");
    second.Start();
    PointAt(client, second.Port());
    PumpUntil([&] { return client.ProtocolState() == pop3Disconnected; });
    ASSERT_TRUE(client.SyncConnect());
    EXPECT_FALSE(client.SyncAPop());
    EXPECT_EQ(client.ErrorMessage(), "-ERR Server do not support APOP (no timestamp)");
    second.Signal("end");
}

// The socket reports its state changes while it is destroyed; deleting a
// connected client mid-request must run no handler of the client.
TEST(Pop3Connection, DestroyingAConnectedClientFiresNothing)
{
    Pop3Peer peer;
    peer.Reply("+OK hi").Expect().WaitFor("end");
    peer.Start();
    Pop3EventLog log;
    {
        auto client = std::make_unique<TSyncPop3Cli>();
        PointAt(*client, peer.Port());
        ASSERT_TRUE(client->SyncConnect());
        client->User();
        log.Attach(*client);
    }
    testsupport::PumpFor(20);
    EXPECT_EQ(log.Joined(), "");
    peer.Signal("end");
}

} // namespace

namespace {

// A later step of Open that refuses to start ends the sequence with 500
// instead of leaving it open until the deadline.
TEST(Pop3Connection, RefusedLaterStepEndsTheSequence)
{
    struct NoPass : TSyncPop3Cli {
        void Pass() override { throw Pop3Exception("no PASS today"); }
    };
    Pop3Peer peer;
    peer.Reply("+OK hi").Answer("+OK").WaitFor("end");
    peer.Start();
    NoPass client;
    PointAt(client, peer.Port());
    Pop3EventLog log;
    log.Attach(client);
    EXPECT_FALSE(client.SyncOpen());
    EXPECT_EQ(client.ErrorMessage(), "no PASS today");
    EXPECT_EQ(client.State(), pop3Ready);
    EXPECT_EQ(log.Only("done"), std::vector<std::string>{"done pop3Open 500"});
    peer.Signal("end");
}

// A client living in a worker thread waits on that thread's own loop.
TEST(Pop3Connection, MultiThreadedClientWaitsOnItsOwnThread)
{
    Pop3Peer peer;
    ScriptLogin(peer).Answer("+OK 4 99").WaitFor("end");
    peer.Start();
    std::string results;
    std::thread worker([&] {
        TSyncPop3Cli client;
        client.SetMultiThreaded(true);
        PointAt(client, peer.Port());
        results = Login(client);
        results += R(client.SyncStat());
        results += Nums(client.MsgCount(), client.MsgSize());
    });
    worker.join();
    peer.Signal("end");
    EXPECT_EQ(results, "TTTT4,99");
    EXPECT_EQ(peer.Transcript(), std::string(LoginTranscript) + "STAT\r\n");
}

} // namespace
