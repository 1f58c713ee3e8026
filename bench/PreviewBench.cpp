// preview_bench: how long one preview takes, against two floors, in the same
// run and against the same warm Word double:
//   (a) bare_client.exe: start, attach, the same Word calls, exit;
//   (b) full_client.exe: (a) plus every step the worker must make and (a)
//       skips, and the worker's fixed waits, driven by the same host as the
//       worker. What the worker spends beyond (b) is its own cost.
//
//   preview_bench.exe [RUNS]       RUNS rounds of worker, (a), (b), interleaved (default 40)
//
// PREVIEW_BENCH_WORKER=<exe> measures another build of the worker in its place
// (e.g. an older one copied into testbin, to see what a change took away).
//
// Prints a table of the host's stage times, the platform's own costs behind the
// worker's fixed waits, a traced run, and finally `name: value` lines.
#include "bench/BenchStatistics.h"
#include "bench/HostStages.h"
#include "bench/ListenedPhases.h"
#include "bench/PlatformCosts.h"
#include "bench/RoundTrips.h"
#include "bench/SeriesRunners.h"
#include "bench/StartupProbes.h"
#include "bench/TracedRuns.h"
#include "bench/WordCallLog.h"
#include "channel/Protocol.h"
#include "common/ComResources.h"
#include "common/TextConversion.h"
#include "testing/TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace bench;

constexpr int WarmUpRuns = 3;
constexpr int ListenedRuns = 10;
constexpr int TracedRunCount = 2;
constexpr int RoundTripSamples = 20;
constexpr int DocumentLength = 5000;

std::string DocumentText() {
    static const char words[] =
        "The quarterly report describes the progress of the preview service, its latency and its memory use. ";
    std::string text;
    while (text.size() < DocumentLength) text += words;
    text.resize(DocumentLength);
    return text;
}

Subjects MakeSubjects(const std::string& documentText) {
    Subjects subjects;
    subjects.workerExe = WorkerUnderTest();
    subjects.fullExe = testsupport::TestBinDir() + L"\\full_client.exe";
    subjects.floorExe = testsupport::TestBinDir() + L"\\bare_client.exe";
    subjects.probeExe = testsupport::TestBinDir() + L"\\startup_probe.exe";
    subjects.documentPathW = testsupport::TestBinDir() + L"\\bench-document.txt";
    subjects.documentPath = NarrowText(subjects.documentPathW, CP_ACP);  // as the block carries it
    subjects.expectedPreview = documentText.substr(0, Protocol::PreviewLengthLimit);
    return subjects;
}

// The Word double, warm, serving the document; says why on stderr when not.
bool StartWordDouble(const Subjects& subjects, const std::string& documentText) {
    if (!testsupport::RegisterWordDouble()) {
        std::fprintf(stderr, "cannot register the Word double\n");
        return false;
    }
    if (!testsupport::WordProcessIds().empty()) testsupport::KillAllWordDoubles();
    {
        std::ofstream document(subjects.documentPathW.c_str(), std::ios::binary);
        document << documentText;
    }
    testsupport::WriteWordScript(nlohmann::json{{"text", documentText}});
    testsupport::ClearWordLog();
    if (testsupport::StartWarmWord() == 0) {
        std::fprintf(stderr, "the Word double did not come up\n");
        return false;
    }
    return true;
}

struct CallsOfEach {
    CallCounts worker, full, floor;
};

// What Word saw in one run of each.
CallsOfEach CallsOfOneRunEach(const Subjects& subjects) {
    CallsOfEach calls;
    RunWorker(subjects, false);
    calls.worker = LoggedCalls();
    RunFloor(subjects);
    calls.floor = LoggedCalls();
    RunFullClient(subjects);
    calls.full = LoggedCalls();
    return calls;
}

// Everything measured after the series, in the order it was measured.
struct Measurements {
    CallsOfEach calls;
    std::vector<WorkerRun> traced;
    ListenedPhases listened;
    StartupProbes probes;
    PlatformCosts platform;
    RoundTrips trips;
};

Measurements MeasureBeyondSeries(const Subjects& subjects) {
    Measurements m;
    m.calls = CallsOfOneRunEach(subjects);
    m.traced = RunTraced(subjects, TracedRunCount);
    m.listened = MeasureListenedPhases(subjects, ListenedRuns);
    m.probes = MeasureStartupProbes(subjects.probeExe);
    m.platform = MeasurePlatform();
    m.trips = MeasureRoundTrips(RoundTripSamples);
    return m;
}

void PrintPlatformCosts(const PlatformCosts& platform, const RoundTrips& trips) {
    std::printf("\nplatform costs in this process\n");
    PrintHeader();
    PrintRow("Sleep(10)", platform.sleep10);
    PrintRow("Sleep(10) after timeBeginPeriod(1)", platform.sleep10Period1);
    PrintRow("SetTimer(1 ms) -> first WM_TIMER", platform.firstTick);
    PrintRow("hidden window create + destroy", platform.windowCreate);
    PrintRow("GetActiveObject", trips.getActiveObject);
    PrintRow("QI IID__Application (refused)", trips.queryWordInterface);
    PrintRow("event sink: FindCP+Advise+Unadvise", trips.sinkAdviseUnadvise);
    PrintRow("GetIDsOfNames (one name)", trips.getIdsOfNames);
    PrintRow("Application.Selection (logged)", trips.selectionGet);
    PrintRow("two FindWindow+ShowWindow minimises", trips.minimise);
    PrintRow("Documents get, object held elsewhere", trips.documentsKept);
    PrintRow("Documents get + last release (refetch)", trips.documentsRefetched);
    std::printf("  OutputDebugStringA, nobody listening: %.1f us per call\n", platform.debugStringUs);
}

void PrintLoggedCalls(const CallsOfEach& calls) {
    std::printf("\ncalls Word logged in one run: worker %d, (b) %d, (a) %d\n", Total(calls.worker), Total(calls.full),
                Total(calls.floor));
    PrintCallTable(calls.worker, calls.full, calls.floor);
}

// The worker's own waits: the first tick of its 1 ms timer, one heartbeat sleep
// (the host answers the first beat within a millisecond, during that sleep), one
// sleep after the successful release in the hand-over (the host reads the
// clipboard during it), and whatever the PreviewTaken poll adds when the host
// takes longer than that sleep. The first three are the platform's own figures
// measured above; the polling share comes from the traced runs. Returns their sum.
double PrintFixedSleeps(const Measurements& m, const TracedWaits& waits) {
    const double tick = SpreadOf(m.platform.firstTick).median;
    const double sleep10 = SpreadOf(m.platform.sleep10).median;
    const double polling = m.traced.empty() ? 0.0 : SpreadOf(waits.polling).median;
    const double fixedSleeps = tick + sleep10 + sleep10 + polling;
    std::printf("\nfixed sleeps = first tick %.2f + heartbeat sleep %.2f + hand-over sleep %.2f + PreviewTaken polling %.2f ms\n",
                tick, sleep10, sleep10, polling);
    std::printf("trace lines per request: %zu; OutputDebugStringA cost without a listener: %.3f ms per request\n",
                waits.linesPerRun, static_cast<double>(waits.linesPerRun) * m.platform.debugStringUs / 1000.0);
    return fixedSleeps;
}

// The `name: value` lines scripts/bench and the README go by.
void PrintFigures(const SeriesResults& series, const PeakPrivateBytes& peaks, const StartupProbes& probes,
                  double fixedSleeps) {
    const double workerMs = SpreadOf(StageValues(series.workerRuns, nullptr, "exited")).median;
    const double floorMs = SpreadOf(series.floorRuns).median;
    const double fullMs = SpreadOf(StageValues(series.fullRuns, nullptr, "exited")).median;
    std::printf("\nworker_ms: %.2f\n", workerMs);
    std::printf("full_floor_ms: %.2f\n", fullMs);
    std::printf("own_cost_ms: %.2f\n", workerMs - fullMs);
    std::printf("own_cost_start_ms: %.2f\n", OwnCost(series, nullptr, "busy"));
    std::printf("own_cost_word_ms: %.2f\n", OwnCost(series, "go", "mutex"));
    std::printf("own_cost_cleanup_ms: %.2f\n", OwnCost(series, "acknowledged", "exited"));
    std::printf("own_cost_paired_ms: %.2f\n", PairedOwnCost(series, nullptr, "exited"));
    std::printf("floor_ms: %.2f\n", floorMs);
    std::printf("ratio: %.2f\n", workerMs / floorMs);
    std::printf("fixed_sleeps_ms: %.2f\n", fixedSleeps);
    std::printf("ratio_without_fixed_sleeps: %.2f\n", (workerMs - fixedSleeps) / floorMs);
    std::printf("winmm_resolution_ms: %.2f\n", SpreadOf(ValuesOf(probes.overTick, "winmm")).median);
    std::printf("ntdll_resolution_ms: %.2f\n", SpreadOf(ValuesOf(probes.overTick, "ntdll")).median);
    std::printf("peak_private_bytes: %zu\n", peaks.worker);
    std::printf("full_floor_peak_private_bytes: %zu\n", peaks.full);
    std::printf("floor_peak_private_bytes: %zu\n", series.floorPeakPrivateBytes);
}

void PrintReport(const SeriesResults& series, const Measurements& m) {
    const PeakPrivateBytes peaks = PrintStageTables(series);
    PrintOwnCostByPhase(series);
    PrintListenedPhases(m.listened, ListenedRuns);
    PrintStartupProbes(m.probes);
    PrintPlatformCosts(m.platform, m.trips);
    PrintLoggedCalls(m.calls);
    const TracedWaits waits = TracedWaitsOf(m.traced);
    PrintTracedRun(m.traced, waits);
    const double fixedSleeps = PrintFixedSleeps(m, waits);
    if (series.failures) std::printf("failed runs: %d\n", series.failures);
    PrintFigures(series, peaks, m.probes, fixedSleeps);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const ComApartment apartment(COINIT_APARTMENTTHREADED);

    const std::string text = DocumentText();
    const Subjects subjects = MakeSubjects(text);
    if (!StartWordDouble(subjects, text)) return 2;
    std::printf("preview_bench: %d rounds of worker, bare client (a) and full client (b), interleaved, after %d warm-up "
                "rounds\n", runs, WarmUpRuns);
    std::printf("document: %d characters; worker %s\n\n", DocumentLength, Utf8Text(subjects.workerExe).c_str());

    const int warmUpFailures = WarmUp(subjects, WarmUpRuns);
    SeriesResults series = RunInterleavedSeries(subjects, runs);
    series.failures += warmUpFailures;
    if (series.workerRuns.empty() || series.floorRuns.empty() || series.fullRuns.empty()) {
        std::fprintf(stderr, "no successful runs\n");
        testsupport::KillAllWordDoubles();
        return 1;
    }
    const Measurements measurements = MeasureBeyondSeries(subjects);
    testsupport::KillAllWordDoubles();

    PrintReport(series, measurements);
    return series.failures ? 1 : 0;
}
