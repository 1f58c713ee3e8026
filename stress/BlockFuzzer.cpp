// block_fuzzer [COUNT] [SEED] [FIRST] [verbose]: hands the worker hostile request blocks
// and checks what it leaves behind.
//
// Block i is drawn from its own generator seeded with (SEED, i), so any block
// can be replayed alone: `block_fuzzer 1 SEED i`. The harness plays a host
// that is well-behaved in timing (the worker is never kept waiting by
// design), so a worker that does not finish within the bound has hung.
//
// BLOCK_FUZZER_WORKER=<exe> runs another worker instead (e.g. fake-worker.exe
// in one of its failing modes, to see that the harness notices).
#include "stress/StressRig.h"
#include "channel/SharedBlockLayout.h"
#include "common/TextConversion.h"
#include "host/PreviewHost.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

namespace layout = SharedBlockLayout;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr auto BlockBound = std::chrono::seconds(20);
constexpr auto DialogPollPeriod = std::chrono::milliseconds(25);

// Uniform draws built on the engine's raw 32-bit output only: the standard
// library's distributions are free to differ between implementations, and a
// seed must give the same blocks wherever the fuzzer was built.
class Draw {
public:
    Draw(std::uint32_t seed, std::uint32_t block) {
        std::seed_seq sequence{seed, block};
        engine_.seed(sequence);
    }
    // Uniform in [0, n), by rejection so that no value is favoured.
    std::uint32_t Below(std::uint32_t n) {
        const std::uint64_t range = std::uint64_t{1} << 32;
        const std::uint64_t limit = range - range % n;
        for (;;) {
            const std::uint64_t x = static_cast<std::uint32_t>(engine_());
            if (x < limit) return static_cast<std::uint32_t>(x % n);
        }
    }
    bool Percent(std::uint32_t p) { return Below(100) < p; }
    std::uint8_t Byte() { return static_cast<std::uint8_t>(Below(256)); }
    std::uint8_t NonZeroByte() { return static_cast<std::uint8_t>(1 + Below(255)); }
    // A set flag is mostly 1, sometimes any other nonzero byte (flags are tested zero/nonzero).
    std::uint8_t SetFlag() { return Percent(70) ? 1 : NonZeroByte(); }

private:
    std::mt19937 engine_;
};

enum class PathForm { Terminated, Unterminated, Garbage };
enum class NameForm { Ours, Unterminated, EndsWithMapping, Missing, Garbage };
enum class WordPlan {
    Success, ServerFault, Unavailable, UnavailableThenOpen, Rejected, Known141F, Known1401, Unknown, EndZero, DieOn,
    NotRegistered
};

const char* Name(PathForm f) {
    switch (f) {
        case PathForm::Terminated: return "path";
        case PathForm::Unterminated: return "path-no-nul";
        case PathForm::Garbage: return "path-garbage";
    }
    return "?";
}
const char* Name(NameForm f) {
    switch (f) {
        case NameForm::Ours: return "mutex";
        case NameForm::Unterminated: return "mutex-no-nul";
        case NameForm::EndsWithMapping: return "mutex-at-mapping-end";
        case NameForm::Missing: return "mutex-missing";
        case NameForm::Garbage: return "mutex-garbage";
    }
    return "?";
}
const char* Name(WordPlan p) {
    switch (p) {
        case WordPlan::Success: return "success";
        case WordPlan::ServerFault: return "open-80010105";
        case WordPlan::Unavailable: return "open-800706BA";
        case WordPlan::UnavailableThenOpen: return "open-800706BA-then-ok";
        case WordPlan::Rejected: return "open-800A1520";
        case WordPlan::Known141F: return "open-800A141F";
        case WordPlan::Known1401: return "open-800A1401";
        case WordPlan::Unknown: return "open-80004005";
        case WordPlan::EndZero: return "end-zero-once";
        case WordPlan::DieOn: return "die";
        case WordPlan::NotRegistered: return "word-not-registered";
    }
    return "?";
}

// The calls the worker makes, in the order of a normal preview.
constexpr const char* WorkerCalls[] = {"Application.Documents", "Documents.Close", "Documents.Open",
                                       "Application.Selection", "Selection.Document", "Document.Select",
                                       "Selection.End.get", "Selection.End.put", "Selection.Start.put",
                                       "Selection.Copy"};

struct Plan {
    std::size_t mappingSize = 0;
    bool wellFormed = false;
    PathForm path = PathForm::Garbage;
    NameForm name = NameForm::Garbage;
    WordPlan word = WordPlan::Success;
    std::string dieOn;
    int dieOnCount = 1;
    std::optional<std::string> text;
    bool stopWaiting = false;

    std::string Describe() const {
        std::string d = "size " + std::to_string(mappingSize) + (wellFormed ? " request " : " garbage ") + Name(path) +
                        " " + Name(name) + " word " + Name(word);
        if (word == WordPlan::DieOn) d += " on " + dieOn + " #" + std::to_string(dieOnCount);
        if (text) d += " text " + std::to_string(text->size());
        if (stopWaiting) d += " stop-waiting";
        return d;
    }
};

std::size_t DrawMappingSize(Draw& d) {
    const std::uint32_t r = d.Below(100);
    if (r < 10) return 1 + d.Below(32);
    if (r < 20) return 33 + d.Below(static_cast<std::uint32_t>(layout::MinimumViewSize - 33));
    if (r < 30) return layout::MutexName - 6 + d.Below(40);
    if (r < 42) return 4096 * (1 + d.Below(3));
    return layout::MinimumViewSize + d.Below(14000);
}

std::string DrawText(Draw& d) {
    const std::uint32_t r = d.Below(10);
    const std::size_t length = r == 0 ? 0 : r < 8 ? 1 + d.Below(300) : 3000 + d.Below(2000);
    std::string text(length, ' ');
    for (char& c : text) c = static_cast<char>('a' + d.Below(26));
    return text;
}

WordPlan DrawWordPlan(Draw& d) {
    const std::uint32_t r = d.Below(100);
    if (r < 30) return WordPlan::Success;
    if (r < 36) return WordPlan::ServerFault;
    if (r < 40) return WordPlan::Unavailable;
    if (r < 44) return WordPlan::UnavailableThenOpen;
    if (r < 50) return WordPlan::Rejected;
    if (r < 56) return WordPlan::Known141F;
    if (r < 62) return WordPlan::Known1401;
    if (r < 68) return WordPlan::Unknown;
    if (r < 76) return WordPlan::EndZero;
    if (r < 95) return WordPlan::DieOn;
    return WordPlan::NotRegistered;
}

json ScriptFor(const Plan& plan) {
    json script = {{"windowTitle", "Microsoft Word"}};
    if (plan.text) script["text"] = *plan.text;
    const auto opens = [&](std::initializer_list<const char*> codes) { script["openResults"] = codes; };
    switch (plan.word) {
        case WordPlan::Success:
        case WordPlan::NotRegistered: break;
        case WordPlan::ServerFault: opens({"0x80010105"}); break;
        case WordPlan::Unavailable: opens({"0x800706BA"}); break;
        case WordPlan::UnavailableThenOpen: opens({"0x800706BA", "0"}); break;
        case WordPlan::Rejected: opens({"0x800A1520"}); break;
        case WordPlan::Known141F: opens({"0x800A141F"}); break;
        case WordPlan::Known1401: opens({"0x800A1401"}); break;
        case WordPlan::Unknown: opens({"0x80004005"}); break;
        case WordPlan::EndZero: script["endZeroReads"] = 1; break;
        case WordPlan::DieOn:
            script["dieOn"] = plan.dieOn;
            script["dieOnCount"] = plan.dieOnCount;
            break;
    }
    return script;
}

enum class Reach { Yes, No, EitherWay };

// Whether the worker can reach Word at all (WordReady stays 1).
Reach WordReachable(const Plan& plan) {
    if (plan.word == WordPlan::NotRegistered) return Reach::No;
    // Word dying before the open makes the open fail with 0x800706BA and the
    // worker tries once more. Whether that retry still finds a Word depends on
    // how soon Wine's rpcss notices the dead server: mostly it does not
    // (WordReady 0, nothing deleted), sometimes the retry attaches to the dead
    // one, fails the open again and goes on to its clean-up. Both are the rule
    // applied correctly; the worker's WordReady says which one happened.
    if (plan.word == WordPlan::DieOn && plan.dieOnCount == 1 &&
        (plan.dieOn == "Documents.Close" || plan.dieOn == "Application.Documents"))
        return Reach::EitherWay;
    return Reach::Yes;
}

// Whether a preview attempt reaches its clean-up, where the delete flags are
// honoured; `wordReady` is the worker's own WordReady at the end.
bool ReachesCleanUp(const Plan& plan, bool wordReady) {
    // On 0x80010105 the worker reconnects and leaves everything as it is.
    if (plan.word == WordPlan::ServerFault) return false;
    switch (WordReachable(plan)) {
        case Reach::Yes: return true;
        case Reach::No: return false;
        case Reach::EitherWay: return wordReady;
    }
    return false;
}

bool DeletionFlagged(const std::vector<std::uint8_t>& block) {
    if (block[layout::DeleteAlways]) return true;
    switch (block[layout::RequestKind]) {
        case 1: return block[layout::DeleteKind1] != 0;
        case 2: return block[layout::DeleteKind2] != 0;
        case 3: return block[layout::DeleteKind3] != 0;
        default: return false;
    }
}

// The worker's view of the block: the mutex name up to its NUL inside the
// readable bytes, or nothing.
std::optional<std::string> MutexNameIn(const std::vector<std::uint8_t>& block) {
    if (block.size() < layout::MinimumViewSize) return std::nullopt;
    const auto first = block.begin() + layout::MutexName;
    const auto nul = std::find(first, block.end(), std::uint8_t{0});
    if (nul == block.end()) return std::nullopt;
    return std::string(first, nul);
}

bool MutexExists(const std::string& name) {
    return UniqueHandle(::OpenMutexA(SYNCHRONIZE, FALSE, name.c_str())).get() != nullptr;
}

std::string PathIn(const std::vector<std::uint8_t>& block) {
    const auto first = block.begin() + layout::DocumentPath;
    const auto last = first + layout::DocumentPathCapacity;
    return std::string(first, std::find(first, last, std::uint8_t{0}));
}

std::wstring WorkerUnderTest() {
    wchar_t path[MAX_PATH] = L"";
    const DWORD length = ::GetEnvironmentVariableW(L"BLOCK_FUZZER_WORKER", path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(path) : testsupport::WorkerPath();
}

struct DialogSearch {
    DWORD pid;
    bool found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<DialogSearch*>(parameter);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner != search->pid) return TRUE;
    char className[16] = "";
    ::GetClassNameA(window, className, sizeof className);
    if (std::strcmp(className, "#32770") != 0) return TRUE;
    search->found = true;
    return FALSE;
}

bool HasDialog(DWORD pid) {
    DialogSearch search{pid, false};
    ::EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The block's shape and Word's behaviour, drawn first so that a seed and an
// index always give the same plan.
Plan DrawPlan(Draw& d) {
    Plan plan;
    plan.mappingSize = DrawMappingSize(d);
    plan.wellFormed = d.Percent(75);
    if (plan.wellFormed) {
        const std::uint32_t p = d.Below(100);
        plan.path = p < 80 ? PathForm::Terminated : p < 90 ? PathForm::Unterminated : PathForm::Garbage;
        const std::uint32_t n = d.Below(100);
        plan.name = n < 76 ? NameForm::Ours : n < 83 ? NameForm::Unterminated : n < 88 ? NameForm::EndsWithMapping
                  : n < 94 ? NameForm::Missing : NameForm::Garbage;
    } else {
        plan.name = d.Percent(50) ? NameForm::Ours : NameForm::Garbage;
    }
    plan.word = DrawWordPlan(d);
    if (plan.word == WordPlan::DieOn) {
        plan.dieOn = WorkerCalls[d.Below(std::size(WorkerCalls))];
        plan.dieOnCount = 1 + static_cast<int>(d.Below(2));
    }
    // Without a scripted text the double opens the file itself, which a path
    // that names no file makes fail.
    if (d.Percent(plan.path == PathForm::Terminated ? 40 : 70)) plan.text = DrawText(d);
    plan.stopWaiting = d.Percent(25);
    return plan;
}

// Writes the host's bytes into a block, dropping those past the end of the mapping.
class BlockWriter {
public:
    BlockWriter(std::vector<std::uint8_t>& block, std::size_t mappingSize) : block_(block), mappingSize_(mappingSize) {}
    void Put(std::size_t offset, std::uint8_t value) {
        if (offset < mappingSize_) block_[offset] = value;
    }
    void PutText(std::size_t offset, const std::string& text, bool terminated) {
        for (std::size_t i = 0; i < text.size(); ++i) Put(offset + i, static_cast<std::uint8_t>(text[i]));
        if (terminated) Put(offset + text.size(), 0);
    }
    std::size_t MappingSize() const { return mappingSize_; }

private:
    std::vector<std::uint8_t>& block_;
    std::size_t mappingSize_;
};

// The request fields of a well-formed block: handshake bytes mostly clear,
// kind and flags of every sort, the document's path in one of the plan's forms.
void DrawRequest(Draw& d, const Plan& plan, const std::string& documentPath, BlockWriter& block) {
    if (d.Percent(85)) {
        for (std::size_t i = 0; i <= layout::PreviewTaken; ++i) block.Put(i, 0);
        for (std::size_t i = 0; i < 4; ++i) block.Put(layout::Heartbeat + i, 0);
        block.Put(layout::RequestPending, d.Percent(92) ? d.SetFlag() : 0);
    }
    const std::uint32_t kind = d.Below(8);
    block.Put(layout::RequestKind, kind < 6 ? static_cast<std::uint8_t>(kind) : d.Byte());
    block.Put(layout::DeleteAlways, d.Percent(20) ? d.SetFlag() : 0);
    block.Put(layout::DeleteKind1, d.Percent(35) ? d.SetFlag() : 0);
    block.Put(layout::DeleteKind2, d.Percent(35) ? d.SetFlag() : 0);
    block.Put(layout::DeleteKind3, d.Percent(35) ? d.SetFlag() : 0);
    block.Put(layout::HostActive, d.Percent(90) ? d.SetFlag() : 0);
    block.Put(layout::StopWaiting, 0);
    if (plan.path == PathForm::Garbage) return;
    block.PutText(layout::DocumentPath, documentPath, true);
    if (plan.path == PathForm::Unterminated) {
        for (std::size_t i = documentPath.size(); i < layout::DocumentPathCapacity; ++i)
            block.Put(layout::DocumentPath + i, d.NonZeroByte());
        // What follows the path must not be taken for part of it.
        block.Put(layout::Heartbeat, 0);
    }
}

void WriteMutexName(Draw& d, const Plan& plan, const std::string& mutexName, BlockWriter& block) {
    switch (plan.name) {
        case NameForm::Ours: block.PutText(layout::MutexName, mutexName, true); break;
        case NameForm::Missing: block.PutText(layout::MutexName, "fuzz-missing-" + mutexName, true); break;
        case NameForm::Unterminated:
            for (std::size_t i = layout::MutexName; i < block.MappingSize(); ++i) block.Put(i, d.NonZeroByte());
            break;
        case NameForm::EndsWithMapping: block.PutText(layout::MutexName, mutexName, false); break;
        case NameForm::Garbage: break;
    }
}

// What the host writes: random bytes over its whole mapping (the rest of the
// last page stays zero, as the system gives it), then the request as the plan
// shapes it.
std::vector<std::uint8_t> DrawBlock(Draw& d, const Plan& plan, std::size_t readable, const std::string& documentPath,
                                    const std::string& mutexName) {
    std::vector<std::uint8_t> bytes(readable, 0);
    for (std::size_t i = 0; i < plan.mappingSize; ++i) bytes[i] = d.Byte();
    BlockWriter block(bytes, plan.mappingSize);
    if (plan.wellFormed) DrawRequest(d, plan, documentPath, block);
    WriteMutexName(d, plan, mutexName, block);
    // A host starts with GoSignal clear: one already set would let the worker
    // race the host for the mutex, a conversation no host holds.
    block.Put(layout::GoSignal, 0);
    return bytes;
}

// What the worker should do with a block, read from the block as written.
struct Expectation {
    bool attached = false;       // a usable block: the worker may touch it
    bool pending = false;        // it takes the request
    bool hostActive = false;     // it goes on to the preview
    bool namesDocument = false;  // the path is the scratch document's
};

Expectation ExpectationFor(const std::vector<std::uint8_t>& block, const std::string& documentPath) {
    Expectation e;
    const std::optional<std::string> seenName = MutexNameIn(block);
    e.attached = seenName && MutexExists(*seenName);
    e.pending = e.attached && block[layout::RequestPending] != 0;
    e.hostActive = e.pending && block[layout::HostActive] != 0;
    e.namesDocument = block.size() > layout::DocumentPath + layout::DocumentPathCapacity && PathIn(block) == documentPath;
    return e;
}

// The host's side of one block: the mapping (under the name the worker looks
// for), its view and the mutex the block may name.
struct HostSide {
    UniqueHandle mapping;
    UniqueMappedView view;
    UniqueHandle mutex;
    std::size_t readable = 0;  // the mapping's size, rounded up to pages
};

// Empty, with `failure` set, when the mapping cannot be made or another one still exists.
std::optional<HostSide> CreateHostSide(const Plan& plan, const std::string& mutexName, std::string& failure) {
    HostSide host;
    host.mapping.reset(::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            static_cast<DWORD>(plan.mappingSize), layout::MappingName));
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    if (!host.mapping || existed) {
        failure = existed ? "mapping still exists" : "cannot create the mapping";
        return std::nullopt;
    }
    host.view.reset(::MapViewOfFile(host.mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    MEMORY_BASIC_INFORMATION info{};
    if (!host.view || ::VirtualQuery(host.view.get(), &info, sizeof info) == 0) {
        failure = "cannot map the block";
        return std::nullopt;
    }
    host.readable = info.RegionSize;
    host.mutex.reset(::CreateMutexA(nullptr, FALSE, mutexName.c_str()));
    return host;
}

struct WorkerRun {
    bool hung = false;
    bool dialog = false;
    std::optional<DWORD> exitCode;
};

enum class Phase { Take, Heartbeat, GoCleared, Mutex, Exit };

// The host's part of the conversation, one look at the block at a time.
class HostPlayer {
public:
    HostPlayer(const Plan& plan, const Expectation& e, void* view, HANDLE mutex, std::vector<std::uint8_t>& expected)
        : plan_(plan), e_(e), bytes_(static_cast<volatile std::uint8_t*>(view)), mutex_(mutex), expected_(expected),
          initialHeartbeat_(Heartbeat()), phase_(e.pending ? Phase::Take : Phase::Exit) {}

    // Goes on from the current phase as far as the block allows. The mutex
    // phase waits on the mutex itself; every other look returns at once.
    void Step() {
        switch (phase_) {
            case Phase::Take:
                if (bytes_[layout::RequestPending] == 0) phase_ = e_.hostActive ? Phase::Heartbeat : Phase::Exit;
                break;
            case Phase::Heartbeat:
                if (Heartbeat() != initialHeartbeat_) {
                    bytes_[layout::GoSignal] = 1;
                    phase_ = Phase::GoCleared;
                }
                break;
            case Phase::GoCleared:
                if (bytes_[layout::GoSignal] == 0 || bytes_[layout::WorkerBusy] == 0) phase_ = Phase::Mutex;
                break;
            case Phase::Mutex: TakeMutexAndAcknowledge(); break;
            case Phase::Exit: break;
        }
    }
    bool WaitsForMutex() const { return phase_ == Phase::Mutex; }

private:
    std::int32_t Heartbeat() const {
        return *reinterpret_cast<const volatile std::int32_t*>(bytes_ + layout::Heartbeat);
    }

    void TakeMutexAndAcknowledge() {
        const DWORD wait = ::WaitForSingleObject(mutex_, 5);
        if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return;
        if (plan_.stopWaiting) {
            bytes_[layout::StopWaiting] = 1;
            expected_[layout::StopWaiting] = 1;
        } else {
            bytes_[layout::PreviewTaken] = 1;
        }
        (void)::ReleaseMutex(mutex_);
        phase_ = Phase::Exit;
    }

    const Plan& plan_;
    const Expectation& e_;
    volatile std::uint8_t* bytes_;
    HANDLE mutex_;
    std::vector<std::uint8_t>& expected_;
    std::int32_t initialHeartbeat_;
    Phase phase_;
};

// The host plays its part (go after the first heartbeat, the mutex once the
// worker has it or is done, then PreviewTaken or StopWaiting) until the worker
// exits. The worker is killed when it shows a dialog or outlives the bound.
WorkerRun PlayHost(previewhost::WorkerProcess& worker, const Plan& plan, const Expectation& e, void* view,
                   HANDLE mutex, std::vector<std::uint8_t>& expected) {
    HostPlayer host(plan, e, view, mutex, expected);
    WorkerRun run;
    const auto start = Clock::now();
    auto nextDialogCheck = start;
    while (!worker.HasExited()) {
        const auto now = Clock::now();
        if (now >= nextDialogCheck) {
            nextDialogCheck = now + DialogPollPeriod;
            run.dialog = HasDialog(worker.Id());
        }
        run.hung = !run.dialog && now - start >= BlockBound;
        if (run.dialog || run.hung) {
            worker.Kill();
            break;
        }
        const bool waitedOnMutex = host.WaitsForMutex();
        host.Step();
        if (!waitedOnMutex) ::Sleep(1);
    }
    if (!run.hung && !run.dialog && !worker.HasExited()) (void)worker.WaitForExit(std::chrono::seconds(5));
    run.exitCode = worker.ExitCode();
    return run;
}

// One block's run as the judge sees it.
struct BlockRun {
    const Plan& plan;
    const std::vector<std::uint8_t>& block;     // as the host wrote it
    const std::vector<std::uint8_t>& expected;  // the host's bytes as they should be now
    const Expectation& e;
    const WorkerRun& run;
    const volatile std::uint8_t* bytes;  // the block as it is now
    const std::string& documentPath;
};

struct Totals {
    int blocks = 0, crashes = 0, hangs = 0, strayWrites = 0, wrongDeletions = 0, dialogs = 0, wrongTakes = 0,
        wrongPaths = 0, wrongWordReady = 0, taken = 0, previewsReached = 0, harnessErrors = 0;
    std::vector<std::string> failures;
};

class Fuzzer {
public:
    Fuzzer(std::uint32_t seed, std::string folder, bool verbose)
        : seed_(seed), folder_(std::move(folder)), verbose_(verbose) {}

    void RunBlock(std::uint32_t index, Totals& totals);
    void Finish() {
        testsupport::KillAllWordDoubles();
        (void)testsupport::RegisterWordDouble();
    }

private:
    // Counts a failure of one kind (`counter`) and keeps its line for the report.
    class Verdict {
    public:
        Verdict(Fuzzer& fuzzer, Totals& totals, std::uint32_t index, const Plan& plan)
            : fuzzer_(fuzzer), totals_(totals), index_(index), plan_(plan) {}
        void Fail(int Totals::*counter, const std::string& what) {
            ++(totals_.*counter);
            totals_.failures.push_back("failure: seed " + std::to_string(fuzzer_.seed_) + " block " +
                                       std::to_string(index_) + ": " + what + " [" + plan_.Describe() + "]");
        }

    private:
        Fuzzer& fuzzer_;
        Totals& totals_;
        std::uint32_t index_;
        const Plan& plan_;
    };

    void PrepareWord(const Plan& plan);
    void Judge(const BlockRun& b, Verdict& verdict, Totals& totals);
    static void JudgeExit(const WorkerRun& run, Verdict& verdict);
    static void JudgeBytes(const BlockRun& b, Verdict& verdict);
    static void JudgeOpenedPath(const BlockRun& b, Verdict& verdict);
    void Describe(std::uint32_t index, const BlockRun& b, Clock::time_point start) const;

    std::uint32_t seed_;
    std::string folder_;
    bool verbose_;
    DWORD warmWord_ = 0;
};

void Fuzzer::PrepareWord(const Plan& plan) {
    testsupport::WriteWordScript(ScriptFor(plan));
    if (plan.word == WordPlan::NotRegistered) {
        testsupport::KillAllWordDoubles();
        testsupport::UnregisterWordDouble();
        warmWord_ = 0;
    } else {
        // A warm double is kept across blocks; anything else (a dead one, a
        // second one the worker started) means starting over.
        if (warmWord_ == 0 || testsupport::WordProcessIds() != std::vector<DWORD>{warmWord_})
            warmWord_ = stressrig::FreshWarmWord();
    }
    testsupport::ClearWordLog();
    testsupport::ClearTaskkillLog();
}

void Fuzzer::RunBlock(std::uint32_t index, Totals& totals) {
    Draw d(seed_, index);
    Plan plan = DrawPlan(d);
    Verdict verdict(*this, totals, index, plan);

    // Same length for every block and run: the name's length decides how many
    // bytes some blocks draw, and so what the rest of the block holds.
    char mutexText[32];
    std::snprintf(mutexText, sizeof mutexText, "WordPreviewFuzz-%010u", static_cast<unsigned>(index));
    const std::string mutexName = mutexText;
    if (plan.name == NameForm::Unterminated && d.Percent(50))
        plan.mappingSize = (plan.mappingSize + 4095) / 4096 * 4096;  // no zero tail to end the name
    if (plan.name == NameForm::EndsWithMapping) plan.mappingSize = layout::MutexName + mutexName.size();

    const std::string documentPath = folder_ + "doc-" + std::to_string(index) + ".txt";
    PrepareWord(plan);
    if (!stressrig::WriteDocument(documentPath, "fuzz document " + std::to_string(index))) {
        verdict.Fail(&Totals::harnessErrors, "cannot write the document " + documentPath);
        return;
    }
    const ScopeExit removeDocument([&]() noexcept { (void)::DeleteFileA(documentPath.c_str()); });

    std::string failure;
    const std::optional<HostSide> host = CreateHostSide(plan, mutexName, failure);
    if (!host) {
        verdict.Fail(&Totals::harnessErrors, failure);
        return;
    }
    const std::vector<std::uint8_t> block = DrawBlock(d, plan, host->readable, documentPath, mutexName);
    std::memcpy(host->view.get(), block.data(), host->readable);
    const Expectation expectation = ExpectationFor(block, documentPath);
    std::vector<std::uint8_t> expected = block;

    previewhost::WorkerProcess worker;
    try {
        worker = previewhost::WorkerProcess::Start(WorkerUnderTest());
    } catch (const std::exception& error) {
        verdict.Fail(&Totals::harnessErrors, error.what());
        return;
    }
    const auto start = Clock::now();
    const WorkerRun run = PlayHost(worker, plan, expectation, host->view.get(), host->mutex.get(), expected);
    const BlockRun blockRun{plan, block, expected, expectation, run,
                            static_cast<const volatile std::uint8_t*>(host->view.get()), documentPath};
    Judge(blockRun, verdict, totals);
    if (verbose_) Describe(index, blockRun, start);
    if (plan.word == WordPlan::NotRegistered) (void)testsupport::RegisterWordDouble();
}

void Fuzzer::Describe(std::uint32_t index, const BlockRun& b, Clock::time_point start) const {
    std::printf("block %u: %s | attached %d pending %d active %d | WordReady %u OpenRejected %u | file kept %d | exit %s | %.0f ms\n",
                index, b.plan.Describe().c_str(), b.e.attached, b.e.pending, b.e.hostActive, b.bytes[layout::WordReady],
                b.bytes[layout::OpenRejected], testsupport::FileExists(b.documentPath),
                b.run.exitCode ? stressrig::Hex(*b.run.exitCode).c_str() : "none",
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
}

// Everything that went wrong with one block, counted by kind.
void Fuzzer::Judge(const BlockRun& b, Verdict& verdict, Totals& totals) {
    const bool wordReady = b.bytes[layout::WordReady] != 0;
    const bool expectDeleted =
        b.e.hostActive && b.e.namesDocument && ReachesCleanUp(b.plan, wordReady) && DeletionFlagged(b.block);
    ++totals.blocks;
    if (b.e.pending) ++totals.taken;
    if (expectDeleted) ++totals.previewsReached;
    JudgeExit(b.run, verdict);
    JudgeBytes(b, verdict);

    const bool ended = !b.run.hung && !b.run.dialog;
    const Reach reach = WordReachable(b.plan);
    if (b.e.hostActive && ended && reach != Reach::EitherWay && wordReady != (reach == Reach::Yes))
        verdict.Fail(&Totals::wrongWordReady,
                     "WordReady " + std::to_string(b.bytes[layout::WordReady]) +
                         (reach == Reach::Yes ? " though Word could be reached" : " though Word could not be reached"));
    if (b.e.pending && b.bytes[layout::RequestPending] != 0 && ended)
        verdict.Fail(&Totals::wrongTakes, "a pending request in a valid block was not taken");

    const bool deleted = !testsupport::FileExists(b.documentPath);
    if (deleted != expectDeleted)
        verdict.Fail(&Totals::wrongDeletions,
                     expectDeleted ? "document kept, should be deleted" : "document deleted, should be kept");
    if (b.e.hostActive) JudgeOpenedPath(b, verdict);
}

void Fuzzer::JudgeExit(const WorkerRun& run, Verdict& verdict) {
    if (run.dialog) {
        verdict.Fail(&Totals::dialogs, "the worker showed a message box (killed)");
    } else if (run.hung) {
        verdict.Fail(&Totals::hangs, "no exit within " + std::to_string(BlockBound.count()) + " s (killed)");
    } else if (run.exitCode != 0u) {
        verdict.Fail(&Totals::crashes,
                     "exit code " + (run.exitCode ? stressrig::Hex(*run.exitCode) : std::string("unknown")));
    }
}

// Only the worker's own bytes may have changed; a block it must not take it must not touch at all.
void Fuzzer::JudgeBytes(const BlockRun& b, Verdict& verdict) {
    for (std::size_t i = 0; i < b.expected.size(); ++i) {
        const std::uint8_t now = b.bytes[i];
        if (now == b.expected[i]) continue;
        if (!b.e.attached) {
            verdict.Fail(&Totals::wrongTakes,
                         "byte " + std::to_string(i) + " of a block the worker must treat as absent changed");
            return;
        }
        if (!layout::IsWorkerOwned(i)) {
            verdict.Fail(&Totals::strayWrites, "host byte " + std::to_string(i) + " changed from " +
                                                   std::to_string(b.expected[i]) + " to " + std::to_string(now));
            return;
        }
    }
}

// The path Word was asked to open is the block's, cut at its NUL or at its capacity.
void Fuzzer::JudgeOpenedPath(const BlockRun& b, Verdict& verdict) {
    const std::string want = Utf8Text(WideText(PathIn(b.block), CP_ACP));
    for (const json& open : testsupport::WordCalls(testsupport::ReadWordLog(), "Documents.Open")) {
        const json& args = open.value("args", json::array());
        const std::string got = !args.empty() && args[0].contains("value") && args[0]["value"].is_string()
                                    ? args[0]["value"].get<std::string>()
                                    : std::string("(none)");
        if (got != want) {
            verdict.Fail(&Totals::wrongPaths, "Word was asked to open a path of " + std::to_string(got.size()) +
                                                  " bytes, the block holds " + std::to_string(want.size()));
            return;
        }
    }
}

std::uint32_t Argument(int argc, char** argv, int index, std::uint32_t fallback) {
    if (argc <= index) return fallback;
    return static_cast<std::uint32_t>(std::strtoul(argv[index], nullptr, 10));
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint32_t count = Argument(argc, argv, 1, 1000);
    const std::uint32_t seed = Argument(argc, argv, 2, 1);
    const std::uint32_t first = Argument(argc, argv, 3, 0);
    const bool verbose = argc > 4 && std::strcmp(argv[4], "verbose") == 0;
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    const auto started = Clock::now();
    Fuzzer fuzzer(seed, stressrig::ScratchFolder("wordpreview-fuzz"), verbose);
    Totals totals;
    std::printf("block_fuzzer: %u blocks from %u, seed %u\n", count, first, seed);
    for (std::uint32_t i = first; i < first + count; ++i) {
        fuzzer.RunBlock(i, totals);
        if ((i - first + 1) % 100 == 0)
            std::printf("progress: %u/%u blocks, %zu failures\n", i - first + 1, count, totals.failures.size());
    }
    fuzzer.Finish();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

    for (const std::string& failure : totals.failures) std::printf("%s\n", failure.c_str());
    if (!totals.failures.empty()) std::printf("reproduce one block: block_fuzzer 1 %u <block>\n", seed);
    std::printf("requests_taken: %d\n", totals.taken);
    std::printf("clean_ups_with_deletion: %d\n", totals.previewsReached);
    std::printf("dialogs: %d\n", totals.dialogs);
    std::printf("wrong_takes: %d\n", totals.wrongTakes);
    std::printf("wrong_paths: %d\n", totals.wrongPaths);
    std::printf("wrong_word_ready: %d\n", totals.wrongWordReady);
    std::printf("harness_errors: %d\n", totals.harnessErrors);
    std::printf("seconds: %.1f\n", seconds);
    std::printf("blocks: %d\n", totals.blocks);
    std::printf("crashes: %d\n", totals.crashes);
    std::printf("hangs: %d\n", totals.hangs);
    std::printf("stray_writes: %d\n", totals.strayWrites);
    std::printf("wrong_deletions: %d\n", totals.wrongDeletions);
    const bool clean = totals.crashes + totals.hangs + totals.strayWrites + totals.wrongDeletions + totals.dialogs +
                       totals.wrongTakes + totals.wrongPaths + totals.wrongWordReady + totals.harnessErrors == 0;
    return clean ? 0 : 1;
}
