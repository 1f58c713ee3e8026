// preview-host: asks the worker for one document's preview, as a host
// application would, and reports what happened with a time for each stage.
//
//   preview-host [options] DOCUMENT
//
//   --worker PATH        the worker to start (default: WordPreview.exe beside preview-host.exe)
//   --kind N             RequestKind, 0-255 (default 1)
//   --delete-always      set DeleteAlways (the worker deletes the document when done)
//   --delete-kind1/2/3   set DeleteKind1/2/3
//   --stop-waiting       release the worker with StopWaiting instead of PreviewTaken
//   --timeout-ms N       bound on each of the host's waits (default 30000)
//   --mapping-size N     size of the shared block in bytes (default 4096)
//   --host-inactive      leave HostActive 0 (the worker then writes no heartbeat)
//   --worker-dir PATH    current directory given to the worker (default: the host's)
//   --keep-clipboard     do not empty the clipboard before starting the worker
//   --path-as-is         write DOCUMENT into the block verbatim instead of as a full path
//   --trace              run the worker as a debuggee and show its OutputDebugString lines
//   --json               print one JSON object instead of the plain report
//
// The document path goes into the block in the system code page. The host
// never deletes the document; with a delete flag the worker does.
//
// Exit status: 0 preview, 2 placeholder or document refused, 3 Word unavailable,
// 4 request not taken, 5 timed out, 6 worker failed mid-request, 1 host failure
// or bad usage. A failure is one line on stderr.
#include "common/ExecutableFolder.h"
#include "common/TextConversion.h"
#include "host/PreviewHost.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

using previewhost::Outcome;

// The worker beside this program.
std::wstring DefaultWorkerPath() { return ExecutableFolder() + L"WordPreview.exe"; }

// argv and the block are in the system code page; JSON is UTF-8.
std::string Utf8FromSystem(const std::string& text) { return Utf8Text(WideText(text, CP_ACP)); }

std::string FullPath(const std::string& path) {
    const DWORD needed = ::GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::string full(needed, '\0');
    const DWORD length = ::GetFullPathNameA(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return path;
    full.resize(length);
    return full;
}

int ExitStatus(Outcome outcome) {
    switch (outcome) {
    case Outcome::Preview: return 0;
    case Outcome::Placeholder:
    case Outcome::DocumentRefused: return 2;
    case Outcome::WordUnavailable: return 3;
    case Outcome::NotTaken: return 4;
    case Outcome::TimedOut: return 5;
    case Outcome::WorkerFailed: return 6;
    case Outcome::HostFailure: return 1;
    }
    return 1;
}

// Stages and trace lines in one timeline; a stage sorts before a trace line of the same time.
struct TimelineEntry {
    double milliseconds;
    bool isTrace;
    std::string text;
};

std::vector<TimelineEntry> Timeline(const previewhost::PreviewResult& result) {
    std::vector<TimelineEntry> entries;
    for (const auto& stage : result.stages) entries.push_back({stage.milliseconds, false, stage.name});
    for (const auto& line : result.traceLines) entries.push_back({line.milliseconds, true, line.name});
    std::stable_sort(entries.begin(), entries.end(), [](const TimelineEntry& a, const TimelineEntry& b) {
        return a.milliseconds < b.milliseconds;
    });
    return entries;
}

void PrintPlain(const previewhost::PreviewResult& result) {
    for (const auto& entry : Timeline(result)) {
        std::printf("%10.1f ms  %s%s\n", entry.milliseconds, entry.isTrace ? "| " : "", entry.text.c_str());
    }
    std::printf("outcome: %s", previewhost::OutcomeName(result.outcome));
    if (result.workerExitCode) std::printf(" (worker exit code %lu)", static_cast<unsigned long>(*result.workerExitCode));
    if (result.peakPrivateBytes) std::printf(", worker peak private bytes %zu", result.peakPrivateBytes);
    std::printf("\n");
    if (!result.clipboardText.empty()) std::printf("%s\n", result.clipboardText.c_str());
    std::fflush(stdout);
}

void PrintJson(const previewhost::PreviewResult& result, const std::string& document) {
    nlohmann::json out;
    out["document"] = Utf8FromSystem(document);
    out["outcome"] = previewhost::OutcomeName(result.outcome);
    out["clipboardText"] = Utf8FromSystem(result.clipboardText);
    out["wordReady"] = result.wordReady;
    out["openRejected"] = result.openRejected;
    out["workerExited"] = result.workerExited;
    out["exitCode"] = result.workerExitCode ? nlohmann::json(*result.workerExitCode) : nlohmann::json(nullptr);
    out["peakPrivateBytes"] = result.peakPrivateBytes;
    out["mutexAbandoned"] = result.mutexAbandoned;
    out["failure"] = result.failure;
    if (!result.stuckStage.empty()) out["stuckStage"] = result.stuckStage;
    out["stages"] = nlohmann::json::array();
    for (const auto& stage : result.stages) out["stages"].push_back({{"name", stage.name}, {"ms", stage.milliseconds}});
    if (!result.traceLines.empty()) {
        out["trace"] = nlohmann::json::array();
        for (const auto& line : result.traceLines)
            out["trace"].push_back({{"line", line.name}, {"ms", line.milliseconds}});
    }
    std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

// What the command line asks for.
struct Arguments {
    std::string document;
    std::string worker;
    std::string workerDirectory;
    int kind = 1;
    bool deleteAlways = false, deleteKind1 = false, deleteKind2 = false, deleteKind3 = false;
    bool stopWaiting = false, hostInactive = false, keepClipboard = false, pathAsIs = false;
    bool trace = false, json = false;
    long long timeoutMs = 30000;
    std::size_t mappingSize = 4096;
};

void DeclareOptions(CLI::App& app, Arguments& a) {
    app.add_option("DOCUMENT", a.document, "document to preview")->required();
    app.add_option("--worker", a.worker, "worker exe (default: WordPreview.exe beside this program)");
    app.add_option("--kind", a.kind, "RequestKind (0-255)")->check(CLI::Range(0, 255));
    app.add_flag("--delete-always", a.deleteAlways, "set DeleteAlways");
    app.add_flag("--delete-kind1", a.deleteKind1, "set DeleteKind1");
    app.add_flag("--delete-kind2", a.deleteKind2, "set DeleteKind2");
    app.add_flag("--delete-kind3", a.deleteKind3, "set DeleteKind3");
    app.add_flag("--stop-waiting", a.stopWaiting, "release the worker with StopWaiting instead of PreviewTaken");
    app.add_option("--timeout-ms", a.timeoutMs, "bound on each of the host's waits")->check(CLI::Range(1LL, 86400000LL));
    app.add_option("--mapping-size", a.mappingSize, "size of the shared block in bytes")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 30));
    app.add_flag("--host-inactive", a.hostInactive, "leave HostActive 0");
    app.add_option("--worker-dir", a.workerDirectory, "current directory given to the worker");
    app.add_flag("--keep-clipboard", a.keepClipboard, "do not empty the clipboard first");
    app.add_flag("--path-as-is", a.pathAsIs, "write DOCUMENT verbatim instead of as a full path");
    app.add_flag("--trace", a.trace, "show the worker's OutputDebugString lines");
    app.add_flag("--json", a.json, "print one JSON object");
}

previewhost::PreviewOptions OptionsFrom(const Arguments& a) {
    previewhost::PreviewOptions options;
    // argv arrives in the system code page, which is what the worker reads from the block.
    options.workerPath = a.worker.empty() ? DefaultWorkerPath() : WideText(a.worker, CP_ACP);
    options.workerDirectory = WideText(a.workerDirectory, CP_ACP);
    options.request.documentPath = a.pathAsIs ? a.document : FullPath(a.document);
    options.request.requestKind = static_cast<std::uint8_t>(a.kind);
    options.request.deleteAlways = a.deleteAlways;
    options.request.deleteKind1 = a.deleteKind1;
    options.request.deleteKind2 = a.deleteKind2;
    options.request.deleteKind3 = a.deleteKind3;
    options.request.hostActive = !a.hostInactive;
    options.mappingSize = a.mappingSize;
    options.stopWaitingInsteadOfTaken = a.stopWaiting;
    options.emptyClipboardFirst = !a.keepClipboard;
    options.bound = std::chrono::milliseconds(a.timeoutMs);
    options.trace = a.trace;
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Asks the WordPreview worker for one document's preview, as a host application would."};
    Arguments arguments;
    DeclareOptions(app, arguments);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : 1;
    }

    const previewhost::PreviewOptions options = OptionsFrom(arguments);
    const previewhost::PreviewResult result = previewhost::RunPreview(options);
    if (arguments.json) {
        PrintJson(result, options.request.documentPath);
    } else {
        PrintPlain(result);
    }
    if (!result.failure.empty()) std::fprintf(stderr, "preview-host: %s\n", result.failure.c_str());
    return ExitStatus(result.outcome);
}
