#include "channel/RequestHandshake.h"

#include "channel/SharedBlock.h"
#include "common/MessageWait.h"
#include "common/StageTrace.h"

#include <ctime>

namespace {

namespace layout = SharedBlockLayout;

constexpr DWORD PollInterval = 10;  // ms

// A mutex is abandoned as soon as its owner's thread ends, and the owner's
// handles are closed only once its whole process is torn down, a moment
// later. How long to look for the host's handle to go before deciding that
// a thread of a living host abandoned the mutex.
constexpr DWORD HostExitSettling = 500;  // ms

// The heartbeat is written before GoSignal is first looked at, so a host that
// set GoSignal early still sees the worker alive. HostActive is not looked at
// here: the host answers a heartbeat with GoSignal, not by withdrawing. Only
// a host that is gone altogether ends the wait (false).
[[nodiscard]] bool BeatUntilGoSignal(SharedBlock& block) {
    HostAbsenceWatch host;
    for (;;) {
        block.WriteHeartbeat(static_cast<std::int32_t>(std::time(nullptr)));
        SleepDispatching(PollInterval);
        if (block.Flag(layout::GoSignal)) break;
        if (host.HostGone()) {
            TraceStage("host gone while waiting for GoSignal");
            return false;
        }
    }
    TraceStage("go");
    return true;
}

// No time-out: an abandoned mutex is ours all the same. The wait lets
// messages through, so Word's calls into the event sink never wait on it.
// Returns false when the mutex came abandoned because the host itself is gone.
// The rule is the one of every other wait: the host is gone once the worker's
// own handle has been the only one for two seconds on end. So a host whose
// thread abandoned the mutex and that then opens it again by name is served;
// the settling time only gives a dying host's handles the moment they take
// to close before its handle is taken as there.
[[nodiscard]] bool WaitForChannelMutex() {
    const DWORD result = WaitDispatching(ChannelMutex());
    TraceStage("mutex owned%s", result == WAIT_ABANDONED_0 ? " (abandoned)" : "");
    if (result != WAIT_ABANDONED_0) return true;
    HostAbsenceWatch host;
    for (DWORD waited = 0; waited < HostExitSettling || OnlyOwnMutexHandleLeft(); waited += PollInterval) {
        if (host.HostGone()) {
            TraceStage("host gone: it abandoned the mutex");
            return false;
        }
        SleepDispatching(PollInterval);
    }
    return true;
}

// Failures inside the preview are the preview's to answer; anything that
// still escapes must not keep the mutex owned or the process alive, so it
// ends here, silently: there is nobody to show it to.
void PreviewGuarded(PreviewProcedure preview, SharedBlock& block) {
    try {
        preview(block, true);
    } catch (const std::exception& failure) {
        TraceStage("preview failed: %s", failure.what());
    } catch (...) {
        TraceStage("preview failed");
    }
}

}  // namespace

void RunRequestHandshake(PreviewProcedure preview) {
    SharedBlock* block = AttachedSharedBlock();
    if (!block || !block->Flag(layout::RequestPending)) {
        TraceStage("no request pending");
        return;
    }
    // Busy first, then not pending: the host never sees the request in neither state.
    block->SetFlag(layout::WorkerBusy, true);
    block->SetFlag(layout::RequestPending, false);
    TraceStage("request taken");

    // A host that is gone can no longer read a preview: Word is left alone.
    if (block->Flag(layout::HostActive) && BeatUntilGoSignal(*block) && WaitForChannelMutex() &&
        block->Flag(layout::HostActive)) {
        block->SetFlag(layout::GoSignal, false);
        PreviewGuarded(preview, *block);
    }
    ReleaseMutexFully();
    block->SetFlag(layout::WorkerBusy, false);
    TraceStage("request finished");
}
