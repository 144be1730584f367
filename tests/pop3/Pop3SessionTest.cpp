// The engine and its blocking face against the scripted POP3 server: the
// exact command transcript, the exact event order, replies in every chunk
// size, and the failure paths no real server produces on demand.
#include "pop3/Pop3Prot.h"
#include "tests/support/Pop3Peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <thread>

using testsupport::Pop3EventLog;
using testsupport::Pop3Peer;
using testsupport::PumpUntil;

namespace {

using Sync = TSyncPop3Cli;
const std::string LoginTranscript = "USER bob\r\nPASS secret\r\n";
const std::string LoginEvents = "display < +OK hi|connected 0|done pop3Connect 0|display > USER bob|display < +OK|"
                                "done pop3User 0|display > PASS ********|display < +OK|done pop3Pass 0|";

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

using Call = bool (Sync::*)();

// Runs the blocking calls in order: T or F for each.
std::string Calls(Sync& c, std::initializer_list<Call> calls)
{
    std::string out;
    for (auto call : calls)
        out += (c.*call)() ? "T" : "F";
    return out;
}

// Connect, USER and PASS, then the given calls.
std::string LoginThen(Sync& c, std::initializer_list<Call> calls)
{
    std::string r = Calls(c, {&Sync::SyncConnect, &Sync::SyncUser, &Sync::SyncPass});
    return r + Calls(c, calls);
}

std::string Nums(Integer a, Integer b)
{
    return std::to_string(a) + "," + std::to_string(b);
}

// The scripted server, a client pointed at it, and the client's events.
template <class Client = TSyncPop3Cli>
struct Conversation {
    Pop3Peer Peer;
    Client Cli;
    Pop3EventLog Log;
    explicit Conversation(const std::function<void(Pop3Peer&)>& script, size_t chunkSize = 0) : Peer(chunkSize)
    {
        script(Peer);
        Peer.Start();
        PointAt(Cli, Peer.Port());
        Log.Attach(Cli);
    }
};

// One conversation: what the client does and returns (T/F per blocking
// call, plus any values it reports), the exact lines the server received
// and the events in order (state changes only when WithStates).
struct Scenario {
    const char* Name;
    std::function<void(Pop3Peer&)> Script;
    std::function<std::string(TSyncPop3Cli&, Pop3EventLog&)> Drive;
    std::string Results, Transcript, Events;
    bool WithStates = false;
    bool EveryChunkSize = false; // else replies are sent whole
};

void PrintTo(const Scenario& s, std::ostream* os)
{
    *os << s.Name;
}

class Scenarios : public testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, TranscriptResultsAndEvents)
{
    const Scenario& s = GetParam();
    for (size_t chunk : s.EveryChunkSize ? std::vector<size_t>{0, 1, 2, 3, 5, 7, 64} : std::vector<size_t>{0}) {
        SCOPED_TRACE("chunk size " + std::to_string(chunk));
        Conversation c(s.Script, chunk);
        EXPECT_EQ(s.Drive(c.Cli, c.Log), s.Results);
        c.Peer.Signal("quit"); // a server that closes after QUIT's reply waits for the client to have it
        // Completions and closes that come after the last blocking call.
        PumpUntil([&] { return c.Log.Joined(s.WithStates) == s.Events; }, 2000);
        EXPECT_EQ(c.Log.Joined(s.WithStates), s.Events);
        c.Peer.Signal("end");
        EXPECT_TRUE(c.Peer.Join());
        EXPECT_EQ(c.Peer.Transcript(), s.Transcript);
    }
}

// The close after the wait bounds a client that ignores its time-out: it
// fails within seconds instead of hanging until CTest's limit.
void Greet(Pop3Peer& p) { p.Reply("+OK hi").Expect().WaitFor("end").Close(); }
void RefuseBanner(Pop3Peer& p) { p.Reply("-ERR busy").WaitFor("end"); }
std::string WithError(Sync& c, Call call) { return Calls(c, {call}).append(c.ErrorMessage()); }

const std::string Send = "state pop3WaitingResponse|display > ", Ready = "state pop3Ready|done pop3";

// TopAll over three messages: login, CAPA listing Capa, STAT.
Pop3Peer& ScriptTopAllStart(Pop3Peer& p, const std::string& Capa)
{
    return ScriptLogin(p).Expect().Send("+OK\r\n" + Capa + "\r\n.\r\n").Answer("+OK 3 900");
}
const std::string TopAllTranscript = LoginTranscript + "CAPA\r\nSTAT\r\nTOP 1 0\r\nTOP 2 0\r\nTOP 3 0\r\n";
const std::string TopAllStartEvents =
    LoginEvents + "display > CAPA|display < +OK|done pop3Capa 0|display > STAT|display < +OK 3 900|done pop3Stat 0|";
// Replies to TOP 1 0 .. TOP 3 0: lines of blanks and a dot are body lines, not
// the terminator; the second message is refused.
const std::string TopReply[] = {"+OK\r\nSubject: one\r\n .\r\n\t.\r\n. \r\n\r\n.\r\n",
                                "-ERR no such message\r\n", "+OK\r\nSubject: three\r\n..x\r\n\r\n.\r\n"};
const std::string TopEvents[] = {
    "display < +OK|msgbegin 1|msgline 1 Subject: one|msgline 1  .|msgline 1 \t.|msgline 1 . |msgline 1 |msgend 1|",
    "display < -ERR no such message|",
    "display < +OK|msgbegin 3|msgline 3 Subject: three|msgline 3 .x|msgline 3 |msgend 3|"};

// Message events carry MsgNum: "msgbegin 3", "msgline 3 text", "msgend 3".
void NumberMessageEvents(Sync& c, Pop3EventLog& log)
{
    auto add = [&c, &log](const std::string& what) { log.Lines.push_back(what + std::to_string(c.MsgNum())); };
    c.OnMessageBegin = [add](TObject*) { add("msgbegin "); };
    c.OnMessageEnd = [add](TObject*) { add("msgend "); };
    c.OnMessageLine = [&c, &log](TObject*) {
        log.Lines.push_back("msgline " + std::to_string(c.MsgNum()) + " " + c.LastResponse());
    };
}

// Login, CAPA, STAT, then TopAll with the given Pipelining.
std::string TopAllAfterLogin(Sync& c, Pop3EventLog& log, bool pipelining = true)
{
    NumberMessageEvents(c, log);
    c.SetMsgLines(0);
    c.SetPipelining(pipelining);
    std::string r = LoginThen(c, {&Sync::SyncCapa, &Sync::SyncStat});
    return r + Calls(c, {&Sync::SyncTopAll}) + c.ErrorMessage();
}

// Without PIPELINING, or with Pipelining off, every TOP waits for the reply
// before it: the displays interleave.
Scenario LockStepTopAll(const char* Name, const char* Capa, bool Pipelining)
{
    return {Name,
            [Capa](Pop3Peer& p) {
                ScriptTopAllStart(p, Capa);
                for (const std::string& reply : TopReply)
                    p.Expect().Send(reply);
                p.WaitFor("end");
            },
            [Pipelining](Sync& c, Pop3EventLog& log) { return TopAllAfterLogin(c, log, Pipelining); },
            "TTTTTF-ERR no such message", TopAllTranscript,
            TopAllStartEvents + "display > TOP 1 0|" + TopEvents[0] + "display > TOP 2 0|" + TopEvents[1] +
                "display > TOP 3 0|" + TopEvents[2] + "done pop3TopAll 500|",
            false, true};
}

const Scenario ScenarioTable[] = {
    {"FullCheck",
     [](Pop3Peer& p) {
         ScriptLogin(p).Answer("+OK 2 320").Expect().Send("+OK 2 messages\r\n1 120\r\n2\t200\r\n.\r\n").Expect();
         p.Send("+OK\r\nSubject: one\r\n..\r\n...\r\n.single\r\n\r\n.\r\n").Answer("+OK bye").WaitFor("quit").Close();
     },
     [](Sync& c, Pop3EventLog&) {
         std::string r = LoginThen(c, {&Sync::SyncStat});
         r += Nums(c.MsgCount(), c.MsgSize());
         c.SetMsgNum(0);
         r += Calls(c, {&Sync::SyncList});
         c.SetMsgNum(1);
         return r + Calls(c, {&Sync::SyncTop, &Sync::SyncQuit});
     },
     "TTTT2,320TTT", LoginTranscript + "STAT\r\nLIST\r\nTOP 1 0\r\nQUIT\r\n",
     "state pop3DnsLookup|state pop3Connecting|state pop3WaitingBanner|display < +OK hi|state pop3Connected|"
     "connected 0|" + Ready + "Connect 0|" + Send + "USER bob|display < +OK|" + Ready + "User 0|" + Send +
         "PASS ********|display < +OK|" + Ready + "Pass 0|" + Send + "STAT|display < +OK 2 320|" + Ready + "Stat 0|" +
         Send + "LIST|display < +OK 2 messages|listbegin|listline 1 120|listline 2 200|listend|" + Ready + "List 0|" +
         Send + "TOP 1 0|display < +OK|msgbegin|msgline Subject: one|msgline .|msgline ..|msgline .single|"
                "msgline |msgend|" + Ready + "Top 0|" + Send + "QUIT|display < +OK bye|" + Ready + "Quit 0|closed 0|",
     true, true},
    {"NegativeBannerClosesAndCompletesWith10004", RefuseBanner,
     [](Sync& c, Pop3EventLog&) { return WithError(c, &Sync::SyncConnect); }, "F-ERR busy", "",
     "display < -ERR busy|closed 0|done pop3Connect 10004|"},
    {"NegativeBannerInOpenEndsTheSequenceWith500", RefuseBanner,
     [](Sync& c, Pop3EventLog&) { return WithError(c, &Sync::SyncOpen); }, "F-ERR busy", "",
     "display < -ERR busy|closed 0|done pop3Open 500|"},
    {"PassRefusedInOpenGivesOneCompletion",
     [](Pop3Peer& p) { p.Reply("+OK hi").Answer("+OK").Answer("-ERR bad").WaitFor("end"); },
     [](Sync& c, Pop3EventLog& log) { return WithError(c, &Sync::SyncOpen).append(std::to_string(log.DoneCount)); },
     "F-ERR bad1", LoginTranscript,
     "display < +OK hi|connected 0|display > USER bob|display < +OK|display > PASS ********|display < -ERR bad|"
     "done pop3Open 500|"},
    {"TwoLinesInOneReadAreBothHandled", [](Pop3Peer& p) { p.Send("+OK hi\r\n+OK extra\r\n").WaitFor("end"); },
     [](Sync& c, Pop3EventLog&) { return Calls(c, {&Sync::SyncConnect}); }, "T", "",
     "display < +OK hi|connected 0|display < +OK extra|done pop3Connect 0|"},
    {"ConnectWhileConnectedIsRefusedAndKeepsTheSession", [](Pop3Peer& p) { p.Reply("+OK hi").Answer("+OK"); },
     [](Sync& c, Pop3EventLog&) { return Calls(c, {&Sync::SyncConnect, &Sync::SyncConnect, &Sync::SyncUser}); },
     "TFT", "USER bob\r\n",
     "display < +OK hi|connected 0|done pop3Connect 0|display > USER bob|display < +OK|done pop3User 0|"},
    {"CloseDuringSingleLineReplyFailsTheRequest", [](Pop3Peer& p) { p.Reply("+OK hi").Expect().Send("+O").Close(); },
     [](Sync& c, Pop3EventLog&) { return Calls(c, {&Sync::SyncConnect, &Sync::SyncUser}); }, "TF", "USER bob\r\n",
     "display < +OK hi|connected 0|done pop3Connect 0|display > USER bob|closed 0|done pop3User 10004|"},
    {"CloseDuringMultiLineReplyGivesNoEndEvent",
     [](Pop3Peer& p) { ScriptLogin(p).Expect().Send("+OK\r\nline 1\r\n").Close(); },
     [](Sync& c, Pop3EventLog&) {
         c.SetMsgNum(4);
         return LoginThen(c, {&Sync::SyncRetr});
     },
     "TTTF", LoginTranscript + "RETR 4\r\n",
     LoginEvents + "display > RETR 4|display < +OK|msgbegin|msgline line 1|closed 0|done pop3Retr 10004|"},
    {"SingleLineRepliesFillTheirProperties",
     [](Pop3Peer& p) { ScriptLogin(p).Answer("+OK 3 1200").Answer("+OK 2 QhdPYR:00WBw1Ph7x7").Answer("+OK 5"); },
     [](Sync& c, Pop3EventLog&) {
         c.SetMsgNum(3);
         std::string r = LoginThen(c, {&Sync::SyncList});
         r += Nums(c.MsgNum(), c.MsgSize());
         c.SetMsgNum(2);
         r += Calls(c, {&Sync::SyncUidl});
         r += std::to_string(c.MsgNum()) + "," + c.MsgUidl();
         r += Calls(c, {&Sync::SyncLast});
         return r + Nums(c.MsgNum(), c.MsgSize());
     },
     "TTTT3,1200T2,QhdPYR:00WBw1Ph7x7T5,0", LoginTranscript + "LIST 3\r\nUIDL 2\r\nLAST\r\n",
     LoginEvents + "display > LIST 3|display < +OK 3 1200|done pop3List 0|display > UIDL 2|"
                   "display < +OK 2 QhdPYR:00WBw1Ph7x7|done pop3Uidl 0|display > LAST|display < +OK 5|"
                   "done pop3Last 0|"},
    // RFC 1939 section 7's example.
    {"ApopSendsTheDigestOfTimestampAndSecret",
     [](Pop3Peer& p) { p.Reply("+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>").Answer("+OK"); },
     [](Sync& c, Pop3EventLog&) {
         c.SetUserName("mrose");
         c.SetPassWord("tanstaaf");
         return Calls(c, {&Sync::SyncConnect, &Sync::SyncAPop}).append(Pop3ProtocolStateName(c.ProtocolState()));
     },
     "TTpop3Transaction", "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n",
     "display < +OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>|connected 0|done pop3Connect 0|"
     "display > APOP mrose ********|display < +OK|done pop3APop 0|"},
    // RFC 2449 section 5: CAPA in either state leaves the state as it is; a
    // new reply replaces the list, and a new connection starts without one.
    {"CapaListsCapabilitiesInAnyStateAndConnectForgetsThem",
     [](Pop3Peer& p) {
         p.Reply("+OK hi").Expect().Send("+OK\r\nTOP\r\nsasl PLAIN\r\n.\r\n").Answer("+OK").Answer("+OK");
         p.Expect().Send("+OK\r\nPIPELINING\r\n.\r\n").Answer("+OK bye").WaitFor("quit").Close();
     },
     [](Sync& c, Pop3EventLog&) {
         auto caps = [&c] {
             std::string r = std::string(Pop3ProtocolStateName(c.ProtocolState())) + ":";
             for (const std::string& line : c.Capabilities())
                 r += line + ";";
             return r + (c.HasCapability("SASL") ? "sasl" : "") + (c.HasCapability("pipelining") ? "pipe" : "");
         };
         std::string r = Calls(c, {&Sync::SyncConnect, &Sync::SyncCapa});
         r += caps();
         r += Calls(c, {&Sync::SyncUser, &Sync::SyncPass, &Sync::SyncCapa});
         r += caps();
         r += Calls(c, {&Sync::SyncQuit});
         c.Abort();
         c.SetPort(std::to_string(testsupport::UnusedPort()));
         r += Calls(c, {&Sync::SyncConnect});
         return r + caps();
     },
     "TTpop3WaitingUser:TOP;sasl PLAIN;saslTTTpop3Transaction:PIPELINING;pipeTFpop3Disconnected:",
     "CAPA\r\n" + LoginTranscript + "CAPA\r\nQUIT\r\n",
     "display < +OK hi|connected 0|done pop3Connect 0|display > CAPA|display < +OK|done pop3Capa 0|"
     "display > USER bob|display < +OK|done pop3User 0|display > PASS ********|display < +OK|done pop3Pass 0|"
     "display > CAPA|display < +OK|done pop3Capa 0|display > QUIT|display < +OK bye|done pop3Quit 0|closed 0|"
     "closed 0|done pop3Connect 10061|"},
    // A server that never closes after QUIT: the client closes, so the next
    // Connect goes out (here to a port where nothing listens).
    {"QuitClosesWhenTheServerDoesNot", [](Pop3Peer& p) { p.Reply("+OK hi").Answer("+OK bye").WaitFor("end"); },
     [](Sync& c, Pop3EventLog&) {
         std::string r = Calls(c, {&Sync::SyncConnect, &Sync::SyncQuit});
         c.SetPort(std::to_string(testsupport::UnusedPort()));
         return r + WithError(c, &Sync::SyncConnect);
     },
     "TTF-ERR Connection refused (Winsock error #10061)", "QUIT\r\n",
     "display < +OK hi|connected 0|done pop3Connect 0|display > QUIT|display < +OK bye|done pop3Quit 0|closed 0|"
     "closed 0|done pop3Connect 10061|"},
    {"NestedBlockingCallsAreRefused", [](Pop3Peer& p) { ScriptLogin(p).Answer("+OK\r\nbody\r\n."); },
     [](Sync& c, Pop3EventLog& log) {
         c.OnMessageBegin = [&c, &log](TObject*) {
             try {
                 c.Stat();
             } catch (Pop3Exception& E) {
                 log.Lines.push_back("nested " + E.Message() + " " + Calls(c, {&Sync::SyncNoop}));
             }
         };
         return LoginThen(c, {&Sync::SyncRetr});
     },
     "TTTT", LoginTranscript + "RETR 0\r\n",
     LoginEvents + "display > RETR 0|display < +OK|nested POP3 component not ready F|msgline body|msgend|"
                   "done pop3Retr 0|"},
    {"SilentServerTimesOut", Greet,
     [](Sync& c, Pop3EventLog&) {
         c.SetTimeout(1);
         std::string r = Calls(c, {&Sync::SyncConnect});
         // The wait blocks instead of spinning: its second costs next to no processor time.
         const std::clock_t cpu = std::clock();
         r += WithError(c, &Sync::SyncUser);
         return r + (std::clock() - cpu < CLOCKS_PER_SEC / 4 ? " idle" : " busy");
     },
     "TF426 Timeout idle", "USER bob\r\n",
     "state pop3DnsLookup|state pop3Connecting|state pop3WaitingBanner|display < +OK hi|state pop3Connected|"
     "connected 0|state pop3Ready|done pop3Connect 0|state pop3WaitingResponse|display > USER bob|state pop3Abort|"
     "closed 0|state pop3Ready|done pop3User 10004|",
     true},
    {"TimeoutInsideOpenAbortsTheSequence", Greet,
     [](Sync& c, Pop3EventLog&) {
         c.SetTimeout(1);
         return WithError(c, &Sync::SyncOpen);
     },
     "F426 Timeout", "USER bob\r\n", "display < +OK hi|connected 0|display > USER bob|closed 0|done pop3Open 426|"},
    // The peer answers only once all three commands have arrived.
    {"TopAllPipelinesWhenTheServerAnnouncesIt",
     [](Pop3Peer& p) {
         ScriptTopAllStart(p, "PIPELINING").Expect(3).Send(TopReply[0] + TopReply[1] + TopReply[2]);
         p.Answer("+OK bye").WaitFor("end");
     },
     [](Sync& c, Pop3EventLog& log) {
         std::string r = TopAllAfterLogin(c, log);
         return r + Calls(c, {&Sync::SyncQuit});
     },
     "TTTTTF-ERR no such messageT", TopAllTranscript + "QUIT\r\n",
     TopAllStartEvents + "display > TOP 1 0|display > TOP 2 0|display > TOP 3 0|" + TopEvents[0] + TopEvents[1] +
         TopEvents[2] + "done pop3TopAll 500|display > QUIT|display < +OK bye|done pop3Quit 0|closed 0|",
     false, true},
    LockStepTopAll("TopAllWithoutPipeliningInCapaGoesLockStep", "TOP", true),
    LockStepTopAll("TopAllWithPipeliningOffGoesLockStep", "PIPELINING", false),
    {"TopAllEndsOnceWhenTheServerClosesInTheMiddle",
     [](Pop3Peer& p) { ScriptTopAllStart(p, "PIPELINING").Expect(3).Send(TopReply[0] + "+OK\r\nSubject: tw").Close(); },
     [](Sync& c, Pop3EventLog& log) { return TopAllAfterLogin(c, log); }, "TTTTTF", TopAllTranscript,
     TopAllStartEvents + "display > TOP 1 0|display > TOP 2 0|display > TOP 3 0|" + TopEvents[0] +
         "display < +OK|msgbegin 2|closed 0|done pop3TopAll 10004|",
     false, true},
    {"TopAllEndsOnceWhenTheServerResetsInTheMiddle",
     [](Pop3Peer& p) { ScriptTopAllStart(p, "PIPELINING").Expect(3).Reset(); },
     [](Sync& c, Pop3EventLog& log) { return TopAllAfterLogin(c, log); }, "TTTTTF", TopAllTranscript,
     TopAllStartEvents + "display > TOP 1 0|display > TOP 2 0|display > TOP 3 0|closed 10054|done pop3TopAll 10004|"},
    // Every reply has arrived, but nothing of the second one is handed on.
    {"TopAllAbortedByAHandlerFiresNothingAfterItsEnd",
     [](Pop3Peer& p) {
         ScriptTopAllStart(p, "PIPELINING").Expect(3).Send(TopReply[0] + TopReply[2] + TopReply[2]).WaitFor("end");
     },
     [](Sync& c, Pop3EventLog& log) {
         NumberMessageEvents(c, log);
         c.OnMessageEnd = [&c, &log](TObject*) {
             log.Lines.push_back("msgend " + std::to_string(c.MsgNum()));
             c.Abort();
         };
         return LoginThen(c, {&Sync::SyncCapa, &Sync::SyncStat, &Sync::SyncTopAll});
     },
     "TTTTTF", TopAllTranscript,
     TopAllStartEvents + "display > TOP 1 0|display > TOP 2 0|display > TOP 3 0|" + TopEvents[0] +
         "closed 0|done pop3TopAll 10004|",
     false, true},
    // Timeout is 1 s without a complete message, not for the whole request:
    // the second message comes 0.6 s after the first, then the third stalls.
    {"TopAllTimesOutOnlyWhenMessagesStopComing",
     [](Pop3Peer& p) {
         ScriptTopAllStart(p, "PIPELINING").Expect(3).Send(TopReply[0]).Sleep(600).Send(TopReply[0]).Sleep(600);
         p.Send("+OK\r\nSubject: three\r\n").WaitFor("end").Close();
     },
     [](Sync& c, Pop3EventLog& log) {
         c.SetTimeout(1);
         return TopAllAfterLogin(c, log);
     },
     "TTTTTF426 Timeout", TopAllTranscript,
     TopAllStartEvents + "display > TOP 1 0|display > TOP 2 0|display > TOP 3 0|" + TopEvents[0] +
         "display < +OK|msgbegin 2|msgline 2 Subject: one|msgline 2  .|msgline 2 \t.|msgline 2 . |msgline 2 |"
         "msgend 2|display < +OK|msgbegin 3|msgline 3 Subject: three|closed 0|done pop3TopAll 10004|"},
    {"EndOfTheApplicationEndsTheWait", Greet,
     [](Sync& c, Pop3EventLog&) {
         std::string r = Calls(c, {&Sync::SyncConnect});
         platform::Application::Terminate();
         r += WithError(c, &Sync::SyncUser);
         platform::Application::ResetTerminated();
         return r;
     },
     "TF426 Timeout", "USER bob\r\n",
     "display < +OK hi|connected 0|done pop3Connect 0|display > USER bob|closed 0|done pop3User 10004|"},
};

INSTANTIATE_TEST_SUITE_P(Pop3Session, Scenarios, testing::ValuesIn(ScenarioTable),
                         [](const auto& info) { return std::string(info.param.Name); });

// A body line longer than the receive buffer reaches the line event in
// pieces; joined they give the line, unstuffed only at its start, and no
// piece is taken for the terminator. The size is the raw line's; all dots is
// the worst case for a piece boundary.
class LongLines : public testing::TestWithParam<size_t> {};

TEST_P(LongLines, ArriveWholeWithoutStallOrDesync)
{
    const std::string dots(GetParam(), '.');
    Conversation c([&](Pop3Peer& p) {
        ScriptLogin(p).Expect().Send("+OK\r\n" + dots + "\r\nafter\r\n.\r\n").Answer("+OK 1 2");
    });
    ASSERT_EQ(LoginThen(c.Cli, {&Sync::SyncRetr, &Sync::SyncStat}), "TTTTT");
    EXPECT_EQ(Nums(c.Cli.MsgCount(), c.Cli.MsgSize()), "1,2"); // the line after the message is read on its own
    EXPECT_EQ(c.Log.Message(), (std::vector<std::string>{dots.substr(1), "after"}));
    EXPECT_EQ(c.Log.Only("msgend").size(), 1u);
    EXPECT_EQ(std::count(c.Log.Lines.begin(), c.Log.Lines.end(), "msgline "), 0); // no empty last piece
    EXPECT_TRUE(c.Peer.Join());
}

INSTANTIATE_TEST_SUITE_P(Pop3Session, LongLines, testing::Values(4093, 4094, 4095, 4096, 100000));

TEST(Pop3Connection, RefusedConnectReportsTheSocketErrorAndAllowsAnother)
{
    TSyncPop3Cli client;
    PointAt(client, testsupport::UnusedPort());
    Pop3EventLog log;
    log.Attach(client);
    EXPECT_EQ(Calls(client, {&Sync::SyncConnect, &Sync::SyncConnect}), "FF");
    PumpUntil([&] { return log.DoneCount == 2; });
    EXPECT_EQ(client.LastResponse(), "-ERR Connection refused (Winsock error #10061)");
    EXPECT_EQ(client.ErrorMessage(), client.LastResponse());
    EXPECT_EQ(log.Only("done"), (std::vector<std::string>{"done pop3Connect 10061", "done pop3Connect 10061"}));
    EXPECT_EQ(client.State(), pop3Ready);
}

// A timestamp from one server's greeting is never used for another.
TEST(Pop3Connection, ApopTimestampBelongsToOneConnection)
{
    Conversation first([](Pop3Peer& p) { p.Reply("+OK <1.2@one>").Answer("+OK bye").Close(); });
    ASSERT_EQ(Calls(first.Cli, {&Sync::SyncConnect, &Sync::SyncQuit}), "TT");
    ASSERT_TRUE(PumpUntil([&] { return !first.Log.Only("closed").empty(); })); // the first session is over
    Pop3Peer second;
    second.Reply("+OK no stamp").WaitFor("end");
    second.Start();
    PointAt(first.Cli, second.Port());
    EXPECT_EQ(Calls(first.Cli, {&Sync::SyncConnect}).append(WithError(first.Cli, &Sync::SyncAPop)),
              "TF-ERR Server do not support APOP (no timestamp)");
    second.Signal("end");
}

// The socket reports its state changes while it is destroyed; deleting a
// connected client mid-request must run no handler of the client.
TEST(Pop3Connection, DestroyingAConnectedClientFiresNothing)
{
    Pop3Peer peer;
    Greet(peer);
    peer.Start();
    Pop3EventLog log;
    {
        TSyncPop3Cli client;
        PointAt(client, peer.Port());
        ASSERT_TRUE(client.SyncConnect());
        client.User();
        log.Attach(client);
    }
    testsupport::PumpFor(20);
    EXPECT_EQ(log.Joined(), "");
    peer.Signal("end");
}

// A later step of Open that refuses to start ends the sequence with 500
// instead of leaving it open until the deadline.
TEST(Pop3Connection, RefusedLaterStepEndsTheSequence)
{
    struct NoPass : TSyncPop3Cli {
        void Pass() override { throw Pop3Exception("no PASS today"); }
    };
    Conversation<NoPass> c([](Pop3Peer& p) { p.Reply("+OK hi").Answer("+OK").WaitFor("end"); });
    EXPECT_EQ(WithError(c.Cli, &Sync::SyncOpen), "Fno PASS today");
    EXPECT_EQ(c.Cli.State(), pop3Ready);
    EXPECT_EQ(c.Log.Only("done"), std::vector<std::string>{"done pop3Open 500"});
    c.Peer.Signal("end");
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
        results = LoginThen(client, {&Sync::SyncStat});
        results += Nums(client.MsgCount(), client.MsgSize());
    });
    worker.join();
    peer.Signal("end");
    EXPECT_EQ(results, "TTTT4,99");
    EXPECT_EQ(peer.Transcript(), LoginTranscript + "STAT\r\n");
}

} // namespace
