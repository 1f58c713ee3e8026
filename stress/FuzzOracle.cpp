#include "stress/FuzzOracle.h"

#include "channel/SharedBlockLayout.h"
#include "common/KernelResources.h"

#include <algorithm>
#include <iterator>
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

bool WordReachable(const Plan& plan) { return plan.word != WordPlan::NotRegistered; }

// Which road the procedure takes for each way Word behaves; with Word
// registered a connection always succeeds, since running-or-new starts one.
//  - dying before the open (fetching Documents or closing them): the open
//    then fails with 0x800706BA, the retry connects to a fresh Word and
//    previews; its clean-up honours the flags;
//  - dying in the open (0x800706BE), or failing with any unknown code: every
//    Word is killed, then the clean-up;
//  - dying anywhere after the open: the selection or copy fails, the
//    placeholder goes out, then the clean-up (closing finds no Word and
//    drops the connection);
//  - 0x80010105: a reconnect and nothing else, the file kept.
bool ReachesCleanUp(const Plan& plan) {
    return WordReachable(plan) && plan.word != WordPlan::ServerFault;
}

std::size_t PlannedOpens(const Plan& plan, const Expectation& e) {
    // Without a scripted text the double opens the file the path names; any
    // other path fails the open.
    const bool documentOpens = plan.text.has_value() || e.namesDocument;
    switch (plan.word) {
        case WordPlan::NotRegistered: return 0;
        case WordPlan::Unavailable:
        case WordPlan::UnavailableThenOpen: return 2;
        // An empty selection on the first attempt opens the document again.
        case WordPlan::EndZero: return documentOpens ? 2 : 1;
        // Dying as it hands out Documents for the open is dying in the open
        // (0x800706BE): every Word is killed, and nothing was opened.
        case WordPlan::DieOn: return plan.dieOn == "Application.Documents" && plan.dieOnCount == 2 ? 0 : 1;
        default: return 1;
    }
}

namespace {

// The per-kind delete flags, by the kind that selects each; every other
// kind selects none.
struct KindFlag {
    std::uint8_t kind;
    std::size_t flag;
};
constexpr KindFlag KindFlags[] = {{1, layout::DeleteKind1}, {2, layout::DeleteKind2}, {3, layout::DeleteKind3}};

}  // namespace

bool DeletionFlagged(const std::vector<std::uint8_t>& block) {
    if (block[layout::DeleteAlways] != 0) return true;
    const auto selected = std::find_if(std::begin(KindFlags), std::end(KindFlags),
                                       [&](const KindFlag& k) { return k.kind == block[layout::RequestKind]; });
    return selected != std::end(KindFlags) && block[selected->flag] != 0;
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
