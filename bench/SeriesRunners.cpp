#include "bench/SeriesRunners.h"

#include "bench/ProcessTiming.h"
#include "testing/TestSupport.h"

#include <algorithm>
#include <cstdio>
#include <functional>

namespace bench {
namespace {

constexpr DWORD SettleMs = 150;  // before each measured run

// One request through the reference host, to the worker or to full_client.exe.
std::optional<WorkerRun> RunHosted(const std::wstring& exe, const Subjects& subjects) {
    testsupport::ClearWordLog();
    previewhost::PreviewOptions options;
    options.workerPath = exe;
    options.workerDirectory = testsupport::TestBinDir();
    options.request.documentPath = subjects.documentPath;
    options.bound = RunBound;
    const previewhost::PreviewResult result = previewhost::RunPreview(options);
    if (result.outcome != previewhost::Outcome::Preview || result.clipboardText != subjects.expectedPreview) {
        std::fprintf(stderr, "%ls run failed: %s %s (%zu chars read)\n", exe.c_str(),
                     previewhost::OutcomeName(result.outcome), result.failure.c_str(), result.clipboardText.size());
        return std::nullopt;
    }
    WorkerRun run;
    for (const auto& stage : result.stages) run.stages[stage.name] = stage.milliseconds;
    run.peakPrivateBytes = result.peakPrivateBytes;
    return run;
}

}  // namespace

std::wstring WorkerUnderTest() { return testsupport::WorkerPathFrom(L"PREVIEW_BENCH_WORKER"); }

std::optional<WorkerRun> RunWorker(const Subjects& subjects) { return RunHosted(subjects.workerExe, subjects); }

std::optional<WorkerRun> RunFullClient(const Subjects& subjects) { return RunHosted(subjects.fullExe, subjects); }

std::optional<double> RunFloor(const Subjects& subjects, std::size_t* peakPrivateBytes) {
    testsupport::ClearWordLog();
    previewhost::EmptyClipboardNow();  // as the host does before it starts the worker
    DWORD failedCalls = 0;
    const auto elapsed =
        TimeProcess(subjects.floorExe, L"\"" + subjects.documentPathW + L"\"", &failedCalls, peakPrivateBytes);
    if (!elapsed || failedCalls != 0) {
        std::fprintf(stderr, "floor run failed (%lu failed calls)\n", static_cast<unsigned long>(failedCalls));
        return std::nullopt;
    }
    return elapsed;
}

int WarmUp(const Subjects& subjects, int rounds) {
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        if (!RunWorker(subjects)) ++failures;
        if (!RunFloor(subjects)) ++failures;
        if (!RunFullClient(subjects)) ++failures;
    }
    return failures;
}

// A process's end still settles in Word and in Wine (Word's window was just
// minimised, objects were released) while the next one starts: each run
// waits a moment first, and the rounds go through all six orders, so that
// each series follows each other one equally often.
SeriesResults RunInterleavedSeries(const Subjects& subjects, int rounds) {
    SeriesResults results;
    const std::function<void()> series[] = {
        [&] {
            if (auto run = RunWorker(subjects)) results.workerRuns.push_back(std::move(*run));
            else ++results.failures;
        },
        [&] {
            std::size_t peak = 0;
            if (auto ms = RunFloor(subjects, &peak)) results.floorRuns.push_back(*ms);
            else ++results.failures;
            results.floorPeakPrivateBytes = std::max(results.floorPeakPrivateBytes, peak);
        },
        [&] {
            if (auto run = RunFullClient(subjects)) results.fullRuns.push_back(std::move(*run));
            else ++results.failures;
        },
    };
    constexpr int Orders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (int i = 0; i < rounds; ++i) {
        const std::size_t workersBefore = results.workerRuns.size(), fullsBefore = results.fullRuns.size();
        for (int k : Orders[i % 6]) {
            ::Sleep(SettleMs);
            series[k]();
        }
        if (results.workerRuns.size() > workersBefore && results.fullRuns.size() > fullsBefore)
            results.pairedRounds.emplace_back(workersBefore, fullsBefore);
    }
    return results;
}

}  // namespace bench
