// Messages from other programs in the middle of a request. The worker's waits
// dispatch messages, and any program on the desktop may post or send whatever
// it likes to the worker's window or thread (Windows lets every program at
// the same integrity level do so, and KillTimer does not take back a
// WM_TIMER already queued). One table: each message, from this process, at
// each of three stages of the request; every row must end with the request
// run exactly once and the worker gone cleanly.
#include "channel/Protocol.h"
#include "host/PreviewHost.h"
#include "testing/ProcessTools.h"
#include "testing/TestSupport.h"
#include "tests/DocumentFixture.h"
#include "testing/WordLedger.h"

#include "shell/Unit7.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>

namespace layout = SharedBlockLayout;
using namespace std::chrono_literals;
using nlohmann::json;
using previewhost::Outcome;

namespace {

enum class How {
    Post,        // PostMessage to the window
    PostThread,  // PostThreadMessage to the window's thread
    Notify,      // SendNotifyMessage: sent, no reply awaited (as taskkill sends WM_CLOSE)
    Send,        // SendMessageTimeout: sent, the reply awaited (bounded)
};

// What a sent message's lParam points at: nothing, or a CREATESTRUCT as a
// creation message's must (the system carries it across processes).
enum class Creation {
    None,
    Named,           // class and window name filled in, no creation parameter
    Zeroed,          // every field 0
    ForeignParameter,  // a creation parameter that is some address, not the worker's form
};

struct StrayMessage {
    const char* name;
    How how;
    UINT message;
    WPARAM wParam = 0;
    Creation creation = Creation::None;
};

enum class Stage {
    Heartbeat,   // the worker beats its heartbeat; GoSignal not yet set
    InsideOpen,  // Word stalls inside Documents.Open
    HandOver,    // the host holds the mutex back and has read the clipboard
};

struct Row {
    StrayMessage message;
    Stage stage;
};
void PrintTo(const Row& r, std::ostream* os) { *os << r.message.name << "/" << static_cast<int>(r.stage); }

const StrayMessage Messages[] = {
    {"PostedTimerWithTheStartTimersId", How::Post, WM_TIMER, TWordForm::StartTimerId},
    {"PostedTimerWithAnotherId", How::Post, WM_TIMER, 0x5EED},
    {"SentCreate", How::Send, WM_CREATE, 0, Creation::Named},
    {"SentNcCreateZeroed", How::Send, WM_NCCREATE, 0, Creation::Zeroed},
    {"SentNcCreateWithAForeignParameter", How::Send, WM_NCCREATE, 0, Creation::ForeignParameter},
    {"SentDestroy", How::Send, WM_DESTROY},
    {"SentNcDestroy", How::Send, WM_NCDESTROY},
    {"PostedClose", How::Post, WM_CLOSE},
    {"SentClose", How::Notify, WM_CLOSE},
    {"PostedQuitToTheThread", How::PostThread, WM_QUIT},
    {"SentQueryEndSession", How::Send, WM_QUERYENDSESSION},
    {"SentEndSession", How::Send, WM_ENDSESSION, TRUE},
    {"PostedUserMessage", How::Post, WM_USER + 7, 7},
};

// The worker's hidden main window, found as any other program would find it.
HWND WorkerWindow() { return ::FindWindowA(Protocol::WorkerWindowClass, nullptr); }

void Deliver(const StrayMessage& m) {
    const HWND window = WorkerWindow();
    ASSERT_NE(window, nullptr) << "the worker's window was not found";
    switch (m.how) {
        case How::Post: EXPECT_TRUE(::PostMessageA(window, m.message, m.wParam, 0)); break;
        case How::PostThread:
            EXPECT_TRUE(::PostThreadMessageA(::GetWindowThreadProcessId(window, nullptr), m.message, m.wParam, 0));
            break;
        case How::Notify: EXPECT_TRUE(::SendNotifyMessageA(window, m.message, m.wParam, 0)); break;
        case How::Send: {
            CREATESTRUCTA create{};
            if (m.creation == Creation::Named) {
                create.lpszClass = "TWordForm";
                create.lpszName = "WordForm";
            }
            // Some address that is not the worker's form: the system's shared
            // user data, mapped read-only in every process.
            if (m.creation == Creation::ForeignParameter) create.lpCreateParams = reinterpret_cast<void*>(0x7FFE0000);
            const LPARAM lParam = m.creation == Creation::None ? 0 : reinterpret_cast<LPARAM>(&create);
            DWORD_PTR reply = 0;
            // Bounded: a worker that no longer answers fails the row, not the
            // suite; one that replied handled the message at the stage the row names.
            EXPECT_NE(::SendMessageTimeoutA(window, m.message, m.wParam, lParam, SMTO_ABORTIFHUNG, 5000, &reply), 0)
                << "the worker did not reply";
            break;
        }
    }
}

class StrayMessageTest : public testdocument::DocumentFixture, public ::testing::WithParamInterface<Row> {
protected:
    StrayMessageTest()
        : DocumentFixture("stray-message-document.txt",
                          testdocument::NumberedText(4000, "line of a document among stray messages")) {}
};

class PlaceholderAmongStrayMessagesTest : public testdocument::DocumentFixture {
protected:
    PlaceholderAmongStrayMessagesTest() : DocumentFixture("stray-message-refused.txt", "a document Word refuses") {}
};

TEST_P(StrayMessageTest, RequestRunsOnceAndEndsCleanly) {
    const Row& row = GetParam();
    json script = json::object();
    if (row.stage == Stage::InsideOpen) script = {{"stallOn", "Documents.Open"}, {"stallMs", 1500}};
    testsupport::WriteWordScript(script);
    ASSERT_NE(testsupport::StartWarmWord(), 0u);

    // Inside Open the worker is in Word's call: the message comes from
    // another thread of this process while the host waits for the mutex.
    std::atomic<bool> done{false};
    std::thread neighbour;
    if (row.stage == Stage::InsideOpen) {
        neighbour = std::thread([&] {
            const bool stalled = testsupport::WaitUntil(
                [&] { return done || !testsupport::WordCalls(testsupport::ReadWordLog(), "Stalling").empty(); },
                30s, 5);
            if (stalled && !done) Deliver(row.message);
        });
    }
    previewhost::PreviewOptions options = Options();
    options.bound = 30s;
    options.beforeGo = [&](previewhost::HostChannel& channel) {
        // The request is taken: from now on the mapping lives on through the
        // views alone, and a second attach (a creation run again) would find
        // no block.
        channel.CloseMappingHandle();
        if (row.stage != Stage::Heartbeat) return;
        Deliver(row.message);
        ::Sleep(300);  // time for the worker to meet it between its beats
    };
    options.beforeAcknowledge = [&](previewhost::HostChannel&) {
        if (row.stage != Stage::HandOver) return;
        Deliver(row.message);
        ::Sleep(300);  // time for the worker to meet it in its wait
    };
    int workerBusyAtEnd = -1;
    DWORD mutexAtEnd = WAIT_FAILED;
    options.afterExit = [&](previewhost::HostChannel& channel) {
        workerBusyAtEnd = channel.Byte(layout::WorkerBusy);
        mutexAtEnd = ::WaitForSingleObject(channel.Mutex(), 0);
        if (mutexAtEnd == WAIT_OBJECT_0 || mutexAtEnd == WAIT_ABANDONED) (void)::ReleaseMutex(channel.Mutex());
    };
    const auto result = previewhost::RunPreview(options);
    done = true;
    if (neighbour.joinable()) neighbour.join();

    EXPECT_EQ(result.outcome, Outcome::Preview) << previewhost::OutcomeName(result.outcome) << ": " << result.failure;
    EXPECT_EQ(result.clipboardText, text_.substr(0, 3000));
    EXPECT_TRUE(result.workerExited);
    EXPECT_EQ(result.workerExitCode, 0u) << "not a clean exit";
    EXPECT_FALSE(result.mutexAbandoned);
    EXPECT_NE(mutexAtEnd, static_cast<DWORD>(WAIT_ABANDONED)) << "the worker ended owning the mutex";
    EXPECT_EQ(workerBusyAtEnd, 0);
    const auto log = testsupport::ReadWordLog();
    EXPECT_EQ(testsupport::WordCalls(log, "Documents.Open").size(), 1u) << "the request did not run exactly once";
    EXPECT_EQ(testword::DocumentsLeftOpen(log), 0);
    EXPECT_TRUE(testsupport::WordWindowIsMinimised());
    EXPECT_TRUE(testsupport::ReadTaskkillLog().empty());
}

// The destruction messages on the placeholder road: the worker's window
// still owns the placeholder it publishes afterwards (Windows takes clipboard
// data only from an owner that opened the clipboard with a window).
TEST_F(PlaceholderAmongStrayMessagesTest, ADestroyMessageLeavesThePlaceholderOwnedByTheWorkersWindow) {
    // Word stalls inside the open, refuses the document, then hangs in the
    // clean-up: the worker is held alive with the placeholder published.
    testsupport::WriteWordScript({{"stallOn", "Documents.Open"},
                                  {"stallMs", 1500},
                                  {"openResults", {"0x800A141F"}},
                                  {"hangOn", "Documents.Close"},
                                  {"hangOnCount", 2}});
    ASSERT_NE(testsupport::StartWarmWord(), 0u);
    std::atomic<bool> done{false};
    std::thread neighbour([&] {
        if (testsupport::WaitUntil(
                [&] { return done || !testsupport::WordCalls(testsupport::ReadWordLog(), "Stalling").empty(); }, 30s, 5) &&
            !done) {
            Deliver({"SentDestroy", How::Send, WM_DESTROY});
            Deliver({"SentNcDestroy", How::Send, WM_NCDESTROY});
        }
    });
    HWND mainWindow = nullptr, owner = nullptr;
    bool textOffered = false;
    previewhost::PreviewOptions options = Options();
    options.afterGo = [&](previewhost::HostChannel&) {
        const bool held = testsupport::WaitUntil([] {
            const auto closes = testsupport::WordCalls(testsupport::ReadWordLog(), "Documents.Close");
            return closes.size() == 2 && closes[1].value("action", "") == "hang";
        }, 30s);
        if (held) {
            mainWindow = WorkerWindow();
            owner = ::GetClipboardOwner();
            textOffered = ::IsClipboardFormatAvailable(CF_TEXT) != FALSE;
        }
        testsupport::KillAllWordDoubles();  // lets the worker finish
    };
    const auto result = previewhost::RunPreview(options);
    done = true;
    neighbour.join();

    ASSERT_NE(mainWindow, nullptr) << "the worker never reached the clean-up, or has no main window";
    EXPECT_EQ(owner, mainWindow) << "the placeholder is not owned by the worker's window";
    EXPECT_TRUE(textOffered);
    EXPECT_EQ(result.outcome, Outcome::Placeholder) << previewhost::OutcomeName(result.outcome) << ": " << result.failure;
    EXPECT_EQ(result.workerExitCode, 0u);
}

std::vector<Row> Rows() {
    std::vector<Row> rows;
    for (const Stage stage : {Stage::Heartbeat, Stage::InsideOpen, Stage::HandOver})
        for (const StrayMessage& message : Messages) rows.push_back(Row{message, stage});
    return rows;
}

std::string RowName(const Row& row) {
    const char* stage = row.stage == Stage::Heartbeat ? "DuringTheHeartbeat"
                        : row.stage == Stage::InsideOpen ? "InsideOpen"
                                                         : "DuringTheHandOver";
    return std::string(row.message.name) + stage;
}

INSTANTIATE_TEST_SUITE_P(MessagesAndStages, StrayMessageTest, ::testing::ValuesIn(Rows()),
                         [](const auto& info) { return RowName(info.param); });

}  // namespace
