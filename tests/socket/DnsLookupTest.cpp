// The asynchronous look-ups of the socket: immediate completion for numeric
// texts, queued completion for names, replacement, cancellation and
// destruction while a look-up is pending. Names resolve from /etc/hosts or
// through a replaced resolver; no DNS query leaves the machine.
#include "socket/WSocket.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

namespace ps = platform::sock;
using testsupport::PumpFor;
using testsupport::PumpUntil;

uint32_t Addr(const char* dotted)
{
    return ::inet_addr(dotted);
}

// A replaced resolver. Names in Hosts resolve to their addresses, every
// other name is not found; the name "slow.test" first waits until Release.
// The state is shared with the resolver's copies on the look-up workers, so
// a worker that returns after the test body is still safe.
struct FakeDns {
    std::mutex Mutex;
    std::condition_variable Cond;
    bool Released = false;
    std::atomic<int> Returned{0};
    std::vector<std::pair<std::string, std::vector<uint32_t>>> Hosts;
    ps::ResolvedHost ByAddr;
    std::atomic<uint32_t> AskedAddr{0};

    void Release()
    {
        std::lock_guard<std::mutex> lock(Mutex);
        Released = true;
        Cond.notify_all();
    }
};

class DnsLookupTest : public ::testing::Test {
protected:
    void InstallFake()
    {
        std::shared_ptr<FakeDns> dns = Dns;
        ps::SetResolvers(
            [dns](const std::string& name) {
                if (name == "slow.test") {
                    std::unique_lock<std::mutex> lock(dns->Mutex);
                    dns->Cond.wait(lock, [&] { return dns->Released; });
                }
                ps::ResolvedHost host;
                host.Error = ps::WSAHOST_NOT_FOUND;
                for (const auto& [known, addresses] : dns->Hosts)
                    if (known == name) {
                        host.Error = 0;
                        host.OfficialName = name;
                        host.Addresses = addresses;
                    }
                ++dns->Returned;
                return host;
            },
            [dns](uint32_t address) {
                dns->AskedAddr = address;
                ++dns->Returned;
                return dns->ByAddr;
            });
    }
    void TearDown() override
    {
        Dns->Release();
        ps::SetResolvers(nullptr, nullptr);
    }
    void Watch(TCustomWSocket& s)
    {
        s.OnDnsLookupDone = [this](TObject*, Word error) { Done.push_back(error); };
    }

    std::shared_ptr<FakeDns> Dns = std::make_shared<FakeDns>();
    std::vector<Word> Done;
};

TEST_F(DnsLookupTest, NumericTextCompletesInsideTheCall)
{
    TWSocket s;
    Watch(s);
    s.DnsLookup("192.168.1.1");
    EXPECT_EQ(Done, std::vector<Word>{0});
    EXPECT_EQ(s.DnsResult(), "192.168.1.1");
    EXPECT_TRUE(s.DnsResultList().empty());
    s.DnsLookup("127.1");
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    EXPECT_EQ(s.LookupRequest(), 0u);
}

TEST_F(DnsLookupTest, NameFromHostsFileCompletesLater)
{
    TWSocket s;
    Watch(s);
    s.DnsLookup("localhost");
    EXPECT_TRUE(Done.empty());
    EXPECT_NE(s.LookupRequest(), 0u);
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }));
    EXPECT_EQ(Done, std::vector<Word>{0});
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    ASSERT_FALSE(s.DnsResultList().empty());
    EXPECT_EQ(s.DnsResultList().front(), "127.0.0.1");
    EXPECT_EQ(s.LookupRequest(), 0u);
}

TEST_F(DnsLookupTest, AllAddressesAreListedInResolverOrder)
{
    Dns->Hosts = {{"three.test", {Addr("10.0.0.3"), Addr("192.168.7.1"), Addr("10.0.0.1")}}};
    InstallFake();
    TWSocket s;
    Watch(s);
    s.DnsLookup("three.test");
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }));
    EXPECT_EQ(Done, std::vector<Word>{0});
    EXPECT_EQ(s.DnsResultList(), (TStrings{"10.0.0.3", "192.168.7.1", "10.0.0.1"}));
    EXPECT_EQ(s.DnsResult(), "10.0.0.3");
}

TEST_F(DnsLookupTest, AnswerTooLargeForTheBufferNeverOverrunsIt)
{
    std::vector<uint32_t> many;
    for (uint32_t i = 1; i <= 300; ++i)
        many.push_back(htonl(0x0A000000u + i));
    Dns->Hosts = {{"many.test", many}};
    InstallFake();
    TWSocket s;
    Watch(s);
    s.DnsLookup("many.test");
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }));
    ASSERT_EQ(Done.size(), 1u);
    // Either an error, or the leading part of the answer in order.
    const TStrings& list = s.DnsResultList();
    if (Done[0] == 0) {
        ASSERT_FALSE(list.empty());
    }
    ASSERT_LE(list.size(), many.size());
    for (size_t i = 0; i < list.size(); ++i)
        EXPECT_EQ(list[i], "10.0." + std::to_string((i + 1) / 256) + "." + std::to_string((i + 1) % 256));
}

TEST_F(DnsLookupTest, NotFoundReportsTheErrorAndLeavesResultsEmpty)
{
    InstallFake();
    TWSocket s;
    Watch(s);
    s.DnsLookup("10.9.8.7");
    s.DnsLookup("nowhere.test");
    EXPECT_TRUE(s.DnsResult().empty()); // emptied when the look-up starts
    ASSERT_TRUE(PumpUntil([&] { return Done.size() == 2; }));
    EXPECT_EQ(Done[1], ps::WSAHOST_NOT_FOUND);
    EXPECT_TRUE(s.DnsResult().empty());
    EXPECT_TRUE(s.DnsResultList().empty());
}

// Success without a single address would leave the caller nothing to
// connect to; it is reported as "no data".
TEST_F(DnsLookupTest, AnswerWithoutAddressesIsNoSuccess)
{
    Dns->Hosts = {{"empty.test", {}}};
    InstallFake();
    TWSocket s;
    Watch(s);
    s.DnsLookup("empty.test");
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }));
    EXPECT_EQ(Done, std::vector<Word>{ps::WSANO_DATA});
    EXPECT_TRUE(s.DnsResult().empty());
    EXPECT_TRUE(s.DnsResultList().empty());
}

TEST_F(DnsLookupTest, ASecondLookupReplacesThePendingOne)
{
    Dns->Hosts = {{"slow.test", {Addr("10.0.0.1")}}, {"fast.test", {Addr("10.0.0.2")}}};
    InstallFake();
    TWSocket s;
    Watch(s);
    s.DnsLookup("slow.test");
    s.DnsLookup("fast.test");
    Dns->Release();
    ASSERT_TRUE(PumpUntil([&] { return Dns->Returned == 2 && !Done.empty(); }));
    PumpFor(100); // room for a wrong completion of the replaced request
    EXPECT_EQ(Done, std::vector<Word>{0});
    EXPECT_EQ(s.DnsResultList(), TStrings{"10.0.0.2"});
}

TEST_F(DnsLookupTest, CancelReportsOnceAndTheLateCompletionIsIgnored)
{
    Dns->Hosts = {{"slow.test", {Addr("10.0.0.1")}}};
    InstallFake();
    TWSocket s;
    Watch(s);
    s.CancelDnsLookup(); // nothing pending: nothing happens
    EXPECT_TRUE(Done.empty());
    s.DnsLookup("slow.test");
    const ps::TAsyncHandle request = s.LookupRequest();
    ASSERT_NE(request, 0u);
    s.CancelDnsLookup();
    EXPECT_EQ(Done, std::vector<Word>{ps::WSAEINTR});
    EXPECT_EQ(s.LookupRequest(), 0u);
    Dns->Release();
    ASSERT_TRUE(PumpUntil([&] { return Dns->Returned == 1; }));
    // A completion carrying the cancelled handle, or no handle at all.
    platform::PostNotification(s.NotifyEndpoint(), WM_ASYNCGETHOSTBYNAME, request, 0);
    platform::PostNotification(s.NotifyEndpoint(), WM_ASYNCGETHOSTBYNAME, 0, 0);
    PumpFor(100);
    EXPECT_EQ(Done.size(), 1u);
    EXPECT_TRUE(s.DnsResult().empty());
}

TEST_F(DnsLookupTest, EmptyNameIsReportedThenCompletesWithInvalidArgument)
{
    TWSocket s;
    std::vector<std::string> order;
    s.OnError = [&](TObject*) { order.push_back("error"); };
    s.OnDnsLookupDone = [&](TObject*, Word e) { order.push_back("done " + std::to_string(e)); };
    s.DnsLookup("");
    s.ReverseDnsLookup("");
    EXPECT_EQ(order, (std::vector<std::string>{"error", "done 10022", "error", "done 10022"}));

    TWSocket raising;
    Watch(raising);
    for (auto call : {&TCustomWSocket::DnsLookup, &TCustomWSocket::ReverseDnsLookup}) {
        try {
            (raising.*call)("");
            ADD_FAILURE() << "no exception";
        } catch (const ESocketException& e) {
            EXPECT_EQ(e.Message(), "DNS lookup: invalid host name.");
        }
    }
    EXPECT_TRUE(Done.empty());
}

TEST_F(DnsLookupTest, ReverseLookupGivesTheOfficialNameOnly)
{
    TWSocket s;
    Watch(s);
    s.ReverseDnsLookup("127.0.0.1");
    EXPECT_TRUE(Done.empty());
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }));
    EXPECT_EQ(Done, std::vector<Word>{0});
    ASSERT_EQ(s.DnsResultList().size(), 1u);
    EXPECT_FALSE(s.DnsResult().empty());
    EXPECT_EQ(s.DnsResult(), s.DnsResultList().front());

    Dns->ByAddr.OfficialName = "host.test";
    Dns->ByAddr.Aliases = {"alias1.test", "alias2.test"};
    Dns->ByAddr.Addresses = {Addr("10.1.2.3")};
    InstallFake();
    Done.clear();
    s.ReverseDnsLookup("10.1.2.3");
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }));
    EXPECT_EQ(Dns->AskedAddr.load(), Addr("10.1.2.3"));
    EXPECT_EQ(Done, std::vector<Word>{0});
    EXPECT_EQ(s.DnsResultList(), TStrings{"host.test"});

    Dns->ByAddr = ps::ResolvedHost{};
    Dns->ByAddr.Error = ps::WSAHOST_NOT_FOUND;
    Done.clear();
    s.ReverseDnsLookup("10.1.2.4");
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }));
    EXPECT_EQ(Done, std::vector<Word>{ps::WSAHOST_NOT_FOUND});
    EXPECT_TRUE(s.DnsResultList().empty());
}

TEST_F(DnsLookupTest, DestroyingWithAPendingLookupFiresNothing)
{
    Dns->Hosts = {{"slow.test", {Addr("10.0.0.1")}}};
    InstallFake();
    {
        TWSocket s;
        Watch(s);
        s.DnsLookup("slow.test");
        ASSERT_NE(s.LookupRequest(), 0u);
    }
    Dns->Release();
    ASSERT_TRUE(PumpUntil([&] { return Dns->Returned == 1; }));
    PumpFor(100);
    EXPECT_TRUE(Done.empty());
}

} // namespace
