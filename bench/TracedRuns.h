// Runs of the worker as the host's debuggee (trace on): its own stage lines,
// timed by the host, and the fixed waits they show.
#pragma once

#include "bench/SeriesRunners.h"

#include <cstddef>
#include <vector>

namespace bench {

// The successful ones of `count` traced runs.
std::vector<WorkerRun> RunTraced(const Subjects& subjects, int count);

// Per traced run, ms.
struct TracedWaits {
    std::vector<double> firstTick;  // attached -> request taken
    std::vector<double> heartbeat;  // request taken -> go
    std::vector<double> handOver;   // the host has the mutex -> handed over
    std::vector<double> polling;    // handed over -> acknowledged
    std::size_t linesPerRun = 0;    // the worker's own lines, the most of any run
};

TracedWaits TracedWaitsOf(const std::vector<WorkerRun>& traced);

// The last traced run's lines merged with the host's stages, then the waits;
// nothing when no traced run succeeded.
void PrintTracedRun(const std::vector<WorkerRun>& traced, const TracedWaits& waits);

}  // namespace bench
