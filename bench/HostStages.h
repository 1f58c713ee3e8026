// The reference host's stage times of hosted runs (the worker's and floor
// (b)'s), phase by phase, and the worker's own cost as the difference.
#pragma once

#include "bench/SeriesRunners.h"

#include <cstddef>
#include <vector>

namespace bench {

// A span between two of the host's stages; `from` null is the start.
struct HostPhase {
    const char* name;
    const char* from;
    const char* to;
};

inline constexpr HostPhase HostPhases[] = {
    {"start -> busy (request taken)", nullptr, "busy"},
    {"busy -> heartbeat", "busy", "heartbeat"},
    {"heartbeat -> go", "heartbeat", "go"},
    {"go -> mutex (Word work up to the copy)", "go", "mutex"},
    {"mutex -> acknowledged (host reads)", "mutex", "acknowledged"},
    {"acknowledged -> exit (clean-up)", "acknowledged", "exited"},
    {"whole request (start -> exit)", nullptr, "exited"},
};

// The span's length in each run, ms.
std::vector<double> StageValues(const std::vector<WorkerRun>& hosted, const char* from, const char* to);

// Median of the worker's runs minus median of (b)'s.
double OwnCost(const SeriesResults& series, const char* from, const char* to);
// Beside the difference of the medians, the median of the differences within a
// round: the two ran moments apart, so a load that comes and goes weighs on both.
double PairedOwnCost(const SeriesResults& series, const char* from, const char* to);

struct PeakPrivateBytes {
    std::size_t worker = 0, full = 0;
};

// The stage tables of the worker, (b) and (a); returns the highest peaks.
PeakPrivateBytes PrintStageTables(const SeriesResults& series);
void PrintOwnCostByPhase(const SeriesResults& series);

}  // namespace bench
