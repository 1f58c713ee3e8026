#include "channel/RequestHandshake.h"

#include "channel/SharedBlock.h"
#include "desktop/StageTrace.h"
#include "preview/PreviewProcedure.h"

#include <ctime>

namespace {

namespace layout = SharedBlockLayout;

constexpr DWORD PollInterval = 10;  // ms

// The heartbeat is written before GoSignal is first looked at, so a host that
// set GoSignal early still sees the worker alive. HostActive is not looked at
// here: the host answers a heartbeat with GoSignal, not by withdrawing.
void BeatUntilGoSignal(SharedBlock& block) {
    do {
        block.WriteHeartbeat(static_cast<std::int32_t>(std::time(nullptr)));
        ::Sleep(PollInterval);
    } while (!block.Flag(layout::GoSignal));
    TraceStage("go");
}

// No time-out, and the result is not examined: a mutex whose owner ended
// without releasing it (abandoned) is ours all the same.
void WaitForChannelMutex() {
    (void)::WaitForSingleObject(ChannelMutex(), INFINITE);
    TraceStage("mutex owned");
}

// Failures inside the preview are the preview's to answer; anything that
// still escapes must not keep the mutex owned or the process alive, so it
// ends here, silently: there is nobody to show it to.
void PreviewGuarded(SharedBlock& block) {
    try {
        ExtractPreview(block, true);
    } catch (const std::exception& failure) {
        TraceStage("preview failed: %s", failure.what());
    } catch (...) {
        TraceStage("preview failed");
    }
}

}  // namespace

void RunRequestHandshake() {
    SharedBlock* block = AttachedSharedBlock();
    if (!block || !block->Flag(layout::RequestPending)) {
        TraceStage("no request pending");
        return;
    }
    // Busy first, then not pending: the host never sees the request in neither state.
    block->SetFlag(layout::WorkerBusy, true);
    block->SetFlag(layout::RequestPending, false);
    TraceStage("request taken");

    if (block->Flag(layout::HostActive)) {
        BeatUntilGoSignal(*block);
        WaitForChannelMutex();
        if (block->Flag(layout::HostActive)) {
            block->SetFlag(layout::GoSignal, false);
            PreviewGuarded(*block);
        }
    }
    ReleaseMutexFully();
    block->SetFlag(layout::WorkerBusy, false);
    TraceStage("request finished");
}
