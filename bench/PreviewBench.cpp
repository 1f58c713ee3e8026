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
// Prints the host's stage times of each series, the worker's own cost phase by
// phase, and finally `name: value` lines.
#include "bench/BenchStatistics.h"
#include "bench/HostStages.h"
#include "bench/SeriesRunners.h"
#include "channel/Protocol.h"
#include "common/ComResources.h"
#include "common/TextConversion.h"
#include "testing/TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using namespace bench;

constexpr int WarmUpRuns = 3;
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

// The `name: value` lines scripts/bench and the README go by.
void PrintFigures(const SeriesResults& series, const PeakPrivateBytes& peaks) {
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
    std::printf("peak_private_bytes: %zu\n", peaks.worker);
    std::printf("full_floor_peak_private_bytes: %zu\n", peaks.full);
    std::printf("floor_peak_private_bytes: %zu\n", series.floorPeakPrivateBytes);
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
    testsupport::KillAllWordDoubles();
    if (series.workerRuns.empty() || series.floorRuns.empty() || series.fullRuns.empty()) {
        std::fprintf(stderr, "no successful runs\n");
        return 1;
    }

    const PeakPrivateBytes peaks = PrintStageTables(series);
    PrintOwnCostByPhase(series);
    if (series.failures) std::printf("failed runs: %d\n", series.failures);
    PrintFigures(series, peaks);
    return series.failures ? 1 : 0;
}
