#include "bench/TracedRuns.h"

#include "bench/BenchStatistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

namespace bench {
namespace {

// The time of the first line that contains `text`, or NaN.
double TraceTime(const std::vector<previewhost::Stage>& lines, const std::string& text) {
    for (const auto& line : lines)
        if (line.name.find(text) != std::string::npos) return line.milliseconds;
    return std::nan("");
}

}  // namespace

std::vector<WorkerRun> RunTraced(const Subjects& subjects, int count) {
    std::vector<WorkerRun> traced;
    for (int i = 0; i < count; ++i)
        if (auto run = RunWorker(subjects, true)) traced.push_back(std::move(*run));
    return traced;
}

TracedWaits TracedWaitsOf(const std::vector<WorkerRun>& traced) {
    TracedWaits waits;
    for (const auto& run : traced) {
        const auto& lines = run.trace;
        std::size_t ownLines = 0;
        for (const auto& line : lines)
            if (line.name.rfind("WordPreview:", 0) == 0) ++ownLines;
        waits.linesPerRun = std::max(waits.linesPerRun, ownLines);
        waits.firstTick.push_back(TraceTime(lines, "request taken") - TraceTime(lines, "attached"));
        waits.heartbeat.push_back(TraceTime(lines, ": go") - TraceTime(lines, "request taken"));
        waits.handOver.push_back(TraceTime(lines, "handed over") - run.stages.at("mutex"));
        waits.polling.push_back(std::max(0.0, TraceTime(lines, "acknowledged") - TraceTime(lines, "handed over")));
    }
    return waits;
}

void PrintTracedRun(const std::vector<WorkerRun>& traced, const TracedWaits& waits) {
    if (traced.empty()) return;
    std::printf("\ntraced run (trace=true; each line costs a debug event, so the run is slower)\n");
    const auto& run = traced.back();
    std::vector<std::pair<double, std::string>> merged;
    for (const auto& line : run.trace) merged.emplace_back(line.milliseconds, "  " + line.name);
    for (const auto& [name, ms] : run.stages) merged.emplace_back(ms, "  [host] " + name);
    std::stable_sort(merged.begin(), merged.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [ms, line] : merged) std::printf("  %8.2f %s\n", ms, line.c_str());
    std::printf("  traced: first tick (attached -> request taken) %.1f ms, heartbeat wait (request taken -> go) %.1f ms,\n"
                "          hand-over (host has the mutex -> handed over) %.1f ms, PreviewTaken polling (handed over -> acknowledged) %.1f ms\n",
                SpreadOf(waits.firstTick).median, SpreadOf(waits.heartbeat).median, SpreadOf(waits.handOver).median,
                SpreadOf(waits.polling).median);
}

}  // namespace bench
