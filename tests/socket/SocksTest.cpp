// The SOCKS client against a scripted proxy (request bytes, every failure
// code and text, one-byte replies, the bytes behind the final reply, the
// property rules) and a POP3 conversation through each real proxy.
#include "socket/WSocket.h"
#include "tests/support/Dovecot.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SocksProxies.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

using namespace std::string_literals;
using testsupport::ProxyKind;
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
const Round Method0 = {Offer0, "\x05\x00"s};
const Round Method2 = {Offer2, "\x05\x02"s};

std::string Repeat(size_t n)
{
    return std::string(n, 'h');
}

// A level 4 reply with this status.
std::string Status4(char status)
{
    return "\x00"s + status + std::string(6, '\0');
}

// A TWSocket aimed through a proxy on 127.0.0.1 that logs its events, one
// line each, and keeps what each receive took: a line in line mode, at most
// three bytes otherwise.
struct SocksClient {
    TWSocket S;
    std::string Events;
    std::vector<std::string> Pieces;
    std::string Data; // all pieces
    Integer FirstRcvdCount = -1; // RcvdCount at the first OnDataAvailable
    std::map<std::string, std::function<void()>> After; // runs once the event is logged

    SocksClient()
    {
        S.OnSocksConnected = [this](TObject*, Word e) { Log("socks connected", e); };
        S.OnSocksAuthState = [this](TObject*, TSocksAuthState a) { Log("auth", a); };
        S.OnSocksError = [this](TObject*, Integer e, const std::string& m) { Log("error", e, " " + m); };
        S.OnSessionConnected = [this](TObject*, Word e) { Log("connected", e); };
        S.OnSessionClosed = [this](TObject*, Word e) { Log("closed", e); };
        S.OnDataAvailable = [this](TObject*, Word) {
            if (FirstRcvdCount < 0)
                FirstRcvdCount = S.RcvdCount();
            char buf[3];
            const Integer n = S.LineMode() ? 0 : std::max<Integer>(S.Receive(buf, sizeof buf), 0);
            Pieces.push_back(S.LineMode() ? S.ReceiveStr() : std::string(buf, static_cast<size_t>(n)));
            Data += Pieces.back();
        };
    }
    void Aim(const std::string& proxyPort, const std::string& level, bool auth, const std::string& addr = "127.0.0.1",
             const std::string& port = "110")
    {
        S.SetSocksServer(" 127.0.0.1 ");
        S.SetSocksPort(proxyPort);
        S.SetSocksLevel(level);
        S.SetSocksUsercode("u");
        S.SetSocksPassword("pw");
        S.SetSocksAuthentication(auth ? socksAuthenticateUsercode : socksNoAuthentication);
        S.SetAddr(addr);
        S.SetPort(port);
    }
    void Log(const char* what, Integer n, const std::string& more = "")
    {
        Events += what + (" " + std::to_string(n)) + more + "\n";
        if (auto action = After.find(what); action != After.end())
            action->second();
    }
    // Whether a logged line starts with these characters.
    bool Logged(const std::string& start) const { return ("\n" + Events).find("\n" + start) != std::string::npos; }
};

// The scripted proxy: it reads each request whole and answers it at once or
// one byte per write (without Nagle's coalescing), then waits for "more".
struct ScriptedProxy : SocksClient {
    ScriptedPeer Peer;
    std::string Requests;

    ScriptedProxy(const std::vector<Round>& rounds, const std::string& level, bool auth = false,
                  bool oneByteWrites = false)
    {
        if (oneByteWrites)
            Peer.Do([](int fd) {
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            });
        for (const auto& [request, reply] : rounds) {
            Requests += request;
            Peer.Read(request.size());
            if (!oneByteWrites)
                Peer.Write(reply);
            else
                for (char c : reply)
                    Peer.Write(std::string(1, c)).Sleep(5);
        }
        Aim(Peer.PortText(), level, auth);
    }
    void Connect()
    {
        Peer.WaitFor("more");
        Peer.Start();
        S.Connect();
    }
    // Runs the negotiation until the socket is closed or connected.
    void Run()
    {
        Connect();
        ASSERT_TRUE(PumpUntil([&] { return Logged("closed ") || Logged("connected 0"); }, 10000)) << Events;
        PumpFor(30);
    }
};

// Test names and failure messages show a case by its name.
template <class Case>
    requires requires(Case c) { c.Name; }
void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.Name;
}

const auto CaseName = [](const auto& info) { return std::string(info.param.Name); };

// The events of a failed negotiation: with authentication, the failure is
// reported once more at the close.
std::string Failed(Integer code, const std::string& text, bool auth = false)
{
    const std::string n = std::to_string(code);
    return "socks connected 0\n"s + (auth ? "auth 0\nauth 2\n" : "") + "error " + n + " " + text + "\nconnected " + n +
           "\n" + (auth ? "auth 2\n" : "") + "closed " + n + "\n";
}

using Arrangement = std::function<void(ScriptedProxy&)>;

Arrangement Target(const std::string& user, const std::string& addr, const std::string& password = "pw")
{
    return [=](ScriptedProxy& p) {
        p.S.SetSocksUsercode(user);
        p.S.SetSocksPassword(password);
        p.S.SetAddr(addr);
    };
}

const std::string TooLong = "socks request too long (129 bytes, at most 128)";

// Negotiations that end in failure: the exact events, and the exact bytes of
// every request (requests that just fill the 128-byte area, or outgrow it
// by a byte and are refused before anything is sent).
struct FailureCase {
    const char* Name;
    const char* Level;
    bool Auth;
    std::vector<Round> Rounds;
    std::string Events;
    Arrangement Arrange = nullptr;
};

const FailureCase FailureCases[] = {
    {"AuthReplyTooLong", "5", true, {Method2, {AuthReq, "\x01\x00\x00"s}},
     Failed(20001, "too much data availaible", true)},
    {"MethodVersion", "5", false, {{Offer0, "\x04\x00"s}}, Failed(20002, "socks version error")},
    {"AuthVersion", "5", true, {Method2, {AuthReq, "\x05\x00"s}}, Failed(20002, "socks version error", true)},
    {"ConnectVersion", "5", false, {Method0, {Connect5, "\x04"s}}, Failed(20002, "socks version error")},
    {"Level4Version", "4", false, {{Connect4, "\x04\x5a\0\0\0\0\0\0"s}}, Failed(20002, "socks version error")},
    {"Method255", "5", false, {{Offer0, "\x05\xff"s}}, Failed(20003, "authentification method not acceptable")},
    {"Reply2", "5", false, {Method0, {Connect5, "\x05\x02"s}}, Failed(20005, "connection not allowed by ruleset")},
    {"Reply3", "5", false, {Method0, {Connect5, "\x05\x03"s}}, Failed(20006, "network unreachable")},
    {"Reply4", "5", false, {Method0, {Connect5, "\x05\x04"s}}, Failed(20007, "host unreachable")},
    // Judged as soon as two bytes are held: nothing more ever comes.
    {"Reply5", "5", false, {Method0, {Connect5, "\x05\x05"s}}, Failed(20008, "connection refused")},
    {"Reply6", "5", false, {Method0, {Connect5, "\x05\x06"s}}, Failed(20009, "time to live expired")},
    {"Reply7", "5", false, {Method0, {Connect5, "\x05\x07"s}}, Failed(20010, "command not supported")},
    {"Reply8", "5", false, {Method0, {Connect5, "\x05\x08"s}}, Failed(20011, "address type not supported")},
    {"AddressType4", "5", false, {Method0, {Connect5, "\x05\0\0\x04\0"s}}, Failed(20011, "address type not supported")},
    {"Reply9", "5", false, {Method0, {Connect5, "\x05\x09"s}}, Failed(20012, "unassigned error #9")},
    {"Level4Status93", "4", false, {{Connect4, Status4(0x5d)}}, Failed(20015, "authentification failed")},
    {"Level4AStatus92", "4A", false, {{"\x04\x01\x00\x6e\x00\x00\x00\x01u\x00" "127.0.0.1\x00"s, Status4(0x5c)}},
     Failed(20008, "connection refused")},
    {"AuthStatus", "5", true, {Method2, {AuthReq, "\x01\x02"s}}, Failed(20015, "socks authentication failed", true)},
    {"Level4AHostName", "4A", false, {{"\x04\x01\x00\x6e\x00\x00\x00\x01u\x00mail.test\x00"s, Status4(0x5b)}},
     Failed(20016, "request rejected or failed"), Target("u", "mail.test")},
    {"Level4NoUser", "4", false, {{"\x04\x01\x00\x6e\x7f\x00\x00\x01\x00"s, Status4(0x5e)}},
     Failed(20012, "unassigned error #94"), Target("", "127.0.0.1")},
    {"Level5Host121", "5", false, {Method0, {"\x05\x01\x00\x03\x79"s + Repeat(121) + "\x00\x6e"s, "\x05\x01"s}},
     Failed(20004, "general SOCKS server failure"), Target("u", Repeat(121))},
    {"Level5Host122", "5", false, {Method0}, Failed(20013, TooLong), Target("u", Repeat(122))},
    {"Level4User119", "4", false, {{"\x04\x01\x00\x6e\x7f\x00\x00\x01"s + Repeat(119) + '\0', Status4(0x5b)}},
     Failed(20016, "request rejected or failed"), Target(Repeat(119), "127.0.0.1")},
    {"Level4User120", "4", false, {}, Failed(20013, TooLong), Target(Repeat(120), "127.0.0.1")},
    {"Level4A118", "4A", false,
     {{"\x04\x01\x00\x6e\x00\x00\x00\x01"s + Repeat(100) + '\0' + Repeat(18) + '\0', Status4(0x5b)}},
     Failed(20016, "request rejected or failed"), Target(Repeat(100), Repeat(18))},
    {"Level4A119", "4A", false, {}, Failed(20013, TooLong), Target(Repeat(100), Repeat(19))},
    {"Auth125", "5", true, {Method2, {"\x01\x64"s + Repeat(100) + "\x19" + Repeat(25), "\x01\x02"s}},
     Failed(20015, "socks authentication failed", true), Target(Repeat(100), "127.0.0.1", Repeat(25))},
    {"Auth126", "5", true, {Method2},
     "socks connected 0\nauth 0\nerror 20013 " + TooLong + "\nconnected 20013\nauth 2\nclosed 20013\n",
     Target(Repeat(100), "127.0.0.1", Repeat(26))},
    {"ProxyClosesDuringAuthentication", "5", true, {Method2, {AuthReq, ""}},
     "socks connected 0\nauth 0\nauth 2\nclosed 0\n",
     [](ScriptedProxy& p) { p.Peer.Close(); }},
    {"Level4UnresolvableDestination", "4", false, {},
     "socks connected 0\nerror 20017 ESocketException WSocketResolveHost: '" + Repeat(257) +
         "' Invalid Hostname.\nclosed 20017\n",
     Target("u", Repeat(257))},
    {"ReadNotificationWithAnError", "5", false, {{Offer0, ""}},
     "socks connected 0\nerror 10053 data receive error\nconnected 10053\nclosed 10053\n",
     [](ScriptedProxy& p) {
         p.After["socks connected"] = [&p] {
             platform::PostNotification(p.S.NotifyEndpoint(), WM_ASYNCSELECT, p.S.SocketHandle(),
                                        platform::sock::FD_READ | (10053 << 16));
         };
     }},
    {"ProxyRefusesTheConnection", "5", false, {}, "socks connected 10061\nconnected 10061\nclosed 0\n",
     [](ScriptedProxy& p) { p.S.SetSocksPort(std::to_string(testsupport::UnusedPort())); }},
    {"HandlerClosesInOnSessionConnected", "5", false, {{Offer0, "\x05\xff"s}},
     "socks connected 0\nerror 20003 authentification method not acceptable\nconnected 20003\nclosed 0\n",
     [](ScriptedProxy& p) { p.After["connected"] = [&p] { p.S.Close(); }; }},
};

class SocksFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(SocksFailure, ReportsEachEventOnceAndSendsTheExactRequests)
{
    const FailureCase& c = GetParam();
    for (bool oneByte : {false, true}) {
        // An auth reply's extra byte is only seen in the read that holds it.
        if (oneByte && c.Events.find("error 20001 ") != std::string::npos)
            continue;
        SCOPED_TRACE(oneByte ? "one-byte writes" : "whole replies");
        ScriptedProxy p(c.Rounds, c.Level, c.Auth, oneByte);
        if (c.Arrange)
            c.Arrange(p);
        p.Run();
        EXPECT_EQ(p.Events, c.Events);
        EXPECT_EQ(p.Peer.Received(), p.Requests);
        EXPECT_EQ(p.S.State(), wsClosed);
        EXPECT_EQ(p.S.SocksServer(), "") << "the proxy applies to one connection";
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SocksFailure, testing::ValuesIn(FailureCases), CaseName);

struct SuccessCase {
    const char* Name;
    const char* Level;
    bool Auth;
    std::vector<Round> Rounds; // the last reply is followed by "+OK ready\r\n+OK"
    std::string AuthEvents;
};

const SuccessCase SuccessCases[] = {
    {"Level5", "5", false, {Method0, {Connect5, Granted5}}, ""},
    {"Level5Auth", "5", true, {Method2, {AuthReq, "\x01\x00"s}, {Connect5, Granted5}}, "auth 0\nauth 1\n"},
    {"Level5AuthNotNeeded", "5", true, {{Offer2, "\x05\x00"s}, {Connect5, Granted5}}, "auth 3\n"},
    // A bound name of 9 bytes makes a 16-byte reply.
    {"Level5BoundName", "5", false, {Method0, {Connect5, "\x05\x00\x00\x03\x09proxy.lan\x04\x00"s}}, ""},
    // Longer than the 128 bytes a reply area of that size could hold.
    {"Level5LongBoundName", "5", false, {Method0, {Connect5, "\x05\x00\x00\x03\xc8"s + Repeat(200) + "\x04\x00"s}}, ""},
    {"Level4", "4", false, {{Connect4, Status4(0x5a)}}, ""},
};

class SocksSuccess : public testing::TestWithParam<SuccessCase> {};

// The bytes behind the final reply come first, in receive calls of three
// bytes or, with line mode switched on in OnSessionConnected, as the first
// line and the start of the next one.
TEST_P(SocksSuccess, ConnectsAndDeliversTheBytesBehindTheReply)
{
    const SuccessCase& c = GetParam();
    for (bool lineMode : {false, true}) {
        for (bool oneByte : {false, true}) {
            SCOPED_TRACE(std::string(lineMode ? "line mode, " : "") + (oneByte ? "one-byte writes" : "whole replies"));
            std::vector<Round> rounds = c.Rounds;
            rounds.back().second += "+OK ready\r\n+OK";
            ScriptedProxy p(rounds, c.Level, c.Auth, oneByte);
            if (lineMode)
                p.After["connected"] = [&p] { p.S.SetLineMode(true); };
            p.Peer.WaitFor("more").Write(" more\r\n");
            p.Run();
            p.Peer.Signal("more");
            ASSERT_TRUE(PumpUntil([&] { return p.Data.size() >= 21; })) << p.Data;
            const std::vector<std::string> lines = {"+OK ready\r\n", "+OK more\r\n"};
            EXPECT_EQ(lineMode ? p.Pieces : lines, lines) << "one line per call";
            EXPECT_EQ(p.Data, "+OK ready\r\n+OK more\r\n");
            if (!oneByte) {
                EXPECT_EQ(p.FirstRcvdCount, lineMode ? 11 : 14) << "the line, or all bytes behind the reply";
            }
            EXPECT_EQ(p.Events, "socks connected 0\n" + c.AuthEvents + "connected 0\n");
            EXPECT_EQ(p.Peer.Received(), p.Requests);
            EXPECT_EQ(p.S.SocksLeftoverCount(), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SocksSuccess, testing::ValuesIn(SuccessCases), CaseName);

std::string ErrorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ESocketException& e) {
        return e.Message();
    }
    return "";
}

TEST(SocksProperties, WriteRulesAndWhatACloseClears)
{
    ScriptedProxy p({{Offer0, ""}}, "4a");
    EXPECT_EQ(p.S.SocksLevel() + "|" + p.S.SocksServer(), "4A|127.0.0.1");
    EXPECT_EQ(ErrorOf([&] { p.S.SetSocksLevel("4b"); }), "Invalid socks level. Must be 4, 4A or 5.");
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
    EXPECT_EQ(p.S.SocksServer() + "|" + p.S.SocksPort() + "|" + p.S.SocksLevel() + "|" + p.S.SocksUsercode() + "|" +
                  p.S.SocksPassword(),
              "||5|u|pw");
    // A new proxy is resolved again, not taken over from the last Connect.
    p.S.SetSocksServer("127.0.0.1");
    EXPECT_EQ(ErrorOf([&] { p.S.Connect(); }), "connect: WSocketResolvePort: Invalid Port.");
    // A Connect that stops after resolving the proxy leaves nothing armed:
    // without a proxy the next one goes direct, to its own port.
    ScriptedPeer direct;
    direct.Write("direct\r\n").Start();
    p.S.SetSocksPort(p.Peer.PortText());
    p.S.SetPort(direct.PortText());
    EXPECT_EQ(ErrorOf([&] { p.S.Connect(); }), "Connect: No IP Address Specified");
    p.S.SetSocksServer("");
    p.S.SetAddr("127.0.0.1");
    p.S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return p.Data == "direct\r\n"; })) << p.Data << p.Events;
}

struct ProxyCase {
    const char* Name;
    ProxyKind Kind;
    const char* Level;
    bool Auth;        // microsocks then asks for user "u", password "pw"
    const char* Addr; // SOCKS 4A hands the name to the proxy
};

const ProxyCase ProxyCases[] = {
    {"Microsocks5", ProxyKind::Microsocks, "5", false, "127.0.0.1"},
    {"Microsocks5Auth", ProxyKind::Microsocks, "5", true, "127.0.0.1"},
    {"Dante4", ProxyKind::Dante, "4", false, "127.0.0.1"},
    {"Dante5", ProxyKind::Dante, "5", false, "127.0.0.1"},
    {"Twisted4", ProxyKind::Twisted, "4", false, "127.0.0.1"},
    {"Twisted4A", ProxyKind::Twisted, "4A", false, "localhost"},
};

class RealProxy : public testing::TestWithParam<ProxyCase> {};

// Line mode goes on once the proxy has connected the destination (before
// that the proxy's replies would be taken as lines).
TEST_P(RealProxy, CarriesAPop3ConversationWithDovecotInLineMode)
{
    const ProxyCase& c = GetParam();
    testsupport::Dovecot dovecot;
    testsupport::SocksProxy proxy(c.Kind, c.Auth ? "u" : "", "pw");
    SocksClient client;
    client.Aim(proxy.PortText(), c.Level, c.Auth, c.Addr, dovecot.PortText());
    client.After["connected"] = [&client] { client.S.SetLineMode(true); };
    client.S.Connect();
    for (const std::string& command : {"USER " + dovecot.User(), "PASS " + dovecot.Password(), "QUIT"s, ""s}) {
        const size_t have = client.Pieces.size();
        ASSERT_TRUE(PumpUntil([&] { return client.Pieces.size() > have; })) << client.Events << proxy.Output();
        if (!command.empty())
            client.S.SendStr(command + "\r\n");
    }
    ASSERT_TRUE(PumpUntil([&] { return client.S.State() == wsClosed; })) << client.Events;
    ASSERT_EQ(client.Pieces.size(), 4u);
    EXPECT_EQ(client.Pieces[0].substr(0, 4), "+OK ");
    EXPECT_EQ(std::vector<std::string>(client.Pieces.begin() + 1, client.Pieces.end()),
              (std::vector<std::string>{"+OK\r\n", "+OK Logged in.\r\n", "+OK Logging out.\r\n"}));
    EXPECT_EQ(client.Events, "socks connected 0\n"s + (c.Auth ? "auth 0\nauth 1\n" : "") + "connected 0\nclosed 0\n");
}

INSTANTIATE_TEST_SUITE_P(Table, RealProxy, testing::ValuesIn(ProxyCases), CaseName);

TEST(RealProxyAuth, WrongPasswordIsRefused)
{
    testsupport::SocksProxy proxy(ProxyKind::Microsocks, "u", "right");
    ScriptedPeer peer;
    peer.Start();
    SocksClient client;
    client.Aim(proxy.PortText(), "5", true, "127.0.0.1", peer.PortText());
    client.S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return client.S.State() == wsClosed; })) << client.Events;
    EXPECT_EQ(client.Events, "socks connected 0\nauth 0\nauth 2\nerror 20015 socks authentication failed\n"
                             "connected 20015\nauth 2\nclosed 20015\n");
    EXPECT_FALSE(peer.Accepted()) << "the proxy never reached the destination";
}

} // namespace
