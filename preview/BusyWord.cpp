#include "preview/BusyWord.h"

#include "common/MessageWait.h"
#include "common/StageTrace.h"

namespace {

// One request per process: once Word stayed busy past one call's patience,
// the rest of the request does not wait for it again.
bool g_givenUp = false;

}  // namespace

bool BusyWordPatience::GivenUp() noexcept { return g_givenUp; }

void BusyWordPatience::ForgetGivingUp() noexcept { g_givenUp = false; }

bool BusyWordPatience::PauseBeforeAnotherTry(HRESULT turnedAway) noexcept {
    if (g_givenUp) return false;
    const unsigned long long now = ::GetTickCount64();
    if (!started_) {
        started_ = true;
        since_ = now;
        TraceStage("Word is busy (%08lx): calling again", static_cast<unsigned long>(turnedAway));
    }
    if (now - since_ >= BusyPatienceMs) {
        g_givenUp = true;
        TraceStage("Word stayed busy for %lu ms after %u tries: giving up on it", static_cast<unsigned long>(now - since_),
                   tries_);
        return false;
    }
    if (host_.HostGone()) {
        g_givenUp = true;
        TraceStage("host gone while Word was busy");
        return false;
    }
    SleepDispatching(BusyRetryPauseMs);
    ++tries_;
    return true;
}
