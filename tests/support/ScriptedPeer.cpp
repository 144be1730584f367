#include "tests/support/ScriptedPeer.h"

#include "platform/EventLoop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr int StepDeadlineMs = 5000;

int ListenOnLoopback(uint16_t& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        throw std::runtime_error("bind/listen");
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

bool WaitReadable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

} // namespace

ScriptedPeer::ScriptedPeer()
{
    FListenFd = ListenOnLoopback(FPort);
}

ScriptedPeer::~ScriptedPeer()
{
    FStop = true;
    FCond.notify_all();
    if (FThread.joinable())
        FThread.join();
    if (FConnFd >= 0)
        ::close(FConnFd);
    if (FListenFd >= 0)
        ::close(FListenFd);
}

ScriptedPeer& ScriptedPeer::Write(const std::string& bytes)
{
    FSteps.push_back({[this, bytes] {
        size_t off = 0;
        while (off < bytes.size() && !FStop) {
            ssize_t n = ::send(FConnFd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            off += static_cast<size_t>(n);
        }
    }});
    return *this;
}

ScriptedPeer& ScriptedPeer::Read(size_t n)
{
    FSteps.push_back({[this, n] {
        size_t got = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(StepDeadlineMs);
        char buf[4096];
        while (got < n && !FStop && std::chrono::steady_clock::now() < deadline) {
            if (!WaitReadable(FConnFd, 50))
                continue;
            ssize_t r = ::recv(FConnFd, buf, std::min(sizeof buf, n - got), 0);
            if (r <= 0)
                return;
            got += static_cast<size_t>(r);
            std::lock_guard lock(FMutex);
            FReceived.append(buf, static_cast<size_t>(r));
        }
    }});
    return *this;
}

ScriptedPeer& ScriptedPeer::ReadUntilClosed()
{
    FSteps.push_back({[this] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(StepDeadlineMs);
        char buf[4096];
        while (!FStop && std::chrono::steady_clock::now() < deadline) {
            if (!WaitReadable(FConnFd, 50))
                continue;
            ssize_t r = ::recv(FConnFd, buf, sizeof buf, 0);
            if (r <= 0)
                return;
            std::lock_guard lock(FMutex);
            FReceived.append(buf, static_cast<size_t>(r));
        }
    }});
    return *this;
}

ScriptedPeer& ScriptedPeer::Sleep(int ms)
{
    FSteps.push_back({[ms] { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }});
    return *this;
}

ScriptedPeer& ScriptedPeer::WaitFor(const std::string& name)
{
    FSteps.push_back({[this, name] {
        std::unique_lock lock(FMutex);
        FCond.wait_for(lock, std::chrono::milliseconds(StepDeadlineMs), [&] {
            return FStop || std::find(FSignals.begin(), FSignals.end(), name) != FSignals.end();
        });
    }});
    return *this;
}

ScriptedPeer& ScriptedPeer::Close()
{
    FSteps.push_back({[this] {
        ::close(FConnFd);
        FConnFd = -1;
    }});
    return *this;
}

ScriptedPeer& ScriptedPeer::Reset()
{
    FSteps.push_back({[this] {
        linger l{1, 0};
        ::setsockopt(FConnFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(FConnFd);
        FConnFd = -1;
    }});
    return *this;
}

ScriptedPeer& ScriptedPeer::Do(std::function<void(int fd)> action)
{
    FSteps.push_back({[this, action] { action(FConnFd); }});
    return *this;
}

ScriptedPeer& ScriptedPeer::SetReceiveBuffer(int bytes)
{
    FSteps.push_back({[this, bytes] {
        ::setsockopt(FConnFd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }});
    return *this;
}

void ScriptedPeer::Start()
{
    FThread = std::thread([this] { Play(); });
}

void ScriptedPeer::Play()
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(StepDeadlineMs);
    while (!FStop && std::chrono::steady_clock::now() < deadline) {
        if (WaitReadable(FListenFd, 50)) {
            FConnFd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
            break;
        }
    }
    if (FConnFd < 0) {
        FFinished = true;
        return;
    }
    FAccepted = true;
    for (auto& step : FSteps) {
        if (FStop || FConnFd < 0)
            break;
        step.Run();
    }
    FFinished = true;
    FCond.notify_all();
}

void ScriptedPeer::Signal(const std::string& name)
{
    {
        std::lock_guard lock(FMutex);
        FSignals.push_back(name);
    }
    FCond.notify_all();
}

bool ScriptedPeer::Join(int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!FFinished && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return FFinished;
}

std::string ScriptedPeer::Received() const
{
    std::lock_guard lock(FMutex);
    return FReceived;
}

uint16_t UnusedPort()
{
    uint16_t port = 0;
    int fd = ListenOnLoopback(port);
    ::close(fd);
    return port;
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs)
{
    uint32_t start = platform::GetTickCount();
    while (!done()) {
        platform::EventLoop::ProcessPending();
        if (done())
            return true;
        uint32_t elapsed = platform::GetTickCount() - start;
        if (elapsed >= static_cast<uint32_t>(timeoutMs))
            return false;
        platform::EventLoop::Wait(std::min<int>(50, timeoutMs - static_cast<int>(elapsed)));
    }
    return true;
}

void PumpFor(int ms)
{
    uint32_t start = platform::GetTickCount();
    for (;;) {
        platform::EventLoop::ProcessPending();
        uint32_t elapsed = platform::GetTickCount() - start;
        if (elapsed >= static_cast<uint32_t>(ms))
            return;
        platform::EventLoop::Wait(static_cast<int>(ms - elapsed));
    }
}

} // namespace testsupport
