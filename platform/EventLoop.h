// The event loop that stands in for the platform's message queue, hidden
// notification windows, the thread pump and the application pump.
//
// Delivery contract
// - One loop per thread, created on first use. A NotifyEndpoint is bound to
//   the loop of the thread that creates it.
// - A notification {Msg, WParam, LParam} posted to an endpoint is appended to
//   its loop's FIFO and delivered later on that loop's thread, one at a time,
//   by calling the endpoint's handler. Nothing is ever delivered from inside
//   the call that posted it.
// - Posting is safe from any thread (the host look-up workers post their
//   completions); the FIFO's lock is the only lock of the program.
// - Readiness of watched descriptors is collected by the loop and turned into
//   notifications appended to the same FIFO, so posted and readiness
//   notifications are delivered in arrival order.
// - Destroying or detaching an endpoint drops everything still queued for it.
// - A quit request (WM_QUIT) is a thread message: the thread pump removes it
//   without dispatching it and reports it to the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

constexpr uint32_t WM_QUIT = 0x0012;
// First code of the user range; the socket layer uses WM_USER + 1 to + 6.
constexpr uint32_t WM_USER = 0x0400;

struct TMessage {
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
};

// Names an endpoint from any thread, like a window handle. 0 names nothing.
// Handles are never reused within a process.
using EndpointHandle = uint64_t;

class EventLoopCore;

class NotifyEndpoint {
public:
    using Handler = std::function<void(TMessage&)>;

    // Bound to the calling thread's loop. Without a handler, notifications
    // are taken off the queue and ignored.
    explicit NotifyEndpoint(Handler handler = nullptr);
    ~NotifyEndpoint();
    NotifyEndpoint(const NotifyEndpoint&) = delete;
    NotifyEndpoint& operator=(const NotifyEndpoint&) = delete;

    void SetHandler(Handler handler);
    // Stops routing: queued notifications are dropped, later posts fail.
    void Detach();

    EndpointHandle Handle() const { return FHandle; }
    bool Post(uint32_t msg, uintptr_t wParam, intptr_t lParam) const;

private:
    friend class EventLoopCore;
    std::shared_ptr<EventLoopCore> FLoop;
    EndpointHandle FHandle = 0;
    Handler FHandler;
};

// Appends a notification for the endpoint to its loop's FIFO, from any
// thread. A non-zero tag lets the poster withdraw it later with
// WithdrawTagged. False when the endpoint is unknown or detached.
bool PostNotification(EndpointHandle target, uint32_t msg, uintptr_t wParam, intptr_t lParam,
                      uint64_t tag = 0);

// Removes every queued notification for the endpoint that carries the tag;
// returns whether one was removed. Safe from any thread.
bool WithdrawTagged(EndpointHandle target, uint64_t tag);

// Posts a quit request to the calling thread's loop.
void PostQuitRequest();

// The calling thread's loop.
class EventLoop {
public:
    enum class PumpResult { Empty, Dispatched, Quit };
    // Called during readiness collection with the epoll events that fired.
    using WatchCallback = std::function<void(uint32_t events)>;

    // Collects readiness without waiting, then delivers queued notifications
    // until the queue is empty, including those posted during delivery.
    // Re-entrant: a handler may call it again. A quit request met here is
    // left in the queue for the thread pump. Returns whether anything was
    // delivered.
    static bool ProcessPending();

    // The thread pump: collects readiness without waiting when the queue is
    // empty, then removes one queued notification. A quit request is
    // removed, not dispatched, and reported as Quit.
    static PumpResult PumpOne();

    // Blocks until a notification is queued, readiness is collected or the
    // timeout (milliseconds; negative waits without limit) has passed,
    // without using the processor meanwhile. A quit request posted or
    // Application::Terminate called during the wait also ends it, so that a
    // waiter without a time limit can test its flags. Returns whether
    // something deliverable is queued now.
    static bool Wait(int timeoutMs);

    static bool HasPending();

    // A descriptor that becomes readable whenever this thread's loop has
    // something to do (an epoll descriptor holding the watched descriptors
    // and an eventfd that posts signal). An outer loop watches it and calls
    // ProcessPending when it fires. Posts made by this thread outside the
    // loop signal only once the descriptor has been asked for: until then
    // nothing but this thread's own Wait, which looks at the queue before it
    // blocks, needs waking.
    static int Descriptor();

    // Readiness watching, used by the sockets stand-in. Arming is one-shot:
    // after the callback has run for an arming, nothing more is reported for
    // the descriptor until Arm is called again. Arm(fd, 0) disarms. The
    // callback runs on this thread during collection and may call Arm, Post
    // and PostNotification. Unwatch before closing the descriptor.
    static void Watch(int fd, WatchCallback callback);
    static void Arm(int fd, uint32_t epollEvents);
    // Arm for the descriptor's own callback, whose one-shot arming has just
    // fired: the kernel reports nothing for it until it is armed again, so
    // the new arming is handed to the kernel only when the loop next asks
    // it (before its next epoll_wait), unless an Arm replaces it first. A
    // socket whose read notification is followed by a receive (which arms
    // anew) thus pays for one arming per notification, not two.
    static void ArmLater(int fd, uint32_t epollEvents);
    static void Unwatch(int fd);
};

// The application's pump and terminating flag. Without a front end (tests,
// benchmarks, the socket layer alone) the pump is EventLoop::ProcessPending
// and waiting is EventLoop::Wait. The Qt front end installs itself so that
// pumping also processes user input.
class Application {
public:
    class FrontEnd {
    public:
        virtual ~FrontEnd() = default;
        // Processes every pending event of the front end, the platform
        // loop's notifications included.
        virtual void ProcessEvents() = 0;
        // Blocks until an event arrives or the timeout passes.
        virtual void WaitForEvents(int timeoutMs) = 0;
    };

    static void SetFrontEnd(FrontEnd* frontEnd);
    // Runs the front end's pump (if any), then EventLoop::ProcessPending.
    // A quit request queued on the calling thread is then taken and sets
    // the terminating flag.
    static void ProcessMessages();
    // Blocks until an event arrives or timeoutMs passes. Returns at once
    // when something is already queued. Returns whether something arrived.
    static bool WaitMessage(int timeoutMs);
    static bool Terminated();
    // Sets the terminating flag and wakes the waits of every thread's loop.
    static void Terminate();
    static void ResetTerminated();
};

// Milliseconds from an arbitrary start, monotonic, 32 bits (wraps after
// about 49.7 days, so compare with unsigned subtraction).
uint32_t GetTickCount();

} // namespace platform
