// The SOCKS client through real proxies started on 127.0.0.1: a POP3
// conversation with a local Dovecot through each proxy and level, and a
// refused password.
#include "socket/WSocket.h"
#include "tests/support/Dovecot.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/SocksProxies.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

using testsupport::ProxyKind;
using testsupport::PumpUntil;
using testsupport::ScriptedPeer;
using testsupport::SocksProxy;

namespace {

struct ProxyCase {
    const char* Name;
    ProxyKind Kind;
    const char* Level;
    const char* User; // microsocks asks for it when set
    const char* Addr; // SOCKS 4A hands the name to the proxy
};

const ProxyCase ProxyCases[] = {
    {"Microsocks5", ProxyKind::Microsocks, "5", "", "127.0.0.1"},
    {"Microsocks5Auth", ProxyKind::Microsocks, "5", "qb", "127.0.0.1"},
    {"Dante4", ProxyKind::Dante, "4", "", "127.0.0.1"},
    {"Dante5", ProxyKind::Dante, "5", "", "127.0.0.1"},
    {"Twisted4", ProxyKind::Twisted, "4", "", "127.0.0.1"},
    {"Twisted4A", ProxyKind::Twisted, "4A", "", "localhost"},
};

// A socket aimed through the proxy at addr:port, logging its events.
struct ProxiedClient {
    TWSocket S;
    std::string Events;
    std::string Data;

    ProxiedClient(const SocksProxy& proxy, const ProxyCase& c, const std::string& password, uint16_t port)
    {
        S.OnSocksAuthState = [this](TObject*, TSocksAuthState a) { Events += "auth " + std::to_string(a) + "\n"; };
        S.OnSocksError = [this](TObject*, Integer e, const std::string& m) {
            Events += "error " + std::to_string(e) + " " + m + "\n";
        };
        S.OnSessionConnected = [this](TObject*, Word e) { Events += "connected " + std::to_string(e) + "\n"; };
        S.OnSessionClosed = [this](TObject*, Word e) { Events += "closed " + std::to_string(e) + "\n"; };
        S.OnDataAvailable = [this](TObject*, Word) { Data += S.ReceiveStr(); };
        S.SetSocksServer("127.0.0.1");
        S.SetSocksPort(proxy.PortText());
        S.SetSocksLevel(c.Level);
        if (*c.User) {
            S.SetSocksAuthentication(socksAuthenticateUsercode);
            S.SetSocksUsercode(c.User);
            S.SetSocksPassword(password);
        }
        S.SetAddr(c.Addr);
        S.SetPort(std::to_string(port));
        S.Connect();
    }
};

// Test names and failure messages show a case by its name.
template <class Case>
    requires requires(Case c) { c.Name; }
void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.Name;
}

class RealProxy : public testing::TestWithParam<ProxyCase> {};

// Line mode goes on once the proxy has connected the destination (before
// that the proxy's replies would be taken as lines); each OnDataAvailable
// then hands over one whole line.
TEST_P(RealProxy, CarriesAPop3ConversationWithDovecotInLineMode)
{
    const ProxyCase& c = GetParam();
    testsupport::Dovecot dovecot;
    SocksProxy proxy(c.Kind, c.User, "tqrnbzxa");
    ProxiedClient client(proxy, c, "tqrnbzxa", dovecot.Port());
    std::deque<std::string> lines;
    client.S.OnSessionConnected = [&](TObject*, Word e) {
        client.Events += "connected " + std::to_string(e) + "\n";
        client.S.SetLineMode(true);
    };
    client.S.OnDataAvailable = [&](TObject*, Word) { lines.push_back(client.S.ReceiveStr()); };
    auto nextLine = [&] {
        std::string line;
        if (PumpUntil([&] { return !lines.empty(); })) {
            line = lines.front();
            lines.pop_front();
        }
        return line;
    };
    EXPECT_EQ(nextLine().substr(0, 4), "+OK ") << client.Events << proxy.Output();
    client.S.SendStr("USER " + dovecot.User() + "\r\n");
    EXPECT_EQ(nextLine(), "+OK\r\n");
    client.S.SendStr("PASS " + dovecot.Password() + "\r\n");
    EXPECT_EQ(nextLine(), "+OK Logged in.\r\n");
    client.S.SendStr("QUIT\r\n");
    EXPECT_EQ(nextLine(), "+OK Logging out.\r\n");
    ASSERT_TRUE(PumpUntil([&] { return client.S.State() == wsClosed; })) << client.Events;
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(client.Events, std::string(*c.User ? "auth 0\nauth 1\n" : "") + "connected 0\nclosed 0\n");
}

INSTANTIATE_TEST_SUITE_P(Table, RealProxy, testing::ValuesIn(ProxyCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(RealProxyAuth, WrongPasswordIsRefused)
{
    SocksProxy proxy(ProxyKind::Microsocks, "qb", "tqrnbzxa");
    ScriptedPeer peer;
    peer.Start();
    ProxiedClient client(proxy, ProxyCases[1], "wrong", peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return client.S.State() == wsClosed; })) << client.Events;
    EXPECT_EQ(client.Events,
              "auth 0\nauth 2\nerror 20015 socks authentication failed\nconnected 20015\nauth 2\nclosed 20015\n");
    EXPECT_FALSE(peer.Accepted()) << "the proxy never reached the destination";
}

} // namespace
