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
//
// The draws are in FuzzPlan, what the worker should do in FuzzOracle, the
// host's side in FuzzHost; this file runs the blocks and judges them.
#include "channel/SharedBlockLayout.h"
#include "host/PreviewHost.h"
#include "stress/FuzzHost.h"
#include "stress/FuzzOracle.h"
#include "stress/FuzzPlan.h"
#include "stress/StressRig.h"
#include "testing/HostBytes.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace fuzz;
namespace layout = SharedBlockLayout;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

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
            warmWord_ = testsupport::StartFreshWarmWord(ScriptFor(plan));
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
        b.e.hostActive && b.e.namesDocument && ReachesCleanUp(b.plan) && DeletionFlagged(b.block);
    ++totals.blocks;
    if (b.e.pending) ++totals.taken;
    if (expectDeleted) ++totals.previewsReached;
    JudgeExit(b.run, verdict);
    JudgeBytes(b, verdict);

    const bool ended = !b.run.hung && !b.run.dialog;
    const bool reachable = WordReachable(b.plan);
    if (b.e.hostActive && ended && wordReady != reachable)
        verdict.Fail(&Totals::wrongWordReady,
                     "WordReady " + std::to_string(b.bytes[layout::WordReady]) +
                         (reachable ? " though Word could be reached" : " though Word could not be reached"));
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
    if (!b.e.attached) {
        const std::string stray = testblock::FirstStrayWrite(b.expected, b.bytes, testblock::WorkerBytes::Untouchable);
        if (!stray.empty()) verdict.Fail(&Totals::wrongTakes, stray + " in a block the worker must treat as absent");
        return;
    }
    const std::string stray = testblock::FirstStrayWrite(b.expected, b.bytes);
    if (!stray.empty()) verdict.Fail(&Totals::strayWrites, stray);
}

// Word was asked to open the document as often as the plan says, each time
// with the block's path, cut at its NUL or at its capacity.
void Fuzzer::JudgeOpenedPath(const BlockRun& b, Verdict& verdict) {
    // The double logs what it was given as UTF-8; the block holds the system code page.
    const std::string want = testsupport::SystemNarrow(testsupport::SystemWide(PathIn(b.block), CP_ACP), CP_UTF8);
    const std::vector<json> opens = testsupport::WordCalls(testsupport::ReadWordLog(), "Documents.Open");
    if (!b.run.hung && !b.run.dialog && opens.size() != PlannedOpens(b.plan, b.e)) {
        verdict.Fail(&Totals::wrongPaths, "Word was asked to open the document " + std::to_string(opens.size()) +
                                              " times, planned " + std::to_string(PlannedOpens(b.plan, b.e)));
        return;
    }
    for (const json& open : opens) {
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
