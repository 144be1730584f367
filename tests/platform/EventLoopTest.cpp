#include "platform/EventLoop.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace platform;

namespace {

constexpr uint32_t kCode = WM_USER + 100;

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t ThreadCpuUs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// An endpoint that appends "<name>:<WParam>" for every notification.
struct Recorder {
    Recorder(std::vector<std::string>& log, std::string name)
        : Endpoint([&log, name](TMessage& m) { log.push_back(name + ":" + std::to_string(m.WParam)); })
    {
    }
    NotifyEndpoint Endpoint;
};

// A connected pair of non-blocking stream sockets, unwatched before closing.
struct SocketPair {
    SocketPair()
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, Fd), 0);
    }
    ~SocketPair()
    {
        CloseEnd(0);
        CloseEnd(1);
    }
    void CloseEnd(int i)
    {
        if (Fd[i] < 0)
            return;
        EventLoop::Unwatch(Fd[i]);
        close(Fd[i]);
        Fd[i] = -1;
    }
    void SendByte(int i = 1) { EXPECT_EQ(write(Fd[i], "x", 1), 1); }
    int Fd[2] = {-1, -1};
};

class EventLoopTest : public ::testing::Test {
protected:
    // The loop belongs to the test thread and outlives each test: leave it
    // empty, quit requests included.
    static void Drain()
    {
        while (EventLoop::PumpOne() != EventLoop::PumpResult::Empty) {
        }
    }
    void SetUp() override { Drain(); }
    void TearDown() override
    {
        Application::SetFrontEnd(nullptr);
        Drain();
    }
};

TEST_F(EventLoopTest, NothingIsDeliveredFromInsideThePost)
{
    std::vector<std::string> log;
    Recorder a(log, "a");
    EXPECT_TRUE(a.Endpoint.Post(kCode, 1, 0));
    EXPECT_TRUE(PostNotification(a.Endpoint.Handle(), kCode, 2, 0));
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(EventLoop::HasPending());

    EXPECT_TRUE(EventLoop::ProcessPending());
    EXPECT_EQ(log, (std::vector<std::string>{"a:1", "a:2"}));
    EXPECT_FALSE(EventLoop::ProcessPending());
    EXPECT_FALSE(EventLoop::HasPending());

    EXPECT_FALSE(PostNotification(0, kCode, 0, 0));
    EXPECT_FALSE(PostNotification(a.Endpoint.Handle() + 1000000, kCode, 0, 0));
}

TEST_F(EventLoopTest, HandlersGetTheMessageAndEndpointsWithoutHandlerSwallowIt)
{
    TMessage got;
    NotifyEndpoint quiet;
    NotifyEndpoint loud([&](TMessage& m) { got = m; });
    EXPECT_NE(quiet.Handle(), loud.Handle());
    quiet.Post(kCode, 5, 5);
    loud.Post(kCode + 1, 7, -9);
    EXPECT_TRUE(EventLoop::ProcessPending());
    EXPECT_EQ(got.Msg, kCode + 1);
    EXPECT_EQ(got.WParam, 7u);
    EXPECT_EQ(got.LParam, -9);
    EXPECT_FALSE(EventLoop::HasPending());

    // A handler installed later takes the following notifications.
    int count = 0;
    quiet.SetHandler([&](TMessage&) { ++count; });
    quiet.Post(kCode, 0, 0);
    EventLoop::ProcessPending();
    EXPECT_EQ(count, 1);
}

TEST_F(EventLoopTest, PostsAndReadinessShareOneFifo)
{
    std::vector<std::string> log;
    Recorder r(log, "r");
    SocketPair pair;
    int fired = 0;
    EventLoop::Watch(pair.Fd[0], [&](uint32_t events) {
        EXPECT_TRUE(events & EPOLLIN);
        r.Endpoint.Post(kCode, 100 + fired++, 0);
    });

    // Posted before the readiness is collected: comes first.
    r.Endpoint.Post(kCode, 1, 0);
    EventLoop::Arm(pair.Fd[0], EPOLLIN);
    pair.SendByte();
    EXPECT_TRUE(EventLoop::ProcessPending());
    EXPECT_EQ(log, (std::vector<std::string>{"r:1", "r:100"}));

    // Readiness collected by a wait, then a post: the readiness comes first.
    log.clear();
    EventLoop::Arm(pair.Fd[0], EPOLLIN);
    EXPECT_TRUE(EventLoop::Wait(5000));
    r.Endpoint.Post(kCode, 2, 0);
    EXPECT_TRUE(EventLoop::ProcessPending());
    EXPECT_EQ(log, (std::vector<std::string>{"r:101", "r:2"}));
}

TEST_F(EventLoopTest, PostDuringDeliveryArrivesInTheSameCall)
{
    std::vector<std::string> log;
    Recorder other(log, "other");
    NotifyEndpoint self([&](TMessage& m) {
        log.push_back("self:" + std::to_string(m.WParam));
        if (m.WParam < 3) {
            PostNotification(other.Endpoint.Handle(), kCode, m.WParam, 0);
            self.Post(kCode, m.WParam + 1, 0);
        }
    });
    self.Post(kCode, 1, 0);
    EXPECT_TRUE(EventLoop::ProcessPending());
    EXPECT_EQ(log, (std::vector<std::string>{"self:1", "other:1", "self:2", "other:2", "self:3"}));
    EXPECT_FALSE(EventLoop::ProcessPending());
}

TEST_F(EventLoopTest, NestedProcessPendingDeliversTheRest)
{
    std::vector<std::string> log;
    Recorder b(log, "b");
    NotifyEndpoint a([&](TMessage&) {
        log.push_back("a begins");
        EXPECT_TRUE(EventLoop::ProcessPending());
        log.push_back("a ends");
    });
    a.Post(kCode, 0, 0);
    b.Endpoint.Post(kCode, 1, 0);
    b.Endpoint.Post(kCode, 2, 0);
    EXPECT_TRUE(EventLoop::ProcessPending());
    EXPECT_EQ(log, (std::vector<std::string>{"a begins", "b:1", "b:2", "a ends"}));
}

TEST_F(EventLoopTest, DestroyingOrDetachingDropsQueuedNotifications)
{
    std::vector<std::string> log;
    auto doomed = std::make_unique<Recorder>(log, "doomed");
    Recorder kept(log, "kept");
    doomed->Endpoint.Post(kCode, 1, 0);
    kept.Endpoint.Post(kCode, 2, 0);
    doomed->Endpoint.Post(kCode, 3, 0);
    EndpointHandle doomedHandle = doomed->Endpoint.Handle();
    doomed.reset();
    EXPECT_FALSE(PostNotification(doomedHandle, kCode, 4, 0));
    EXPECT_TRUE(EventLoop::ProcessPending());
    EXPECT_EQ(log, std::vector<std::string>{"kept:2"});

    log.clear();
    kept.Endpoint.Post(kCode, 5, 0);
    kept.Endpoint.Detach();
    EXPECT_FALSE(kept.Endpoint.Post(kCode, 6, 0));
    EXPECT_FALSE(EventLoop::ProcessPending());
    EXPECT_TRUE(log.empty());
    kept.Endpoint.Detach(); // twice, and then destruction: harmless
}

// The owner frees itself from inside its own handler, as the socket does on
// its deferred-destroy notification.
class SelfDeleting {
public:
    explicit SelfDeleting(std::vector<std::string>& log)
        : FLog(log), FEndpoint([this](TMessage& m) { Handle(m); })
    {
    }
    EndpointHandle Handle() const { return FEndpoint.Handle(); }

private:
    void Handle(TMessage& m)
    {
        FLog.push_back("self:" + std::to_string(m.WParam));
        delete this;
    }
    std::vector<std::string>& FLog;
    NotifyEndpoint FEndpoint;
};

TEST_F(EventLoopTest, EndpointDestroyedInsideItsOwnHandler)
{
    std::vector<std::string> log;
    Recorder before(log, "before");
    Recorder after(log, "after");
    auto* victim = new SelfDeleting(log);
    EndpointHandle victimHandle = victim->Handle();
    before.Endpoint.Post(kCode, 0, 0);
    PostNotification(victimHandle, kCode, 1, 0);
    PostNotification(victimHandle, kCode, 2, 0);
    after.Endpoint.Post(kCode, 3, 0);
    EXPECT_TRUE(EventLoop::ProcessPending());
    EXPECT_EQ(log, (std::vector<std::string>{"before:0", "self:1", "after:3"}));
    EXPECT_FALSE(PostNotification(victimHandle, kCode, 4, 0));
}

TEST_F(EventLoopTest, HandlerDestroyingAnotherEndpointDropsItsEntries)
{
    std::vector<std::string> log;
    auto victim = std::make_unique<Recorder>(log, "victim");
    NotifyEndpoint killer([&](TMessage&) {
        log.push_back("killer");
        victim.reset();
    });
    killer.Post(kCode, 0, 0);
    victim->Endpoint.Post(kCode, 1, 0);
    EXPECT_TRUE(EventLoop::ProcessPending());
    EXPECT_EQ(log, std::vector<std::string>{"killer"});
}

TEST_F(EventLoopTest, WorkerPostArrivesOnOwningThreadAndWakesWait)
{
    const std::thread::id owner = std::this_thread::get_id();
    std::thread::id deliveredOn;
    int delivered = 0;
    NotifyEndpoint endpoint([&](TMessage& m) {
        deliveredOn = std::this_thread::get_id();
        delivered += static_cast<int>(m.WParam);
    });
    EndpointHandle handle = endpoint.Handle();
    std::thread worker([handle] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        PostNotification(handle, kCode, 1, 0);
    });
    // Blocks until the worker's post; the timeout is only a watchdog.
    EXPECT_TRUE(EventLoop::Wait(10000));
    worker.join();
    EXPECT_EQ(delivered, 0);
    EXPECT_TRUE(EventLoop::ProcessPending());
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(deliveredOn, owner);
}

TEST_F(EventLoopTest, ManyWorkersKeepTheirOrder)
{
    constexpr int kThreads = 4;
    constexpr int kPosts = 500;
    std::vector<int> next(kThreads, 0);
    int total = 0;
    bool ordered = true;
    NotifyEndpoint endpoint([&](TMessage& m) {
        auto t = static_cast<size_t>(m.LParam);
        ordered = ordered && static_cast<int>(m.WParam) == next[t];
        ++next[t];
        ++total;
    });
    EndpointHandle handle = endpoint.Handle();
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([handle, t] {
            for (int i = 0; i < kPosts; ++i)
                PostNotification(handle, kCode, static_cast<uintptr_t>(i), t);
        });
    const int64_t watchdog = NowMs() + 20000;
    while (total < kThreads * kPosts && NowMs() < watchdog) {
        EventLoop::Wait(1000);
        EventLoop::ProcessPending();
    }
    for (auto& w : workers)
        w.join();
    EventLoop::ProcessPending();
    EXPECT_EQ(total, kThreads * kPosts);
    EXPECT_TRUE(ordered);
}

TEST_F(EventLoopTest, QuitRequestIsLeftForTheThreadPump)
{
    std::vector<std::string> log;
    Recorder r(log, "r");
    r.Endpoint.Post(kCode, 1, 0);
    PostQuitRequest();
    r.Endpoint.Post(kCode, 2, 0);

    // The application pump delivers around the quit request and leaves it.
    EXPECT_TRUE(EventLoop::ProcessPending());
    EXPECT_EQ(log, (std::vector<std::string>{"r:1", "r:2"}));
    EXPECT_TRUE(EventLoop::HasPending());
    EXPECT_FALSE(EventLoop::ProcessPending());
    // A quit request alone is no reason for a wait to end early.
    EXPECT_FALSE(EventLoop::Wait(50));

    EXPECT_EQ(EventLoop::PumpOne(), EventLoop::PumpResult::Quit);
    EXPECT_EQ(EventLoop::PumpOne(), EventLoop::PumpResult::Empty);
    EXPECT_EQ(log.size(), 2u);
}

TEST_F(EventLoopTest, PumpOneTakesOneEntryInOrder)
{
    std::vector<std::string> log;
    Recorder r(log, "r");
    r.Endpoint.Post(kCode, 1, 0);
    PostQuitRequest();
    r.Endpoint.Post(kCode, 2, 0);
    EXPECT_EQ(EventLoop::PumpOne(), EventLoop::PumpResult::Dispatched);
    EXPECT_EQ(log, std::vector<std::string>{"r:1"});
    EXPECT_EQ(EventLoop::PumpOne(), EventLoop::PumpResult::Quit);
    EXPECT_EQ(log.size(), 1u);
    EXPECT_EQ(EventLoop::PumpOne(), EventLoop::PumpResult::Dispatched);
    EXPECT_EQ(EventLoop::PumpOne(), EventLoop::PumpResult::Empty);
    EXPECT_EQ(log, (std::vector<std::string>{"r:1", "r:2"}));

    // With an empty queue the thread pump collects readiness itself.
    SocketPair pair;
    EventLoop::Watch(pair.Fd[0], [&](uint32_t) { r.Endpoint.Post(kCode, 3, 0); });
    EventLoop::Arm(pair.Fd[0], EPOLLIN);
    pair.SendByte();
    EXPECT_EQ(EventLoop::PumpOne(), EventLoop::PumpResult::Dispatched);
    EXPECT_EQ(log.back(), "r:3");
}

TEST_F(EventLoopTest, WithdrawTaggedRemovesOnlyThoseEntries)
{
    std::vector<std::string> log;
    Recorder a(log, "a");
    Recorder b(log, "b");
    PostNotification(a.Endpoint.Handle(), kCode, 1, 0, 7);
    PostNotification(a.Endpoint.Handle(), kCode, 2, 0);
    PostNotification(a.Endpoint.Handle(), kCode, 3, 0, 8);
    PostNotification(a.Endpoint.Handle(), kCode, 4, 0, 7);
    PostNotification(b.Endpoint.Handle(), kCode, 5, 0, 7);

    EXPECT_TRUE(WithdrawTagged(a.Endpoint.Handle(), 7));
    EXPECT_FALSE(WithdrawTagged(a.Endpoint.Handle(), 7));
    EXPECT_FALSE(WithdrawTagged(a.Endpoint.Handle(), 0)); // untagged ones stay
    EXPECT_FALSE(WithdrawTagged(0, 8));
    EXPECT_TRUE(EventLoop::ProcessPending());
    EXPECT_EQ(log, (std::vector<std::string>{"a:2", "a:3", "b:5"}));
}

TEST_F(EventLoopTest, WaitEndsOnTimeoutWithoutUsingTheProcessor)
{
    const int64_t start = NowMs();
    const int64_t cpuStart = ThreadCpuUs();
    EXPECT_FALSE(EventLoop::Wait(1000));
    const int64_t cpuUs = ThreadCpuUs() - cpuStart;
    EXPECT_GE(NowMs() - start, 1000);
    EXPECT_LT(cpuUs, 50000) << "a wait with nothing to do used the processor";

    EXPECT_FALSE(EventLoop::Wait(0));
}

TEST_F(EventLoopTest, ReadinessThatPostsNothingDoesNotEndTheWait)
{
    SocketPair pair;
    int fired = 0;
    EventLoop::Watch(pair.Fd[0], [&](uint32_t) { ++fired; });
    EventLoop::Arm(pair.Fd[0], EPOLLIN);
    pair.SendByte();
    const int64_t start = NowMs();
    const int64_t cpuStart = ThreadCpuUs();
    EXPECT_FALSE(EventLoop::Wait(300));
    EXPECT_GE(NowMs() - start, 300);
    EXPECT_LT(ThreadCpuUs() - cpuStart, 50000);
    EXPECT_EQ(fired, 1);
}

// An arming made by the descriptor's own callback reaches the kernel at the
// loop's next collection (the unread byte is reported again then); an Arm
// before that replaces it.
TEST_F(EventLoopTest, ArmingLaterTakesEffectAtTheNextCollection)
{
    SocketPair pair;
    int fired = 0;
    EventLoop::Watch(pair.Fd[0], [&](uint32_t) {
        ++fired;
        EventLoop::ArmLater(pair.Fd[0], EPOLLIN);
    });
    pair.SendByte();
    EventLoop::Arm(pair.Fd[0], EPOLLIN);
    EventLoop::ProcessPending();
    EXPECT_EQ(fired, 1);
    EventLoop::ProcessPending();
    EXPECT_EQ(fired, 2);
    EventLoop::Arm(pair.Fd[0], 0);
    EXPECT_FALSE(EventLoop::Wait(50));
    EventLoop::ProcessPending();
    EXPECT_EQ(fired, 2);
}

TEST_F(EventLoopTest, ArmingIsOneShot)
{
    SocketPair pair;
    int fired = 0;
    uint32_t lastEvents = 0;
    EventLoop::Watch(pair.Fd[0], [&](uint32_t events) {
        ++fired;
        lastEvents = events;
    });
    pair.SendByte();
    // Watched but not armed: silent.
    EventLoop::ProcessPending();
    EXPECT_EQ(fired, 0);

    EventLoop::Arm(pair.Fd[0], EPOLLIN);
    EventLoop::ProcessPending();
    EventLoop::ProcessPending();
    EXPECT_FALSE(EventLoop::Wait(50));
    EXPECT_EQ(fired, 1); // the byte is still unread
    EXPECT_TRUE(lastEvents & EPOLLIN);

    EventLoop::Arm(pair.Fd[0], EPOLLIN);
    EventLoop::ProcessPending();
    EXPECT_EQ(fired, 2);

    // Disarmed: not even a hung-up descriptor wakes the loop.
    EventLoop::Arm(pair.Fd[0], EPOLLIN);
    EventLoop::Arm(pair.Fd[0], 0);
    pair.CloseEnd(1);
    struct pollfd pfd = {EventLoop::Descriptor(), POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 0);
    EXPECT_FALSE(EventLoop::Wait(200));
    EXPECT_EQ(fired, 2);

    // Armed again, the hang-up is reported.
    EventLoop::Arm(pair.Fd[0], EPOLLIN | EPOLLRDHUP);
    EventLoop::ProcessPending();
    EXPECT_EQ(fired, 3);
    EXPECT_TRUE(lastEvents & (EPOLLHUP | EPOLLRDHUP));
}

TEST_F(EventLoopTest, CallbackMayUnwatchAnotherDescriptorOfTheSameBatch)
{
    SocketPair one;
    SocketPair two;
    int calls = 0;
    EventLoop::Watch(one.Fd[0], [&](uint32_t) {
        ++calls;
        EventLoop::Unwatch(two.Fd[0]);
    });
    EventLoop::Watch(two.Fd[0], [&](uint32_t) {
        ++calls;
        EventLoop::Unwatch(one.Fd[0]);
    });
    EventLoop::Arm(one.Fd[0], EPOLLIN);
    EventLoop::Arm(two.Fd[0], EPOLLIN);
    one.SendByte();
    two.SendByte();
    // Both are ready before collection; whichever runs first removes the
    // other, whose callback must then not run.
    EventLoop::ProcessPending();
    EXPECT_EQ(calls, 1);
}

TEST_F(EventLoopTest, RearmingFromAnotherCallbackReplacesTheBatchedReport)
{
    SocketPair one;
    SocketPair two;
    std::vector<uint32_t> got[2];
    int first = -1;
    auto callback = [&](int self, int other) {
        return [&, self, other](uint32_t events) {
            got[self].push_back(events);
            if (first < 0) {
                first = self;
                EventLoop::Arm(other, EPOLLOUT);
            }
        };
    };
    EventLoop::Watch(one.Fd[0], callback(0, two.Fd[0]));
    EventLoop::Watch(two.Fd[0], callback(1, one.Fd[0]));
    EventLoop::Arm(one.Fd[0], EPOLLIN);
    EventLoop::Arm(two.Fd[0], EPOLLIN);
    one.SendByte();
    two.SendByte();
    // Both reports come in one batch; the one for the descriptor re-armed by
    // the first callback belongs to the old arming and must not be run.
    EventLoop::ProcessPending();
    ASSERT_GE(first, 0);
    const int second = 1 - first;
    EXPECT_EQ(got[first].size(), 1u);
    EXPECT_TRUE(got[second].empty());
    EventLoop::ProcessPending();
    ASSERT_EQ(got[second].size(), 1u);
    EXPECT_TRUE(got[second][0] & EPOLLOUT);
    EXPECT_FALSE(got[second][0] & EPOLLIN);
}

TEST_F(EventLoopTest, CallbackMayRearmAndUnwatchItself)
{
    SocketPair pair;
    int fired = 0;
    EventLoop::Watch(pair.Fd[0], [&](uint32_t) {
        if (++fired == 1)
            EventLoop::Arm(pair.Fd[0], EPOLLIN);
        else
            EventLoop::Unwatch(pair.Fd[0]);
    });
    EventLoop::Arm(pair.Fd[0], EPOLLIN);
    pair.SendByte();
    EventLoop::ProcessPending();
    EXPECT_EQ(fired, 1);
    EventLoop::ProcessPending();
    EXPECT_EQ(fired, 2);
    EventLoop::Arm(pair.Fd[0], EPOLLIN); // unwatched: ignored
    EventLoop::ProcessPending();
    EXPECT_EQ(fired, 2);
}

TEST_F(EventLoopTest, DescriptorIsReadableOnlyWhileThereIsWork)
{
    struct pollfd pfd = {EventLoop::Descriptor(), POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 0);
    NotifyEndpoint endpoint;
    endpoint.Post(kCode, 0, 0);
    EXPECT_EQ(poll(&pfd, 1, 0), 1);
    EventLoop::ProcessPending();
    EXPECT_EQ(poll(&pfd, 1, 0), 0);
}

// The loop takes what it posts to itself before it returns or blocks, so
// those posts leave no wake-up behind: an outer loop watching the descriptor
// is not called again for nothing.
TEST_F(EventLoopTest, PostsFromInsideTheLoopLeaveNoWakeUpBehind)
{
    struct pollfd pfd = {EventLoop::Descriptor(), POLLIN, 0};
    std::vector<std::string> log;
    Recorder second(log, "second");
    NotifyEndpoint first([&](TMessage& m) {
        log.push_back("first:" + std::to_string(m.WParam));
        second.Endpoint.Post(kCode, m.WParam + 1, 0);
    });
    SocketPair pair;
    EventLoop::Watch(pair.Fd[0], [&](uint32_t) { first.Post(kCode, 10, 0); });
    EventLoop::Arm(pair.Fd[0], EPOLLIN);

    first.Post(kCode, 1, 0); // from outside, and the descriptor is handed out: wakes
    EXPECT_EQ(poll(&pfd, 1, 0), 1);
    EventLoop::ProcessPending();
    EXPECT_EQ(poll(&pfd, 1, 0), 0);

    pair.SendByte(); // readiness posts from inside Wait
    EXPECT_TRUE(EventLoop::Wait(1000));
    EventLoop::ProcessPending();
    EXPECT_EQ(poll(&pfd, 1, 0), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"first:1", "second:2", "first:10", "second:11"}));
}

// A front end that records its calls and can post from its own pump.
class FakeFrontEnd : public Application::FrontEnd {
public:
    void ProcessEvents() override
    {
        Calls.push_back("events");
        if (PostFromPump)
            PostFromPump->Post(kCode, 9, 0);
    }
    void WaitForEvents(int timeoutMs) override
    {
        Calls.push_back("wait " + std::to_string(timeoutMs));
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs));
    }
    std::vector<std::string> Calls;
    NotifyEndpoint* PostFromPump = nullptr;
};

TEST_F(EventLoopTest, ApplicationPumpAndWaitWithoutFrontEnd)
{
    std::vector<std::string> log;
    Recorder r(log, "r");
    EXPECT_FALSE(Application::WaitMessage(50));
    r.Endpoint.Post(kCode, 1, 0);
    EXPECT_TRUE(EventLoop::Wait(-1));
    const int64_t start = NowMs();
    EXPECT_TRUE(Application::WaitMessage(10000));
    EXPECT_LT(NowMs() - start, 5000); // returned at once, not at the watchdog
    Application::ProcessMessages();
    EXPECT_EQ(log, std::vector<std::string>{"r:1"});

    std::thread worker([h = r.Endpoint.Handle()] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        PostNotification(h, kCode, 2, 0);
    });
    EXPECT_TRUE(Application::WaitMessage(10000));
    worker.join();
}

TEST_F(EventLoopTest, ApplicationPumpAndWaitWithFrontEnd)
{
    std::vector<std::string> log;
    Recorder r(log, "r");
    FakeFrontEnd front;
    front.PostFromPump = &r.Endpoint;
    Application::SetFrontEnd(&front);

    // The front end's pump runs first; what it posts is delivered by the
    // same call.
    Application::ProcessMessages();
    EXPECT_EQ(front.Calls, std::vector<std::string>{"events"});
    EXPECT_EQ(log, std::vector<std::string>{"r:9"});

    // Something queued: no waiting in the front end.
    r.Endpoint.Post(kCode, 1, 0);
    EXPECT_TRUE(Application::WaitMessage(1000));
    EXPECT_EQ(front.Calls.size(), 1u);

    EventLoop::ProcessPending();
    EXPECT_FALSE(Application::WaitMessage(30));
    EXPECT_EQ(front.Calls.back(), "wait 30");

    Application::SetFrontEnd(nullptr);
    EXPECT_FALSE(Application::WaitMessage(0));
    EXPECT_EQ(front.Calls.size(), 2u);
}

TEST(ApplicationTest, TerminatedFlag)
{
    Application::ResetTerminated();
    EXPECT_FALSE(Application::Terminated());
    Application::Terminate();
    bool seenElsewhere = false;
    std::thread([&] { seenElsewhere = Application::Terminated(); }).join();
    EXPECT_TRUE(seenElsewhere);
    Application::ResetTerminated();
    EXPECT_FALSE(Application::Terminated());
}

TEST(TickCountTest, AdvancesAcrossASleep)
{
    const uint32_t before = GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint32_t elapsed = GetTickCount() - before;
    EXPECT_GE(elapsed, 49u); // both readings are truncated to whole milliseconds
    EXPECT_LT(elapsed, 60000u);
}

TEST(EventLoopThreadTest, EachThreadHasItsOwnLoop)
{
    const int mine = EventLoop::Descriptor();
    int theirs = -1;
    bool theirsDelivered = false;
    bool mineStillQueued = false;
    NotifyEndpoint local;
    local.Post(kCode, 0, 0);
    std::thread([&] {
        theirs = EventLoop::Descriptor();
        NotifyEndpoint endpoint([&](TMessage&) { theirsDelivered = true; });
        endpoint.Post(kCode, 0, 0);
        EventLoop::ProcessPending();
    }).join();
    mineStillQueued = EventLoop::HasPending();
    EventLoop::ProcessPending();
    EXPECT_NE(mine, theirs);
    EXPECT_TRUE(theirsDelivered);
    EXPECT_TRUE(mineStillQueued);
}

} // namespace
