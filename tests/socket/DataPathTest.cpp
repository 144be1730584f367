// The send queue and the data path against a scripted loopback peer.
#include "socket/WSocket.h"
#include "tests/support/ScriptedPeer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ps = platform::sock;
using testsupport::PumpFor;
using testsupport::PumpUntil;
using testsupport::ScriptedPeer;

namespace {

// Bytes whose value depends on their position, so that a lost, repeated or
// reordered block shows in a comparison.
std::string Payload(size_t n, unsigned seed = 0)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251 + seed) & 0xFF);
    return s;
}

// What the events of one socket reported.
struct Events {
    std::vector<Integer> Sent;         // OnSendData counts
    int DataSent = 0;                  // OnDataSent calls
    std::vector<Word> DataSentErrors;
    bool DataSentInsideSend = false;
    bool InSend = false;
    int Connected = 0;
    std::vector<Word> Closed;          // OnSessionClosed errors
    int Errors = 0;                    // OnError calls
    int BgExceptions = 0;

    void Attach(TCustomWSocket& s)
    {
        s.OnSendData = [this](TObject*, Integer n) { Sent.push_back(n); };
        s.OnDataSent = [this](TObject*, Word e) {
            ++DataSent;
            DataSentErrors.push_back(e);
            DataSentInsideSend = DataSentInsideSend || InSend;
        };
        s.OnSessionConnected = [this](TObject*, Word) { ++Connected; };
        s.OnSessionClosed = [this](TObject*, Word e) { Closed.push_back(e); };
        s.OnBgException = [this](TObject*, Exception&, bool&) { ++BgExceptions; };
    }
    Integer SentTotal() const { return std::accumulate(Sent.begin(), Sent.end(), Integer(0)); }
};

// Sends through the socket while noting that a Send is in progress.
Integer TrackedSend(TCustomWSocket& s, Events& ev, const std::string& data)
{
    ev.InSend = true;
    Integer r = s.Send(data.data(), static_cast<Integer>(data.size()));
    ev.InSend = false;
    return r;
}

// Starts the peer and connects the socket to it. Waits for the write
// readiness that follows the connect as well, so that OnDataSent counts
// start from a quiet connection.
void ConnectToPeer(TCustomWSocket& s, ScriptedPeer& peer, Events& ev)
{
    peer.Start();
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortText());
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected && ev.DataSent >= 1; }));
    ev.DataSent = 0;
    ev.DataSentErrors.clear();
    ev.Sent.clear();
}

// Waits, without running the event loop, until the kernel holds n bytes for
// the socket, so the next read readiness sees all of them at once.
bool WaitUntilWaiting(TCustomWSocket& s, Integer n)
{
    for (int i = 0; i < 300; ++i) {
        if (s.RcvdCount() >= n)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A TWSocket that records every receive call: the requested length and the
// result.
class RecordingSocket : public TWSocket {
public:
    using TWSocket::TWSocket;
    struct Read {
        Integer Len;
        Integer Result;
    };
    std::vector<Read> Reads;

    Integer RecvRaw(void* Buffer, Integer Len, Integer Flags) override
    {
        Integer n = TWSocket::RecvRaw(Buffer, Len, Flags);
        Reads.push_back({Len, n});
        return n;
    }
    std::vector<Integer> PositiveResults() const
    {
        std::vector<Integer> r;
        for (const auto& rd : Reads)
            if (rd.Result > 0)
                r.push_back(rd.Result);
        return r;
    }
};

// ---------------------------------------------------------------------------
// Queue arithmetic (no connection needed)

TEST(SendQueueTest, AppendFillsTheTailBlockBeforeStartingANewOne)
{
    TWSocket s;
    s.AppendToSendQueue("x", 0);
    EXPECT_TRUE(s.SendQueue().empty());

    std::string a = Payload(1000, 1), b = Payload(2000, 2);
    s.AppendToSendQueue(a.data(), 1000);
    s.AppendToSendQueue(b.data(), 2000);
    ASSERT_EQ(s.SendQueue().size(), 2u);
    const TBuffer& first = *s.SendQueue().front();
    const TBuffer& second = *s.SendQueue().back();
    ASSERT_EQ(first.WritePos(), 1514);
    EXPECT_EQ(std::string(first.Data(), 1514), a + b.substr(0, 514));
    ASSERT_EQ(second.WritePos(), 1486);
    EXPECT_EQ(std::string(second.Data(), 1486), b.substr(514));

    // Without a handle TryToSend leaves the queue and AllDataSent alone.
    s.TryToSend();
    EXPECT_EQ(s.SendQueue().size(), 2u);
    EXPECT_TRUE(s.AllDataSent());
}

TEST(SendQueueTest, SendFlagsMapAndRejectInvalidValues)
{
    TWSocket s;
    EXPECT_EQ(s.SendFlags(), wsSendNormal);
    s.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(s.SendFlags(), wsSendUrgent);

    try {
        s.SetSendFlags(static_cast<TSocketSendFlags>(7));
        ADD_FAILURE() << "an invalid value must raise without OnError";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), "Invalid SendFlags");
    }
    EXPECT_EQ(s.SendFlags(), wsSendUrgent);

    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    s.SetSendFlags(static_cast<TSocketSendFlags>(2));
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.SendFlags(), wsSendUrgent);
    s.SetSendFlags(wsSendNormal);
    EXPECT_EQ(s.SendFlags(), wsSendNormal);
}

// ---------------------------------------------------------------------------
// Sending over a connection

TEST(SendTest, NotConnectedReportsNotConnected)
{
    TWSocket s;
    Events ev;
    s.OnError = [&](TObject*) { ++ev.Errors; };
    EXPECT_EQ(s.SendStr("abc"), -1);
    EXPECT_EQ(s.LastError(), 10057);
    EXPECT_EQ(ev.Errors, 1);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_TRUE(s.SendQueue().empty());

    TWSocket raising;
    try {
        raising.SendStr("abc");
        FAIL() << "Send on a closed socket must raise without OnError";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message().rfind("Error 10057 in function Send\r\n", 0), 0u) << e.Message();
    }
}

TEST(SendTest, FourThousandBytesLeaveInThreeBlocksAndOnDataSentComesFromTheLoop)
{
    ScriptedPeer peer;
    std::string data = Payload(4000);
    peer.Read(4000);
    TWSocket s;
    Events ev;
    ev.Attach(s);
    ConnectToPeer(s, peer, ev);

    EXPECT_EQ(TrackedSend(s, ev, data), 4000);
    EXPECT_EQ(ev.Sent, (std::vector<Integer>{1514, 1514, 972}));
    ASSERT_EQ(s.SendQueue().size(), 1u);
    EXPECT_EQ(s.SendQueue().front()->WritePos(), 0);
    EXPECT_EQ(s.SendQueue().front()->ReadPos(), 0);
    EXPECT_TRUE(s.AllDataSent());
    EXPECT_EQ(ev.DataSent, 0);

    ASSERT_TRUE(PumpUntil([&] { return ev.DataSent >= 1; }));
    EXPECT_FALSE(ev.DataSentInsideSend);
    EXPECT_EQ(ev.DataSentErrors, (std::vector<Word>{0}));
    ASSERT_TRUE(peer.Join());
    EXPECT_EQ(peer.Received(), data);
    PumpFor(50);
    EXPECT_EQ(ev.DataSent, 1);

    // The drained block is reused from position 0.
    EXPECT_EQ(s.SendStr("abc"), 3);
    ASSERT_EQ(s.SendQueue().size(), 1u);
}

TEST(SendTest, PartialSendKeepsTheRestUntilThePeerReads)
{
    constexpr size_t Total = 1 << 20;
    std::string data = Payload(Total, 3);
    ScriptedPeer peer;
    peer.WaitFor("read").Read(Total);
    TWSocket s;
    Events ev;
    ev.Attach(s);
    Integer sentWhenDone = -1;
    s.OnDataSent = [&](TObject*, Word e) {
        ++ev.DataSent;
        ev.DataSentErrors.push_back(e);
        sentWhenDone = ev.SentTotal();
    };
    peer.Start();
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortText());
    s.Connect();
    int small = 4096;
    ASSERT_EQ(::setsockopt(ps::DescriptorOf(s.SocketHandle()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected && ev.DataSent >= 1; }));
    ev.DataSent = 0;
    ev.DataSentErrors.clear();
    ev.Sent.clear();

    EXPECT_EQ(TrackedSend(s, ev, data), static_cast<Integer>(Total));
    EXPECT_LT(ev.SentTotal(), static_cast<Integer>(Total));
    EXPECT_FALSE(s.AllDataSent());
    ASSERT_FALSE(s.SendQueue().empty());
    Integer unread = 0;
    EXPECT_NE(s.SendQueue().front()->PeekData(unread), nullptr);
    EXPECT_GT(unread, 0);

    // The peer does not read yet: nothing more can go, nothing is announced.
    PumpFor(100);
    EXPECT_EQ(ev.DataSent, 0);

    peer.Signal("read");
    ASSERT_TRUE(PumpUntil([&] { return ev.DataSent >= 1; }, 10000))
        << "sent " << ev.SentTotal() << ", peer received " << peer.Received().size();
    EXPECT_EQ(sentWhenDone, static_cast<Integer>(Total));
    EXPECT_EQ(ev.DataSentErrors, (std::vector<Word>{0}));
    ASSERT_TRUE(peer.Join());
    EXPECT_TRUE(peer.Received() == data) << "peer received " << peer.Received().size() << " bytes";
}

double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Flush returns once the queue is drained, whether the peer reads at once
// or only after a second. Regression: it spun at full processor while the
// kernel refused data; between passes it now blocks until the next write
// readiness, so the CPU time of a flush that mostly waits stays small (a
// property, not a timing).
TEST(SendTest, FlushReturnsOnceTheQueueIsDrainedWithoutSpinning)
{
    constexpr size_t Total = 1 << 20;
    for (int peerDelayMs : {0, 1000}) {
        SCOPED_TRACE("peer reads after " + std::to_string(peerDelayMs) + " ms");
        std::string data = Payload(Total, 4);
        ScriptedPeer peer;
        // The final Close bounds Flush even if reading stalls: the close
        // ends the connection and with it the flush.
        peer.Sleep(peerDelayMs).Read(Total).Close();
        TWSocket s;
        Events ev;
        ev.Attach(s);
        peer.Start();
        s.SetAddr("127.0.0.1");
        s.SetPort(peer.PortText());
        s.Connect();
        int small = 4096;
        ::setsockopt(ps::DescriptorOf(s.SocketHandle()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));

        EXPECT_EQ(s.SendStr(data), static_cast<Integer>(Total));
        EXPECT_FALSE(s.AllDataSent());
        const double before = ThreadCpuSeconds();
        s.Flush();
        EXPECT_LT(ThreadCpuSeconds() - before, 0.5);
        EXPECT_TRUE(s.AllDataSent());
        EXPECT_EQ(ev.SentTotal(), static_cast<Integer>(Total));
        ASSERT_TRUE(peer.Join());
        EXPECT_TRUE(peer.Received() == data);
    }
}

TEST(SendTest, ZeroLengthSendAnnouncesOnlyAnExistingDrainedBlock)
{
    ScriptedPeer peer;
    peer.Read(3);
    TWSocket s;
    Events ev;
    ev.Attach(s);
    ConnectToPeer(s, peer, ev);

    // No block has ever existed: nothing to announce.
    EXPECT_EQ(TrackedSend(s, ev, ""), 0);
    EXPECT_TRUE(s.SendQueue().empty());
    EXPECT_FALSE(s.AllDataSent());
    s.Flush(); // must not spin on a queue without blocks
    PumpFor(100);
    EXPECT_EQ(ev.DataSent, 0);

    EXPECT_EQ(s.SendStr("abc"), 3);
    ASSERT_TRUE(PumpUntil([&] { return ev.DataSent == 1; }));

    // Now a drained block is queued: a zero-length Send is announced too.
    EXPECT_EQ(TrackedSend(s, ev, ""), 0);
    EXPECT_EQ(ev.DataSent, 1);
    ASSERT_TRUE(PumpUntil([&] { return ev.DataSent == 2; }));
    EXPECT_FALSE(ev.DataSentInsideSend);
    EXPECT_EQ(ev.Sent, (std::vector<Integer>{3}));
    ASSERT_TRUE(peer.Join());
    EXPECT_EQ(peer.Received(), "abc");
}

// Regression: a Send from an OnSendData handler used to offer the head
// block again before the outer call had consumed it.
TEST(SendTest, SendFromOnSendDataHandlerKeepsOrderWithoutRepeats)
{
    std::string first = Payload(4000, 5), second = "tail bytes";
    ScriptedPeer peer;
    peer.Read(first.size() + second.size());
    TWSocket s;
    Events ev;
    ev.Attach(s);
    ConnectToPeer(s, peer, ev);
    bool sentAgain = false;
    s.OnSendData = [&](TObject*, Integer n) {
        ev.Sent.push_back(n);
        if (!sentAgain) {
            sentAgain = true;
            EXPECT_EQ(s.SendStr(second), static_cast<Integer>(second.size()));
        }
    };

    EXPECT_EQ(TrackedSend(s, ev, first), 4000);
    EXPECT_EQ(ev.SentTotal(), static_cast<Integer>(first.size() + second.size()));
    ASSERT_TRUE(PumpUntil([&] { return ev.DataSent >= 1; }));
    EXPECT_FALSE(ev.DataSentInsideSend);
    ASSERT_TRUE(peer.Join());
    EXPECT_TRUE(peer.Received() == first + second);
}

TEST(SendTest, AbortFromOnSendDataHandlerStopsSending)
{
    ScriptedPeer peer;
    TWSocket s;
    Events ev;
    ev.Attach(s);
    ConnectToPeer(s, peer, ev);
    s.OnSendData = [&](TObject*, Integer n) {
        ev.Sent.push_back(n);
        s.Abort();
    };

    EXPECT_EQ(s.SendStr(Payload(4000)), 4000);
    EXPECT_EQ(ev.Sent, (std::vector<Integer>{1514}));
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_TRUE(s.SendQueue().empty());
    PumpFor(100);
    EXPECT_EQ(ev.DataSent, 0);
    EXPECT_EQ(ev.Closed.size(), 1u);
}

TEST(SendTest, PeerResetWhileSendingClosesExactlyOnce)
{
    ScriptedPeer peer;
    peer.WaitFor("reset").Reset();
    TWSocket s;
    Events ev;
    ev.Attach(s);
    ConnectToPeer(s, peer, ev);
    int fd = ps::DescriptorOf(s.SocketHandle());

    peer.Signal("reset");
    ASSERT_TRUE(peer.Join());
    // Wait for the reset to reach the kernel socket, without running the
    // loop, so that it is the send that meets it.
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1);

    EXPECT_EQ(s.SendStr(Payload(4000)), 4000);
    EXPECT_EQ(ev.Closed, (std::vector<Word>{10054}));
    EXPECT_EQ(s.State(), wsClosed);
    PumpFor(150);
    EXPECT_EQ(ev.Closed, (std::vector<Word>{10054}));
    EXPECT_EQ(ev.DataSent, 0);
}

// ---------------------------------------------------------------------------
// Receiving

TEST(ReceiveTest, WithoutHandlerWaitingBytesAreDiscardedIn1024ByteReads)
{
    ScriptedPeer peer;
    peer.WaitFor("write").Write(Payload(3000)).WaitFor("end");
    RecordingSocket s;
    Events ev;
    ev.Attach(s);
    ConnectToPeer(s, peer, ev);

    peer.Signal("write");
    ASSERT_TRUE(WaitUntilWaiting(s, 3000));
    ASSERT_TRUE(PumpUntil([&] { return s.PositiveResults().size() >= 3; }));
    PumpFor(50);
    EXPECT_EQ(s.PositiveResults(), (std::vector<Integer>{1024, 1024, 952}));
    for (const auto& rd : s.Reads)
        EXPECT_EQ(rd.Len, 1024);
    EXPECT_EQ(s.ReadCount(), 0);
    EXPECT_EQ(s.RcvdCount(), 0);
    peer.Signal("end");
}

TEST(ReceiveTest, HandlerThatDoesNotReadIsCalledAgain)
{
    ScriptedPeer peer;
    peer.WaitFor("write").Write("abcdef").WaitFor("end");
    TWSocket s;
    Events ev;
    ev.Attach(s);
    ConnectToPeer(s, peer, ev);
    int calls = 0;
    std::string got;
    s.OnDataAvailable = [&](TObject*, Word) {
        if (++calls == 3)
            got = s.ReceiveStr();
    };

    peer.Signal("write");
    ASSERT_TRUE(WaitUntilWaiting(s, 6));
    ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }));
    PumpFor(50);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(got, "abcdef");
    EXPECT_EQ(s.ReadCount(), 0); // ReceiveStr does not count
    peer.Signal("end");
}

TEST(ReceiveTest, ReceiveCountsReceiveStrDoesNotAndOrderlyCloseReadsZero)
{
    ScriptedPeer peer;
    peer.WaitFor("write").Write("hello").WaitFor("close").Close();
    TWSocket s;
    Events ev;
    ev.Attach(s);
    ConnectToPeer(s, peer, ev);
    int calls = 0;
    std::string firstRead, secondRead;
    Integer readCountInHandler = -1;
    std::vector<Integer> laterResults;
    s.OnDataAvailable = [&](TObject*, Word) {
        char buf[16];
        ++calls;
        if (calls == 1) {
            Integer n = s.Receive(buf, 3);
            firstRead.assign(buf, static_cast<size_t>(std::max<Integer>(n, 0)));
        } else if (calls == 2) {
            secondRead = s.ReceiveStr();
        } else {
            laterResults.push_back(s.Receive(buf, sizeof buf));
            readCountInHandler = s.ReadCount();
        }
    };

    peer.Signal("write");
    ASSERT_TRUE(WaitUntilWaiting(s, 5));
    ASSERT_TRUE(PumpUntil([&] { return calls >= 2; }));
    EXPECT_EQ(firstRead, "hel");
    EXPECT_EQ(secondRead, "lo");
    EXPECT_EQ(s.ReadCount(), 3);

    // Nothing waits now.
    EXPECT_EQ(s.ReceiveStr(), "");
    char buf[8];
    EXPECT_EQ(s.Receive(buf, sizeof buf), -1);
    EXPECT_EQ(s.LastError(), 10035);
    EXPECT_EQ(s.ReadCount(), 3);

    peer.Signal("close");
    ASSERT_TRUE(PumpUntil([&] { return !ev.Closed.empty(); }));
    ASSERT_FALSE(laterResults.empty());
    EXPECT_EQ(laterResults.back(), 0);
    EXPECT_EQ(readCountInHandler, 3);
    EXPECT_EQ(ev.Closed, (std::vector<Word>{0}));
    EXPECT_EQ(s.State(), wsClosed);
}

// An exception escaping OnDataAvailable ends the read loop and goes no
// further: no OnBgException, no abort.
template <typename Thrower>
void ExpectHandlerExceptionSwallowed(Thrower thrower)
{
    ScriptedPeer peer;
    peer.WaitFor("write").Write("xyz").WaitFor("end");
    TWSocket s;
    Events ev;
    ev.Attach(s);
    ConnectToPeer(s, peer, ev);
    int calls = 0;
    s.OnDataAvailable = [&](TObject*, Word) {
        ++calls;
        thrower();
    };

    peer.Signal("write");
    ASSERT_TRUE(WaitUntilWaiting(s, 3));
    ASSERT_TRUE(PumpUntil([&] { return calls >= 1; }));
    PumpFor(50);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ev.BgExceptions, 0);
    EXPECT_EQ(s.State(), wsConnected);
    EXPECT_EQ(s.ReceiveStr(), "xyz");
    peer.Signal("end");
}

TEST(ReceiveTest, SocketExceptionInHandlerEndsTheLoopQuietly)
{
    ExpectHandlerExceptionSwallowed([] { throw ESocketException("handler failed"); });
}

TEST(ReceiveTest, ForeignExceptionInHandlerEndsTheLoopQuietly)
{
    ExpectHandlerExceptionSwallowed([] { throw std::runtime_error("handler failed"); });
}

// ---------------------------------------------------------------------------
// Datagrams

// A UDP socket of the test's own on 127.0.0.1, port chosen by the kernel.
struct UdpEndpoint {
    int Fd = -1;
    uint16_t Port = 0;
    UdpEndpoint()
    {
        Fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
        Port = ntohs(a.sin_port);
    }
    ~UdpEndpoint() { ::close(Fd); }
    // One datagram, or "" after the deadline.
    std::string ReceiveOne(int timeoutMs = 3000)
    {
        pollfd p{Fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return {};
        char buf[4096];
        ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    sockaddr_in Address() const
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(Port);
        return a;
    }
};

TEST(DatagramTest, ConnectedDatagramSocketSendsEachBlockAsOneDatagram)
{
    UdpEndpoint peer;
    TWSocket s;
    Events ev;
    ev.Attach(s);
    s.SetProto("udp");
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(peer.Port));
    s.Connect();
    EXPECT_EQ(s.State(), wsConnected);
    EXPECT_EQ(ev.Connected, 1);

    EXPECT_EQ(s.SendStr("ping"), 4);
    EXPECT_EQ(peer.ReceiveOne(), "ping");

    std::string big = Payload(2000);
    EXPECT_EQ(s.SendStr(big), 2000);
    EXPECT_EQ(peer.ReceiveOne(), big.substr(0, 1514));
    EXPECT_EQ(peer.ReceiveOne(), big.substr(1514));

    ev.Sent.clear();
    sockaddr_in dest = peer.Address();
    EXPECT_EQ(s.SendTo(dest, sizeof dest, "direct", 6), 6);
    EXPECT_EQ(ev.Sent, (std::vector<Integer>{6}));
    EXPECT_EQ(peer.ReceiveOne(), "direct");
}

TEST(DatagramTest, ListeningDatagramSocketReceivesWithTheSenderAddress)
{
    uint16_t port;
    {
        UdpEndpoint probe; // a port the kernel just handed out, free again below
        port = probe.Port;
    }
    TWSocket s;
    Events ev;
    ev.Attach(s);
    s.SetProto("udp");
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Listen();
    ASSERT_EQ(s.State(), wsConnected);

    std::string got;
    sockaddr_in from{};
    Integer fromLen = -1, readCount = -1;
    s.OnDataAvailable = [&](TObject*, Word) {
        char buf[64];
        Integer len = sizeof from;
        Integer n = s.ReceiveFrom(buf, sizeof buf, from, len);
        if (n > 0)
            got.assign(buf, static_cast<size_t>(n));
        fromLen = len;
        readCount = s.ReadCount();
    };

    UdpEndpoint sender;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ASSERT_EQ(::sendto(sender.Fd, "hello", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 5);

    ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }));
    EXPECT_EQ(got, "hello");
    EXPECT_EQ(fromLen, 16);
    EXPECT_EQ(ntohs(from.sin_port), sender.Port);
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_EQ(readCount, 5);
}

} // namespace
