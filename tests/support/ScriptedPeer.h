// A small scripted TCP peer for socket tests: it listens on 127.0.0.1 on a
// port of the kernel's choice, accepts one connection and plays its script
// on its own thread with blocking calls. Every step has a deadline, so a
// peer never outlives its test by more than a few seconds.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ScriptedPeer {
public:
    ScriptedPeer();
    ~ScriptedPeer(); // closes everything and joins the thread

    uint16_t Port() const { return FPort; }
    std::string PortText() const { return std::to_string(FPort); }

    // Script steps, played in order after the connection is accepted.
    ScriptedPeer& Write(const std::string& bytes);
    // Reads until n bytes have arrived (or the peer closed / deadline).
    ScriptedPeer& Read(size_t n);
    // Reads until the client closes its sending direction.
    ScriptedPeer& ReadUntilClosed();
    ScriptedPeer& Sleep(int ms);
    // Waits until Signal(name) is called by the test.
    ScriptedPeer& WaitFor(const std::string& name);
    ScriptedPeer& Close();
    // Sends a reset: SO_LINGER {1, 0} then close.
    ScriptedPeer& Reset();
    ScriptedPeer& Do(std::function<void(int fd)> action);
    // Shrinks the receive buffer of the accepted socket (before reading).
    ScriptedPeer& SetReceiveBuffer(int bytes);

    // Starts accepting and playing the script.
    void Start();
    void Signal(const std::string& name);
    // Waits for the script to finish (true) or the timeout.
    bool Join(int timeoutMs = 5000);

    // Everything the peer has read so far.
    std::string Received() const;
    bool Accepted() const { return FAccepted; }
    bool Finished() const { return FFinished; }

private:
    struct Step {
        std::function<void()> Run;
    };
    void Play();

    int FListenFd = -1;
    int FConnFd = -1;
    uint16_t FPort = 0;
    std::vector<Step> FSteps;
    std::thread FThread;
    mutable std::mutex FMutex;
    std::condition_variable FCond;
    std::vector<std::string> FSignals;
    std::string FReceived;
    std::atomic<bool> FAccepted{false};
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FStop{false};
};

// A port on 127.0.0.1 where nothing listens (bound, then closed again).
uint16_t UnusedPort();

// Runs EventLoop::ProcessPending and waits for events until the predicate
// holds or timeoutMs passes; returns the predicate's final value.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Pumps for the given time whatever happens.
void PumpFor(int ms);

} // namespace testsupport
