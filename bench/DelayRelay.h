// A TCP relay on 127.0.0.1 that holds every chunk it reads for a fixed time
// before passing it on, in each direction: a link with latency where no
// traffic shaper is at hand. A delay of D ms per direction gives a round
// trip of 2 D. It runs on a thread of its own, relays any number of
// connections, passes a close on after the same delay, and stops with the
// object.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace bench {

class DelayRelay {
public:
    // Relays connections to 127.0.0.1:TargetPort. Throws std::runtime_error
    // when it cannot listen.
    DelayRelay(uint16_t TargetPort, int DelayMs);
    ~DelayRelay();
    DelayRelay(const DelayRelay&) = delete;
    DelayRelay& operator=(const DelayRelay&) = delete;

    uint16_t Port() const { return FPort; }

private:
    void Run();

    uint16_t FTargetPort;
    int FDelayMs;
    int FListenFd = -1;
    int FStopFd = -1; // an eventfd that ends Run
    uint16_t FPort = 0;
    std::thread FThread;
};

} // namespace bench
