#include "bench/DelayRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
    Clock::time_point Due;
    std::string Data; // empty: the sender closed
    size_t Sent = 0;
};

// One direction of a relayed connection.
struct Direction {
    int From = -1, To = -1;
    std::deque<Chunk> Queue;
    bool ReadClosed = false;
    bool Done = false;    // the close has been passed on
    bool Blocked = false; // the receiver's buffer is full: wait for POLLOUT
};

struct Link {
    int Client = -1, Server = -1;
    Direction Up, Down;
    ~Link()
    {
        ::close(Client);
        ::close(Server);
    }
};

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// Segments leave as soon as they are due, not when the last was acknowledged.
void NoDelay(int fd)
{
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Reads everything waiting and queues it, due DelayMs from now.
void ReadSide(Direction& d, int delayMs)
{
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(d.From, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        const Clock::time_point due = Clock::now() + std::chrono::milliseconds(delayMs);
        if (n <= 0) {
            d.ReadClosed = true;
            d.Queue.push_back({due, {}});
            return;
        }
        d.Queue.push_back({due, std::string(buf, static_cast<size_t>(n))});
    }
}

// Passes on whatever is due, as far as the receiver takes it.
void WriteSide(Direction& d)
{
    d.Blocked = false;
    const Clock::time_point now = Clock::now();
    while (!d.Queue.empty() && d.Queue.front().Due <= now) {
        Chunk& c = d.Queue.front();
        if (c.Data.empty()) {
            ::shutdown(d.To, SHUT_WR);
            d.Done = true;
            d.Queue.clear();
            return;
        }
        const ssize_t n = ::send(d.To, c.Data.data() + c.Sent, c.Data.size() - c.Sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                d.Blocked = true;
                return;
            }
            d.Done = true; // the receiver is gone
            d.Queue.clear();
            return;
        }
        c.Sent += static_cast<size_t>(n);
        if (c.Sent < c.Data.size()) {
            d.Blocked = true;
            return;
        }
        d.Queue.pop_front();
    }
}

} // namespace

DelayRelay::DelayRelay(uint16_t TargetPort, int DelayMs) : FTargetPort(TargetPort), FDelayMs(DelayMs)
{
    FListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (FListenFd < 0 || ::bind(FListenFd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(FListenFd, 8) != 0 || ::getsockname(FListenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("delay relay: cannot listen on 127.0.0.1");
    FPort = ntohs(a.sin_port);
    FStopFd = ::eventfd(0, EFD_CLOEXEC);
    FThread = std::thread([this] { Run(); });
}

DelayRelay::~DelayRelay()
{
    uint64_t one = 1;
    (void)!::write(FStopFd, &one, sizeof one);
    FThread.join();
    ::close(FStopFd);
    ::close(FListenFd);
}

void DelayRelay::Run()
{
    std::vector<std::unique_ptr<Link>> links;
    for (;;) {
        std::vector<pollfd> fds = {{FStopFd, POLLIN, 0}, {FListenFd, POLLIN, 0}};
        Clock::time_point next = Clock::time_point::max();
        for (auto& l : links)
            for (Direction* d : {&l->Up, &l->Down}) {
                fds.push_back({d->From, static_cast<short>(d->ReadClosed ? 0 : POLLIN), 0});
                fds.push_back({d->To, static_cast<short>(d->Blocked ? POLLOUT : 0), 0});
                if (!d->Blocked && !d->Queue.empty())
                    next = std::min(next, d->Queue.front().Due);
            }
        int timeout = -1;
        if (next != Clock::time_point::max()) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(next - Clock::now()).count();
            timeout = left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            return;
        if (fds[0].revents)
            return;
        if (fds[1].revents & POLLIN) {
            const int client = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in target = Loopback(FTargetPort);
            if (client >= 0 && server >= 0 &&
                ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
                NoDelay(client);
                NoDelay(server);
                auto l = std::make_unique<Link>();
                l->Client = client;
                l->Server = server;
                l->Up.From = l->Down.To = client;
                l->Up.To = l->Down.From = server;
                links.push_back(std::move(l));
            } else {
                ::close(client);
                ::close(server);
            }
        }
        size_t i = 2;
        for (auto& l : links)
            for (Direction* d : {&l->Up, &l->Down}) {
                if (fds[i].revents && !d->ReadClosed)
                    ReadSide(*d, FDelayMs);
                i += 2;
            }
        for (auto& l : links)
            for (Direction* d : {&l->Up, &l->Down})
                if (!d->Done)
                    WriteSide(*d);
        std::erase_if(links, [](const auto& l) { return l->Up.Done && l->Down.Done; });
    }
}

} // namespace bench
