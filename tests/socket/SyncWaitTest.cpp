// Synchronous waiting with either pump: how a wait ends, nesting, and that
// a wait blocks instead of spinning.
#include "socket/WSocket.h"

#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <functional>
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
// are stopped and joined, so a watchdog far in the future costs nothing.
class SyncWaitTest : public ::testing::TestWithParam<bool> {
public:
    TWSocket S;
    bool Done = false;
    std::vector<std::function<void()>> Actions;
    platform::NotifyEndpoint Runner{[this](platform::TMessage& m) { Actions[m.WParam](); }};
    std::vector<std::jthread> Threads;

    void SetUp() override { S.SetMultiThreaded(GetParam()); }
    void TearDown() override { Settle(); }
    // Joins the helpers; leaves no quit request or terminating flag behind.
    void Settle()
    {
        Threads.clear();
        Application::ResetTerminated();
        while (platform::EventLoop::PumpOne() != platform::EventLoop::PumpResult::Empty) {
        }
    }
    void InThread(int ms, std::function<void()> action)
    {
        Threads.emplace_back([ms, action = std::move(action)](std::stop_token stop) {
            std::mutex lock;
            std::unique_lock<std::mutex> guard(lock);
            std::condition_variable_any wake;
            wake.wait_for(guard, stop, std::chrono::milliseconds(ms), [] { return false; });
            if (!stop.stop_requested())
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

const WaitCase WaitCases[] = {
    {"HandlerSetsTheFlag", 0, [](SyncWaitTest& t) { t.Later(50, [&t] { t.Done = true; }); }, 0},
    {"TimeLimitPasses", 500, [](SyncWaitTest&) {}, WAIT_TIMED_OUT},
    {"TwoSecondsIdle", 2000, [](SyncWaitTest&) {}, WAIT_TIMED_OUT},
    {"QuitRequestEndsAnUnlimitedWait", 0, [](SyncWaitTest& t) { t.Later(100, [] { platform::PostQuitRequest(); }); },
     WAIT_TIMED_OUT},
    {"TerminateEndsAnUnlimitedWait", 0, [](SyncWaitTest& t) { t.InThread(100, [] { Application::Terminate(); }); },
     WAIT_TIMED_OUT},
};

// Each wait also blocks instead of spinning: its processor time stays near
// zero (a property, not a timing).
TEST_P(SyncWaitTest, EndsByFlagTimeLimitQuitOrTerminate)
{
    for (const WaitCase& c : WaitCases) {
        SCOPED_TRACE(c.Name);
        Done = false;
        S.SetWaitTimeout(c.Timeout);
        c.Arrange(*this);
        // A watchdog: a wait that misses its quit or terminate request fails
        // instead of hanging.
        Later(10000, [this] { Done = true; });
        const uint32_t start = platform::GetTickCount();
        const double cpu = ProcessCpuSeconds();
        EXPECT_EQ(S.WaitForDoneFlag(Done), c.Expected);
        EXPECT_LT(ProcessCpuSeconds() - cpu, 0.2);
        EXPECT_GE(platform::GetTickCount() - start, static_cast<uint32_t>(c.Timeout)) << "not before the limit";
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
    EXPECT_TRUE(platform::EventLoop::ProcessPending() && ran) << "it was pending all along";
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

INSTANTIATE_TEST_SUITE_P(Socket, SyncWaitTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "OwnThreadPump" : "ApplicationPump"; });

} // namespace
