// A busy Word: its message filter turns the worker's calls away for a while,
// as Word does behind a modal dialog, while it starts or while it runs a long
// command. The worker waits for it at every stage; being busy is never a
// reason to end Word, and the user's Word and documents come out as they went in.
#include "DocumentFixture.h"

#include "common/TextConversion.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

using nlohmann::json;
using previewhost::Outcome;
using namespace std::chrono_literals;

namespace {

int CountCalls(const std::vector<json>& log, const char* call) {
    return static_cast<int>(testsupport::WordCalls(log, call).size());
}

struct BusyStage {
    const char* name;
    json script;  // when Word becomes busy, and how it turns calls away
    // Word is running before the request; else the worker starts it and
    // meets it busy while it comes up.
    bool running = true;
};
void PrintTo(const BusyStage& stage, std::ostream* os) { *os << stage.name; }

class BusyWordTest : public testdocument::DocumentFixture, public ::testing::WithParamInterface<BusyStage> {
protected:
    BusyWordTest() : DocumentFixture("busy-word.txt", testdocument::NumberedText(400, "A busy Word's document")) {}
};

// What every row must show: the preview as if Word had never been busy, and
// Word put to rest without a kill.
TEST_P(BusyWordTest, WaitsForWordAndDeliversThePreview) {
    const BusyStage& stage = GetParam();
    // A running Word comes up idle; the script then makes it busy for the
    // worker's calls alone.
    testsupport::WriteWordScript(json::object());
    if (stage.running) ASSERT_NE(testsupport::StartWarmWord(), 0u);
    testsupport::WriteWordScript(stage.script);

    const previewhost::PreviewResult result = previewhost::RunPreview(Options());

    EXPECT_EQ(result.outcome, Outcome::Preview) << previewhost::OutcomeName(result.outcome) << ": " << result.failure;
    EXPECT_EQ(result.clipboardText, text_ + "\r\n");
    EXPECT_TRUE(result.workerExited);
    EXPECT_EQ(result.workerExitCode, 0u);
    const std::vector<json> log = testsupport::ReadWordLog();
    EXPECT_GE(CountCalls(log, "Busy.TurnedAway"), 1) << "Word was never busy: the row shows nothing";
    EXPECT_EQ(CountCalls(log, "Busy.Ends"), 1) << "the busy spell did not run out";
    EXPECT_EQ(CountCalls(log, "Documents.Open"), 1);
    const auto closes = testsupport::WordCalls(log, "Documents.Close");
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[1].value("closed", 0), 1) << "the previewed document was left open";
    EXPECT_EQ(CountCalls(log, "Advise"), 1);
    EXPECT_EQ(CountCalls(log, "Unadvise"), 1) << "the event sink was left advised";
    EXPECT_TRUE(testsupport::ReadTaskkillLog().empty()) << "a busy Word was killed";
    // One Word throughout: the running one, or the one the worker started.
    EXPECT_EQ(testsupport::WordProcessIds().size(), 1u);
    EXPECT_EQ(CountCalls(log, "Started"), 1) << "Word was ended and started again";
    EXPECT_EQ(CountCalls(log, "ClassFactory.CreateInstance"), stage.running ? 0 : 1);
    EXPECT_TRUE(testsupport::WordWindowIsMinimised(L""));
}

// Four to eight calls turned away at each stage, as Word behind a dialog does.
INSTANTIATE_TEST_SUITE_P(
    Stages, BusyWordTest,
    ::testing::Values(
        // Word still starting when the worker's call to create it arrives.
        BusyStage{"WhileWordStarts", {{"busyCalls", 6}}, false},
        // Running Word busy from the moment the worker has found it.
        BusyStage{"WhileTheWorkerConnects", {{"busyCalls", 6}}},
        BusyStage{"WhenTheDocumentsAreFetchedForTheOpen",
                  {{"busyCalls", 4}, {"busyAfter", "Documents.Close"}}},
        BusyStage{"DuringTheSelection", {{"busyCalls", 8}, {"busyAfter", "Documents.Open"}}},
        BusyStage{"DuringTheCollapse", {{"busyCalls", 5}, {"busyAfter", "Selection.Copy"}}},
        BusyStage{"DuringTheCleanUp",
                  {{"busyCalls", 6}, {"busyAfter", "Selection.Copy"}, {"busyAfterCount", 2}}}),
    [](const auto& info) { return std::string(info.param.name); });

// A Word that stays busy longer than the worker waits for one call: the
// request gives up on it (about 30 s in all, not 30 s a call) and ends as for
// a Word that cannot be reached at that step, never with a kill.
class StaysBusyTest : public testdocument::DocumentFixture {
protected:
    StaysBusyTest() : DocumentFixture("stays-busy.txt", "a document Word is too busy to open") {}
};

TEST_F(StaysBusyTest, GivesUpWithThePlaceholderAndNeverKillsWord) {
    ASSERT_NE(testsupport::StartFreshWarmWord({{"busyForMs", 45000}, {"busyAfter", "Documents.Close"}}), 0u);
    const DWORD word = testsupport::WordProcessIds().at(0);

    previewhost::PreviewOptions options = Options();
    options.bound = 120s;
    const previewhost::PreviewResult result = previewhost::RunPreview(options);

    EXPECT_EQ(result.outcome, Outcome::Placeholder) << previewhost::OutcomeName(result.outcome) << ": " << result.failure;
    EXPECT_EQ(result.clipboardText, "PREVIEW IS NOT AVAILABLE FOR THIS DOCUMENT!");
    EXPECT_TRUE(result.workerExited);
    EXPECT_EQ(result.workerExitCode, 0u);
    EXPECT_FALSE(result.mutexAbandoned) << "the worker ended owning the mutex";
    EXPECT_TRUE(testsupport::ReadTaskkillLog().empty()) << "a busy Word was killed";
    EXPECT_EQ(testsupport::WordProcessIds(), std::vector<DWORD>{word}) << "Word did not survive being busy";
    EXPECT_TRUE(testsupport::FileExists(path_));
    // Word was asked again and again for the first call, then once for each
    // later one: the patience is the request's, not each call's.
    const std::vector<json> log = testsupport::ReadWordLog();
    EXPECT_GE(CountCalls(log, "Busy.TurnedAway"), 50);
    EXPECT_LE(CountCalls(log, "Busy.TurnedAway"), 400);
    EXPECT_EQ(CountCalls(log, "Documents.Open"), 0);
}

// A host that dies while the worker waits for a busy Word is noticed as in
// every other wait: the worker ends the request well before its patience
// with Word would have run out.
TEST_F(StaysBusyTest, AHostThatDiesMeanwhileEndsTheWait) {
    testsupport::WriteWordScript(json::object());
    ASSERT_NE(testsupport::StartWarmWord(), 0u);
    testsupport::WriteWordScript({{"busyForMs", 60000}});

    const std::string eventName = "WordPreviewTests.BusyHost." + std::to_string(::GetCurrentProcessId());
    UniqueHandle reached(::CreateEventA(nullptr, TRUE, FALSE, eventName.c_str()));
    std::wstring commandLine = L"\"" + testsupport::TestBinDir() + L"\\host_stand_in.exe\" \"" +
                               WideText(path_, CP_ACP) + L"\" working " + WideText(eventName, CP_ACP);
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                                 testsupport::TestBinDir().c_str(), &startup, &info));
    const UniqueHandle host(info.hProcess), hostThread(info.hThread);
    ASSERT_EQ(::WaitForSingleObject(reached.get(), 30000), WAIT_OBJECT_0) << "the stand-in host never let the worker go";
    const auto workers = process_tools::ProcessIdsByName(L"WordPreview.exe");
    ASSERT_EQ(workers.size(), 1u);
    UniqueHandle worker(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, workers[0]));
    ASSERT_TRUE(worker);
    ASSERT_TRUE(testsupport::WaitUntil(
        [] { return !testsupport::WordCalls(testsupport::ReadWordLog(), "Busy.TurnedAway").empty(); }, 30s))
        << "Word never turned the worker away";

    ASSERT_TRUE(::TerminateProcess(host.get(), 1));
    // Below the patience of 30 s: only the host's absence can end the wait this soon.
    ASSERT_EQ(::WaitForSingleObject(worker.get(), 20000), WAIT_OBJECT_0) << "the worker waited on for the busy Word";
    DWORD exitCode = 1;
    EXPECT_TRUE(::GetExitCodeProcess(worker.get(), &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(testsupport::ReadTaskkillLog().empty()) << "a busy Word was killed";
    EXPECT_EQ(testsupport::WordProcessIds().size(), 1u);
}

}  // namespace
