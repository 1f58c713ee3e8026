#include "bench/HostStages.h"

#include "bench/BenchStatistics.h"

#include <algorithm>
#include <cstdio>

namespace bench {
namespace {

// A row of the runs' sampled peaks in KiB; returns the highest in bytes.
std::size_t PrintPeakRow(const std::vector<WorkerRun>& hosted) {
    std::size_t peakBytes = 0;
    std::vector<double> peaks;
    for (const auto& run : hosted) {
        peaks.push_back(static_cast<double>(run.peakPrivateBytes) / 1024.0);
        peakBytes = std::max(peakBytes, run.peakPrivateBytes);
    }
    PrintRow("peak private bytes (sampled)", peaks, "KiB");
    return peakBytes;
}

void PrintPhaseRows(const std::vector<WorkerRun>& hosted) {
    for (const HostPhase& phase : HostPhases) PrintRow(phase.name, StageValues(hosted, phase.from, phase.to));
}

}  // namespace

std::vector<double> StageValues(const std::vector<WorkerRun>& hosted, const char* from, const char* to) {
    std::vector<double> values;
    for (const auto& run : hosted) {
        const double a = from ? run.stages.at(from) : 0.0;
        values.push_back(run.stages.at(to) - a);
    }
    return values;
}

double OwnCost(const SeriesResults& series, const char* from, const char* to) {
    return SpreadOf(StageValues(series.workerRuns, from, to)).median -
           SpreadOf(StageValues(series.fullRuns, from, to)).median;
}

double PairedOwnCost(const SeriesResults& series, const char* from, const char* to) {
    std::vector<double> differences;
    for (const auto& [w, f] : series.pairedRounds) {
        const auto& worker = series.workerRuns[w].stages;
        const auto& full = series.fullRuns[f].stages;
        differences.push_back((worker.at(to) - (from ? worker.at(from) : 0.0)) -
                              (full.at(to) - (from ? full.at(from) : 0.0)));
    }
    return SpreadOf(differences).median;
}

PeakPrivateBytes PrintStageTables(const SeriesResults& series) {
    PeakPrivateBytes peaks;
    std::printf("worker (RunPreview, trace off), %zu runs; ms since the host started the worker\n",
                series.workerRuns.size());
    PrintHeader();
    PrintPhaseRows(series.workerRuns);
    peaks.worker = PrintPeakRow(series.workerRuns);
    std::printf("floor (b): full_client.exe, the same host, %zu runs\n", series.fullRuns.size());
    PrintPhaseRows(series.fullRuns);
    peaks.full = PrintPeakRow(series.fullRuns);
    std::printf("floor (a): bare_client.exe, %zu runs\n", series.floorRuns.size());
    PrintRow("whole (start -> exit)", series.floorRuns);
    return peaks;
}

void PrintOwnCostByPhase(const SeriesResults& series) {
    std::printf("\nthe worker's own cost by phase: medians of the runs above, worker minus (b)\n"
                "(and, as \"paired\", the median of worker minus (b) within each of %zu rounds)\n",
                series.pairedRounds.size());
    std::printf("  %-40s %8s %8s %8s %8s\n", "", "worker", "(b)", "own", "paired");
    for (const HostPhase& phase : HostPhases) {
        const double w = SpreadOf(StageValues(series.workerRuns, phase.from, phase.to)).median;
        const double f = SpreadOf(StageValues(series.fullRuns, phase.from, phase.to)).median;
        std::printf("  %-40s %8.2f %8.2f %8.2f %8.2f  ms\n", phase.name, w, f, w - f,
                    PairedOwnCost(series, phase.from, phase.to));
    }
}

}  // namespace bench
