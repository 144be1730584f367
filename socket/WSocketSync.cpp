// Synchronous waiting: pumping the event loop until an event handler sets a
// flag, a time limit passes or the application is quitting.
#include "socket/WSocket.h"

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* AOwner) : TCustomLineWSocket(AOwner)
{
    FWaitTimeout = 0;
}

Integer TCustomSyncWSocket::StartAndWait(const TWaitProc& Proc, bool& DoneFlag)
{
    DoneFlag = false;
    if (Proc)
        Proc();
    return WaitForDoneFlag(DoneFlag);
}

// The flag is tested first, so a flag already set returns 0 without pumping.
// Nothing is sent, closed or aborted when the wait gives up; the caller
// decides. Between passes the wait blocks until the next event, the deadline
// or a quit or terminate request, so an idle wait uses no processor time.
Integer TCustomSyncWSocket::WaitForDoneFlag(bool& DoneFlag)
{
    // Kept here as well: a wait nested in a handler of this one sets
    // WaitDeadline for itself, and must not move this wait's end.
    const Integer timeout = FWaitTimeout;
    const uint32_t deadline = platform::GetTickCount() + static_cast<uint32_t>(timeout);
    FWaitDeadline = static_cast<Integer>(deadline);
    auto quitting = [this] { return platform::Application::Terminated() || FQuitSeen; };
    for (;;) {
        if (DoneFlag)
            return 0;
        // The tick count wraps: compare by signed distance.
        if (timeout > 0 && static_cast<int32_t>(platform::GetTickCount() - deadline) > 0)
            return WAIT_TIMED_OUT;
        if (quitting())
            return WAIT_TIMED_OUT;
        ProcessMessages();
        if (DoneFlag || quitting())
            continue;
        int waitMs = -1;
        if (timeout > 0) {
            const int32_t left = static_cast<int32_t>(deadline - platform::GetTickCount());
            // One past the deadline, since the deadline itself still counts.
            waitMs = left < 0 ? 0 : left + 1;
        }
        WaitForEvent(waitMs);
    }
}
