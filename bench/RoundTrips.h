// The worker's Word round trips, each made from this process the way the
// worker makes it, against the warm Word double.
#pragma once

#include <vector>

namespace bench {

struct RoundTrips {
    std::vector<double> getActiveObject, queryWordInterface, sinkAdviseUnadvise, getIdsOfNames, selectionGet, minimise;
    std::vector<double> documentsKept, documentsRefetched;
};

// `count` timings of each, in ms; the ones after a failed step stay empty.
RoundTrips MeasureRoundTrips(int count);

}  // namespace bench
