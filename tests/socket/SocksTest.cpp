// The SOCKS client against a scripted proxy: the exact request bytes it
// sends, every failure code and text, replies cut into one-byte reads, the
// bytes behind the final reply, and the property rules.
#include "socket/WSocket.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using namespace std::string_literals;
using testsupport::PumpFor;
using testsupport::PumpUntil;
using testsupport::ScriptedPeer;

namespace {

// One round of the negotiation: the request the proxy expects, then its reply.
using Round = std::pair<std::string, std::string>;

// Requests for destination 127.0.0.1 port 110, user "u", password "pw".
const std::string Offer0 = "\x05\x01\x00"s;
const std::string Offer2 = "\x05\x01\x02"s;
const std::string AuthReq = "\x01\x01u\x02pw"s;
const std::string Connect5 = "\x05\x01\x00\x03\x09" "127.0.0.1" "\x00\x6e"s;
const std::string Connect4 = "\x04\x01\x00\x6e\x7f\x00\x00\x01u\x00"s;
const std::string Granted5 = "\x05\x00\x00\x01\x7f\x00\x00\x01\x04\x00"s;

std::string Repeat(size_t n)
{
    return std::string(n, 'h');
}

// The scripted proxy shared by every case: it plays the rounds (reading each
// request whole, answering it all at once or one byte per read), and a
// TWSocket aimed through it records its events in order.
struct ScriptedProxy {
    ScriptedPeer Peer;
    TWSocket S;
    std::vector<std::string> Events;
    std::string Requests;
    std::string Data;

    ScriptedProxy(const std::vector<Round>& rounds, const std::string& level, bool auth = false,
                  bool oneByteReads = false)
    {
        for (const auto& [request, reply] : rounds) {
            Requests += request;
            Peer.Read(request.size());
            if (!oneByteReads)
                Peer.Write(reply);
            else
                for (char c : reply)
                    Peer.Write(std::string(1, c)).Sleep(5);
        }
        S.OnSocksConnected = [this](TObject*, Word e) { Log("socks connected " + std::to_string(e)); };
        S.OnSocksAuthState = [this](TObject*, TSocksAuthState a) { Log("auth " + std::to_string(a)); };
        S.OnSocksError = [this](TObject*, Integer e, const std::string& m) {
            Log("error " + std::to_string(e) + " " + m);
        };
        S.OnSessionConnected = [this](TObject*, Word e) { Log("connected " + std::to_string(e)); };
        S.OnSessionClosed = [this](TObject*, Word e) { Log("closed " + std::to_string(e)); };
        S.OnDataAvailable = [this](TObject*, Word) {
            char buf[3];
            Integer n = S.Receive(buf, sizeof buf);
            if (n > 0)
                Data.append(buf, static_cast<size_t>(n));
        };
        S.SetSocksServer(" 127.0.0.1 ");
        S.SetSocksPort(Peer.PortText());
        S.SetSocksLevel(level);
        S.SetSocksUsercode("u");
        S.SetSocksPassword("pw");
        S.SetSocksAuthentication(auth ? socksAuthenticateUsercode : socksNoAuthentication);
        S.SetAddr("127.0.0.1");
        S.SetPort("110");
    }
    ~ScriptedProxy() { Peer.Signal("end"); }

    void Log(const std::string& line) { Events.push_back(line); }
    bool Has(const std::string& line) const { return std::find(Events.begin(), Events.end(), line) != Events.end(); }
    bool HasPrefix(const std::string& prefix) const
    {
        return std::any_of(Events.begin(), Events.end(), [&](const auto& e) { return e.rfind(prefix, 0) == 0; });
    }
    std::string Transcript() const
    {
        std::string out;
        for (const auto& e : Events)
            out += e + "\n";
        return out;
    }
    // Starts the proxy, with any steps added to its script meanwhile, and
    // connects through it.
    void Connect()
    {
        Peer.WaitFor("end");
        Peer.Start();
        S.Connect();
    }
    // Runs the negotiation until the socket is closed or connected.
    void Run()
    {
        Connect();
        ASSERT_TRUE(PumpUntil([&] { return HasPrefix("closed ") || Has("connected 0"); }, 10000)) << Transcript();
        PumpFor(30);
    }
};

struct FailureCase {
    const char* Name;
    const char* Level;
    bool Auth;
    std::vector<Round> Rounds;
    Integer Code;
    std::string Text;
};

const FailureCase FailureCases[] = {
    {"AuthReplyTooLong", "5", true, {{Offer2, "\x05\x02"s}, {AuthReq, "\x01\x00\x00"s}}, 20001,
     "too much data availaible"},
    {"MethodVersion", "5", false, {{Offer0, "\x04\x00"s}}, 20002, "socks version error"},
    {"AuthVersion", "5", true, {{Offer2, "\x05\x02"s}, {AuthReq, "\x05\x00"s}}, 20002, "socks version error"},
    {"ConnectVersion", "5", false, {{Offer0, "\x05\x00"s}, {Connect5, "\x04"s}}, 20002, "socks version error"},
    {"Level4Version", "4", false, {{Connect4, "\x04\x5a\x00\x00\x00\x00\x00\x00"s}}, 20002, "socks version error"},
    {"Method255", "5", false, {{Offer0, "\x05\xff"s}}, 20003, "authentification method not acceptable"},
    {"Reply1", "5", false, {{Offer0, "\x05\x00"s}, {Connect5, "\x05\x01"s}}, 20004, "general SOCKS server failure"},
    {"Reply2", "5", false, {{Offer0, "\x05\x00"s}, {Connect5, "\x05\x02"s}}, 20005, "connection not allowed by ruleset"},
    {"Reply3", "5", false, {{Offer0, "\x05\x00"s}, {Connect5, "\x05\x03"s}}, 20006, "network unreachable"},
    {"Reply4", "5", false, {{Offer0, "\x05\x00"s}, {Connect5, "\x05\x04"s}}, 20007, "host unreachable"},
    // Judged as soon as two bytes are held: nothing more ever comes.
    {"Reply5", "5", false, {{Offer0, "\x05\x00"s}, {Connect5, "\x05\x05"s}}, 20008, "connection refused"},
    {"Reply6", "5", false, {{Offer0, "\x05\x00"s}, {Connect5, "\x05\x06"s}}, 20009, "time to live expired"},
    {"Reply7", "5", false, {{Offer0, "\x05\x00"s}, {Connect5, "\x05\x07"s}}, 20010, "command not supported"},
    {"Reply8", "5", false, {{Offer0, "\x05\x00"s}, {Connect5, "\x05\x08"s}}, 20011, "address type not supported"},
    {"AddressType4", "5", false, {{Offer0, "\x05\x00"s}, {Connect5, "\x05\x00\x00\x04\x00"s}}, 20011,
     "address type not supported"},
    {"Reply9", "5", false, {{Offer0, "\x05\x00"s}, {Connect5, "\x05\x09"s}}, 20012, "unassigned error #9"},
    {"Level4Status94", "4", false, {{Connect4, "\x00\x5e\x00\x00\x00\x00\x00\x00"s}}, 20012, "unassigned error #94"},
    {"Level4Status93", "4", false, {{Connect4, "\x00\x5d\x00\x00\x00\x00\x00\x00"s}}, 20015, "authentification failed"},
    {"Level4Status92", "4A", false,
     {{"\x04\x01\x00\x6e\x00\x00\x00\x01u\x00" "127.0.0.1\x00"s, "\x00\x5c\x00\x00\x00\x00\x00\x00"s}}, 20008,
     "connection refused"},
    {"Level4Status91", "4", false, {{Connect4, "\x00\x5b\x00\x00\x00\x00\x00\x00"s}}, 20016,
     "request rejected or failed"},
    {"AuthStatus", "5", true, {{Offer2, "\x05\x02"s}, {AuthReq, "\x01\x02"s}}, 20015, "socks authentication failed"},
};

// Test names and failure messages show a case by its name.
template <class Case>
    requires requires(Case c) { c.Name; }
void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.Name;
}

class SocksFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(SocksFailure, ReportsCodeAndTextThenConnectedAndClosedWithTheCode)
{
    const FailureCase& c = GetParam();
    for (bool oneByte : {false, true}) {
        ScriptedProxy p(c.Rounds, c.Level, c.Auth, oneByte);
        p.Run();
        const std::string code = std::to_string(c.Code);
        // The authentication states are followed by SocksAuth below.
        std::vector<std::string> events;
        for (const auto& e : p.Events)
            if (e.rfind("auth ", 0) != 0)
                events.push_back(e);
        EXPECT_EQ(events, (std::vector<std::string>{"socks connected 0", "error " + code + " " + c.Text,
                                                    "connected " + code, "closed " + code}))
            << p.Transcript();
        EXPECT_EQ(p.Peer.Received(), p.Requests) << "one-byte reads: " << oneByte;
        EXPECT_EQ(p.S.State(), wsClosed);
        EXPECT_EQ(p.S.SocksServer(), "") << "the proxy applies to one connection";
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SocksFailure, testing::ValuesIn(FailureCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(SocksAuth, FailedAuthenticationReportsFailedTwice)
{
    ScriptedProxy p({{Offer2, "\x05\x02"s}, {AuthReq, "\x01\x02"s}}, "5", true);
    p.Run();
    EXPECT_EQ(p.Transcript(), "socks connected 0\nauth 0\nauth 2\nerror 20015 socks authentication failed\n"
                              "connected 20015\nauth 2\nclosed 20015\n");
}

TEST(SocksAuth, ProxyClosingDuringAuthenticationReportsFailedOnce)
{
    ScriptedProxy p({{Offer2, "\x05\x02"s}}, "5", true);
    p.Peer.Read(AuthReq.size()).Close();
    p.Connect();
    ASSERT_TRUE(PumpUntil([&] { return p.Has("closed 0"); })) << p.Transcript();
    EXPECT_EQ(p.Transcript(), "socks connected 0\nauth 0\nauth 2\nclosed 0\n");
}

// Level, authentication, the proxy's answers, the auth states seen.
struct SuccessCase {
    const char* Name;
    const char* Level;
    bool Auth;
    std::vector<Round> Rounds;
    std::string AuthEvents;
};

const SuccessCase SuccessCases[] = {
    {"Level5", "5", false, {{Offer0, "\x05\x00"s}, {Connect5, Granted5 + "+OK ready\r\n"}}, ""},
    {"Level5Auth", "5", true, {{Offer2, "\x05\x02"s}, {AuthReq, "\x01\x00"s}, {Connect5, Granted5 + "+OK ready\r\n"}},
     "auth 0\nauth 1\n"},
    {"Level5AuthNotNeeded", "5", true, {{Offer2, "\x05\x00"s}, {Connect5, Granted5 + "+OK ready\r\n"}}, "auth 3\n"},
    // A bound name of 9 bytes makes a 16-byte reply.
    {"Level5BoundName", "5", false,
     {{Offer0, "\x05\x00"s}, {Connect5, "\x05\x00\x00\x03\x09proxy.lan\x04\x00+OK ready\r\n"s}}, ""},
    // Longer than the 128 bytes a reply area of that size could hold.
    {"Level5LongBoundName", "5", false,
     {{Offer0, "\x05\x00"s}, {Connect5, "\x05\x00\x00\x03\xc8"s + Repeat(200) + "\x04\x00+OK ready\r\n"s}}, ""},
    {"Level4", "4", false, {{Connect4, "\x00\x5a\x00\x00\x00\x00\x00\x00+OK ready\r\n"s}}, ""},
};

class SocksSuccess : public testing::TestWithParam<SuccessCase> {};

// Bytes behind the final reply reach the application before anything later
// from the kernel, through receive calls of three bytes.
TEST_P(SocksSuccess, ConnectsAndDeliversTheBytesBehindTheReply)
{
    const SuccessCase& c = GetParam();
    for (bool oneByte : {false, true}) {
        ScriptedProxy p(c.Rounds, c.Level, c.Auth, oneByte);
        p.Peer.Write("+OK more\r\n");
        p.Run();
        ASSERT_TRUE(PumpUntil([&] { return p.Data.size() >= 21; })) << p.Data;
        EXPECT_EQ(p.Data, "+OK ready\r\n+OK more\r\n");
        EXPECT_EQ(p.Transcript(), "socks connected 0\n" + c.AuthEvents + "connected 0\n");
        EXPECT_EQ(p.Peer.Received(), p.Requests);
        EXPECT_EQ(p.S.SocksPhase(), 0);
        EXPECT_EQ(p.S.SocksLeftoverCount(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SocksSuccess, testing::ValuesIn(SuccessCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(SocksLeftover, FirstReceiveAndRcvdCountServeTheBytesBehindTheReply)
{
    ScriptedProxy p({{Offer0, "\x05\x00"s}, {Connect5, Granted5 + "abcdef"}}, "5");
    std::string first;
    Integer counted = -1;
    p.S.OnDataAvailable = [&](TObject*, Word) {
        if (!first.empty())
            return;
        counted = p.S.RcvdCount();
        first = p.S.ReceiveStr();
    };
    p.Run();
    ASSERT_TRUE(PumpUntil([&] { return !first.empty(); }));
    EXPECT_EQ(counted, 6);
    EXPECT_EQ(first, "abcdef");
}

// Line mode switched on in OnSessionConnected takes the bytes behind the
// reply as its first line, also when a line is split between them and the
// next arrival.
TEST(SocksLeftover, LineModeTakesTheBytesBehindTheReplyAsLines)
{
    for (bool oneByte : {false, true}) {
        ScriptedProxy p({{Offer0, "\x05\x00"s}, {Connect5, Granted5 + "+OK ready\r\n+OK"}}, "5", false, oneByte);
        p.Peer.Write(" more\r\n");
        std::vector<std::string> lines;
        p.S.OnSessionConnected = [&](TObject*, Word e) {
            p.Log("connected " + std::to_string(e));
            p.S.SetLineMode(true);
        };
        p.S.OnDataAvailable = [&](TObject*, Word) { lines.push_back(p.S.ReceiveStr()); };
        p.Run();
        ASSERT_TRUE(PumpUntil([&] { return lines.size() >= 2; }));
        EXPECT_EQ(lines, (std::vector<std::string>{"+OK ready\r\n", "+OK more\r\n"}));
    }
}

// The level 4A and 4 requests byte for byte, and every request that just
// fills the 128-byte area or overflows it by one byte.
struct RequestCase {
    const char* Name;
    const char* Level;
    bool Auth;
    std::string User, Password, Addr;
    std::vector<Round> Rounds; // the last request is the one under test
    Integer Code;              // 0: sent; else the refusal
};

const RequestCase RequestCases[] = {
    {"Level4AHostName", "4A", false, "u", "", "mail.test",
     {{"\x04\x01\x00\x6e\x00\x00\x00\x01u\x00mail.test\x00"s, ""}}, 0},
    {"Level4NoUser", "4", false, "", "", "127.0.0.1", {{"\x04\x01\x00\x6e\x7f\x00\x00\x01\x00"s, ""}}, 0},
    {"Level5Host121", "5", false, "", "", Repeat(121),
     {{Offer0, "\x05\x00"s}, {"\x05\x01\x00\x03\x79"s + Repeat(121) + "\x00\x6e"s, ""}}, 0},
    {"Level5Host122", "5", false, "", "", Repeat(122), {{Offer0, "\x05\x00"s}}, 20013},
    {"Level4User119", "4", false, Repeat(119), "", "127.0.0.1",
     {{"\x04\x01\x00\x6e\x7f\x00\x00\x01"s + Repeat(119) + '\0', ""}}, 0},
    {"Level4User120", "4", false, Repeat(120), "", "127.0.0.1", {}, 20013},
    {"Level4A118", "4A", false, Repeat(100), "", Repeat(18),
     {{"\x04\x01\x00\x6e\x00\x00\x00\x01"s + Repeat(100) + '\0' + Repeat(18) + '\0', ""}}, 0},
    {"Level4A119", "4A", false, Repeat(100), "", Repeat(19), {}, 20013},
    {"Auth125", "5", true, Repeat(100), Repeat(25), "127.0.0.1",
     {{Offer2, "\x05\x02"s}, {"\x01\x64"s + Repeat(100) + "\x19" + Repeat(25), ""}}, 0},
    {"Auth126", "5", true, Repeat(100), Repeat(26), "127.0.0.1", {{Offer2, "\x05\x02"s}}, 20013},
};

class SocksRequest : public testing::TestWithParam<RequestCase> {};

TEST_P(SocksRequest, IsSentWholeOrRefusedWhenItOutgrowsTheArea)
{
    const RequestCase& c = GetParam();
    ScriptedProxy p(c.Rounds, c.Level, c.Auth);
    p.S.SetSocksUsercode(c.User);
    p.S.SetSocksPassword(c.Password);
    p.S.SetAddr(c.Addr);
    p.Connect();
    if (c.Code == 0) {
        ASSERT_TRUE(PumpUntil([&] { return p.Peer.Received().size() == p.Requests.size(); }));
        EXPECT_EQ(p.Peer.Received(), p.Requests);
        EXPECT_FALSE(p.Has("connected 0")) << "no reply yet";
        return;
    }
    ASSERT_TRUE(PumpUntil([&] { return p.Has("closed 20013"); })) << p.Transcript();
    EXPECT_TRUE(p.Has("connected 20013"));
    EXPECT_TRUE(p.HasPrefix("error 20013 socks request too long (")) << p.Transcript();
    PumpFor(30);
    EXPECT_EQ(p.Peer.Received(), p.Requests) << "nothing of the refused request on the wire";
}

INSTANTIATE_TEST_SUITE_P(Table, SocksRequest, testing::ValuesIn(RequestCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(SocksLevel4, UnresolvableDestinationFails20017WithoutSessionConnected)
{
    ScriptedProxy p({}, "4");
    p.S.SetAddr(Repeat(257)); // refused by the resolver without a look-up
    p.Connect();
    ASSERT_TRUE(PumpUntil([&] { return p.Has("closed 20017"); })) << p.Transcript();
    EXPECT_EQ(p.Transcript(), "socks connected 0\nerror 20017 ESocketException WSocketResolveHost: '" + Repeat(257) +
                                  "' Invalid Hostname.\nclosed 20017\n");
}

TEST(SocksErrors, ReadNotificationWithAnErrorFailsTheNegotiation)
{
    ScriptedProxy p({{Offer0, ""}}, "5");
    p.Connect();
    ASSERT_TRUE(PumpUntil([&] { return p.Peer.Received() == Offer0; }));
    platform::PostNotification(p.S.NotifyEndpoint(), WM_ASYNCSELECT, p.S.SocketHandle(),
                               platform::sock::FD_READ | (10053 << 16));
    ASSERT_TRUE(PumpUntil([&] { return p.Has("closed 10053"); })) << p.Transcript();
    EXPECT_EQ(p.Transcript(), "socks connected 0\nerror 10053 data receive error\nconnected 10053\nclosed 10053\n");
}

TEST(SocksErrors, RefusedProxyConnectionReportsToBothEvents)
{
    ScriptedProxy p({}, "5");
    p.S.SetSocksPort(std::to_string(testsupport::UnusedPort()));
    p.Connect();
    ASSERT_TRUE(PumpUntil([&] { return p.S.State() == wsClosed; }));
    EXPECT_EQ(p.Transcript(), "socks connected 10061\nconnected 10061\nclosed 0\n");
}

TEST(SocksErrors, HandlerClosingInOnSessionConnectedGetsOneClose)
{
    ScriptedProxy p({{Offer0, "\x05\xff"s}}, "5");
    p.S.OnSessionConnected = [&](TObject*, Word e) {
        p.Log("connected " + std::to_string(e));
        p.S.Close();
    };
    p.Run();
    EXPECT_EQ(p.Transcript(),
              "socks connected 0\nerror 20003 authentification method not acceptable\nconnected 20003\nclosed 0\n");
}

std::string ErrorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ESocketException& e) {
        return e.Message();
    }
    return "";
}

TEST(SocksProperties, WriteRulesAndDefaults)
{
    ScriptedProxy p({{Offer0, ""}}, "4a");
    EXPECT_EQ(p.S.SocksLevel(), "4A");
    EXPECT_EQ(p.S.SocksServer(), "127.0.0.1");
    EXPECT_EQ(ErrorOf([&] { p.S.SetSocksLevel("4b"); }), "Invalid socks level. Must be 4, 4A or 5.");
    EXPECT_EQ(p.S.SocksLevel(), "4A");
    EXPECT_EQ(ErrorOf([&] { p.S.Listen(); }), "listening is not supported thru socks server");
    p.S.SetProto("udp");
    EXPECT_EQ(ErrorOf([&] { p.S.Connect(); }), "tcp is the only protocol supported thru socks server");
    p.S.SetProto("tcp");
    p.S.SetSocksLevel("5");
    p.Connect();
    ASSERT_TRUE(PumpUntil([&] { return p.Peer.Received() == Offer0; }));
    EXPECT_EQ(ErrorOf([&] { p.S.SetSocksServer("x"); }), "Can't change socks server if not closed");
    EXPECT_EQ(ErrorOf([&] { p.S.SetSocksPort("1"); }), "Can't change socks port if not closed");
    EXPECT_EQ(ErrorOf([&] { p.S.SetSocksLevel("4"); }), "Can't change socks level if not closed");
    EXPECT_EQ(ErrorOf([&] { p.S.Connect(); }), "Connect: Socket already in use");
    EXPECT_EQ(p.S.SocksPhase(), 1) << "a refused Connect leaves the negotiation alone";
    p.S.Close();
    EXPECT_EQ(p.S.SocksServer(), "");
    EXPECT_EQ(p.S.SocksPort(), "");
    EXPECT_EQ(p.S.SocksLevel(), "5");
    EXPECT_EQ(p.S.SocksUsercode(), "u");
    EXPECT_EQ(p.S.SocksPassword(), "pw");
    p.S.SetSocksServer("127.0.0.1");
    p.S.SetAddr("127.0.0.1");
    p.S.SetPort("110");
    EXPECT_EQ(ErrorOf([&] { p.S.Connect(); }), "connect: WSocketResolvePort: Invalid Port.");
}

TEST(SocksProperties, ClearingTheProxyAfterAStoppedConnectGoesDirectToPort)
{
    ScriptedProxy p({}, "5");
    ScriptedPeer direct;
    direct.Write("direct\r\n").WaitFor("end");
    direct.Start();
    p.S.SetPort(direct.PortText());
    p.S.SetAddr("");
    EXPECT_EQ(ErrorOf([&] { p.S.Connect(); }), "Connect: No IP Address Specified");
    p.S.SetSocksServer("");
    p.S.SetAddr("127.0.0.1");
    p.S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return p.Data == "direct\r\n"; })) << p.Data << p.Transcript();
    EXPECT_FALSE(p.Peer.Accepted());
    direct.Signal("end");
}

TEST(SocksProperties, PublishedAfterLingerTimeout)
{
    TWSocket s;
    const TStrings& names = TWSocket::PublishedProperties();
    auto at = std::find(names.begin(), names.end(), "LingerTimeout");
    ASSERT_NE(at, names.end());
    EXPECT_EQ(TStrings(at + 1, at + 7), (TStrings{"SocksServer", "SocksPort", "SocksLevel", "SocksUsercode",
                                                   "SocksPassword", "SocksAuthentication"}));
    s.SetPropertyByName("SocksAuthentication", "socksAuthenticateUsercode");
    s.SetPropertyByName("SocksLevel", "4a");
    EXPECT_EQ(s.SocksAuthentication(), socksAuthenticateUsercode);
    EXPECT_EQ(s.GetPropertyByName("SocksLevel"), "4A");
    EXPECT_THROW(s.SetPropertyByName("SocksAuthentication", "none"), ESocketException);
}

} // namespace
