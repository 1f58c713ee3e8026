#include "bench/ListenedPhases.h"

#include "bench/DebugOutputListener.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace bench {
namespace {

const std::vector<std::string> WorkerPhaseNames = {
    "start-up: process, CRT, COM, window, attach", "first timer tick",
    "heartbeat sleep (host answers during it)",    "GoSignal seen -> mutex owned",
    "GetActiveObject (traced before QI and sink)", "QI, event sink, close, minimise, open",
    "select, cut to 3000, copy (refetches)",       "release + sleep after release",
    "PreviewTaken polling",                        "collapse, close, unadvise, minimise",
    "busy off, release, trace",                    "window, COM and process end"};
const std::vector<std::string> FloorPhaseNames = {
    "start-up: process, CRT, COM", "GetActiveObject, QI IDispatch", "close documents, open",
    "select, cut to 3000, copy",   "collapse, close",               "COM and process end"};
const std::vector<const char*> WorkerMarks = {"attached", "request taken", "go", "mutex owned",
                                              "connected", "document opened", "copied", "handed over",
                                              "acknowledged", "cleaned up", "exiting"};
const std::vector<const char*> FloorMarks = {"apartment", "connected", "document opened",
                                             "copied", "cleaned up", "exiting"};

// The run's start, then the time of each mark's line (NaN where missing), then its end.
std::vector<double> MarksOf(const std::vector<DebugOutputListener::Line>& lines, const std::string& prefix,
                            const std::vector<const char*>& marks, double end) {
    std::vector<double> times{0.0};
    for (const char* mark : marks) times.push_back(LineTime(lines, prefix + mark));
    times.push_back(end);
    return times;
}

// Each phase's median, worker beside (b), then their sums; NaN phases add nothing.
void PrintWorkerAgainstFull(const ListenedPhases& phases) {
    double workerSum = 0, fullSum = 0;
    for (std::size_t i = 0; i < phases.worker.names.size(); ++i) {
        const double w = phases.worker.Median(i);
        const double f = phases.full.Median(i);
        workerSum += std::isnan(w) ? 0 : w;
        fullSum += std::isnan(f) ? 0 : f;
        std::printf("  %-44s %7.2f %7.2f %7.2f\n", phases.worker.names[i].c_str(), w, f, w - f);
    }
    std::printf("  %-44s %7.2f %7.2f %7.2f\n", "sum of medians", workerSum, fullSum, workerSum - fullSum);
}

void PrintFloor(const PhaseTable& floor) {
    double floorSum = 0;
    for (std::size_t i = 0; i < floor.names.size(); ++i) {
        const double f = floor.Median(i);
        floorSum += std::isnan(f) ? 0 : f;
        std::printf("  %-44s %7.2f\n", floor.names[i].c_str(), f);
    }
    std::printf("  %-44s %7.2f\n", "sum of medians", floorSum);
}

}  // namespace

ListenedPhases MeasureListenedPhases(const Subjects& subjects, int runs) {
    ListenedPhases phases{{WorkerPhaseNames, {}}, {WorkerPhaseNames, {}}, {FloorPhaseNames, {}}, {}};
    DebugOutputListener listener;
    for (int i = 0; listener.Listening() && i < runs; ++i) {
        if (auto run = RunWorker(subjects, false, &listener)) {
            const auto lines = listener.Lines();
            phases.worker.Add(MarksOf(lines, "WordPreview: ", WorkerMarks, run->stages.at("exited")));
            phases.debugLinesPerRequest.push_back(static_cast<double>(lines.size()));
        }
        if (auto run = RunFullClient(subjects, &listener))
            phases.full.Add(MarksOf(listener.Lines(), "full_client: ", WorkerMarks, run->stages.at("exited")));
        if (auto ms = RunFloor(subjects, &listener))
            phases.floor.Add(MarksOf(listener.Lines(), "bare_client: ", FloorMarks, *ms));
    }
    return phases;
}

void PrintListenedPhases(const ListenedPhases& phases, int runs) {
    std::printf("\nwhere the time goes: median ms per phase, %d runs each with a debug-output listener\n", runs);
    std::printf("(DBWIN buffer, as DebugView; each line costs its writer a hand-off to the listener)\n");
    std::printf("  %-44s %7s %7s %7s\n", "", "worker", "(b)", "own");
    PrintWorkerAgainstFull(phases);
    std::printf("  debug lines per worker request: %.0f\n", SpreadOf(phases.debugLinesPerRequest).median);
    std::printf("  floor (a)\n");
    PrintFloor(phases.floor);
}

}  // namespace bench
