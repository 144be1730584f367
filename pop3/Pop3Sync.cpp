// The blocking client: every SyncX starts engine operation X through its
// virtual slot and waits for the engine to be ready again. No protocol
// logic lives here.
#include "pop3/Pop3Prot.h"

#include <algorithm>

TSyncPop3Cli::TSyncPop3Cli(TComponent* AOwner) : TPop3Cli(AOwner)
{
    FTimeout = 15;
}

// The socket pumps with the same choice (SendCommand's pass over pending
// events goes through the socket).
void TSyncPop3Cli::SetMultiThreaded(bool Value)
{
    FMultiThreaded = Value;
    FSocket->SetMultiThreaded(Value);
}

// The deadline covers the whole request, except that every completed reply
// of a request that has many (TopAll) starts it afresh. Instead of spinning, each pass blocks until the next event arrives or a
// slice of at most WaitSliceMs has passed, so the application's terminating
// flag is still seen in time. Tick counts are compared by unsigned
// subtraction, which stays right across the 32-bit wrap-around.
bool TSyncPop3Cli::WaitForReady()
{
    uint32_t start = platform::GetTickCount();
    uint32_t replies = FRepliesCompleted;
    const uint64_t limitMs = FTimeout > 0 ? std::min<uint64_t>(uint64_t(FTimeout) * 1000u, UINT32_MAX - 1) : 0;
    FWaitDeadline = start + static_cast<uint32_t>(limitMs);
    for (;;) {
        if (FEngineState == pop3Ready)
            return FRequestResult == 0;
        if (replies != FRepliesCompleted) {
            replies = FRepliesCompleted;
            start = platform::GetTickCount();
            FWaitDeadline = start + static_cast<uint32_t>(limitMs);
        }
        const uint32_t elapsed = platform::GetTickCount() - start;
        if (platform::Application::Terminated() || (FTimeout > 0 && elapsed > limitMs)) {
            Abort();
            FErrorMessage = "426 Timeout";
            FStatusCode = 426;
            return false;
        }
        // Waiting comes first: it returns at once when something is queued
        // already, and otherwise blocks in the same look at the kernel that
        // a pass over pending events would make first.
        int slice = WaitSliceMs;
        if (FTimeout > 0) {
            const uint32_t now = platform::GetTickCount() - start;
            const uint64_t left = now > limitMs ? 0 : limitMs - now + 1;
            slice = static_cast<int>(std::min<uint64_t>(left, WaitSliceMs));
        }
        if (FMultiThreaded) {
            platform::EventLoop::Wait(slice);
            FSocket->PumpMessages();
        } else {
            platform::Application::WaitMessage(slice);
            platform::Application::ProcessMessages();
        }
    }
}

// Refusals (exceptions of the start) and anything escaping the wait end as
// False; those the engine also displays still reach the log that way.
bool TSyncPop3Cli::RunSync(void (TCustomPop3Cli::*Operation)())
{
    try {
        (this->*Operation)();
        return WaitForReady();
    } catch (...) {
        return false;
    }
}

bool TSyncPop3Cli::SyncConnect() { return RunSync(&TCustomPop3Cli::Connect); }
bool TSyncPop3Cli::SyncOpen() { return RunSync(&TCustomPop3Cli::Open); }
bool TSyncPop3Cli::SyncUser() { return RunSync(&TCustomPop3Cli::User); }
bool TSyncPop3Cli::SyncPass() { return RunSync(&TCustomPop3Cli::Pass); }
bool TSyncPop3Cli::SyncRPop() { return RunSync(&TCustomPop3Cli::RPop); }
bool TSyncPop3Cli::SyncAPop() { return RunSync(&TCustomPop3Cli::APop); }
bool TSyncPop3Cli::SyncQuit() { return RunSync(&TCustomPop3Cli::Quit); }
bool TSyncPop3Cli::SyncStat() { return RunSync(&TCustomPop3Cli::Stat); }
bool TSyncPop3Cli::SyncList() { return RunSync(&TCustomPop3Cli::List); }
bool TSyncPop3Cli::SyncRetr() { return RunSync(&TCustomPop3Cli::Retr); }
bool TSyncPop3Cli::SyncTop() { return RunSync(&TCustomPop3Cli::Top); }
bool TSyncPop3Cli::SyncDele() { return RunSync(&TCustomPop3Cli::Dele); }
bool TSyncPop3Cli::SyncNoop() { return RunSync(&TCustomPop3Cli::Noop); }
bool TSyncPop3Cli::SyncLast() { return RunSync(&TCustomPop3Cli::Last); }
bool TSyncPop3Cli::SyncRSet() { return RunSync(&TCustomPop3Cli::RSet); }
bool TSyncPop3Cli::SyncUidl() { return RunSync(&TCustomPop3Cli::Uidl); }
bool TSyncPop3Cli::SyncAbort() { return RunSync(&TCustomPop3Cli::Abort); }
bool TSyncPop3Cli::SyncCapa() { return RunSync(&TCustomPop3Cli::Capa); }
bool TSyncPop3Cli::SyncStls() { return RunSync(&TCustomPop3Cli::Stls); }
bool TSyncPop3Cli::SyncAuth() { return RunSync(&TCustomPop3Cli::Auth); }
bool TSyncPop3Cli::SyncTopAll() { return RunSync(&TCustomPop3Cli::TopAll); }
