#include "platform/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

namespace platform {

namespace {

// One queued notification. Target 0 marks a thread message (the quit
// request), which only the thread pump takes off the queue.
struct Entry {
    EndpointHandle Target = 0;
    TMessage Msg;
    uint64_t Tag = 0;
};

// epoll data of the wake-up eventfd. Watched descriptors carry
// (arming generation << 32) | fd, which can never take this value.
constexpr uint64_t kWakeMarker = ~uint64_t(0);
// Events taken per epoll_wait; more ready descriptors are taken in further
// rounds of the same collection (bounded, see Collect).
constexpr int kMaxEvents = 64;
constexpr int kMaxCollectRounds = 8;

int64_t MonotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

[[noreturn]] void ThrowErrno(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

// The loop of one thread. The queue and its lock are shared with posting
// threads; everything else (endpoints, watches, epoll calls that change the
// interest set) belongs to the owning thread.
class EventLoopCore {
public:
    EventLoopCore();
    ~EventLoopCore();
    EventLoopCore(const EventLoopCore&) = delete;
    EventLoopCore& operator=(const EventLoopCore&) = delete;

    // Any thread.
    void Push(const Entry& entry);
    void Signal();
    // Whether a post needs Signal. Posts of other threads always do. A post
    // of the owning thread does only when an outer loop watches the
    // descriptor (it was handed out) and the thread is not inside this loop
    // (collecting, delivering or waiting): inside, the loop takes the post
    // before it returns or blocks, and Wait looks at the queue before it
    // blocks.
    bool NeedsSignal() const
    {
        return std::this_thread::get_id() != FOwner || (FHosted && FActive == 0);
    }
    bool Withdraw(EndpointHandle target, uint64_t tag);
    void Purge(EndpointHandle target);
    bool HasAny();
    bool HasDeliverable();
    bool TakeQuit();

    // Owning thread only.
    void Attach(NotifyEndpoint* endpoint) { FEndpoints[endpoint->FHandle] = endpoint; }
    void Forget(EndpointHandle handle) { FEndpoints.erase(handle); }
    // Returns whether the wake-up descriptor fired (a post, a quit request
    // or the application's terminate request).
    bool Collect(int timeoutMs);
    bool DeliverAll();
    EventLoop::PumpResult PumpOne();
    bool Wait(int timeoutMs);
    void Watch(int fd, EventLoop::WatchCallback callback);
    void Arm(int fd, uint32_t epollEvents);
    void ArmLater(int fd, uint32_t epollEvents);
    void Unwatch(int fd);
    // Set by a Wait that collected something deliverable, cleared by every
    // collection and Arm: ProcessPending then delivers what was collected
    // without asking the kernel again at once.
    bool TakeFreshCollection()
    {
        const bool fresh = FFreshCollection;
        FFreshCollection = false;
        return fresh;
    }
    // Handing the descriptor out makes posts of the owning thread signal
    // from then on; what is queued already is signalled now.
    int Descriptor()
    {
        if (!FHosted) {
            FHosted = true;
            if (HasAny())
                Signal();
        }
        return FEpoll;
    }

    // Marks the owning thread as inside the loop for its lifetime.
    class Active {
    public:
        explicit Active(EventLoopCore& loop) : FLoop(loop) { ++FLoop.FActive; }
        ~Active() { --FLoop.FActive; }
        Active(const Active&) = delete;
        Active& operator=(const Active&) = delete;

    private:
        EventLoopCore& FLoop;
    };

private:
    struct Watched {
        EventLoop::WatchCallback Callback;
        uint32_t Events = 0;     // armed interest; 0 = not armed
        uint32_t Generation = 0; // bumped by every Arm, stale batch events are skipped
        bool InEpoll = false;
        bool Deferred = false; // Events still to be handed to the kernel (ArmLater)
    };

    bool TakeDeliverable(Entry& out);
    void Dispatch(const Entry& entry);
    // Returns whether the batch held the wake-up descriptor.
    bool RunBatch(const epoll_event* events, int count);
    void Rearm(int fd, const Watched& watched);
    // Starts a new arming of a watched descriptor (null when unwatched).
    Watched* NewArming(int fd, uint32_t epollEvents);
    // Hands the armings of ArmLater to the kernel.
    void ApplyDeferred();
    // Hands watched.Events to the kernel; raises when it refuses.
    void Apply(int fd, Watched& watched);
    void DrainWake();

    int FEpoll = -1;
    int FWake = -1;
    const std::thread::id FOwner = std::this_thread::get_id();
    int FActive = 0;      // owning thread only: depth of Collect, delivery and Wait
    bool FHosted = false; // owning thread only: an outer loop may watch the descriptor
    bool FFreshCollection = false; // owning thread only, see TakeFreshCollection
    std::vector<int> FDeferred;    // owning thread only: descriptors given to ArmLater

    std::mutex FLock;
    std::deque<Entry> FQueue; // guarded by FLock

    std::unordered_map<EndpointHandle, NotifyEndpoint*> FEndpoints;
    std::unordered_map<int, Watched> FWatches;
};

namespace {

// Where a handle's loop is found from any thread. Lock order: registry, then
// a loop's queue. Posting holds the registry lock while appending, so a
// detach (which unregisters first, then purges) can never miss an entry.
struct Registry {
    std::mutex Lock;
    std::unordered_map<EndpointHandle, std::weak_ptr<EventLoopCore>> Loops;
};

// Never destroyed: endpoints of static objects may still unregister while
// the program's statics are being torn down.
Registry& TheRegistry()
{
    static Registry* registry = new Registry;
    return *registry;
}

std::atomic<EndpointHandle> gNextHandle{1};

thread_local std::shared_ptr<EventLoopCore> tLoop;

// Every live loop, so that Application::Terminate can wake the waits of all
// threads. Never destroyed, like the registry.
struct LoopList {
    std::mutex Lock;
    std::vector<EventLoopCore*> Loops;
};

LoopList& TheLoops()
{
    static LoopList* loops = new LoopList;
    return *loops;
}

const std::shared_ptr<EventLoopCore>& CurrentLoop()
{
    if (!tLoop)
        tLoop = std::make_shared<EventLoopCore>();
    return tLoop;
}

EventLoopCore& Here() { return *CurrentLoop(); }

} // namespace

EventLoopCore::EventLoopCore()
{
    FEpoll = epoll_create1(EPOLL_CLOEXEC);
    if (FEpoll < 0)
        ThrowErrno("epoll_create1");
    FWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FWake < 0) {
        int err = errno;
        close(FEpoll);
        errno = err;
        ThrowErrno("eventfd");
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeMarker;
    if (epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWake, &ev) != 0) {
        int err = errno;
        close(FWake);
        close(FEpoll);
        errno = err;
        ThrowErrno("epoll_ctl(eventfd)");
    }
    LoopList& loops = TheLoops();
    std::lock_guard<std::mutex> guard(loops.Lock);
    loops.Loops.push_back(this);
}

EventLoopCore::~EventLoopCore()
{
    {
        LoopList& loops = TheLoops();
        std::lock_guard<std::mutex> guard(loops.Lock);
        loops.Loops.erase(std::remove(loops.Loops.begin(), loops.Loops.end(), this), loops.Loops.end());
    }
    close(FWake);
    close(FEpoll);
}

void EventLoopCore::Push(const Entry& entry)
{
    std::lock_guard<std::mutex> guard(FLock);
    FQueue.push_back(entry);
}

// A post signals, so the descriptor turns readable for an outer loop and a
// blocked Wait on the owning thread wakes; the counter is drained at the next
// collection. Posts of the owning thread that nobody needs to be woken for
// skip it (NeedsSignal): a request-response exchange would otherwise pay an
// eventfd write, a wake-up and a read for every notification it posts to
// itself.
void EventLoopCore::Signal()
{
    uint64_t one = 1;
    ssize_t written;
    do
        written = write(FWake, &one, sizeof one);
    while (written < 0 && errno == EINTR);
    // EAGAIN means the counter is saturated: it is readable anyway.
}

void EventLoopCore::DrainWake()
{
    uint64_t count;
    ssize_t got;
    do
        got = read(FWake, &count, sizeof count);
    while (got < 0 && errno == EINTR);
}

bool EventLoopCore::Withdraw(EndpointHandle target, uint64_t tag)
{
    std::lock_guard<std::mutex> guard(FLock);
    auto end = std::remove_if(FQueue.begin(), FQueue.end(), [&](const Entry& e) {
        return e.Target == target && e.Tag == tag;
    });
    bool removed = end != FQueue.end();
    FQueue.erase(end, FQueue.end());
    return removed;
}

void EventLoopCore::Purge(EndpointHandle target)
{
    std::lock_guard<std::mutex> guard(FLock);
    FQueue.erase(std::remove_if(FQueue.begin(), FQueue.end(),
                                [&](const Entry& e) { return e.Target == target; }),
                 FQueue.end());
}

bool EventLoopCore::HasAny()
{
    std::lock_guard<std::mutex> guard(FLock);
    return !FQueue.empty();
}

// A quit request left in the queue by ProcessPending is not work for
// ProcessPending or Wait: counting it would turn every wait of the
// application pump into a busy loop until someone runs the thread pump.
bool EventLoopCore::HasDeliverable()
{
    std::lock_guard<std::mutex> guard(FLock);
    return std::any_of(FQueue.begin(), FQueue.end(), [](const Entry& e) { return e.Target != 0; });
}

bool EventLoopCore::TakeQuit()
{
    std::lock_guard<std::mutex> guard(FLock);
    auto it = std::find_if(FQueue.begin(), FQueue.end(),
                           [](const Entry& e) { return e.Target == 0 && e.Msg.Msg == WM_QUIT; });
    if (it == FQueue.end())
        return false;
    FQueue.erase(it);
    return true;
}

bool EventLoopCore::TakeDeliverable(Entry& out)
{
    std::lock_guard<std::mutex> guard(FLock);
    for (auto it = FQueue.begin(); it != FQueue.end(); ++it) {
        if (it->Target != 0) {
            out = *it;
            FQueue.erase(it);
            return true;
        }
    }
    return false;
}

// Called without the lock. The handler may destroy its endpoint (its owner
// deleting itself), so it is called on a copy and the endpoint is not
// touched afterwards.
void EventLoopCore::Dispatch(const Entry& entry)
{
    auto it = FEndpoints.find(entry.Target);
    if (it == FEndpoints.end())
        return;
    NotifyEndpoint::Handler handler = it->second->FHandler;
    if (!handler)
        return;
    TMessage msg = entry.Msg;
    handler(msg);
}

bool EventLoopCore::DeliverAll()
{
    bool delivered = false;
    Entry entry;
    while (TakeDeliverable(entry)) {
        delivered = true;
        Dispatch(entry);
    }
    return delivered;
}

EventLoop::PumpResult EventLoopCore::PumpOne()
{
    Active active(*this);
    if (!HasAny())
        Collect(0);
    Entry entry;
    {
        std::lock_guard<std::mutex> guard(FLock);
        if (FQueue.empty())
            return EventLoop::PumpResult::Empty;
        entry = FQueue.front();
        FQueue.pop_front();
    }
    if (entry.Target == 0)
        return entry.Msg.Msg == WM_QUIT ? EventLoop::PumpResult::Quit
                                        : EventLoop::PumpResult::Dispatched;
    Dispatch(entry);
    return EventLoop::PumpResult::Dispatched;
}

// Waits at most timeoutMs (negative: without limit) for readiness, then runs
// the callbacks of what fired. When a full batch comes back, further ready
// descriptors are taken without waiting, a bounded number of times so that
// a callback that re-arms an always-ready descriptor cannot hold the loop.
bool EventLoopCore::Collect(int timeoutMs)
{
    epoll_event events[kMaxEvents];
    bool woken = false;
    FFreshCollection = false;
    for (int round = 0; round < kMaxCollectRounds; ++round) {
        ApplyDeferred();
        int count = epoll_wait(FEpoll, events, kMaxEvents, timeoutMs);
        if (count < 0) {
            if (errno == EINTR)
                return woken;
            ThrowErrno("epoll_wait");
        }
        woken = RunBatch(events, count) || woken;
        if (count < kMaxEvents)
            return woken;
        timeoutMs = 0;
    }
    return woken;
}

bool EventLoopCore::RunBatch(const epoll_event* events, int count)
{
    bool woken = false;
    for (int i = 0; i < count; ++i) {
        uint64_t data = events[i].data.u64;
        if (data == kWakeMarker) {
            DrainWake();
            woken = true;
            continue;
        }
        int fd = static_cast<int>(data & 0xffffffffu);
        auto generation = static_cast<uint32_t>(data >> 32);
        auto it = FWatches.find(fd);
        // Unwatched, disarmed or re-armed by an earlier callback of this
        // batch: this event belongs to an arming that no longer exists.
        if (it == FWatches.end() || it->second.Generation != generation || it->second.Events == 0)
            continue;
        // One-shot: the kernel has disabled the descriptor.
        it->second.Events = 0;
        EventLoop::WatchCallback callback = it->second.Callback;
        if (!callback)
            continue;
        try {
            callback(events[i].events);
        } catch (...) {
            // The rest of the batch has been disabled by the kernel but not
            // reported; give those armings back so nothing is lost.
            for (int j = i + 1; j < count; ++j) {
                uint64_t rest = events[j].data.u64;
                if (rest == kWakeMarker)
                    continue;
                auto other = FWatches.find(static_cast<int>(rest & 0xffffffffu));
                if (other != FWatches.end() && other->second.Generation == static_cast<uint32_t>(rest >> 32)
                    && other->second.Events != 0)
                    Rearm(other->first, other->second);
            }
            throw;
        }
    }
    return woken;
}

void EventLoopCore::Rearm(int fd, const Watched& watched)
{
    epoll_event ev{};
    ev.events = watched.Events | EPOLLONESHOT;
    ev.data.u64 = (uint64_t(watched.Generation) << 32) | uint32_t(fd);
    epoll_ctl(FEpoll, EPOLL_CTL_MOD, fd, &ev);
}

bool EventLoopCore::Wait(int timeoutMs)
{
    Active active(*this);
    if (HasDeliverable())
        return true;
    const int64_t deadline = timeoutMs >= 0 ? MonotonicNs() + int64_t(timeoutMs) * 1000000 : 0;
    for (;;) {
        int waitMs = -1;
        if (timeoutMs >= 0) {
            int64_t left = deadline - MonotonicNs();
            // Rounded up, so the wait never ends before the deadline.
            waitMs = left <= 0 ? 0 : static_cast<int>(std::min<int64_t>((left + 999999) / 1000000, INT_MAX));
        }
        // A signal with nothing deliverable behind it is a quit request or
        // the application's terminate request: the waiter must look at its
        // flags now, not at the deadline.
        if (Collect(waitMs))
            return FFreshCollection = HasDeliverable();
        if (HasDeliverable())
            return FFreshCollection = true;
        if (timeoutMs >= 0 && MonotonicNs() >= deadline)
            return false;
    }
}

// Watching alone registers nothing with epoll: a registered descriptor
// reports hang-up and errors even with an empty interest set, and a watched
// but unarmed descriptor must stay silent.
void EventLoopCore::Watch(int fd, EventLoop::WatchCallback callback)
{
    FWatches[fd].Callback = std::move(callback);
}

EventLoopCore::Watched* EventLoopCore::NewArming(int fd, uint32_t epollEvents)
{
    auto it = FWatches.find(fd);
    if (it == FWatches.end())
        return nullptr;
    ++it->second.Generation;
    it->second.Events = epollEvents;
    return &it->second;
}

void EventLoopCore::Arm(int fd, uint32_t epollEvents)
{
    Watched* found = NewArming(fd, epollEvents);
    if (!found)
        return;
    Watched& watched = *found;
    watched.Deferred = false;
    FFreshCollection = false; // the kernel may have more to say now
    if (epollEvents == 0) {
        if (watched.InEpoll) {
            epoll_ctl(FEpoll, EPOLL_CTL_DEL, fd, nullptr);
            watched.InEpoll = false;
        }
        return;
    }
    Apply(fd, watched);
}

void EventLoopCore::ArmLater(int fd, uint32_t epollEvents)
{
    Watched* watched = NewArming(fd, epollEvents);
    if (watched && !watched->Deferred) {
        watched->Deferred = true;
        FDeferred.push_back(fd);
    }
}

// A deferred arming of nothing needs no call: the fired one-shot
// registration stays in the kernel, silent, and a later arming modifies it.
// An arming the kernel refuses (a descriptor closed behind the loop's back)
// is dropped, as a refused Arm is, without holding up the others.
void EventLoopCore::ApplyDeferred()
{
    if (FDeferred.empty())
        return;
    std::vector<int> pending;
    pending.swap(FDeferred);
    for (int fd : pending) {
        auto it = FWatches.find(fd);
        if (it == FWatches.end() || !it->second.Deferred)
            continue;
        it->second.Deferred = false;
        if (it->second.Events == 0)
            continue;
        try {
            Apply(fd, it->second);
        } catch (const std::system_error&) {
        }
    }
}

void EventLoopCore::Apply(int fd, Watched& watched)
{
    epoll_event ev{};
    ev.events = watched.Events | EPOLLONESHOT;
    ev.data.u64 = (uint64_t(watched.Generation) << 32) | uint32_t(fd);
    // The kernel drops a registration by itself when the descriptor is
    // closed, so a MOD may find nothing and an ADD may find one left behind.
    if (watched.InEpoll && epoll_ctl(FEpoll, EPOLL_CTL_MOD, fd, &ev) == 0)
        return;
    if (epoll_ctl(FEpoll, EPOLL_CTL_ADD, fd, &ev) == 0
        || (errno == EEXIST && epoll_ctl(FEpoll, EPOLL_CTL_MOD, fd, &ev) == 0)) {
        watched.InEpoll = true;
        return;
    }
    watched.Events = 0;
    watched.InEpoll = false;
    ThrowErrno("epoll_ctl(arm)");
}

void EventLoopCore::Unwatch(int fd)
{
    auto it = FWatches.find(fd);
    if (it == FWatches.end())
        return;
    if (it->second.InEpoll)
        epoll_ctl(FEpoll, EPOLL_CTL_DEL, fd, nullptr);
    FWatches.erase(it);
}

// ---------------------------------------------------------------------------
// NotifyEndpoint. Created, used and destroyed on its loop's thread; only
// posting and withdrawing go through the registry from other threads.

NotifyEndpoint::NotifyEndpoint(Handler handler)
    : FLoop(CurrentLoop()), FHandle(gNextHandle.fetch_add(1)), FHandler(std::move(handler))
{
    FLoop->Attach(this);
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.Lock);
    registry.Loops.emplace(FHandle, FLoop);
}

NotifyEndpoint::~NotifyEndpoint()
{
    Detach();
}

void NotifyEndpoint::SetHandler(Handler handler)
{
    FHandler = std::move(handler);
}

void NotifyEndpoint::Detach()
{
    if (!FLoop)
        return;
    {
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> guard(registry.Lock);
        registry.Loops.erase(FHandle);
    }
    FLoop->Forget(FHandle);
    FLoop->Purge(FHandle);
    FLoop.reset();
}

bool NotifyEndpoint::Post(uint32_t msg, uintptr_t wParam, intptr_t lParam) const
{
    return PostNotification(FHandle, msg, wParam, lParam);
}

bool PostNotification(EndpointHandle target, uint32_t msg, uintptr_t wParam, intptr_t lParam,
                      uint64_t tag)
{
    if (target == 0)
        return false;
    std::shared_ptr<EventLoopCore> loop;
    {
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> guard(registry.Lock);
        auto it = registry.Loops.find(target);
        if (it == registry.Loops.end())
            return false;
        loop = it->second.lock();
        if (!loop)
            return false;
        loop->Push(Entry{target, TMessage{msg, wParam, lParam}, tag});
    }
    if (loop->NeedsSignal())
        loop->Signal();
    return true;
}

bool WithdrawTagged(EndpointHandle target, uint64_t tag)
{
    // Untagged entries are never withdrawn.
    if (target == 0 || tag == 0)
        return false;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.Lock);
    auto it = registry.Loops.find(target);
    if (it == registry.Loops.end())
        return false;
    std::shared_ptr<EventLoopCore> loop = it->second.lock();
    return loop && loop->Withdraw(target, tag);
}

void PostQuitRequest()
{
    EventLoopCore& loop = Here();
    loop.Push(Entry{0, TMessage{WM_QUIT, 0, 0}, 0});
    loop.Signal();
}

// ---------------------------------------------------------------------------
// EventLoop: the calling thread's loop.

bool EventLoop::ProcessPending()
{
    // Held across delivery so that the loop outlives whatever the handlers
    // destroy.
    std::shared_ptr<EventLoopCore> loop = CurrentLoop();
    EventLoopCore::Active active(*loop);
    // Right after a Wait that collected, asking the kernel again before
    // delivering what it found would only repeat the same answer.
    if (!loop->TakeFreshCollection())
        loop->Collect(0);
    return loop->DeliverAll();
}

EventLoop::PumpResult EventLoop::PumpOne()
{
    std::shared_ptr<EventLoopCore> loop = CurrentLoop();
    return loop->PumpOne();
}

bool EventLoop::Wait(int timeoutMs)
{
    return Here().Wait(timeoutMs);
}

bool EventLoop::HasPending()
{
    return Here().HasAny();
}

int EventLoop::Descriptor()
{
    return Here().Descriptor();
}

void EventLoop::Watch(int fd, WatchCallback callback)
{
    Here().Watch(fd, std::move(callback));
}

void EventLoop::Arm(int fd, uint32_t epollEvents)
{
    Here().Arm(fd, epollEvents);
}

void EventLoop::ArmLater(int fd, uint32_t epollEvents)
{
    Here().ArmLater(fd, epollEvents);
}

void EventLoop::Unwatch(int fd)
{
    Here().Unwatch(fd);
}

// ---------------------------------------------------------------------------
// Application

namespace {
std::atomic<Application::FrontEnd*> gFrontEnd{nullptr};
std::atomic<bool> gTerminated{false};
} // namespace

void Application::SetFrontEnd(FrontEnd* frontEnd)
{
    gFrontEnd.store(frontEnd);
}

// The application's pump ends the application on a quit request, as the
// platform's pump does: the request is taken off the queue and the
// terminating flag set.
void Application::ProcessMessages()
{
    if (FrontEnd* frontEnd = gFrontEnd.load())
        frontEnd->ProcessEvents();
    EventLoop::ProcessPending();
    if (Here().TakeQuit())
        Terminate();
}

bool Application::WaitMessage(int timeoutMs)
{
    FrontEnd* frontEnd = gFrontEnd.load();
    if (!frontEnd)
        return EventLoop::Wait(timeoutMs);
    if (Here().HasDeliverable())
        return true;
    // The front end does not say what woke it (it may have delivered the
    // platform loop's notifications itself); returning before the timeout
    // counts as an arrival.
    const int64_t start = MonotonicNs();
    frontEnd->WaitForEvents(timeoutMs);
    return timeoutMs < 0 || Here().HasDeliverable()
           || MonotonicNs() - start < int64_t(timeoutMs) * 1000000;
}

bool Application::Terminated()
{
    return gTerminated.load();
}

// Wakes the blocked waits of every thread, so that each can see the flag.
void Application::Terminate()
{
    gTerminated.store(true);
    LoopList& loops = TheLoops();
    std::lock_guard<std::mutex> guard(loops.Lock);
    for (EventLoopCore* loop : loops.Loops)
        loop->Signal();
}

void Application::ResetTerminated()
{
    gTerminated.store(false);
}

uint32_t GetTickCount()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
    return static_cast<uint32_t>(ms);
}

} // namespace platform
