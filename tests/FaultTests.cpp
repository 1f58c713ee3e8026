// Faults on both sides of the worker: Word dying, refusing or hanging at each
// call the worker makes, and a host that abandons its mutex or goes away in
// the middle of a request. Whatever happens, the worker ends, releases what it
// holds, and the clipboard holds the preview or the placeholder, nothing else.
#include "channel/Protocol.h"
#include "host/PreviewHost.h"
#include "testing/ProcessTools.h"
#include "testing/TestSupport.h"
#include "tests/DocumentFixture.h"
#include "testing/HostBytes.h"
#include "testing/WordLedger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <thread>

namespace layout = SharedBlockLayout;
using namespace std::chrono_literals;
using nlohmann::json;
using previewhost::Outcome;

namespace {


class FaultFixture : public testdocument::DocumentFixture {
protected:
    FaultFixture()
        : DocumentFixture("fault-document.txt", testdocument::NumberedText(4000, "sentence of a long document")) {}
};

// --- Word fails at each call the worker makes ------------------------------------

struct WordFault {
    const char* name;
    json script;
    Outcome outcome;  // Preview when the fault comes after the hand-over
};
void PrintTo(const WordFault& f, std::ostream* os) { *os << f.name; }

json Die(const char* call, int occurrence = 1) { return {{"dieOn", call}, {"dieOnCount", occurrence}}; }

class WordFaultTest : public FaultFixture, public ::testing::WithParamInterface<WordFault> {};

TEST_P(WordFaultTest, WorkerEndsCleanlyAndTheClipboardIsNeverTorn) {
    const WordFault& f = GetParam();
    testsupport::WriteWordScript(f.script);
    ASSERT_NE(testsupport::StartWarmWord(), 0u);

    testblock::HostBytesGuard guard;
    std::string stray = "block not checked";
    previewhost::PreviewOptions options = Options();
    options.beforeStart = [&](previewhost::HostChannel& channel) { guard.FillAndRemember(channel); };
    options.afterExit = [&](previewhost::HostChannel& channel) { stray = guard.StrayWrite(channel); };
    const auto result = previewhost::RunPreview(options);

    EXPECT_EQ(result.outcome, f.outcome) << previewhost::OutcomeName(result.outcome) << ": " << result.failure;
    EXPECT_TRUE(result.workerExited);
    EXPECT_EQ(result.workerExitCode, 0u);
    EXPECT_FALSE(result.mutexAbandoned) << "the worker ended while owning the mutex";
    EXPECT_EQ(stray, "");
    if (f.outcome == Outcome::Preview) {
        EXPECT_EQ(result.clipboardText, text_.substr(0, 3000));
    } else {
        EXPECT_EQ(result.clipboardText, Protocol::PlaceholderText);
    }
    EXPECT_LE(testsupport::WordProcessIds().size(), 1u);
    EXPECT_EQ(testword::DocumentsLeftOpen(testsupport::ReadWordLog()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, WordFaultTest,
    ::testing::Values(
        // Word gone before the open: the open reports the server unavailable
        // and the second attempt starts a fresh Word.
        WordFault{"DiesFetchingDocumentsToCloseThem", Die("Application.Documents"), Outcome::Preview},
        WordFault{"DiesClosingTheOpenDocuments", Die("Documents.Close"), Outcome::Preview},
        WordFault{"DiesAcceptingTheEventSink", Die("Advise"), Outcome::Preview},
        WordFault{"DiesLookingForTheEventSource", Die("FindConnectionPoint"), Outcome::Preview},
        WordFault{"DiesFetchingDocumentsToOpen", Die("Application.Documents", 2), Outcome::Placeholder},
        WordFault{"DiesDuringOpen", Die("Documents.Open"), Outcome::Placeholder},
        WordFault{"DiesFetchingTheSelection", Die("Application.Selection"), Outcome::Placeholder},
        WordFault{"DiesFetchingTheSelectionToReadItsEnd", Die("Application.Selection", 2), Outcome::Placeholder},
        WordFault{"DiesFetchingTheSelectionToReadItsEndAgain", Die("Application.Selection", 3), Outcome::Placeholder},
        WordFault{"DiesFetchingTheSelectionToCutIt", Die("Application.Selection", 4), Outcome::Placeholder},
        WordFault{"DiesFetchingTheSelectionToCopyIt", Die("Application.Selection", 5), Outcome::Placeholder},
        WordFault{"DiesFetchingTheSelectionToCollapseIt", Die("Application.Selection", 6), Outcome::Preview},
        WordFault{"DiesReadingTheSelectionEndAgain", Die("Selection.End.get", 2), Outcome::Placeholder},
        WordFault{"DiesCollapsingTheSelectionEnd", Die("Selection.End.put", 2), Outcome::Preview},
        WordFault{"DiesFetchingDocumentsToCleanUp", Die("Application.Documents", 3), Outcome::Preview},
        WordFault{"DiesDetachingTheEventSink", Die("Unadvise"), Outcome::Preview},
        WordFault{"DiesReadingTheSelectionsDocument", Die("Selection.Document"), Outcome::Placeholder},
        WordFault{"DiesSelectingTheDocument", Die("Document.Select"), Outcome::Placeholder},
        WordFault{"DiesReadingTheSelectionEnd", Die("Selection.End.get"), Outcome::Placeholder},
        WordFault{"DiesCuttingTheSelection", Die("Selection.End.put"), Outcome::Placeholder},
        WordFault{"DiesCopying", Die("Selection.Copy"), Outcome::Placeholder},
        WordFault{"DiesCollapsingTheSelection", Die("Selection.Start.put"), Outcome::Preview},
        WordFault{"DiesCopyingTheCollapsedSelection", Die("Selection.Copy", 2), Outcome::Preview},
        WordFault{"DiesClosingAfterThePreview", Die("Documents.Close", 2), Outcome::Preview},
        // Word's answer "call again later" is not a refusal: the open is made again.
        WordFault{"BusyOnOpen", {{"openResults", {"0x8001010A", "0x80010001", "0"}}}, Outcome::Preview},
        WordFault{"SelectionUnavailable", {{"failCalls", {{"Application.Selection", "0x800A1098"}}}},
                  Outcome::Placeholder},
        WordFault{"SelectionEndUnreadable", {{"failCalls", {{"Selection.End.get", "0x800A11FD"}}}},
                  Outcome::Placeholder}),
    [](const auto& info) { return std::string(info.param.name); });

// --- a failure of the worker's own ------------------------------------------------

// Word said nothing wrong: the worker itself failed. That must not end the
// user's Word (and whatever unsaved work it holds): the host gets the
// placeholder, and Word is put to rest as after a refused document.
TEST_F(FaultFixture, WorkersOwnFailureGivesThePlaceholderAndLeavesWordAlive) {
    testsupport::WriteWordScript(json::object());
    const DWORD word = testsupport::StartWarmWord();
    ASSERT_NE(word, 0u);
    previewhost::PreviewOptions options = Options();
    options.request.deleteAlways = true;
    // The worker's test image for a system with no memory for automation
    // strings: the open's arguments cannot be built.
    options.workerPath = testsupport::TestBinDir() + L"\\WordPreview-refusing.exe";
    const auto result = previewhost::RunPreview(options);

    EXPECT_EQ(result.outcome, Outcome::Placeholder) << previewhost::OutcomeName(result.outcome) << ": " << result.failure;
    EXPECT_EQ(result.clipboardText, Protocol::PlaceholderText);
    EXPECT_EQ(result.workerExitCode, 0u);
    EXPECT_TRUE(testsupport::ReadTaskkillLog().empty()) << "taskkill ran";
    EXPECT_EQ(testsupport::WordProcessIds(), std::vector<DWORD>{word}) << "the user's Word did not survive";
    const auto log = testsupport::ReadWordLog();
    EXPECT_TRUE(testsupport::WordCalls(log, "Documents.Open").empty()) << "Word was asked to open it after all";
    EXPECT_EQ(testsupport::WordCalls(log, "Documents.Close").size(), 2u) << "the documents were not closed afterwards";
    EXPECT_EQ(testword::DocumentsLeftOpen(log), 0);
    EXPECT_FALSE(testsupport::WordCalls(log, "Unadvise").empty()) << "still connected";
    EXPECT_TRUE(testsupport::WordWindowIsMinimised());
    EXPECT_FALSE(testsupport::FileExists(path_)) << "the delete flags were not followed";
}

// --- Word hangs --------------------------------------------------------------------

TEST_F(FaultFixture, WordHangingInOpenIsEndedByTheHostsBoundAlone) {
    testsupport::WriteWordScript({{"hangOn", "Documents.Open"}});
    ASSERT_NE(testsupport::StartWarmWord(), 0u);
    previewhost::PreviewOptions options = Options();
    options.bound = 8s;
    const auto result = previewhost::RunPreview(options);
    // The worker has no time-out of its own: the host gives up and kills it.
    EXPECT_EQ(result.outcome, Outcome::TimedOut);
    EXPECT_EQ(result.stuckStage, "mutex");
    EXPECT_TRUE(result.workerExited);
    EXPECT_TRUE(testsupport::WaitUntil([] { return process_tools::ProcessIdsByName(L"WordPreview.exe").empty(); }))
        << "a worker was left behind";
    EXPECT_TRUE(testsupport::FileExists(path_));
}

// --- the host misbehaves --------------------------------------------------------------

// A thread of the host that takes the channel's new mutex before the worker
// starts and, once told to, ends without releasing it: the mutex is abandoned.
class AbandoningOwner {
public:
    AbandoningOwner() : mayEnd_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    AbandoningOwner(const AbandoningOwner&) = delete;
    AbandoningOwner& operator=(const AbandoningOwner&) = delete;
    ~AbandoningOwner() { Abandon(); }

    void Take(HANDLE mutex) {
        thread_ = std::thread([this, mutex] {
            (void)::WaitForSingleObject(mutex, INFINITE);  // a new mutex nobody else holds yet
            owned_ = true;
            (void)::WaitForSingleObject(mayEnd_.get(), INFINITE);
        });
        EXPECT_TRUE(testsupport::WaitUntil([&] { return owned_.load(); })) << "the owning thread never got the mutex";
    }
    // Returns once the thread has ended.
    void Abandon() {
        ::SetEvent(mayEnd_.get());
        if (thread_.joinable()) thread_.join();
    }

private:
    UniqueHandle mayEnd_;
    std::thread thread_;
    std::atomic<bool> owned_{false};
};

TEST_F(FaultFixture, MutexAbandonedWhileTheWorkerWaitsIsTakenOver) {
    testsupport::WriteWordScript(json::object());
    ASSERT_NE(testsupport::StartWarmWord(), 0u);
    AbandoningOwner owner;
    previewhost::PreviewOptions options = Options();
    options.beforeStart = [&](previewhost::HostChannel& channel) { owner.Take(channel.Mutex()); };
    options.afterGo = [&](previewhost::HostChannel& channel) {
        ::Sleep(300);
        EXPECT_EQ(channel.Byte(layout::GoSignal), 1) << "the worker went on without the mutex";
        owner.Abandon();
    };
    const auto result = previewhost::RunPreview(options);
    owner.Abandon();  // in case the request ended before GoSignal
    EXPECT_EQ(result.outcome, Outcome::Preview) << result.failure;
    EXPECT_EQ(result.clipboardText, text_.substr(0, 3000));
    EXPECT_EQ(result.workerExitCode, 0u);
}

// A thread of the host ends owning the mutex, and the host then lets go of
// its handle and opens the mutex again by name a second later: it abandoned
// the mutex, but it is still there, and is served as any host that reopens.
TEST_F(FaultFixture, HostReopeningAMutexItAbandonedIsStillServed) {
    testsupport::WriteWordScript(json::object());
    ASSERT_NE(testsupport::StartWarmWord(), 0u);
    AbandoningOwner owner;
    bool reopened = false;
    previewhost::PreviewOptions options = Options();
    options.beforeStart = [&](previewhost::HostChannel& channel) { owner.Take(channel.Mutex()); };
    options.afterGo = [&](previewhost::HostChannel& channel) {
        owner.Abandon();
        channel.CloseMutexHandle();
        ::Sleep(1000);
        reopened = channel.ReopenMutex();
    };
    const auto result = previewhost::RunPreview(options);
    owner.Abandon();  // in case the request ended before GoSignal
    EXPECT_TRUE(reopened) << "the mutex was gone";
    EXPECT_EQ(result.outcome, Outcome::Preview) << previewhost::OutcomeName(result.outcome) << ": " << result.failure;
    EXPECT_EQ(result.clipboardText, text_.substr(0, 3000));
    EXPECT_EQ(result.workerExitCode, 0u);
}

// A host that lets go of the channel while the worker waits for the
// acknowledgement (it closes its handles without setting PreviewTaken or
// StopWaiting) can never acknowledge. The worker notices that nobody holds
// the mutex but itself and ends the request as StopWaiting would: Word
// cleaned up, WorkerBusy cleared. The surviving view (as a watchdog would
// hold) keeps the block readable; it holds no mutex handle.
TEST_F(FaultFixture, HostLettingGoDuringTheWaitReleasesTheWorkerWithWordCleanedUp) {
    testsupport::WriteWordScript(json::object());
    ASSERT_NE(testsupport::StartWarmWord(), 0u);
    std::optional<previewhost::WorkerProcess> worker;
    UniqueHandle survivingMapping;
    UniqueMappedView survivingView;
    {
        auto channel = previewhost::HostChannel::Create(4096);
        previewhost::RequestFields request;
        request.documentPath = path_;
        channel.WriteRequest(request);
        survivingMapping.reset(::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, layout::MappingName));
        survivingView.reset(::MapViewOfFile(survivingMapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
        ASSERT_TRUE(survivingView);
        worker = previewhost::WorkerProcess::Start(testsupport::WorkerPath());
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (channel.Heartbeat() == 0 && std::chrono::steady_clock::now() < end) ::Sleep(1);
        channel.SetByte(layout::GoSignal, 1);
        while (channel.Byte(layout::GoSignal) != 0 && std::chrono::steady_clock::now() < end) ::Sleep(1);
        ASSERT_EQ(::WaitForSingleObject(channel.Mutex(), 30000), WAIT_OBJECT_0);
        EXPECT_EQ(previewhost::ReadClipboardText(), text_.substr(0, 3000));
        EXPECT_EQ(testword::DocumentsLeftOpen(testsupport::ReadWordLog()), 1) << "the document is open during the hand-over";
        ::ReleaseMutex(channel.Mutex());
        // The host's handles close here; PreviewTaken is never set.
    }
    ASSERT_TRUE(worker->WaitForExit(60s)) << "the worker kept waiting for a host that let go";
    EXPECT_EQ(worker->ExitCode(), 0u);
    const auto* block = static_cast<volatile std::uint8_t*>(survivingView.get());
    EXPECT_EQ(block[layout::WorkerBusy], 0);
    EXPECT_EQ(block[layout::PreviewTaken], 0);
    EXPECT_EQ(testword::DocumentsLeftOpen(testsupport::ReadWordLog()), 0);
}

}  // namespace
