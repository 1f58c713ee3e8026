#include "stress/FuzzOracle.h"

#include "channel/SharedBlockLayout.h"
#include "common/KernelResources.h"

#include <algorithm>
#include <optional>

namespace fuzz {

namespace {

namespace layout = SharedBlockLayout;

// The worker's view of the block: the mutex name up to its NUL inside the
// readable bytes, or nothing.
std::optional<std::string> MutexNameIn(const std::vector<std::uint8_t>& block) {
    if (block.size() < layout::MinimumViewSize) return std::nullopt;
    const auto first = block.begin() + layout::MutexName;
    const auto nul = std::find(first, block.end(), std::uint8_t{0});
    if (nul == block.end()) return std::nullopt;
    return std::string(first, nul);
}

[[nodiscard]] bool MutexExists(const std::string& name) {
    return UniqueHandle(::OpenMutexA(SYNCHRONIZE, FALSE, name.c_str())).get() != nullptr;
}

}  // namespace

Reach WordReachable(const Plan& plan) {
    if (plan.word == WordPlan::NotRegistered) return Reach::No;
    // Word dying before the open makes the open fail with 0x800706BA and the
    // worker tries once more. Whether that retry still finds a Word depends on
    // how soon Wine's rpcss notices the dead server: mostly it does not
    // (WordReady 0, nothing deleted), sometimes the retry attaches to the dead
    // one, fails the open again and goes on to its clean-up. Both are the rule
    // applied correctly; the worker's WordReady says which one happened.
    if (plan.word == WordPlan::DieOn && plan.dieOnCount == 1 &&
        (plan.dieOn == "Documents.Close" || plan.dieOn == "Application.Documents"))
        return Reach::EitherWay;
    return Reach::Yes;
}

bool ReachesCleanUp(const Plan& plan, bool wordReady) {
    // On 0x80010105 the worker reconnects and leaves everything as it is.
    if (plan.word == WordPlan::ServerFault) return false;
    switch (WordReachable(plan)) {
        case Reach::Yes: return true;
        case Reach::No: return false;
        case Reach::EitherWay: return wordReady;
    }
    return false;
}

bool DeletionFlagged(const std::vector<std::uint8_t>& block) {
    if (block[layout::DeleteAlways]) return true;
    switch (block[layout::RequestKind]) {
        case 1: return block[layout::DeleteKind1] != 0;
        case 2: return block[layout::DeleteKind2] != 0;
        case 3: return block[layout::DeleteKind3] != 0;
        default: return false;
    }
}

std::string PathIn(const std::vector<std::uint8_t>& block) {
    const auto first = block.begin() + layout::DocumentPath;
    const auto last = first + layout::DocumentPathCapacity;
    return std::string(first, std::find(first, last, std::uint8_t{0}));
}

Expectation ExpectationFor(const std::vector<std::uint8_t>& block, const std::string& documentPath) {
    Expectation e;
    const std::optional<std::string> seenName = MutexNameIn(block);
    e.attached = seenName && MutexExists(*seenName);
    e.pending = e.attached && block[layout::RequestPending] != 0;
    e.hostActive = e.pending && block[layout::HostActive] != 0;
    e.namesDocument = block.size() > layout::DocumentPath + layout::DocumentPathCapacity && PathIn(block) == documentPath;
    return e;
}

}  // namespace fuzz
