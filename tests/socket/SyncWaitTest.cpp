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

constexpr uint32_t RunCode = platform::WM_USER + 100;

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Runs actions on the test thread's event loop after a delay, posted by a
// helper thread. The helpers are woken and joined when the test ends, so a
// watchdog action far in the future costs nothing when the test passes.
class SyncWaitTest : public ::testing::TestWithParam<bool> {
protected:
    TWSocket S;
    std::vector<std::function<void()>> Actions;
    std::unique_ptr<platform::NotifyEndpoint> Runner;
    std::vector<std::thread> Threads;
    std::mutex Lock;
    std::condition_variable Stop;
    bool Stopping = false;
    uint32_t Start = 0;

    void SetUp() override
    {
        S.SetMultiThreaded(GetParam());
        Runner = std::make_unique<platform::NotifyEndpoint>(
            [this](platform::TMessage& m) { Actions[m.WParam](); });
        Start = platform::GetTickCount();
    }
    void TearDown() override
    {
        {
            std::lock_guard<std::mutex> guard(Lock);
            Stopping = true;
        }
        Stop.notify_all();
        for (auto& t : Threads)
            t.join();
        Application::ResetTerminated();
        // A quit request nobody took must not reach the next test.
        while (platform::EventLoop::PumpOne() != platform::EventLoop::PumpResult::Empty) {
        }
    }

    void Later(int ms, std::function<void()> action)
    {
        Actions.push_back(std::move(action));
        const uintptr_t index = Actions.size() - 1;
        const platform::EndpointHandle handle = Runner->Handle();
        InThread(ms, [index, handle] { platform::PostNotification(handle, RunCode, index, 0); });
    }
    // Runs action on a helper thread after ms, unless the test ended first.
    void InThread(int ms, std::function<void()> action)
    {
        Threads.emplace_back([this, ms, action = std::move(action)] {
            std::unique_lock<std::mutex> guard(Lock);
            if (!Stop.wait_for(guard, std::chrono::milliseconds(ms), [this] { return Stopping; }))
                action();
        });
    }
    uint32_t Elapsed() const { return platform::GetTickCount() - Start; }
};

TEST_P(SyncWaitTest, FlagAlreadySetReturnsAtOnceWithoutPumping)
{
    bool ran = false;
    Later(0, [&] { ran = true; });
    Threads.back().join();
    Threads.pop_back();
    bool done = true;
    EXPECT_EQ(S.WaitForDoneFlag(done), 0);
    EXPECT_FALSE(ran);
}

TEST_P(SyncWaitTest, HandlerSettingTheFlagEndsTheWait)
{
    bool done = false;
    Later(50, [&] { done = true; });
    EXPECT_EQ(S.WaitForDoneFlag(done), 0);
}

TEST_P(SyncWaitTest, TimeLimitEndsTheWait)
{
    bool done = false;
    S.SetWaitTimeout(500);
    EXPECT_EQ(S.WaitForDoneFlag(done), WAIT_TIMED_OUT);
    EXPECT_GE(Elapsed(), 500u) << "never before the deadline";
    EXPECT_LE(static_cast<uint32_t>(S.WaitDeadline()) - Start - 500u, 10u) << "500 ms after the start";
}

// Without a time limit only a quit request or the terminating flag ends it;
// the flag set later from the loop would make the test fail, not hang.
TEST_P(SyncWaitTest, QuitRequestEndsAnUnlimitedWait)
{
    bool done = false;
    Later(100, [] { platform::PostQuitRequest(); });
    Later(10000, [&] { done = true; });
    EXPECT_EQ(S.WaitForDoneFlag(done), WAIT_TIMED_OUT);
    EXPECT_FALSE(done);
    // The socket's own pump notes the request, the application's pump turns
    // it into the terminating flag.
    EXPECT_EQ(GetParam() ? S.QuitSeen() : Application::Terminated(), true);
}

TEST_P(SyncWaitTest, TerminateFromAnotherThreadEndsAnUnlimitedWait)
{
    bool done = false;
    InThread(100, [] { Application::Terminate(); });
    Later(10000, [&] { done = true; });
    EXPECT_EQ(S.WaitForDoneFlag(done), WAIT_TIMED_OUT);
    EXPECT_FALSE(done);
}

// A handler inside a wait waits again, on another socket and on the same
// one with a shorter limit; the outer wait keeps its own deadline.
TEST_P(SyncWaitTest, WaitsNest)
{
    TWSocket other;
    other.SetMultiThreaded(GetParam());
    bool outer = false, inner = false, same = false;
    Integer innerResult = -1, sameResult = -1;
    std::vector<std::string> order;
    Later(20, [&] {
        order.push_back("inner starts");
        innerResult = other.WaitForDoneFlag(inner);
        S.SetWaitTimeout(50);
        sameResult = S.WaitForDoneFlag(same);
        order.push_back("inner ends");
        Later(50, [&] { outer = true; });
    });
    Later(60, [&] {
        order.push_back("inner flag");
        inner = true;
    });
    S.SetWaitTimeout(3000);
    EXPECT_EQ(S.WaitForDoneFlag(outer), 0);
    EXPECT_EQ(innerResult, 0);
    EXPECT_EQ(sameResult, WAIT_TIMED_OUT);
    EXPECT_EQ(order, (std::vector<std::string>{"inner starts", "inner flag", "inner ends"}));
}

TEST_P(SyncWaitTest, StartAndWaitClearsTheFlagAndRunsTheStarter)
{
    bool done = true;
    EXPECT_EQ(S.StartAndWait([&] { Later(20, [&] { done = true; }); }, done), 0);
    EXPECT_TRUE(done);

    S.SetWaitTimeout(100);
    done = true;
    EXPECT_EQ(S.StartAndWait(nullptr, done), WAIT_TIMED_OUT) << "without a starter it only waits";
}

// A property, not a timing: an idle wait blocks instead of spinning.
TEST_P(SyncWaitTest, IdleWaitUsesNoProcessorTime)
{
    bool done = false;
    S.SetWaitTimeout(2000);
    const double before = ProcessCpuSeconds();
    EXPECT_EQ(S.WaitForDoneFlag(done), WAIT_TIMED_OUT);
    EXPECT_LT(ProcessCpuSeconds() - before, 0.2);
}

INSTANTIATE_TEST_SUITE_P(Socket, SyncWaitTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "OwnThreadPump" : "ApplicationPump"; });

} // namespace
