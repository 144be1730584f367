// Address, port and protocol resolution, the local address and port
// properties, local binding and the addresses of both ends. Host names come
// from /etc/hosts or from a replaced resolver, so no DNS query leaves the
// machine.
#include "socket/WSocket.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

namespace {

namespace ps = platform::sock;

template <typename F>
std::string ThrownMessage(F f)
{
    try {
        f();
    } catch (const ESocketException& e) {
        return e.Message();
    }
    return "<no exception>";
}

uint32_t Addr(const char* dotted)
{
    return ::inet_addr(dotted);
}

// Replaces the host resolver for one test: names in Known resolve, every
// other name is not found; every name asked for is recorded.
class FakeResolver {
public:
    FakeResolver()
    {
        ps::SetResolvers(
            [this](const std::string& name) {
                Asked.push_back(name);
                ps::ResolvedHost host;
                if (name == Known)
                    host.Addresses = {Addr("10.1.2.3")};
                else
                    host.Error = ps::WSAHOST_NOT_FOUND;
                return host;
            },
            nullptr);
    }
    ~FakeResolver() { ps::SetResolvers(nullptr, nullptr); }
    std::string Known;
    std::vector<std::string> Asked;
};

TEST(IsDottedNumericAddress, AcceptsOnlyFourGroupsOfDigitsWithinByteRange)
{
    const struct {
        const char* Text;
        bool Expected;
    } cases[] = {
        {"10.0.0.1", true},       {"  10.0.0.1  ", true}, {"010.000.0.1", true},
        {"0000000010.0.0.1", true}, {"255.255.255.255", true},
        {"10.0.0", false},        {"10..0.1", false},     {"10.0.0.256", false},
        {"256.0.0.1", false},     {"10.0.0.1.", false},   {".10.0.0.1", false},
        {"  .10.0.0.1", false},   {"10.0.0.1x", false},   {"1x", false},
        {"10.0.0.1 x", false},    {"10.0. 0.1", false},   {"10.0.0.1.2", false},
        {"\t10.0.0.1", false},    {"", false},            {"99999999999.0.0.1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsDottedNumericAddress(c.Text), c.Expected) << '"' << c.Text << '"';
}

TEST(ParseLeadingNumber, ReadsDigitsAfterSpacesAndWrapsWithoutTrapping)
{
    EXPECT_EQ(ParseLeadingNumber("  110x"), 110);
    EXPECT_EQ(ParseLeadingNumber("x110"), 0);
    EXPECT_EQ(ParseLeadingNumber(""), 0);
    // 2^32 + 110 wraps to 110; 2^31 wraps to the most negative Integer.
    EXPECT_EQ(ParseLeadingNumber("4294967406"), 110);
    EXPECT_EQ(ParseLeadingNumber("2147483648"), INT32_MIN);
}

TEST(WSocketResolveHost, RefusesEmptyAndOverlongTexts)
{
    EXPECT_EQ(ThrownMessage([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    const std::string name257(257, 'a');
    EXPECT_EQ(ThrownMessage([&] { WSocketResolveHost(name257); }),
              "WSocketResolveHost: '" + name257 + "' Invalid Hostname.");
}

TEST(WSocketResolveHost, LooksUpA256CharacterName)
{
    FakeResolver dns;
    dns.Known = std::string(256, 'b');
    EXPECT_EQ(WSocketResolveHost(dns.Known), Addr("10.1.2.3"));
    EXPECT_EQ(dns.Asked, std::vector<std::string>{dns.Known});
}

TEST(WSocketResolveHost, ConvertsNumericFormsWithoutAskingTheResolver)
{
    FakeResolver dns;
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(WSocketResolveHost("010.0.0.1"), Addr("8.0.0.1"));
    EXPECT_EQ(WSocketResolveHost("0177.0.0.01"), Addr("127.0.0.1"));
    EXPECT_EQ(WSocketResolveHost("10.0.0.1 "), Addr("10.0.0.1"));
    EXPECT_EQ(WSocketResolveHost(" 10.0.0.1"), Addr("10.0.0.1"));
    EXPECT_TRUE(dns.Asked.empty());
    // 09 is no octal number.
    EXPECT_EQ(ThrownMessage([] { WSocketResolveHost("10.0.0.09"); }),
              "WSocketResolveHost: '10.0.0.09' Invalid IP address.");
}

TEST(WSocketResolveHost, ResolvesNamesAndQuotesTheUnknownOne)
{
    EXPECT_EQ(WSocketResolveHost("localhost"), Addr("127.0.0.1"));
    FakeResolver dns;
    EXPECT_EQ(ThrownMessage([] { WSocketResolveHost(" nowhere.test "); }),
              "WSocketResolveHost: Cannot convert host address ' nowhere.test '");
    EXPECT_EQ(dns.Asked, std::vector<std::string>{"nowhere.test"});
}

TEST(WSocketResolvePort, NumbersNeedNoTableAndWrapAt65536)
{
    EXPECT_EQ(WSocketResolvePort("110", ""), 110);
    EXPECT_EQ(WSocketResolvePort("110x", "tcp"), 110);
    EXPECT_EQ(WSocketResolvePort(std::to_string(65536 + 110), "tcp"), 110);
    EXPECT_EQ(WSocketResolvePort("4294967406", "tcp"), 110);
    EXPECT_EQ(WSocketResolvePort(std::string(28, '0') + "110", "tcp"), 110); // 31 characters
    EXPECT_EQ(ThrownMessage([] { WSocketResolvePort(std::string(29, '0') + "110", "tcp"); }),
              "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ThrownMessage([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
}

TEST(WSocketResolvePort, ServicesComeFromTheSystemTable)
{
    EXPECT_EQ(WSocketResolvePort("pop3", "tcp"), 110);
    EXPECT_EQ(WSocketResolvePort("pop3 ", " tcp"), 110);
    EXPECT_EQ(WSocketResolvePort("pop3", ""), 110);
    // A leading blank makes a number a service name; the message quotes the
    // text as given.
    EXPECT_EQ(ThrownMessage([] { WSocketResolvePort(" 110", "tcp"); }),
              "WSocketResolvePort: Cannot convert port ' 110'");
    EXPECT_EQ(ThrownMessage([] { WSocketResolvePort(" nosuchservice", "tcp"); }),
              "WSocketResolvePort: Cannot convert port ' nosuchservice'");
}

TEST(WSocketResolveProto, NamesNumbersAndLimits)
{
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto("udp"), 17);
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    EXPECT_EQ(WSocketResolveProto(" 6 "), 6);
    EXPECT_EQ(WSocketResolveProto(std::string(29, ' ') + "17"), 17); // 31 characters
    EXPECT_EQ(ThrownMessage([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(ThrownMessage([] { WSocketResolveProto(std::string(30, ' ') + "17"); }),
              "WSocketResolveProto: Invalid Protocol.");
    // Unlike the port message, this one quotes the trimmed text.
    EXPECT_EQ(ThrownMessage([] { WSocketResolveProto(" nosuchproto "); }),
              "WSocketResolveProto: Cannot convert protocol 'nosuchproto'");
}

TEST(LocalAddr, StoresTheCanonicalDottedForm)
{
    TWSocket s;
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    const struct {
        const char* Given;
        const char* Stored;
    } cases[] = {{"127.1", "127.0.0.1"}, {"010.1.1.1", "8.1.1.1"}, {"0x7f.1", "127.0.0.1"}, {"", "0.0.0.0"}};
    for (const auto& c : cases) {
        s.SetLocalAddr(c.Given);
        EXPECT_EQ(s.LocalAddr(), c.Stored) << c.Given;
    }
}

TEST(LocalAddr, RefusesNamesAndBroadcastKeepingTheOldValue)
{
    TWSocket s;
    s.SetLocalAddr("127.0.0.1");
    EXPECT_EQ(ThrownMessage([&] { s.SetLocalAddr("localhost"); }), "SetLocalAddr(): Invalid IP address");
    EXPECT_EQ(ThrownMessage([&] { s.SetLocalAddr("255.255.255.255"); }), "SetLocalAddr(): Invalid IP address");
    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    s.SetLocalAddr("localhost");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LocalAddr(), "127.0.0.1");
}

TEST(LocalPort, IsStoredUntrimmedAndResolvedByConnect)
{
    TWSocket s;
    EXPECT_EQ(s.LocalPort(), "0");
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(testsupport::UnusedPort()));
    s.SetLocalPort(" 110");
    EXPECT_EQ(s.LocalPort(), " 110");
    EXPECT_EQ(ThrownMessage([&] { s.Connect(); }), "connect: WSocketResolvePort: Cannot convert port ' 110'");
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(LocalAddressAndPort, CannotChangeWhileOpen)
{
    TWSocket s;
    s.SetAddr("127.0.0.1");
    s.SetPort("0");
    s.Listen();
    ASSERT_EQ(s.State(), wsListening);
    EXPECT_EQ(ThrownMessage([&] { s.SetLocalAddr("127.0.0.1"); }), "Cannot change LocalAddr if not closed");
    EXPECT_EQ(ThrownMessage([&] { s.SetLocalPort("110"); }), "Cannot change LocalPort if not closed");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LocalPort(), "0");
}

TEST(EndAddresses, AClosedSocketReportsErrorTextsWithoutAnError)
{
    TWSocket s;
    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    EXPECT_EQ(s.PeerAddr(), "error");
    EXPECT_EQ(s.PeerPort(), "error");
    EXPECT_EQ(s.GetBoundPort(), "error");
    sockaddr_in name{};
    EXPECT_EQ(s.GetPeerName(name, sizeof name), -1);
    EXPECT_EQ(errors, 0);
}

TEST(EndAddresses, ListeningSocketReportsItsPortButNoPeer)
{
    TWSocket s;
    s.SetAddr("127.0.0.1");
    s.SetPort("0");
    s.Listen();
    ASSERT_EQ(s.State(), wsListening);
    sockaddr_in name{};
    Integer len = sizeof name;
    ASSERT_EQ(s.GetSockName(name, len), 0);
    EXPECT_EQ(len, static_cast<Integer>(sizeof name));
    EXPECT_NE(name.sin_port, 0);
    EXPECT_EQ(s.GetBoundPort(), std::to_string(ntohs(name.sin_port)));
    EXPECT_EQ(s.PeerAddr(), "error");
    EXPECT_EQ(s.PeerPort(), "error");
    s.Close();
    EXPECT_EQ(s.GetBoundPort(), "error");
}

TEST(BindLocal, ConnectBindsToTheLocalAddressAndKeepsTheChosenPort)
{
    testsupport::ScriptedPeer peer;
    peer.ReadUntilClosed();
    peer.Start();
    TWSocket s;
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortText());
    s.SetLocalAddr("127.0.0.1"); // not 0.0.0.0, so Connect binds first
    s.Connect();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return s.State() == wsConnected; }));
    EXPECT_NE(s.LocalPort(), "0");
    EXPECT_EQ(std::to_string(s.LocalPortNumber()), s.LocalPort());
    EXPECT_EQ(s.GetBoundPort(), s.LocalPort());
    EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(s.PeerPort(), peer.PortText());
    sockaddr_in name{};
    EXPECT_EQ(s.GetPeerName(name, sizeof name), 0);
    EXPECT_EQ(ntohs(name.sin_port), peer.Port());
    s.Close();
    EXPECT_TRUE(peer.Join());
    EXPECT_EQ(s.LocalPort(), "0"); // back to the default after the close
}

TEST(BindLocal, DatagramConnectBindsToAnyPort)
{
    TWSocket s;
    s.SetProto("udp");
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(testsupport::UnusedPort()));
    s.Connect();
    ASSERT_EQ(s.State(), wsConnected);
    EXPECT_NE(s.LocalPortNumber(), 0);
    EXPECT_EQ(s.GetBoundPort(), s.LocalPort());
}

TEST(BindLocal, ReportsABindFailureWithItsErrorNumber)
{
    TWSocket s;
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(testsupport::UnusedPort()));
    s.SetLocalAddr("192.0.2.1"); // documentation range: never an address of this machine
    EXPECT_EQ(ThrownMessage([&] { s.Connect(); }),
              "winsock.bind failed, error #" + std::to_string(ps::WSAEADDRNOTAVAIL));
    EXPECT_EQ(s.State(), wsOpened);
    s.Close();
    EXPECT_EQ(s.State(), wsClosed);
}

} // namespace
