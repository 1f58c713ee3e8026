// One run of the worker or of a floor, and the interleaved series of them
// whose times the bench compares.
#pragma once

#include "host/PreviewHost.h"

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// The programs under test and the document each of them previews.
struct Subjects {
    std::wstring workerExe;  // the worker, or PREVIEW_BENCH_WORKER's build of it
    std::wstring fullExe;    // floor (b)
    std::wstring floorExe;   // floor (a)
    std::wstring documentPathW;
    std::string documentPath;  // as the host's request carries it
    std::string expectedPreview;
};

// PREVIEW_BENCH_WORKER when set, else testbin's worker.
std::wstring WorkerUnderTest();

// One run through the reference host: the host's stage times.
struct WorkerRun {
    std::map<std::string, double> stages;
    std::size_t peakPrivateBytes = 0;
};

// Each returns nullopt (and says why on stderr) when the run did not produce
// the expected preview.
std::optional<WorkerRun> RunWorker(const Subjects& subjects);
std::optional<WorkerRun> RunFullClient(const Subjects& subjects);
// The whole time of bare_client.exe, in ms.
std::optional<double> RunFloor(const Subjects& subjects, std::size_t* peakPrivateBytes = nullptr);

// Rounds of all three whose times are not kept; returns how many runs failed.
int WarmUp(const Subjects& subjects, int rounds);

struct SeriesResults {
    std::vector<WorkerRun> workerRuns, fullRuns;
    // Rounds in which both the worker and (b) succeeded, as indices into the two.
    std::vector<std::pair<std::size_t, std::size_t>> pairedRounds;
    std::vector<double> floorRuns;
    std::size_t floorPeakPrivateBytes = 0;
    int failures = 0;
};

// `rounds` rounds of the worker, (a) and (b).
SeriesResults RunInterleavedSeries(const Subjects& subjects, int rounds);

}  // namespace bench
