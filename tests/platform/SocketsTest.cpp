// Sockets stand-in against the real kernel on 127.0.0.1. Peers are plain
// POSIX sockets; every wait runs the event loop under a watchdog. Host
// look-ups use /etc/hosts or a replaced resolver, never a DNS query.
#include "platform/Sockets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace platform;
namespace ps = platform::sock;

namespace {

constexpr uint32_t kSelect = WM_USER + 1;
constexpr uint32_t kByName = WM_USER + 2;
constexpr uint32_t kByAddr = WM_USER + 3;
constexpr int kWatchdogMs = 5000;
constexpr int32_t kConnectMask = 59; // read, write, accept, connect, close

struct Event {
    uint32_t Msg;
    uintptr_t WParam;
    int Bits;
    int Error;
};

class Recorder {
public:
    std::vector<Event> Events;

    EndpointHandle Handle() const { return FEndpoint.Handle(); }
    int Count(int bits, uintptr_t wParam) const
    {
        return static_cast<int>(std::count_if(Events.begin(), Events.end(), [&](const Event& e) {
            return e.Msg == kSelect && e.WParam == wParam && e.Bits == bits;
        }));
    }
    std::vector<Event> For(uintptr_t wParam) const
    {
        std::vector<Event> out;
        for (const Event& e : Events)
            if (e.WParam == wParam)
                out.push_back(e);
        return out;
    }

private:
    NotifyEndpoint FEndpoint{[this](TMessage& m) {
        Events.push_back({m.Msg, m.WParam, static_cast<int>(m.LParam & 0xFFFF),
                          static_cast<int>((m.LParam >> 16) & 0xFFFF)});
    }};
};

// Runs the loop until pred holds; false when the watchdog ran out.
template <typename Pred>
bool PumpUntil(Pred pred, int timeoutMs = kWatchdogMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        EventLoop::ProcessPending();
        if (pred())
            return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        EventLoop::Wait(static_cast<int>(std::min<int64_t>(left.count(), 20)));
    }
}

// Gives anything that must not come a fair chance to come.
void Settle(int ms = 150)
{
    PumpUntil([] { return false; }, ms);
}

// Collects readiness and posts without delivering them.
bool WaitUntilQueued()
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWatchdogMs);
    while (!EventLoop::HasPending() && std::chrono::steady_clock::now() < deadline)
        EventLoop::Wait(20);
    return EventLoop::HasPending();
}

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = ::htons(port);
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t PortOf(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ::ntohs(a.sin_port);
}

std::vector<uint32_t> Addresses(const hostent* he)
{
    std::vector<uint32_t> out;
    for (char** p = he->h_addr_list; *p; ++p) {
        uint32_t a;
        std::memcpy(&a, *p, 4);
        out.push_back(a);
    }
    return out;
}

int64_t ThreadCpuUs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

uint32_t Ip(const char* text) { return ::inet_addr(text); }

ps::ResolvedHost FakeByName(const std::string& name)
{
    ps::ResolvedHost h;
    if (name == "three") {
        h.OfficialName = "three.example";
        h.Aliases = {"three-alias"};
        h.Addresses = {Ip("10.0.0.3"), Ip("10.0.0.1"), Ip("10.0.0.2")};
    } else {
        h.Error = ps::WSAHOST_NOT_FOUND;
    }
    return h;
}

class SocketsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ps::WSAData data;
        ASSERT_EQ(ps::WSAStartup(0x0101, &data), 0);
    }
    void TearDown() override
    {
        ps::SetResolvers(nullptr, nullptr);
        ps::WSACleanup();
        for (int fd : FRaw)
            ::close(fd);
    }

    int Raw(int fd)
    {
        if (fd >= 0)
            FRaw.push_back(fd);
        return fd;
    }
    void CloseRaw(int fd)
    {
        FRaw.erase(std::remove(FRaw.begin(), FRaw.end(), fd), FRaw.end());
        ::close(fd);
    }
    int RawListener(uint16_t* port, int rcvbuf = 0)
    {
        int fd = Raw(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (rcvbuf)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a = Loopback(0);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd, 5), 0);
        *port = PortOf(fd);
        return fd;
    }
    int RawAccept(int listener)
    {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, kWatchdogMs) != 1)
            return -1;
        return Raw(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    }
    int RawConnect(uint16_t port)
    {
        int fd = Raw(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = Loopback(port);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        return fd;
    }

    ps::TSocket StartConnect(uint16_t port, int sndbuf = 0)
    {
        ps::TSocket s = ps::socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_NE(s, ps::INVALID_SOCKET);
        if (sndbuf) {
            EXPECT_EQ(ps::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf), 0);
        }
        EXPECT_EQ(ps::WSAAsyncSelect(s, Rec.Handle(), kSelect, kConnectMask), 0);
        sockaddr_in to = Loopback(port);
        int r = ps::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to);
        EXPECT_TRUE(r == 0 || ps::WSAGetLastError() == ps::WSAEWOULDBLOCK) << ps::WSAGetLastError();
        return s;
    }

    // Our client connected to a raw peer, with its FD_CONNECT and first
    // FD_WRITE already delivered.
    ps::TSocket ConnectedPair(int* peer, int sndbuf = 0)
    {
        uint16_t port;
        int listener = RawListener(&port, sndbuf ? 4096 : 0);
        ps::TSocket s = StartConnect(port, sndbuf);
        *peer = RawAccept(listener);
        EXPECT_GE(*peer, 0);
        EXPECT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_WRITE, s) == 1; }));
        return s;
    }

    Recorder Rec;

private:
    std::vector<int> FRaw;
};

TEST_F(SocketsTest, ReadIsReenabledByEachReceiveAndRepeatedWhileBytesRemain)
{
    int peer;
    ps::TSocket s = ConnectedPair(&peer);
    ASSERT_EQ(::send(peer, "0123456789", 10, 0), 10);
    ASSERT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_READ, s) == 1; }));
    Settle();
    EXPECT_EQ(Rec.Count(ps::FD_READ, s), 1) << "a second FD_READ without a recv";

    char buf[16];
    ASSERT_EQ(ps::recv(s, buf, 4, 0), 4);
    ASSERT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_READ, s) == 2; }));
    ASSERT_EQ(ps::recv(s, buf, sizeof buf, 0), 6);
    EXPECT_EQ(std::string(buf, 6), "456789");
    Settle();
    EXPECT_EQ(Rec.Count(ps::FD_READ, s), 2) << "FD_READ with nothing waiting";

    // A receive refused with would-block re-enables reading too.
    EXPECT_EQ(ps::recv(s, buf, sizeof buf, 0), ps::SOCKET_ERROR);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSAEWOULDBLOCK);
    ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
    EXPECT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_READ, s) == 3; }));
    uint32_t waiting = 0;
    EXPECT_EQ(ps::ioctlsocket(s, FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 3u);
    EXPECT_EQ(ps::ioctlsocket(s, FIONBIO, &waiting), ps::SOCKET_ERROR);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSAEINVAL);
}

TEST_F(SocketsTest, WriteFollowsConnectOnceAndAgainAfterASendRefusedForLackOfRoom)
{
    int peer;
    ps::TSocket s = ConnectedPair(&peer, 4096);
    Settle();
    std::vector<Event> first = Rec.For(s);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].Bits, ps::FD_CONNECT);
    EXPECT_EQ(first[0].Error, 0);
    EXPECT_EQ(first[1].Bits, ps::FD_WRITE);

    std::vector<char> chunk(65536, 'x');
    int result = 0;
    for (int i = 0; i < 1000 && result >= 0; ++i)
        result = ps::send(s, chunk.data(), static_cast<int>(chunk.size()), 0);
    ASSERT_EQ(result, ps::SOCKET_ERROR);
    ASSERT_EQ(ps::WSAGetLastError(), ps::WSAEWOULDBLOCK);
    Settle();
    EXPECT_EQ(Rec.Count(ps::FD_WRITE, s), 1) << "writable again although the peer reads nothing";

    char sink[65536];
    EXPECT_TRUE(PumpUntil([&] {
        while (::recv(peer, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        return Rec.Count(ps::FD_WRITE, s) == 2;
    }));
    Settle();
    EXPECT_EQ(Rec.Count(ps::FD_WRITE, s), 2);
}

TEST_F(SocketsTest, ConnectToAClosedPortReportsRefusalAndNoClose)
{
    // Bound but not listening: the port is ours and refuses connections.
    int bound = Raw(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(0);
    ASSERT_EQ(::bind(bound, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ps::TSocket s = StartConnect(PortOf(bound));
    ASSERT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_CONNECT, s) == 1; }));
    Settle();
    std::vector<Event> events = Rec.For(s);
    ASSERT_EQ(events.size(), 1u) << "only FD_CONNECT, no FD_WRITE or FD_CLOSE";
    EXPECT_EQ(events[0].Error, ps::WSAECONNREFUSED);
}

TEST_F(SocketsTest, CloseComesOnceAfterTheReadForDataSentBeforeIt)
{
    int peer;
    ps::TSocket s = ConnectedPair(&peer);
    Rec.Events.clear();
    ASSERT_EQ(::send(peer, "bye", 3, 0), 3);
    ::shutdown(peer, SHUT_WR);
    ASSERT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_CLOSE, s) == 1; }));
    Settle();
    std::vector<Event> events = Rec.For(s);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Bits, ps::FD_READ);
    EXPECT_EQ(events[1].Bits, ps::FD_CLOSE);
    EXPECT_EQ(events[1].Error, 0);

    char buf[8];
    EXPECT_EQ(ps::recv(s, buf, sizeof buf, 0), 3);
    EXPECT_EQ(ps::recv(s, buf, sizeof buf, 0), 0);
    Settle();
    EXPECT_EQ(Rec.For(s).size(), 2u) << "end of stream is neither FD_READ nor a second FD_CLOSE";
}

TEST_F(SocketsTest, PeerResetGivesCloseWithConnectionReset)
{
    int peer;
    ps::TSocket s = ConnectedPair(&peer);
    Rec.Events.clear();
    linger hard{1, 0};
    ASSERT_EQ(::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
    CloseRaw(peer);
    ASSERT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_CLOSE, s) == 1; }));
    Settle();
    std::vector<Event> events = Rec.For(s);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Error, ps::WSAECONNRESET);
    // Sending to the vanished peer fails with the reset number; SIGPIPE
    // would have ended the test program.
    EXPECT_EQ(ps::send(s, "x", 1, 0), ps::SOCKET_ERROR);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSAECONNRESET);
}

TEST_F(SocketsTest, AcceptIsReportedOncePerAcceptCall)
{
    ps::TSocket l = ps::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    ASSERT_EQ(ps::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(ps::listen(l, 5), 0);
    ASSERT_EQ(ps::WSAAsyncSelect(l, Rec.Handle(), kSelect, 43), 0);
    uint16_t port = PortOf(ps::DescriptorOf(l));
    int c1 = RawConnect(port);
    RawConnect(port);
    ASSERT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_ACCEPT, l) == 1; }));
    Settle();
    EXPECT_EQ(Rec.For(l).size(), 1u) << "one FD_ACCEPT until accept, no FD_WRITE for a listener";

    sockaddr_in from{};
    int fromLen = sizeof from;
    ps::TSocket a1 = ps::accept(l, reinterpret_cast<sockaddr*>(&from), &fromLen);
    ASSERT_NE(a1, ps::INVALID_SOCKET);
    EXPECT_EQ(from.sin_addr.s_addr, ::htonl(INADDR_LOOPBACK));
    ASSERT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_ACCEPT, l) == 2; }));
    ASSERT_NE(ps::accept(l, nullptr, nullptr), ps::INVALID_SOCKET);
    Settle();
    EXPECT_EQ(Rec.Count(ps::FD_ACCEPT, l), 2);
    EXPECT_EQ(ps::accept(l, nullptr, nullptr), ps::INVALID_SOCKET);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSAEWOULDBLOCK);

    // The accepted socket is connected: selecting it reports write, and
    // data from the first client arrives on it.
    ASSERT_EQ(ps::WSAAsyncSelect(a1, Rec.Handle(), kSelect, 51), 0);
    ASSERT_EQ(::send(c1, "hi", 2, 0), 2);
    EXPECT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_READ, a1) == 1; }));
    EXPECT_EQ(Rec.Count(ps::FD_WRITE, a1), 1);
}

TEST_F(SocketsTest, MaskZeroStopsNotificationsButKeepsQueuedOnes)
{
    int peer;
    ps::TSocket s = ConnectedPair(&peer);
    Rec.Events.clear();
    ASSERT_EQ(::send(peer, "x", 1, 0), 1);
    ASSERT_TRUE(WaitUntilQueued());
    ASSERT_EQ(ps::WSAAsyncSelect(s, Rec.Handle(), 0, 0), 0);
    EventLoop::ProcessPending();
    EXPECT_EQ(Rec.Count(ps::FD_READ, s), 1) << "an already queued FD_READ stays";

    char buf[4];
    ASSERT_EQ(ps::recv(s, buf, sizeof buf, 0), 1);
    ASSERT_EQ(::send(peer, "y", 1, 0), 1);
    ::shutdown(peer, SHUT_WR);
    Settle();
    EXPECT_EQ(Rec.For(s).size(), 1u);

    // A new selection reports what happened meanwhile.
    ASSERT_EQ(ps::WSAAsyncSelect(s, Rec.Handle(), kSelect, kConnectMask), 0);
    ASSERT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_CLOSE, s) == 1; }));
    EXPECT_EQ(Rec.Count(ps::FD_READ, s), 2);
    EXPECT_EQ(Rec.Count(ps::FD_WRITE, s), 1);
}

TEST_F(SocketsTest, DatagramSocketReportsWriteOnSelectionAndEachReadAfterReceive)
{
    ps::TSocket u = ps::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = Loopback(0);
    ASSERT_EQ(ps::bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(ps::WSAAsyncSelect(u, Rec.Handle(), kSelect, ps::FD_READ | ps::FD_WRITE), 0);
    int sender = Raw(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in to = Loopback(PortOf(ps::DescriptorOf(u)));
    for (const char* text : {"one", "two"})
        ::sendto(sender, text, 3, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ASSERT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_READ, u) == 1; }));
    Settle();
    EXPECT_EQ(Rec.Count(ps::FD_READ, u), 1);
    EXPECT_EQ(Rec.Count(ps::FD_WRITE, u), 1);

    char buf[8];
    sockaddr_in from{};
    int fromLen = sizeof from;
    ASSERT_EQ(ps::recvfrom(u, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen), 3);
    EXPECT_EQ(std::string(buf, 3), "one");
    EXPECT_EQ(::ntohs(from.sin_port), PortOf(sender));
    ASSERT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_READ, u) == 2; }));
    ASSERT_EQ(ps::recv(u, buf, sizeof buf, 0), 3);
    EXPECT_EQ(std::string(buf, 3), "two");
}

TEST_F(SocketsTest, SocketsWithNothingToReportDoNotWakeTheLoop)
{
    // Bytes waiting behind an FD_READ nobody answered; an end of stream
    // already reported; a reset connection.
    int unread, ended, reset;
    ps::TSocket a = ConnectedPair(&unread);
    ps::TSocket b = ConnectedPair(&ended);
    ps::TSocket c = ConnectedPair(&reset);
    ASSERT_EQ(::send(unread, "x", 1, 0), 1);
    ::shutdown(ended, SHUT_WR);
    linger hard{1, 0};
    ::setsockopt(reset, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    CloseRaw(reset);
    ASSERT_TRUE(PumpUntil([&] {
        return Rec.Count(ps::FD_READ, a) == 1 && Rec.Count(ps::FD_CLOSE, b) == 1 &&
               Rec.Count(ps::FD_CLOSE, c) == 1;
    }));
    char buf[4];
    EXPECT_EQ(ps::recv(b, buf, sizeof buf, 0), 0);
    EventLoop::ProcessPending();
    const size_t seen = Rec.Events.size();

    const int64_t cpuStart = ThreadCpuUs();
    EXPECT_FALSE(EventLoop::Wait(300));
    EXPECT_LT(ThreadCpuUs() - cpuStart, 50000) << "readiness that posts nothing kept waking the loop";
    EXPECT_EQ(Rec.Events.size(), seen);
}

TEST_F(SocketsTest, HandleOfAClosedSocketNeverMatchesANewOne)
{
    ps::TSocket old = ps::INVALID_SOCKET, fresh = ps::INVALID_SOCKET;
    // The kernel gives the lowest free descriptor, so the new socket almost
    // always gets the old one's; try a few times in case another thread
    // took it meanwhile.
    for (int i = 0; i < 10; ++i) {
        old = ps::socket(AF_INET, SOCK_STREAM, 0);
        int fd = ps::DescriptorOf(old);
        ASSERT_EQ(ps::closesocket(old), 0);
        fresh = ps::socket(AF_INET, SOCK_STREAM, 0);
        if (ps::DescriptorOf(fresh) == fd)
            break;
        ps::closesocket(fresh);
    }
    EXPECT_NE(old, fresh);
    EXPECT_NE(old, 0u);
    EXPECT_EQ(ps::DescriptorOf(old), -1);
    char c;
    EXPECT_EQ(ps::recv(old, &c, 1, 0), ps::SOCKET_ERROR);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSAENOTSOCK);
    EXPECT_EQ(ps::closesocket(old), ps::SOCKET_ERROR);
    EXPECT_EQ(ps::socket(AF_INET6, SOCK_STREAM, 0), ps::INVALID_SOCKET);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSAEAFNOSUPPORT);
}

TEST_F(SocketsTest, LingerRecordIsConvertedToTheKernelsLayout)
{
    ps::TSocket s = ps::socket(AF_INET, SOCK_STREAM, 0);
    ps::TLinger record{1, 7};
    ASSERT_EQ(ps::setsockopt(s, SOL_SOCKET, SO_LINGER, &record, sizeof record), 0);
    linger value{};
    socklen_t len = sizeof value;
    ASSERT_EQ(::getsockopt(ps::DescriptorOf(s), SOL_SOCKET, SO_LINGER, &value, &len), 0);
    EXPECT_EQ(value.l_onoff, 1);
    EXPECT_EQ(value.l_linger, 7);
    EXPECT_EQ(ps::setsockopt(s, SOL_SOCKET, SO_LINGER, &record, 2), ps::SOCKET_ERROR);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSAEFAULT);
    int flags = ::fcntl(ps::DescriptorOf(s), F_GETFL);
    EXPECT_TRUE(flags & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(ps::DescriptorOf(s), F_GETFD) & FD_CLOEXEC);
}

TEST(SocketsErrorTest, ErrnoValuesMapOntoTheWindowsNumbering)
{
    struct Case {
        int Errno;
        int Wsa;
    };
    const Case cases[] = {
        {ECONNREFUSED, 10061}, {EAGAIN, 10035},   {EINPROGRESS, 10035}, {EPIPE, 10054},
        {ECONNRESET, 10054},   {ENOMEM, 10055},   {ENFILE, 10024},      {EALREADY, 10037},
        {ENOTCONN, 10057},     {ESTALE, 10070},   {EREMOTE, 10071},     {EINTR, 10004},
        {EPERM, 10013},        {EACCES, 10013},   {ENOENT, 10049},      {ETIME, 10060},
        {EPROTO, 10053},       {ENOTSUP, 10045},  {EINVAL, 10022},      {0, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ps::ErrnoToWsa(c.Errno), c.Wsa) << "errno " << c.Errno;
}

// Only a failure that is about the caller's arguments reads "Invalid
// argument"; every other errno lands on a number of the table (so that a
// refused or forbidden connect never shows as one, nor enters the send
// path's connection-lost set as one).
TEST(SocketsErrorTest, NoErrnoBesidesArgumentErrorsBecomesInvalidArgument)
{
    for (int e = 1; e < 134; ++e) {
        if (e == EINVAL || e == EDOM || e == ERANGE)
            continue;
        const int wsa = ps::ErrnoToWsa(e);
        EXPECT_NE(wsa, ps::WSAEINVAL) << "errno " << e;
        EXPECT_TRUE((wsa >= 10004 && wsa <= 10071) || (wsa >= 10091 && wsa <= 10093)) << "errno " << e;
    }
}

TEST(SocketsErrorTest, LookupResultsMapOntoTheWindowsNumbering)
{
    struct Case {
        int Eai;
        int Err;
        int Wsa;
    };
    const Case cases[] = {
        {0, 0, 0},
        {EAI_NONAME, 0, ps::WSAHOST_NOT_FOUND},
        {EAI_NODATA, 0, ps::WSANO_DATA},
        {EAI_AGAIN, 0, ps::WSATRY_AGAIN},
        {EAI_FAIL, 0, ps::WSANO_RECOVERY},
        {EAI_MEMORY, 0, ps::WSAENOBUFS},
        {EAI_SYSTEM, EMFILE, ps::WSAEMFILE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ps::EaiToWsa(c.Eai, c.Err), c.Wsa) << "EAI " << c.Eai;
}

TEST(SocketsConversionTest, InetAddrKeepsTheClassicForms)
{
    EXPECT_EQ(ps::inet_addr("127.1"), Ip("127.0.0.1"));
    EXPECT_EQ(ps::inet_addr("0x7f.1"), Ip("127.0.0.1"));
    EXPECT_EQ(ps::inet_addr("010.1.1.1"), Ip("8.1.1.1"));
    EXPECT_EQ(ps::inet_addr("10.0.0.1 "), Ip("10.0.0.1"));
    EXPECT_EQ(ps::inet_addr("255.255.255.255"), INADDR_NONE);
    EXPECT_EQ(ps::inet_addr("10.0.0.09"), INADDR_NONE);
    EXPECT_EQ(ps::inet_addr("10.0.0.1x"), INADDR_NONE);
    EXPECT_EQ(ps::inet_addr("host.example"), INADDR_NONE);
    EXPECT_EQ(ps::inet_addr(""), INADDR_NONE);
    in_addr a{};
    a.s_addr = Ip("8.1.1.1");
    EXPECT_STREQ(ps::inet_ntoa(a), "8.1.1.1");
    EXPECT_EQ(ps::htons(0x1234), ::htons(0x1234));
    EXPECT_EQ(ps::ntohs(ps::htons(110)), 110);
}

TEST(SocketsStartTest, NothingWorksBeforeStartupAndTheLastCleanupClosesEverything)
{
    ASSERT_FALSE(ps::IsStarted());
    EXPECT_EQ(ps::socket(AF_INET, SOCK_STREAM, 0), ps::INVALID_SOCKET);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSANOTINITIALISED);
    char buf[ps::MAXGETHOSTSTRUCT + 1];
    EXPECT_EQ(ps::WSAAsyncGetHostByName(1, kByName, "localhost", buf, sizeof buf), 0u);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSANOTINITIALISED);
    EXPECT_EQ(ps::getprotobyname("tcp"), nullptr);
    EXPECT_EQ(ps::WSACleanup(), ps::SOCKET_ERROR);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSANOTINITIALISED);

    ps::WSAData data;
    EXPECT_EQ(ps::WSAStartup(0x0000, &data), ps::WSAVERNOTSUPPORTED);
    ASSERT_FALSE(ps::IsStarted());
    ASSERT_EQ(ps::WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    ASSERT_EQ(ps::WSAStartup(0x0101, &data), 0);
    ps::TSocket s = ps::socket(AF_INET, SOCK_STREAM, 0);
    int fd = ps::DescriptorOf(s);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ps::WSACleanup(), 0);
    EXPECT_EQ(ps::DescriptorOf(s), fd) << "only the last cleanup closes";
    EXPECT_EQ(ps::WSACleanup(), 0);
    EXPECT_FALSE(ps::IsStarted());
    EXPECT_EQ(ps::DescriptorOf(s), -1);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(ps::closesocket(s), ps::SOCKET_ERROR);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSANOTINITIALISED);
}

TEST_F(SocketsTest, LocalhostResolvesLaterIntoTheCallersBuffer)
{
    alignas(hostent) char buf[ps::MAXGETHOSTSTRUCT + 1];
    ps::TAsyncHandle h = ps::WSAAsyncGetHostByName(Rec.Handle(), kByName, "localhost", buf, sizeof buf);
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(Rec.Events.empty()) << "completed inside the call";
    ASSERT_TRUE(PumpUntil([&] { return !Rec.Events.empty(); }));
    ASSERT_EQ(Rec.Events.size(), 1u);
    EXPECT_EQ(Rec.Events[0].Msg, kByName);
    EXPECT_EQ(Rec.Events[0].WParam, h);
    ASSERT_EQ(Rec.Events[0].Error, 0);
    const hostent* he = reinterpret_cast<const hostent*>(buf);
    ASSERT_NE(he->h_name, nullptr);
    EXPECT_TRUE(he->h_name >= buf && he->h_name < buf + sizeof buf);
    EXPECT_EQ(he->h_addrtype, AF_INET);
    EXPECT_EQ(he->h_length, 4);
    std::vector<uint32_t> addresses = Addresses(he);
    EXPECT_NE(std::find(addresses.begin(), addresses.end(), Ip("127.0.0.1")), addresses.end());
}

TEST_F(SocketsTest, ReplacedResolverGivesOrderAliasesNotFoundAndTooSmallBuffers)
{
    ps::SetResolvers(FakeByName, nullptr);
    alignas(hostent) char buf[ps::MAXGETHOSTSTRUCT + 1];
    ps::TAsyncHandle three = ps::WSAAsyncGetHostByName(Rec.Handle(), kByName, "three", buf, sizeof buf);
    ASSERT_TRUE(PumpUntil([&] { return Rec.Events.size() == 1; }));
    ASSERT_EQ(Rec.Events[0].Error, 0);
    const hostent* he = reinterpret_cast<const hostent*>(buf);
    EXPECT_STREQ(he->h_name, "three.example");
    ASSERT_NE(he->h_aliases[0], nullptr);
    EXPECT_STREQ(he->h_aliases[0], "three-alias");
    EXPECT_EQ(he->h_aliases[1], nullptr);
    EXPECT_EQ(Addresses(he), (std::vector<uint32_t>{Ip("10.0.0.3"), Ip("10.0.0.1"), Ip("10.0.0.2")}));

    ps::TAsyncHandle missing = ps::WSAAsyncGetHostByName(Rec.Handle(), kByName, "nowhere", buf, sizeof buf);
    EXPECT_NE(missing, three);
    alignas(hostent) char small[48];
    std::memset(small, 0x5A, sizeof small);
    ps::WSAAsyncGetHostByName(Rec.Handle(), kByName, "three", small, sizeof small);
    ASSERT_TRUE(PumpUntil([&] { return Rec.Events.size() == 3; }));
    for (const Event& e : Rec.Events)
        EXPECT_EQ(e.Error, e.WParam == missing ? ps::WSAHOST_NOT_FOUND
                           : e.WParam == three ? 0
                                               : ps::WSAENOBUFS);
    EXPECT_TRUE(std::all_of(small, small + sizeof small, [](char c) { return c == 0x5A; }));

    hostent* sync = ps::gethostbyname("three");
    ASSERT_NE(sync, nullptr);
    EXPECT_EQ(Addresses(sync).size(), 3u);
    EXPECT_EQ(ps::gethostbyname("nowhere"), nullptr);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSAHOST_NOT_FOUND);
}

TEST_F(SocketsTest, CancelledRequestNeverCompletesNorWritesTheBuffer)
{
    struct Latch {
        std::mutex Lock;
        std::condition_variable Changed;
        bool Entered = false, Released = false, Returned = false;
    };
    auto latch = std::make_shared<Latch>();
    ps::SetResolvers(
        [latch](const std::string&) {
            std::unique_lock<std::mutex> lock(latch->Lock);
            latch->Entered = true;
            latch->Changed.notify_all();
            latch->Changed.wait_for(lock, std::chrono::seconds(10), [&] { return latch->Released; });
            latch->Returned = true;
            latch->Changed.notify_all();
            return FakeByName("three");
        },
        nullptr);
    char buf[ps::MAXGETHOSTSTRUCT + 1];
    std::memset(buf, 0x5A, sizeof buf);
    ps::TAsyncHandle h = ps::WSAAsyncGetHostByName(Rec.Handle(), kByName, "three", buf, sizeof buf);
    ASSERT_NE(h, 0u);
    {
        std::unique_lock<std::mutex> lock(latch->Lock);
        ASSERT_TRUE(latch->Changed.wait_for(lock, std::chrono::seconds(5), [&] { return latch->Entered; }));
    }
    EXPECT_EQ(ps::WSACancelAsyncRequest(h), 0);
    {
        std::unique_lock<std::mutex> lock(latch->Lock);
        latch->Released = true;
        latch->Changed.notify_all();
        ASSERT_TRUE(latch->Changed.wait_for(lock, std::chrono::seconds(5), [&] { return latch->Returned; }));
    }
    Settle(300);
    EXPECT_TRUE(Rec.Events.empty());
    EXPECT_TRUE(std::all_of(buf, buf + sizeof buf, [](char c) { return c == 0x5A; }));
    EXPECT_EQ(ps::WSACancelAsyncRequest(h), ps::SOCKET_ERROR);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSAEINVAL);
}

TEST_F(SocketsTest, CancelWithdrawsAQueuedCompletionButNotADeliveredOne)
{
    ps::SetResolvers(FakeByName, nullptr);
    alignas(hostent) char buf[ps::MAXGETHOSTSTRUCT + 1];
    ps::TAsyncHandle queued = ps::WSAAsyncGetHostByName(Rec.Handle(), kByName, "three", buf, sizeof buf);
    ASSERT_TRUE(WaitUntilQueued());
    EXPECT_EQ(ps::WSACancelAsyncRequest(queued), 0);
    Settle();
    EXPECT_TRUE(Rec.Events.empty());

    ps::TAsyncHandle delivered = ps::WSAAsyncGetHostByName(Rec.Handle(), kByName, "three", buf, sizeof buf);
    ASSERT_TRUE(PumpUntil([&] { return Rec.Events.size() == 1; }));
    EXPECT_EQ(ps::WSACancelAsyncRequest(delivered), ps::SOCKET_ERROR);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSAEALREADY);
}

TEST_F(SocketsTest, AddressLookupOfLoopbackGivesAnOfficialName)
{
    alignas(hostent) char buf[ps::MAXGETHOSTSTRUCT + 1];
    uint32_t address = Ip("127.0.0.1");
    ps::TAsyncHandle h = ps::WSAAsyncGetHostByAddr(Rec.Handle(), kByAddr, reinterpret_cast<char*>(&address),
                                                   4, AF_INET, buf, sizeof buf);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(PumpUntil([&] { return !Rec.Events.empty(); }));
    EXPECT_EQ(Rec.Events[0].Msg, kByAddr);
    EXPECT_EQ(Rec.Events[0].WParam, h);
    ASSERT_EQ(Rec.Events[0].Error, 0);
    const hostent* he = reinterpret_cast<const hostent*>(buf);
    ASSERT_NE(he->h_name, nullptr);
    EXPECT_GT(std::strlen(he->h_name), 0u);
    EXPECT_EQ(Addresses(he), std::vector<uint32_t>{address});

    EXPECT_EQ(ps::WSAAsyncGetHostByAddr(Rec.Handle(), kByAddr, reinterpret_cast<char*>(&address), 4,
                                        AF_INET6, buf, sizeof buf),
              0u);
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSAEAFNOSUPPORT);
}

TEST_F(SocketsTest, ServiceAndProtocolTablesComeFromTheSystem)
{
    servent* pop3 = ps::getservbyname("pop3", "tcp");
    ASSERT_NE(pop3, nullptr);
    EXPECT_EQ(::ntohs(static_cast<uint16_t>(pop3->s_port)), 110);
    EXPECT_EQ(ps::getservbyname("no-such-service", nullptr), nullptr);
    protoent* udp = ps::getprotobyname("udp");
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(udp->p_proto, 17);
    EXPECT_EQ(ps::getprotobyname("no-such-protocol"), nullptr);
}

} // namespace

namespace {

TEST_F(SocketsTest, ZeroLengthReceiveProbesTheConnectionWithoutTakingBytes)
{
    int peer;
    ps::TSocket s = ConnectedPair(&peer);
    char buf[8];
    EXPECT_EQ(ps::recv(s, buf, 0, 0), ps::SOCKET_ERROR) << "nothing waits yet";
    EXPECT_EQ(ps::WSAGetLastError(), ps::WSAEWOULDBLOCK);

    ASSERT_EQ(::send(peer, "xy", 2, 0), 2);
    ASSERT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_READ, s) == 1; }));
    EXPECT_EQ(ps::recv(s, buf, 0, 0), 0);
    ASSERT_EQ(ps::recv(s, buf, sizeof buf, 0), 2) << "the probe took nothing";

    CloseRaw(peer);
    ASSERT_TRUE(PumpUntil([&] { return Rec.Count(ps::FD_CLOSE, s) == 1; }));
    EXPECT_EQ(ps::recv(s, buf, 0, 0), 0) << "end of stream";
    EXPECT_EQ(ps::closesocket(s), 0);
}

} // namespace
