// Where the time goes inside each process: runs with a debug-output listener,
// cut into phases at the lines each program writes. The worker and
// full_client.exe mark the same phases under the same names.
#pragma once

#include "bench/BenchStatistics.h"
#include "bench/SeriesRunners.h"

#include <vector>

namespace bench {

struct ListenedPhases {
    PhaseTable worker, full, floor;
    std::vector<double> debugLinesPerRequest;
};

// `runs` listened runs of each; none when the DBWIN buffer cannot be had.
ListenedPhases MeasureListenedPhases(const Subjects& subjects, int runs);
void PrintListenedPhases(const ListenedPhases& phases, int runs);

}  // namespace bench
