// Synchronous waiting: how a wait ends, with either pump, nested, and that
// an idle wait does not use the processor.
#include "socket/WSocket.h"

#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using platform::Application;

namespace {

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Runs actions after a delay: on a helper thread (InThread) or posted from
// there to the test thread's loop (Later). When the test ends the helpers
// are woken and joined, so a watchdog far in the future costs nothing.
class SyncWaitTest : public ::testing::TestWithParam<bool> {
public:
    TWSocket S;
    std::vector<std::function<void()>> Actions;
    platform::NotifyEndpoint Runner{[this](platform::TMessage& m) { Actions[m.WParam](); }};
    std::vector<std::thread> Threads;
    std::mutex Lock;
    std::condition_variable Stop;
    bool Stopping = false;
    bool Done = false;

    void SetUp() override { S.SetMultiThreaded(GetParam()); }
    void TearDown() override { Settle(); }
    // Stops and joins the helpers, and leaves no quit request or
    // terminating flag behind.
    void Settle()
    {
        {
            std::lock_guard<std::mutex> guard(Lock);
            Stopping = true;
        }
        Stop.notify_all();
        for (auto& t : Threads)
            t.join();
        Threads.clear();
        Stopping = false;
        Application::ResetTerminated();
        while (platform::EventLoop::PumpOne() != platform::EventLoop::PumpResult::Empty) {
        }
    }
    void InThread(int ms, std::function<void()> action)
    {
        Threads.emplace_back([this, ms, action = std::move(action)] {
            std::unique_lock<std::mutex> guard(Lock);
            if (!Stop.wait_for(guard, std::chrono::milliseconds(ms), [this] { return Stopping; }))
                action();
        });
    }
    void Later(int ms, std::function<void()> action)
    {
        Actions.push_back(std::move(action));
        InThread(ms, [index = Actions.size() - 1, handle = Runner.Handle()] {
            platform::PostNotification(handle, platform::WM_USER + 100, index, 0);
        });
    }
};

struct WaitCase {
    const char* Name;
    Integer Timeout;
    std::function<void(SyncWaitTest&)> Arrange;
    Integer Expected;
};

// Without a time limit, a watchdog sets the flag after 10 s: a wait that
// missed its quit or terminate request then fails instead of hanging.
const WaitCase WaitCases[] = {
    {"HandlerSetsTheFlag", 0, [](SyncWaitTest& t) { t.Later(50, [&t] { t.Done = true; }); }, 0},
    {"TimeLimitPasses", 500, [](SyncWaitTest&) {}, WAIT_TIMED_OUT},
    {"QuitRequestEndsAnUnlimitedWait", 0,
     [](SyncWaitTest& t) {
         t.Later(100, [] { platform::PostQuitRequest(); });
         t.Later(10000, [&t] { t.Done = true; });
     },
     WAIT_TIMED_OUT},
    {"TerminateEndsAnUnlimitedWait", 0,
     [](SyncWaitTest& t) {
         t.InThread(100, [] { Application::Terminate(); });
         t.Later(10000, [&t] { t.Done = true; });
     },
     WAIT_TIMED_OUT},
};

TEST_P(SyncWaitTest, EndsByFlagTimeLimitQuitOrTerminate)
{
    for (const WaitCase& c : WaitCases) {
        SCOPED_TRACE(c.Name);
        Done = false;
        S.SetWaitTimeout(c.Timeout);
        c.Arrange(*this);
        const uint32_t start = platform::GetTickCount();
        EXPECT_EQ(S.WaitForDoneFlag(Done), c.Expected);
        if (c.Timeout > 0) {
            EXPECT_GE(platform::GetTickCount() - start, static_cast<uint32_t>(c.Timeout)) << "not before the limit";
        }
        Settle();
    }
}

TEST_P(SyncWaitTest, FlagAlreadySetReturnsAtOnceWithoutPumping)
{
    bool ran = false;
    Actions.push_back([&] { ran = true; });
    Runner.Post(platform::WM_USER + 100, 0, 0);
    Done = true;
    EXPECT_EQ(S.WaitForDoneFlag(Done), 0);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(platform::EventLoop::ProcessPending());
    EXPECT_TRUE(ran) << "it was pending all along";
}

// A handler inside a wait waits again, on another socket and on the same
// one with a shorter limit; the outer wait keeps its own deadline.
TEST_P(SyncWaitTest, WaitsNest)
{
    TWSocket other;
    other.SetMultiThreaded(GetParam());
    bool inner = false, same = false;
    Integer innerResult = -1, sameResult = -1;
    Later(20, [&] {
        innerResult = other.WaitForDoneFlag(inner);
        S.SetWaitTimeout(50);
        sameResult = S.WaitForDoneFlag(same);
        Later(50, [&] { Done = true; });
    });
    Later(60, [&] { inner = true; });
    S.SetWaitTimeout(3000);
    EXPECT_EQ(S.StartAndWait([&] { Done = false; }, Done), 0);
    EXPECT_EQ(innerResult, 0);
    EXPECT_EQ(sameResult, WAIT_TIMED_OUT);
}

// A property, not a timing: an idle wait blocks instead of spinning.
TEST_P(SyncWaitTest, IdleWaitUsesNoProcessorTime)
{
    S.SetWaitTimeout(2000);
    const double before = ProcessCpuSeconds();
    EXPECT_EQ(S.StartAndWait(nullptr, Done), WAIT_TIMED_OUT);
    EXPECT_LT(ProcessCpuSeconds() - before, 0.2);
}

INSTANTIATE_TEST_SUITE_P(Socket, SyncWaitTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "OwnThreadPump" : "ApplicationPump"; });

} // namespace
