#include "tests/support/ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace testsupport {

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& outputPath,
                         const std::function<bool()>& ready, int deadlineMs, std::string& failure)
{
    Stop();
    // Everything the child needs is made before fork: after fork in a
    // threaded process only async-signal-safe calls are allowed.
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0) {
        failure = "fork failed";
        return false;
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(126);
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in >= 0)
            ::dup2(in, STDIN_FILENO);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    // Also here, so that the group exists whichever of the two runs first.
    ::setpgid(pid, pid);
    FPid = pid;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            FPid = -1;
            failure = "the process exited with status " +
                      std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            return false;
        }
        if (ready())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    failure = "not ready within " + std::to_string(deadlineMs / 1000) + " s";
    return false;
}

void ChildProcess::Stop(int graceMs)
{
    if (FPid <= 0)
        return;
    const auto waitForGroup = [this](int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (::kill(-FPid, 0) == 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    ::kill(-FPid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    while (::waitpid(FPid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(-FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The leader is gone; the processes it forked got the same SIGTERM and
    // may still be winding down. Wait for the whole group, then kill what
    // is left of it and give the kernel a moment to take it away.
    waitForGroup(graceMs);
    ::kill(-FPid, SIGKILL);
    waitForGroup(1000);
    FPid = -1;
}

int ConnectLoopback(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool Accepts(uint16_t port)
{
    int fd = ConnectLoopback(port);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace testsupport
