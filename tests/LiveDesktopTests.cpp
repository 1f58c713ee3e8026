// The worker in a live desktop: its host may die at any moment or let go of
// its mutex handle for a while, and the user's Word raises events while the
// worker waits (other programs' messages: StrayMessageTests.cpp). None of
// these may leave a hung worker, an open document, an owned mutex or a
// frozen Word behind.
#include "common/TextConversion.h"
#include "host/PreviewHost.h"
#include "testing/ProcessTools.h"
#include "testing/TestSupport.h"
#include "tests/DocumentFixture.h"
#include "testing/WordLedger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <fstream>
#include <ostream>
#include <string>

namespace layout = SharedBlockLayout;
using namespace std::chrono_literals;
using nlohmann::json;
using previewhost::Outcome;

namespace {

// Only says that a worker whose host is gone did not wait for it for ever;
// it notices within a few polls.
constexpr DWORD HostGoneBoundMs = 60000;

class LiveDesktopTest : public testdocument::DocumentFixture {
protected:
    LiveDesktopTest()
        : DocumentFixture("live-desktop-document.txt",
                          testdocument::NumberedText(4000, "line of a document in a live desktop")) {}
};

// --- the host dies -------------------------------------------------------------------

struct HostDeath {
    const char* name;
    const char* stage;  // where host_stand_in stops (see testing/host_stand_in.cpp)
    bool deleteAlways;
    bool reachesWord;  // the request got as far as Word before the host died
};
void PrintTo(const HostDeath& d, std::ostream* os) { *os << d.name; }

class HostDeathTest : public LiveDesktopTest, public ::testing::WithParamInterface<HostDeath> {};

TEST_P(HostDeathTest, WorkerNoticesAndEndsTheRequestAsTheHostWouldHave) {
    const HostDeath& d = GetParam();
    testsupport::WriteWordScript(json::object());
    ASSERT_NE(testsupport::StartWarmWord(), 0u);

    const std::string eventName = "WordPreviewTests.HostStage." + std::to_string(::GetCurrentProcessId());
    UniqueHandle reached(::CreateEventA(nullptr, TRUE, FALSE, eventName.c_str()));
    // The stand-in reads its arguments in the system code page, as the block carries the path.
    std::wstring commandLine = L"\"" + testsupport::TestBinDir() + L"\\host_stand_in.exe\" \"" +
                               WideText(path_, CP_ACP) + L"\" " + WideText(d.stage, CP_ACP) + L" " +
                               WideText(eventName, CP_ACP) + (d.deleteAlways ? L" --delete-always" : L"");
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                                 testsupport::TestBinDir().c_str(), &startup, &info));
    const UniqueHandle host(info.hProcess), hostThread(info.hThread);
    ASSERT_EQ(::WaitForSingleObject(reached.get(), 30000), WAIT_OBJECT_0) << "the stand-in host never reached " << d.stage;

    // The test's own view keeps the block readable once the host is gone; it
    // holds no handle to the mutex, so it does not count as a host.
    UniqueHandle mapping(::OpenFileMappingA(FILE_MAP_READ, FALSE, layout::MappingName));
    ASSERT_TRUE(mapping);
    UniqueMappedView view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    ASSERT_TRUE(view);
    const auto* block = static_cast<const volatile std::uint8_t*>(view.get());
    const auto workers = process_tools::ProcessIdsByName(L"WordPreview.exe");
    ASSERT_EQ(workers.size(), 1u);
    UniqueHandle worker(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, workers[0]));
    ASSERT_TRUE(worker);

    ::TerminateProcess(host.get(), 1);
    ASSERT_EQ(::WaitForSingleObject(host.get(), 30000), WAIT_OBJECT_0);
    ASSERT_EQ(::WaitForSingleObject(worker.get(), HostGoneBoundMs), WAIT_OBJECT_0)
        << "the worker kept waiting for a host that is gone";
    DWORD exitCode = 1;
    ::GetExitCodeProcess(worker.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(block[layout::WorkerBusy], 0);
    EXPECT_TRUE(process_tools::ProcessIdsByName(L"WordPreview.exe").empty());

    const auto log = testsupport::ReadWordLog();
    EXPECT_EQ(testword::DocumentsLeftOpen(log), 0);
    EXPECT_EQ(!testsupport::WordCalls(log, "Documents.Open").empty(), d.reachesWord);
    if (!d.reachesWord) EXPECT_TRUE(testsupport::WordCalls(log, "Advise").empty()) << "Word was touched";
    EXPECT_EQ(testsupport::FileExists(path_), !(d.deleteAlways && d.reachesWord)) << "deleted exactly when the clean-up ran and the flags ask";
}

INSTANTIATE_TEST_SUITE_P(
    Stages, HostDeathTest,
    ::testing::Values(HostDeath{"DuringTheHeartbeat", "heartbeat", true, false},
                      HostDeath{"HoldingTheMutexAfterGo", "mutex", true, false},
                      HostDeath{"DuringTheHandOver", "handover", false, true},
                      HostDeath{"DuringTheHandOverWithDeletion", "handover", true, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A host that is slow but alive is served as always: holding the mutex for
// seconds after GoSignal, and acknowledging seconds after the hand-over.
TEST_F(LiveDesktopTest, SlowButLivingHostIsStillServed) {
    testsupport::WriteWordScript(json::object());
    ASSERT_NE(testsupport::StartWarmWord(), 0u);
    previewhost::PreviewOptions options = Options();
    options.beforeStart = [](previewhost::HostChannel& channel) {
        ASSERT_EQ(::WaitForSingleObject(channel.Mutex(), 30000), WAIT_OBJECT_0);
    };
    options.afterGo = [](previewhost::HostChannel& channel) {
        ::Sleep(3000);
        EXPECT_EQ(channel.Byte(layout::GoSignal), 1) << "the worker went on without the mutex";
        ::ReleaseMutex(channel.Mutex());
    };
    options.beforeAcknowledge = [](previewhost::HostChannel&) { ::Sleep(3000); };
    const auto result = previewhost::RunPreview(options);
    EXPECT_EQ(result.outcome, Outcome::Preview) << result.failure;
    EXPECT_EQ(result.clipboardText, text_.substr(0, 3000));
    EXPECT_EQ(result.workerExitCode, 0u);
    EXPECT_TRUE(testsupport::FileExists(path_));
}

// Nothing obliges a host to keep its mutex handle open while the worker
// beats: one that lets go of it and opens the mutex again by name a second
// later (a second of margin on the 2 s rule, which a loaded machine keeps)
// is still there, and is served.
TEST_F(LiveDesktopTest, HostReopeningItsMutexDuringTheHeartbeatIsStillServed) {
    testsupport::WriteWordScript(json::object());
    ASSERT_NE(testsupport::StartWarmWord(), 0u);
    bool reopened = false;
    previewhost::PreviewOptions options = Options();
    options.beforeGo = [&](previewhost::HostChannel& channel) {
        channel.CloseMutexHandle();
        ::Sleep(1000);
        reopened = channel.ReopenMutex();
    };
    const auto result = previewhost::RunPreview(options);
    EXPECT_TRUE(reopened) << "the mutex was gone: the worker took the host for gone and left";
    EXPECT_EQ(result.outcome, Outcome::Preview) << previewhost::OutcomeName(result.outcome) << ": " << result.failure;
    EXPECT_EQ(result.clipboardText, text_.substr(0, 3000));
    EXPECT_EQ(result.workerExitCode, 0u);
}

// --- Word's events during the hand-over ---------------------------------------------------

// Word calls the worker's event sink synchronously; the user's Word waits for
// every such call. The host acknowledges only once the double has logged
// every one of them as returned, so they must return while the worker waits
// for the acknowledgement: a worker that does not dispatch would hold them
// until the host's bounded wait ran out.
TEST_F(LiveDesktopTest, WordsEventsDuringTheHandOverReturnBeforeTheAcknowledgement) {
    constexpr std::size_t Events = 3;
    testsupport::WriteWordScript({{"eventsAfter", "Selection.Copy"}, {"eventDelayMs", 200}, {"eventTimes", Events},
                                  {"eventIntervalMs", 300}});
    ASSERT_NE(testsupport::StartWarmWord(), 0u);
    bool returnedBeforeTheAcknowledgement = false;
    previewhost::PreviewOptions options = Options();
    options.beforeAcknowledge = [&](previewhost::HostChannel&) {
        returnedBeforeTheAcknowledgement = testsupport::WaitUntil(
            [] { return testsupport::WordCalls(testsupport::ReadWordLog(), "Event").size() == Events; }, 60s, 10);
    };
    const auto result = previewhost::RunPreview(options);
    EXPECT_EQ(result.outcome, Outcome::Preview) << result.failure;
    EXPECT_TRUE(returnedBeforeTheAcknowledgement) << "Word waited for the worker's sink until the host acknowledged";

    const auto events = testsupport::WordCalls(testsupport::ReadWordLog(), "Event");
    ASSERT_EQ(events.size(), Events) << "every event reaches the sink while the worker waits";
    for (const json& event : events) EXPECT_EQ(event.value("result", 1u), 0u);
}

}  // namespace
