// soak [COUNT]: many sequential requests through the reference host against
// one warm Word double, cycling through the normal road and every failure
// branch, watching for what accumulates: workers, Word instances, open
// documents, the host's handles and the channel mutex.
#include "common/SystemExport.h"
#include "stress/StressRig.h"
#include "host/PreviewHost.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
using previewhost::Outcome;
using Clock = std::chrono::steady_clock;

// One fixed name for every request: each request's mutex object comes and
// goes with its channel, and none may be left owned.
constexpr char SoakMutexName[] = "WordPreviewSoak-ChannelMutex";

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

// Documents each Word process opened and closed, from the double's log; a
// killed Word takes its documents with it, so only live processes count.
class DocumentLedger {
public:
    void Add(const std::vector<json>& log) {
        for (const json& line : log) {
            const DWORD pid = line.value("pid", 0u);
            const std::string call = line.value("call", std::string());
            if (call == "Documents.Open" && line.contains("result") && line["result"] == 0) ++open_[pid];
            if (call == "Documents.Close") open_[pid] -= line.value("closed", 0);
        }
    }
    long OpenInLiveWords() const {
        long total = 0;
        for (DWORD pid : testsupport::WordProcessIds()) {
            const auto found = open_.find(pid);
            if (found != open_.end()) total += found->second;
        }
        return total;
    }

private:
    std::map<DWORD, long> open_;
};

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

// This process's entries in the system's handle table; 0 when it cannot be read.
DWORD HandlesInSystemTable() {
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
    const DWORD self = ::GetCurrentProcessId();
    DWORD count = 0;
    for (ULONG i = 0; i < table->count; ++i)
        if (table->entries[i].pid == self) ++count;
    return count;
}

// Wine 8's GetProcessHandleCount succeeds with 0 whatever the process holds;
// its system handle table is accurate, so that is read instead.
DWORD HandleCount() {
    DWORD count = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count != 0) return count;
    return HandlesInSystemTable();
}

// A fresh open of the name finds nothing, or a mutex nobody owns and nobody abandoned.
[[nodiscard]] bool MutexFree() {
    const UniqueHandle mutex(::OpenMutexA(SYNCHRONIZE, FALSE, SoakMutexName));
    if (!mutex) return true;
    const DWORD wait = ::WaitForSingleObject(mutex.get(), 0);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ::ReleaseMutex(mutex.get());
    return wait == WAIT_OBJECT_0;
}

struct Request {
    previewhost::PreviewResult result;
    std::string text;
    bool deleted = false;
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
    options.mutexName = SoakMutexName;
    options.request.documentPath = path;
    options.request.requestKind = branch.kind;
    options.request.deleteAlways = branch.deleteAlways;
    options.request.deleteKind1 = branch.deleteKind1;
    options.request.deleteKind2 = branch.deleteKind2;
    options.request.deleteKind3 = branch.deleteKind3;
    options.stopWaitingInsteadOfTaken = branch.stopWaiting;
    options.bound = std::chrono::seconds(30);
    request.result = previewhost::RunPreview(options);
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
    DWORD handlesBefore = 0;
    DWORD handlesAfter = 0;
    std::size_t workersLeft = 0;
    bool mutexFree = false;
    long documentsOpen = 0;

    long HandleGrowth() const { return static_cast<long>(handlesAfter) - static_cast<long>(handlesBefore); }
    bool Clean() const {
        return failures.empty() && workersLeft == 0 && wordInstancesMax <= 1 && HandleGrowth() <= 0 && mutexFree &&
               documentsOpen == 0;
    }
};

// Requests 1 to `count`, cycling through the branches; each is checked as it ends.
void RunRequests(unsigned count, const std::string& folder, DocumentLedger& ledger, Findings& findings) {
    const std::vector<Branch>& branches = Branches();
    for (unsigned i = 1; i <= count; ++i) {
        const Branch& branch = branches[(i - 1) % branches.size()];
        const std::string which = "failure: request " + std::to_string(i) + " (" + branch.name + "): ";
        const Request request = RunOne(branch, i, folder);
        if (const std::string m = Mismatch(branch, request); !m.empty()) findings.failures.push_back(which + m);
        if (const std::size_t workers = stressrig::WorkersAlive(); workers != 0)
            findings.failures.push_back(which + std::to_string(workers) + " worker(s) still alive afterwards");
        findings.wordInstancesMax = std::max(findings.wordInstancesMax, testsupport::WordProcessIds().size());
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
    std::printf("host_handles_before: %lu\n", static_cast<unsigned long>(f.handlesBefore));
    std::printf("host_handles_after: %lu\n", static_cast<unsigned long>(f.handlesAfter));
    std::printf("handle_growth: %ld\n", f.HandleGrowth());
    std::printf("mutex_free_at_end: %d\n", f.mutexFree ? 1 : 0);
    std::printf("documents_left_open: %ld\n", f.documentsOpen);
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
    DocumentLedger ledger;

    // The first request pays for what the host sets up once (clipboard, window station).
    const Branch& first = Branches().front();
    const Request warmUp = RunOne(first, 0, folder);
    if (const std::string m = Mismatch(first, warmUp); !m.empty()) std::printf("warm-up request: %s\n", m.c_str());
    ledger.Add(testsupport::ReadWordLog());
    testsupport::ClearWordLog();

    Findings findings;
    findings.handlesBefore = HandleCount();
    RunRequests(count, folder, ledger, findings);
    findings.handlesAfter = HandleCount();
    findings.workersLeft = stressrig::WorkersAlive();
    findings.mutexFree = MutexFree();
    findings.documentsOpen = ledger.OpenInLiveWords();
    testsupport::KillAllWordDoubles();

    PrintFindings(findings, count, std::chrono::duration<double>(Clock::now() - started).count());
    return findings.Clean() ? 0 : 1;
}
