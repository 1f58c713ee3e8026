// What the worker should do with a fuzzed block, worked out from the block as
// the host wrote it and from the plan, independently of the worker's code.
#pragma once

#include "stress/FuzzPlan.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Whether the worker can reach Word at all (WordReady stays 1).
[[nodiscard]] bool WordReachable(const Plan& plan);

// Whether a preview attempt reaches its clean-up, where the delete flags are
// honoured. Both follow from the plan alone, never from what the worker did.
[[nodiscard]] bool ReachesCleanUp(const Plan& plan);

// Whether the block's flags ask for the document to be deleted.
[[nodiscard]] bool DeletionFlagged(const std::vector<std::uint8_t>& block);

// The document path in the block, cut at its NUL or at its capacity.
[[nodiscard]] std::string PathIn(const std::vector<std::uint8_t>& block);

// What the worker should do with a block, read from the block as written.
struct Expectation {
    bool attached = false;       // a usable block: the worker may touch it
    bool pending = false;        // it takes the request
    bool hostActive = false;     // it goes on to the preview
    bool namesDocument = false;  // the path is the scratch document's
};

[[nodiscard]] Expectation ExpectationFor(const std::vector<std::uint8_t>& block, const std::string& documentPath);

// How many times Word is asked to open the document when the host is active:
// none when Word cannot be reached; two when the first open finds Word gone,
// or when the first selection of a document that opened is empty (the retry
// opens it again); none when Word dies handing out Documents for the open;
// else one (a Word that dies earlier is replaced by the retry, whose open is
// the only one Word sees).
[[nodiscard]] std::size_t PlannedOpens(const Plan& plan, const Expectation& e);

}  // namespace fuzz
