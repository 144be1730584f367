// A server process started by a test: it leads a process group of its own,
// so stopping it reaches every process it forks; it reads /dev/null and
// appends its output to a file; and it is asked to die with the thread that
// started it (PR_SET_PDEATHSIG), so a test killed by its time limit leaves
// nothing behind.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace testsupport {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs argv (argv[0] an absolute path) and polls ready() every 20 ms.
    // True once it holds; false when the child exits first or deadlineMs
    // passes (the child is then stopped), with the reason in failure.
    bool Start(const std::vector<std::string>& argv, const std::string& outputPath,
               const std::function<bool()>& ready, int deadlineMs, std::string& failure);
    // SIGTERM to the group, SIGKILL after graceMs; returns once the whole
    // group is gone (or, at worst, about 2 x graceMs + 1 s later).
    void Stop(int graceMs = 3000);

    pid_t Pid() const { return FPid; }

private:
    pid_t FPid = -1;
};

// A blocking TCP connection to 127.0.0.1:port, or -1.
int ConnectLoopback(uint16_t port);
// True when a TCP connection to 127.0.0.1:port is accepted.
bool Accepts(uint16_t port);

} // namespace testsupport
