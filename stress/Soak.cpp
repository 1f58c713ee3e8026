// soak [COUNT]: many sequential requests through the reference host against
// one warm Word double, cycling through the normal road and every failure
// branch, watching for what accumulates: workers left running, Word
// instances, the documents and event sinks Word still holds, the host
// library's handles, and what each worker holds just before it exits.
#include "common/SystemExport.h"
#include "stress/StressRig.h"
#include "host/PreviewHost.h"
#include "testing/WordLedger.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;
using previewhost::Outcome;
using Clock = std::chrono::steady_clock;

enum class Clip { Whole, First3000, Placeholder };

struct Branch {
    const char* name;
    json script = json::object();
    std::size_t documentLength = 200;
    std::uint8_t kind = 1;
    bool deleteAlways = false;
    bool deleteKind1 = false;
    bool deleteKind2 = false;
    bool deleteKind3 = false;
    bool stopWaiting = false;
    Outcome outcome = Outcome::Preview;
    Clip clipboard = Clip::Whole;
    bool deleted = false;
};

json Opens(std::initializer_list<const char*> codes) { return json{{"openResults", codes}}; }

// The normal road and every failure branch, in the order the soak cycles through them.
const std::vector<Branch>& Branches() {
    constexpr Outcome placeholder = Outcome::Placeholder;
    static const std::vector<Branch> branches = {
        {.name = "preview"},
        {.name = "long-preview", .documentLength = 5000, .clipboard = Clip::First3000},
        {.name = "stop-waiting", .stopWaiting = true},
        {.name = "delete-always", .kind = 0, .deleteAlways = true, .deleted = true},
        {.name = "delete-kind2", .kind = 2, .deleteKind2 = true, .deleted = true},
        {.name = "kind3-with-other-kinds-flags", .kind = 3, .deleteKind1 = true, .deleteKind2 = true},
        // DeleteAlways is never honoured on this branch: there is no clean-up.
        {.name = "server-fault", .script = Opens({"0x80010105"}), .deleteAlways = true, .outcome = placeholder,
         .clipboard = Clip::Placeholder},
        {.name = "unavailable-then-open", .script = Opens({"0x800706BA", "0"})},
        {.name = "rejected", .script = Opens({"0x800A1520"}), .deleteKind1 = true, .outcome = Outcome::DocumentRefused,
         .clipboard = Clip::Placeholder, .deleted = true},
        {.name = "known-800A141F", .script = Opens({"0x800A141F"}), .outcome = placeholder,
         .clipboard = Clip::Placeholder},
        {.name = "known-800A1401", .script = Opens({"0x800A1401"}), .deleteAlways = true, .outcome = placeholder,
         .clipboard = Clip::Placeholder, .deleted = true},
        {.name = "unknown-failure", .script = Opens({"0x80004005"}), .kind = 3, .deleteKind3 = true,
         .outcome = placeholder, .clipboard = Clip::Placeholder, .deleted = true},
        {.name = "end-zero-once", .script = json{{"endZeroReads", 1}}},
        {.name = "word-dies-on-open", .script = json{{"dieOn", "Documents.Open"}}, .outcome = placeholder,
         .clipboard = Clip::Placeholder},
    };
    return branches;
}

std::string DocumentText(std::size_t length, unsigned request) {
    std::string text;
    for (std::size_t i = 0; text.size() < length; ++i)
        text += "request " + std::to_string(request) + " line " + std::to_string(i) + ". ";
    text.resize(length);
    return text;
}

// The system's handle table, as ntdll gives it (SystemHandleInformation).
struct HandleEntry {
    ULONG pid;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};
struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// Process `pid`'s entries in the system's handle table; 0 when it cannot be read.
DWORD HandlesInSystemTable(DWORD pid) {
    const auto query = NtdllExport<QuerySystemInformation>("NtQuerySystemInformation");
    if (!query) return 0;
    constexpr ULONG SystemHandleInformation = 16;
    constexpr LONG InfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        const LONG status = query(SystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == InfoLengthMismatch && buffer.size() < (1u << 26)) {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status != 0) return 0;
        break;
    }
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    DWORD count = 0;
    for (ULONG i = 0; i < table->count; ++i)
        if (table->entries[i].pid == pid) ++count;
    return count;
}

// Wine 8's GetProcessHandleCount succeeds with 0 whatever the process holds;
// its system handle table is accurate, so that is read instead.
DWORD HandleCount(HANDLE process, DWORD pid) {
    DWORD count = 0;
    if (::GetProcessHandleCount(process, &count) && count != 0) return count;
    return HandlesInSystemTable(pid);
}

// The handles of the host library in this process (the soak's own are
// opened before the first reading and kept until after the last).
DWORD HostLibraryHandles() { return HandleCount(::GetCurrentProcess(), ::GetCurrentProcessId()); }

// Watches the request's worker from the moment the host has said go and keeps
// its last handle count before it exits.
class WorkerHandleWatch {
public:
    ~WorkerHandleWatch() {
        if (thread_.joinable()) thread_.join();
    }

    void Start() {
        const std::vector<DWORD> workers = process_tools::ProcessIdsByName(L"WordPreview.exe");
        if (workers.size() != 1) return;
        const DWORD pid = workers[0];
        UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid));
        if (!process) return;
        thread_ = std::thread([this, pid, process = std::move(process)] {
            while (::WaitForSingleObject(process.get(), 2) == WAIT_TIMEOUT)
                if (const DWORD count = HandleCount(process.get(), pid)) last_ = count;
        });
    }

    // 0 when the worker could not be watched.
    DWORD LastCount() {
        if (thread_.joinable()) thread_.join();
        return last_;
    }

private:
    std::thread thread_;
    std::atomic<DWORD> last_{0};
};

struct Request {
    previewhost::PreviewResult result;
    std::string text;
    bool deleted = false;
    DWORD workerHandlesAtExit = 0;
};

Request RunOne(const Branch& branch, unsigned number, const std::string& folder) {
    Request request;
    request.text = DocumentText(branch.documentLength, number);
    const std::string path = folder + "soak-" + std::to_string(number) + ".txt";
    (void)stressrig::WriteDocument(path, request.text);  // a document that is not there shows as a mismatch
    json script = branch.script;
    script["windowTitle"] = "Microsoft Word";
    testsupport::WriteWordScript(script);

    previewhost::PreviewOptions options;
    options.workerPath = testsupport::WorkerPath();
    options.request.documentPath = path;
    options.request.requestKind = branch.kind;
    options.request.deleteAlways = branch.deleteAlways;
    options.request.deleteKind1 = branch.deleteKind1;
    options.request.deleteKind2 = branch.deleteKind2;
    options.request.deleteKind3 = branch.deleteKind3;
    options.stopWaitingInsteadOfTaken = branch.stopWaiting;
    options.bound = std::chrono::seconds(30);
    WorkerHandleWatch watch;
    options.afterGo = [&watch](previewhost::HostChannel&) { watch.Start(); };
    request.result = previewhost::RunPreview(options);
    request.workerHandlesAtExit = watch.LastCount();
    request.deleted = !testsupport::FileExists(path);
    ::DeleteFileA(path.c_str());
    return request;
}

std::string Mismatch(const Branch& branch, const Request& request) {
    const previewhost::PreviewResult& r = request.result;
    if (r.outcome != branch.outcome)
        return std::string("outcome ") + previewhost::OutcomeName(r.outcome) + ", expected " +
               previewhost::OutcomeName(branch.outcome) + (r.failure.empty() ? "" : " (" + r.failure + ")");
    if (r.workerExitCode != 0u) return "worker exit code " + stressrig::Hex(r.workerExitCode.value_or(0xFFFFFFFF));
    std::string clip;
    switch (branch.clipboard) {
        case Clip::Whole: clip = request.text + "\r\n"; break;  // Word copies the final paragraph mark too
        case Clip::First3000: clip = request.text.substr(0, 3000); break;
        case Clip::Placeholder: clip = Protocol::PlaceholderText; break;
    }
    if (r.clipboardText != clip)
        return "clipboard held " + std::to_string(r.clipboardText.size()) + " bytes, not the expected " +
               std::to_string(clip.size());
    if (request.deleted != branch.deleted) return branch.deleted ? "document kept, should be deleted" : "document deleted, should be kept";
    return {};
}

// What the soak watches: each request, and what is left once all have run.
struct Findings {
    std::vector<std::string> failures;
    std::size_t wordInstancesMax = 0;
    DWORD hostHandlesBefore = 0;
    DWORD hostHandlesAfter = 0;
    DWORD workerHandlesMin = std::numeric_limits<DWORD>::max();
    DWORD workerHandlesMax = 0;
    unsigned workersWatched = 0;
    std::size_t workersLeft = 0;
    int documentsOpen = 0;
    int sinksAdvised = 0;

    long HostHandleGrowth() const {
        return static_cast<long>(hostHandlesAfter) - static_cast<long>(hostHandlesBefore);
    }
    void WorkerHandles(DWORD count) {
        if (count == 0) return;
        ++workersWatched;
        workerHandlesMin = std::min(workerHandlesMin, count);
        workerHandlesMax = std::max(workerHandlesMax, count);
    }
    bool Clean() const {
        return failures.empty() && workersLeft == 0 && wordInstancesMax <= 1 && HostHandleGrowth() <= 0 &&
               documentsOpen == 0 && sinksAdvised == 0;
    }
};

// Requests 1 to `count`, cycling through the branches; each is checked as it ends.
void RunRequests(unsigned count, const std::string& folder, testword::WordLedger& ledger, Findings& findings) {
    const std::vector<Branch>& branches = Branches();
    for (unsigned i = 1; i <= count; ++i) {
        const Branch& branch = branches[(i - 1) % branches.size()];
        const std::string which = "failure: request " + std::to_string(i) + " (" + branch.name + "): ";
        const Request request = RunOne(branch, i, folder);
        if (const std::string m = Mismatch(branch, request); !m.empty()) findings.failures.push_back(which + m);
        if (const std::size_t workers = stressrig::WorkersAlive(); workers != 0)
            findings.failures.push_back(which + std::to_string(workers) + " worker(s) still alive afterwards");
        findings.wordInstancesMax = std::max(findings.wordInstancesMax, testsupport::WordProcessIds().size());
        findings.WorkerHandles(request.workerHandlesAtExit);
        ledger.Add(testsupport::ReadWordLog());
        testsupport::ClearWordLog();
        if (i % 50 == 0) std::printf("progress: %u/%u requests, %zu failures\n", i, count, findings.failures.size());
    }
}

void PrintFindings(const Findings& f, unsigned count, double seconds) {
    for (const std::string& failure : f.failures) std::printf("%s\n", failure.c_str());
    std::printf("requests: %u\n", count);
    std::printf("workers_left: %zu\n", f.workersLeft);
    std::printf("word_instances_max: %zu\n", f.wordInstancesMax);
    std::printf("host_library_handles_before: %lu\n", static_cast<unsigned long>(f.hostHandlesBefore));
    std::printf("host_library_handles_after: %lu\n", static_cast<unsigned long>(f.hostHandlesAfter));
    std::printf("host_library_handle_growth: %ld\n", f.HostHandleGrowth());
    std::printf("worker_handles_at_exit_min: %lu\n",
                static_cast<unsigned long>(f.workersWatched ? f.workerHandlesMin : 0));
    std::printf("worker_handles_at_exit_max: %lu\n", static_cast<unsigned long>(f.workerHandlesMax));
    std::printf("workers_watched: %u\n", f.workersWatched);
    std::printf("documents_left_open: %d\n", f.documentsOpen);
    std::printf("event_sinks_left_advised: %d\n", f.sinksAdvised);
    std::printf("failures: %zu\n", f.failures.size());
    std::printf("seconds: %.1f\n", seconds);
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned count = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 200;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const auto started = Clock::now();
    const std::string folder = stressrig::ScratchFolder("wordpreview-soak");

    if (testsupport::StartFreshWarmWord(nlohmann::json::object()) == 0) {
        std::printf("soak: the Word double did not come up\n");
        return 2;
    }
    testsupport::ClearWordLog();
    testword::WordLedger ledger;

    // The first request pays for what the host sets up once (clipboard, window station).
    const Branch& first = Branches().front();
    const Request warmUp = RunOne(first, 0, folder);
    if (const std::string m = Mismatch(first, warmUp); !m.empty()) std::printf("warm-up request: %s\n", m.c_str());
    ledger.Add(testsupport::ReadWordLog());
    testsupport::ClearWordLog();

    Findings findings;
    findings.hostHandlesBefore = HostLibraryHandles();
    RunRequests(count, folder, ledger, findings);
    findings.hostHandlesAfter = HostLibraryHandles();
    findings.workersLeft = stressrig::WorkersAlive();
    findings.documentsOpen = ledger.DocumentsOpenInLiveWords();
    findings.sinksAdvised = ledger.SinksAdvisedInLiveWords();
    testsupport::KillAllWordDoubles();

    PrintFindings(findings, count, std::chrono::duration<double>(Clock::now() - started).count());
    return findings.Clean() ? 0 : 1;
}
