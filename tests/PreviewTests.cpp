// The whole job, end to end: the reference host starts the real worker, which
// drives the Word double. One table of scenarios; each row says how Word
// behaves and what the host, the block, the clipboard, the document file,
// Word's processes and its window must show afterwards.
#include "channel/Protocol.h"
#include "common/TextConversion.h"
#include "host/PreviewHost.h"
#include "testing/ProcessTools.h"
#include "testing/TestSupport.h"
#include "testing/HostBytes.h"
#include "testing/OtherProgramClipboard.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

namespace layout = SharedBlockLayout;
using namespace std::chrono_literals;
using nlohmann::json;
using previewhost::Outcome;

namespace {

constexpr char KillCommand[] = "taskkill.exe /f /t /im \"winword.exe\"";

// A document whose every character position is recognisable.
std::string DocumentText(std::size_t length) {
    std::string text;
    for (std::size_t i = 0; text.size() < length; ++i) text += "line " + std::to_string(i) + " of the sample. ";
    text.resize(length);
    return text;
}

// Word's text formats end every paragraph with a line break, the document's
// final paragraph mark included; a cut at 3000 leaves the mark behind.
std::string AsWordCopiesIt(const std::string& text) { return text + "\r\n"; }

enum class WordState { Running, NotRunning, NotRegistered };
enum class Clip { Untouched, Placeholder, Whole, First3000 };

struct Scenario {
    const char* name;
    WordState word = WordState::Running;
    json script = json::object();
    std::size_t documentLength = 120;
    previewhost::RequestFields flags;  // kind and delete flags; path filled in by the test
    bool stopWaiting = false;            // the host answers the hand-over with StopWaiting
    bool stopWaitingFromTheStart = false;  // StopWaiting set before the worker starts

    Outcome outcome = Outcome::Preview;
    Clip clipboard = Clip::Whole;
    bool wordReady = true;
    bool openRejected = false;
    bool deleted = false;
    int opens = 1;
    int closes = 2;           // Documents.Close calls over the whole request
    bool handedOver = true;   // the worker waited for the host's acknowledgement
    bool killed = false;      // taskkill ran, with exactly the command line
    bool minimised = true;    // Word's window minimised at the end (before the open or after the clean-up)
    int newWords = 0;         // Word instances started by the worker
    std::optional<int> connections;  // event sinks advised over the request, where the row counts them
    // Every Open reached Word with its macros forbidden (AutomationSecurity 3).
    // Every row's documents carry macros (unless its script says otherwise),
    // none may run, and every Word left running ends with its own setting.
    bool macrosForbidden = true;
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

previewhost::RequestFields Flags(std::uint8_t kind, bool always, bool k1 = false, bool k2 = false, bool k3 = false) {
    previewhost::RequestFields f;
    f.requestKind = kind;
    f.deleteAlways = always;
    f.deleteKind1 = k1;
    f.deleteKind2 = k2;
    f.deleteKind3 = k3;
    return f;
}

std::vector<Scenario> Scenarios() {
    const json opens141F = {{"openResults", {"0x800A141F"}}};
    const json opens1401 = {{"openResults", {"0x800A1401"}}};
    return {
        {.name = "ShortDocumentCopiedWhole"},
        {.name = "LongDocumentCutTo3000", .documentLength = 5000, .clipboard = Clip::First3000},
        // Around the limit, Word's final paragraph mark counts as a position:
        // 2999 characters and the mark end at 3000 and are copied whole.
        {.name = "Document2999CopiedWholeWithItsMark", .documentLength = 2999},
        {.name = "Document3000CutBeforeItsMark", .documentLength = 3000, .clipboard = Clip::First3000},
        {.name = "Document3001CutTo3000", .documentLength = 3001, .clipboard = Clip::First3000},
        {.name = "WordNotRunningIsStarted", .word = WordState::NotRunning, .newWords = 1},
        {.name = "WordNotInstalled", .word = WordState::NotRegistered, .flags = Flags(1, true, true),
         .outcome = Outcome::WordUnavailable, .clipboard = Clip::Untouched, .wordReady = false, .opens = 0,
         .closes = 0, .handedOver = false, .minimised = false},
        // The window was minimised before the open, not after: there is no clean-up.
        {.name = "ServerFaultReconnectsAndLeavesEverything", .script = {{"openResults", {"0x80010105"}}},
         .flags = Flags(1, true, true), .outcome = Outcome::Placeholder, .clipboard = Clip::Placeholder, .closes = 1,
         .handedOver = false, .connections = 2},
        // The retry connects afresh: a second event sink on the same Word.
        {.name = "ServerUnavailableRetriesOnce", .script = {{"openResults", {"0x800706BA", "0"}}}, .opens = 2,
         .closes = 3, .connections = 2},
        // The retry is the last attempt: the same code again is a failure
        // like any other, and ends every Word.
        {.name = "ServerUnavailableTwiceKillsEveryWord", .script = {{"openResults", {"0x800706BA", "0x800706BA"}}},
         .flags = Flags(1, false, true), .outcome = Outcome::Placeholder, .clipboard = Clip::Placeholder,
         .deleted = true, .opens = 2, .closes = 3, .handedOver = false, .killed = true, .newWords = 1},
        // Closing what Word has open fails with Word's own error: ignored, and
        // the one connection serves the whole request. The document it could
        // not close still names Word's window, which is then not minimised.
        {.name = "FailingCloseKeepsTheConnection", .script = {{"failCalls", {{"Documents.Close", "0x800A1098"}}}},
         .minimised = false, .connections = 1},
        {.name = "RejectedDocumentIsMarked", .script = {{"openResults", {"0x800A1520"}}},
         .flags = Flags(2, false, false, true), .outcome = Outcome::DocumentRefused, .clipboard = Clip::Placeholder,
         .openRejected = true, .deleted = true, .handedOver = false},
        {.name = "KnownOpenFailure141F", .script = opens141F, .outcome = Outcome::Placeholder,
         .clipboard = Clip::Placeholder, .handedOver = false},
        {.name = "KnownOpenFailure1401", .script = opens1401, .outcome = Outcome::Placeholder,
         .clipboard = Clip::Placeholder, .handedOver = false},
        // The kill ends the running Word; closing the documents afterwards
        // connects again and so starts a new one, which is left disconnected.
        {.name = "UnknownOpenFailureKillsEveryWord", .script = {{"openResults", {"0x80004005"}}},
         .flags = Flags(3, false, false, false, true), .outcome = Outcome::Placeholder, .clipboard = Clip::Placeholder,
         .deleted = true, .handedOver = false, .killed = true, .newWords = 1},
        {.name = "SelectionEndZeroOnceRetriesWithAFreshWord", .script = {{"endZeroReads", 1}}, .opens = 2,
         .closes = 3, .killed = true, .newWords = 1},
        // The retry's Word also says its selection ends at 0 but copies it
        // all the same: the last attempt hands over what Word copied.
        {.name = "SelectionEndZeroOnTheRetryHandsOverWhatWordCopies", .script = {{"endZeroReads", 3}}, .opens = 2,
         .closes = 3, .killed = true, .newWords = 1},
        // Word selects an empty document's final paragraph mark: it is not
        // empty to the worker, and the preview is that mark.
        {.name = "EmptyDocumentPreviewsItsParagraphMark", .documentLength = 0},
        // A Word that shows no text at all, twice: the second attempt's copy
        // of nothing fails, and the host gets the placeholder rather than
        // whatever the clipboard held.
        {.name = "SelectionEndZeroTwiceGivesThePlaceholder", .script = {{"text", ""}, {"finalParagraphMark", false}},
         .outcome = Outcome::Placeholder, .clipboard = Clip::Placeholder, .opens = 2, .closes = 3,
         .handedOver = false, .killed = true, .newWords = 1},
        // The first copy failing in any way: the clipboard does not hold the
        // document's text, so the host must not be told it does.
        {.name = "CopyFailsNoTextSelected", .script = {{"failCalls", {{"Selection.Copy", "0x800A11FD"}}}},
         .outcome = Outcome::Placeholder, .clipboard = Clip::Placeholder, .handedOver = false},
        {.name = "CopyFailsWithAnRpcCode", .script = {{"failCalls", {{"Selection.Copy", "0x800706BE"}}}},
         .outcome = Outcome::Placeholder, .clipboard = Clip::Placeholder, .handedOver = false},
        // Word's error number in wCode alone is still Word's refusal.
        {.name = "RejectionReportedInWCodeOnly", .script = {{"openResults", {"0x800A1520"}}, {"errorInfo", "wCode"}},
         .outcome = Outcome::DocumentRefused, .clipboard = Clip::Placeholder, .openRejected = true,
         .handedOver = false},
        // A failed open that names no code is a failure all the same, of an
        // unknown kind.
        {.name = "OpenFailureWithoutACodeKillsEveryWord",
         .script = {{"openResults", {"0x800A1520"}}, {"errorInfo", "none"}}, .outcome = Outcome::Placeholder,
         .clipboard = Clip::Placeholder, .handedOver = false, .killed = true, .newWords = 1},
        {.name = "StopWaitingReleasesTheWorker", .stopWaiting = true},
        // Already set when the worker reaches the wait: it goes on without one.
        {.name = "StopWaitingSetFromTheStartNeedsNoAcknowledgement", .stopWaiting = true,
         .stopWaitingFromTheStart = true},
        {.name = "WordDiesDuringOpen", .script = {{"dieOn", "Documents.Open"}}, .outcome = Outcome::Placeholder,
         .clipboard = Clip::Placeholder, .handedOver = false, .killed = true, .newWords = 1},
        {.name = "WindowWithADocumentTitleIsNotMinimised", .script = {{"windowTitle", "report.doc - Microsoft Word"}},
         .minimised = false},
        // The user's own macro setting, not Word's default, is what comes back.
        {.name = "UsersMacroSettingIsPutBack", .script = {{"automationSecurityAtStart", 2}}},
        {.name = "RefusedDocumentOfAUserWithTheirOwnMacroSetting",
         .script = {{"automationSecurityAtStart", 2}, {"openResults", {"0x800A141F"}}}, .outcome = Outcome::Placeholder,
         .clipboard = Clip::Placeholder, .handedOver = false},
        // An older Word has no such setting, and a Word may refuse the change:
        // the preview as before (its own macro security applies there).
        {.name = "WordWithoutAMacroSettingStillPreviews",
         .script = {{"automationSecurityMember", false}, {"macros", false}}, .macrosForbidden = false},
        {.name = "WordRefusingTheMacroSettingStillPreviews",
         .script = {{"failCalls", {{"Application.AutomationSecurity.put", "0x800A1066"}}}, {"macros", false}},
         .macrosForbidden = false},
    };
}

class PreviewScenarioTest : public ::testing::TestWithParam<Scenario> {
protected:
    void SetUp() override {
        testsupport::KillAllWordDoubles();
        testsupport::ClearWordLog();
        testsupport::ClearTaskkillLog();
    }
    void TearDown() override { testsupport::KillAllWordDoubles(); }
};

int CountCalls(const std::vector<json>& log, const char* call) {
    return static_cast<int>(testsupport::WordCalls(log, call).size());
}

// Word as the row has it: registered or not, running or not, its documents
// carrying macros unless the row says otherwise. `warmWord` is the running
// double's process, 0 when none was started.
void PrepareWord(const Scenario& s, DWORD& warmWord) {
    json script = s.script;
    if (!script.contains("macros")) script["macros"] = true;
    testsupport::WriteWordScript(script);
    if (s.word == WordState::NotRegistered) {
        testsupport::UnregisterWordDouble();
        return;
    }
    ASSERT_TRUE(testsupport::RegisterWordDouble());
    if (s.word == WordState::Running) {
        warmWord = testsupport::StartWarmWord();
        ASSERT_NE(warmWord, 0u) << "the Word double did not come up";
    }
}

// AutomationSecurity of Word process `pid`: what it started with, and what
// it has once the log ends (every put it accepted applied). nullopt when the
// log never saw it start.
struct MacroSetting {
    long atStart = 0;
    long atEnd = 0;
};
std::optional<MacroSetting> MacroSettingOf(const std::vector<json>& log, DWORD pid) {
    std::optional<MacroSetting> setting;
    for (const json& line : log) {
        if (line.value("pid", 0u) != pid) continue;
        const std::string call = line.value("call", "");
        if (call == "Started") {
            const long started = line.value("automationSecurity", -1L);
            setting = MacroSetting{started, started};
        }
        if (setting && call == "Application.AutomationSecurity.put" && line.value("result", 1u) == 0)
            setting->atEnd = line["args"][0]["value"].get<long>();
    }
    return setting;
}

// No macro of the previewed document ran; every Open reached Word with
// macros forbidden; every Word still running has the setting it started with.
void ExpectNoMacroRan(const Scenario& s, const std::vector<json>& log) {
    for (const json& ran : testsupport::WordCalls(log, "Macro.Ran")) ADD_FAILURE() << "a macro ran: " << ran.dump();
    if (s.macrosForbidden) {
        for (const json& open : testsupport::WordCalls(log, "Documents.Open"))
            EXPECT_EQ(open.value("automationSecurity", -1), 3) << "opened with macros allowed: " << open.dump();
    }
    for (const DWORD pid : testsupport::WordProcessIds()) {
        if (const auto setting = MacroSettingOf(log, pid))
            EXPECT_EQ(setting->atEnd, setting->atStart) << "Word " << pid << " was left with another macro setting";
    }
}

// What Word's side shows afterwards: its calls, the kill, its processes, its window.
void ExpectWordAsTheRowSays(const Scenario& s, DWORD warmWord) {
    const std::vector<json> log = testsupport::ReadWordLog();
    ExpectNoMacroRan(s, log);
    EXPECT_EQ(CountCalls(log, "Documents.Open"), s.opens);
    EXPECT_EQ(CountCalls(log, "Documents.Close"), s.closes);
    EXPECT_EQ(CountCalls(log, "ClassFactory.CreateInstance"), s.newWords);
    if (s.connections) EXPECT_EQ(CountCalls(log, "Advise"), *s.connections) << "the worker connected again";
    const std::vector<std::string> kills = testsupport::ReadTaskkillLog();
    if (s.killed) {
        ASSERT_EQ(kills.size(), 1u);
        EXPECT_NE(kills[0].find(KillCommand), std::string::npos) << kills[0];
        if (warmWord) {
            const auto alive = testsupport::WordProcessIds();
            EXPECT_EQ(std::count(alive.begin(), alive.end(), warmWord), 0) << "the running Word survived the kill";
        }
    } else {
        EXPECT_TRUE(kills.empty());
        if (warmWord) EXPECT_EQ(testsupport::WordProcessIds(), std::vector<DWORD>{warmWord}) << "a second Word started";
    }
    if (s.word != WordState::NotRegistered && !s.killed) {
        // Word's own title changes with the active document: find its window by class then.
        const std::string title = s.script.value("windowTitle", "");
        EXPECT_EQ(testsupport::WordWindowIsMinimised(WideText(title, CP_UTF8)), s.minimised);
    }
}

struct HostTurn {
    bool reached = false;
    std::uint8_t previewTaken = 0;
    std::uint8_t workerBusy = 0;
    int closes = 0;                       // Documents.Close calls so far
    bool finishedUnacknowledged = false;  // the worker ended before any acknowledgement
};

HostTurn HostTurnNow(const previewhost::HostChannel& channel) {
    return HostTurn{true, channel.Byte(layout::PreviewTaken), channel.Byte(layout::WorkerBusy),
                    CountCalls(testsupport::ReadWordLog(), "Documents.Close")};
}

void ExpectHostTurnAsTheRowSays(const Scenario& s, const HostTurn& turn) {
    ASSERT_TRUE(turn.reached) << "the host never got the mutex";
    if (!s.handedOver) {
        EXPECT_EQ(turn.closes, s.closes) << "the mutex came back before the clean-up";
        return;
    }
    EXPECT_EQ(turn.previewTaken, 0) << "handed over without clearing PreviewTaken";
    if (s.stopWaitingFromTheStart) {
        EXPECT_TRUE(turn.finishedUnacknowledged) << "the worker waited although StopWaiting was set";
        return;
    }
    EXPECT_EQ(turn.workerBusy, 1);
    EXPECT_EQ(turn.closes, s.closes - 1) << "Word was cleaned up before the host had read the preview";
}

TEST_P(PreviewScenarioTest, EndsAsTheTableSays) {
    const Scenario& s = GetParam();
    const std::string text = DocumentText(s.documentLength);
    const std::string path = testsupport::TempPath(std::string("preview-") + s.name + ".txt");
    std::ofstream(path, std::ios::binary) << text;
    DWORD warmWord = 0;
    ASSERT_NO_FATAL_FAILURE(PrepareWord(s, warmWord));

    testblock::HostBytesGuard guard;
    previewhost::PreviewOptions options;
    options.workerPath = testsupport::WorkerPath();
    options.request = s.flags;
    options.request.documentPath = path;
    options.stopWaitingInsteadOfTaken = s.stopWaiting;
    options.bound = 60s;
    options.beforeStart = [&](previewhost::HostChannel& channel) {
        // Another program's text: whatever the host reads must not be it,
        // unless the worker never touched the clipboard.
        EXPECT_TRUE(otherprogram::PutClipboardText("sentinel"));
        guard.FillAndRemember(channel);
        if (s.stopWaiting) guard.HostWrote(layout::StopWaiting, 1);
        if (s.stopWaitingFromTheStart) channel.SetByte(layout::StopWaiting, 1);
        // The worker's result bytes start as the opposite of what it must
        // leave there, so that each one shows that the worker wrote it.
        channel.SetByte(layout::WordReady, s.wordReady ? 0 : 1);
        channel.SetByte(layout::OpenRejected, s.openRejected ? 0 : 1);
        channel.SetByte(layout::PreviewTaken, 1);
    };
    // What the host finds once it has the mutex: on a hand-over the worker
    // cleared PreviewTaken and waits with Word's clean-up still to come;
    // otherwise the mutex came back with the clean-up done.
    HostTurn turn;
    options.beforeAcknowledge = [&](previewhost::HostChannel& channel) {
        turn = HostTurnNow(channel);
        if (s.stopWaitingFromTheStart)
            turn.finishedUnacknowledged =
                testsupport::WaitUntil([&] { return channel.Byte(layout::WorkerBusy) == 0; }, 60s);
    };
    std::string stray = "block not checked";
    std::uint8_t previewTaken = 0;
    options.afterExit = [&](previewhost::HostChannel& channel) {
        stray = guard.StrayWrite(channel);
        previewTaken = channel.Byte(layout::PreviewTaken);
    };
    const previewhost::PreviewResult result = previewhost::RunPreview(options);

    EXPECT_EQ(result.outcome, s.outcome) << previewhost::OutcomeName(result.outcome) << ": " << result.failure;
    EXPECT_TRUE(result.workerExited);
    EXPECT_EQ(result.workerExitCode, 0u);
    EXPECT_EQ(stray, "");
    EXPECT_EQ(result.wordReady, s.wordReady);
    EXPECT_EQ(result.openRejected, s.openRejected);
    switch (s.clipboard) {
        case Clip::Untouched: EXPECT_EQ(previewhost::ReadClipboardText(), "sentinel"); break;
        case Clip::Placeholder: EXPECT_EQ(result.clipboardText, Protocol::PlaceholderText); break;
        case Clip::Whole: EXPECT_EQ(result.clipboardText, AsWordCopiesIt(text)); break;
        case Clip::First3000: EXPECT_EQ(result.clipboardText, text.substr(0, 3000)); break;
    }
    ExpectHostTurnAsTheRowSays(s, turn);
    if (s.handedOver) EXPECT_EQ(previewTaken, s.stopWaiting ? 0 : 1);
    EXPECT_EQ(testsupport::FileExists(path), !s.deleted);
    ExpectWordAsTheRowSays(s, warmWord);
    (void)::DeleteFileA(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Word, PreviewScenarioTest, ::testing::ValuesIn(Scenarios()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the exact conversation with Word on the normal road --------------------

// The tests below start a double of their own: it is ended, and the double
// registered again, however the test ends, so that an early assertion leaves
// nothing behind for the next test.
class OwnWordTest : public ::testing::Test {
protected:
    void TearDown() override {
        testsupport::KillAllWordDoubles();
        (void)testsupport::RegisterWordDouble();
    }
};
class WordConversationTest : public OwnWordTest {};
class ServerFaultTest : public OwnWordTest {};
class ClipboardHeldTest : public OwnWordTest {};

// The host's side of one request for this document, with a bound that a
// loaded machine meets.
previewhost::PreviewOptions OptionsFor(const std::string& documentPath) {
    previewhost::PreviewOptions options;
    options.workerPath = testsupport::WorkerPath();
    options.request.documentPath = documentPath;
    options.bound = 60s;
    return options;
}

// One request for a short document, by a host that runs the worker as a
// debuggee and so reads its stage lines; the document is gone afterwards.
class StageTraceTest : public OwnWordTest {
protected:
    static previewhost::PreviewResult TracedPreviewOf(const std::string& fileName) {
        const std::string path = testsupport::TempPath(fileName);
        std::ofstream(path, std::ios::binary) << DocumentText(100);
        previewhost::PreviewOptions options = OptionsFor(path);
        options.trace = true;
        const auto result = previewhost::RunPreview(options);
        ::DeleteFileA(path.c_str());
        return result;
    }
};

std::vector<std::string> MainCalls(const std::vector<json>& log) {
    static const char* const ignored[] = {"Started", "ActiveObject.Registered", "QueryInterface",
                                          "FindConnectionPoint", "Advise", "Unadvise", "Window.Minimised",
                                          "ClassFactory.CreateInstance", "Clipboard.Render", "Busy.FilterRegistered"};
    std::vector<std::string> calls;
    for (const json& line : log) {
        const std::string call = line.value("call", "");
        if (std::find(std::begin(ignored), std::end(ignored), call) == std::end(ignored)) calls.push_back(call);
    }
    return calls;
}

// Every argument of Open by reference, with the types and values Word is given.
void ExpectOpenArguments(const std::vector<json>& log, const std::string& path) {
    const auto opens = testsupport::WordCalls(log, "Documents.Open");
    ASSERT_EQ(opens.size(), 1u);
    const json& args = opens[0]["args"];
    ASSERT_EQ(args.size(), 15u);
    const json expectedArgs = json::array({
        {{"inner", VT_BSTR}, {"value", path}},
        {{"inner", VT_BOOL}, {"value", 0}},
        {{"inner", VT_BOOL}, {"value", 0}},
        {{"inner", VT_BOOL}, {"value", 0}},
        {{"inner", VT_BSTR}, {"value", "1"}},
        {{"inner", VT_BSTR}, {"value", "1"}},
        {{"inner", VT_BOOL}, {"value", -1}},
        {{"inner", VT_BSTR}, {"value", "1"}},
        {{"inner", VT_BSTR}, {"value", "1"}},
        {{"inner", VT_I4}, {"value", 0}},
        {{"inner", VT_ERROR}, {"value", 0x80020004u}},
        {{"inner", VT_BOOL}, {"value", -1}},
        {{"inner", VT_BOOL}, {"value", 0}},
        {{"inner", VT_ERROR}, {"value", 0x80020004u}},
        {{"inner", VT_BOOL}, {"value", -1}},
    });
    for (std::size_t i = 0; i < 15; ++i) {
        EXPECT_EQ(args[i]["vt"], VT_BYREF | VT_VARIANT) << "argument " << i + 1;
        EXPECT_EQ(args[i]["inner"], expectedArgs[i]["inner"]) << "argument " << i + 1;
        EXPECT_EQ(args[i]["value"], expectedArgs[i]["value"]) << "argument " << i + 1;
    }
}

// Close's three arguments, the cut to the preview's length, and the collapse
// to an empty selection at 0 that is copied once more (so that the clipboard
// no longer holds Word's data object).
void ExpectCloseAndCutArguments(const std::vector<json>& log) {
    const auto closes = testsupport::WordCalls(log, "Documents.Close");
    ASSERT_FALSE(closes.empty());
    const json closeArgs = closes[0]["args"];
    ASSERT_EQ(closeArgs.size(), 3u);
    EXPECT_EQ(closeArgs[0]["inner"], VT_I4);
    EXPECT_EQ(closeArgs[0]["value"], 0);
    EXPECT_EQ(closeArgs[1]["inner"], VT_I4);
    EXPECT_EQ(closeArgs[1]["value"], 1);
    EXPECT_EQ(closeArgs[2]["inner"], VT_BOOL);
    EXPECT_EQ(closeArgs[2]["value"], 0);
    const auto ends = testsupport::WordCalls(log, "Selection.End.put");
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0]["args"][0]["vt"], VT_I4);
    EXPECT_EQ(ends[0]["args"][0]["value"], 3000) << "the cut";
    EXPECT_EQ(ends[1]["args"][0]["vt"], VT_I4);
    EXPECT_EQ(ends[1]["args"][0]["value"], 0) << "the collapse's end";
    const auto starts = testsupport::WordCalls(log, "Selection.Start.put");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["args"][0]["vt"], VT_I4);
    EXPECT_EQ(starts[0]["args"][0]["value"], 0) << "the collapse's start";
    // The preview's copy takes the first 3000 characters; the collapse's copy
    // finds nothing selected (Word refuses it, 0x800A11FD, and the worker lets that be).
    const auto copies = testsupport::WordCalls(log, "Selection.Copy");
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(copies[0]["args"].size(), 0u);
    EXPECT_EQ(copies[0].value("copied", std::string()).size(), 3000u) << "the preview's copy";
    EXPECT_EQ(copies[0]["result"], 0u);
    EXPECT_EQ(copies[1]["args"].size(), 0u);
    EXPECT_FALSE(copies[1].contains("copied"))
        << "the collapse's copy copied " << copies[1].value("copied", std::string()).size() << " characters";
    EXPECT_EQ(copies[1].value("scode", 0u), 0x800A11FDu) << "the collapse's copy";
}

// The macro setting: read, forbidden (3) right before the open, and the
// value read put back once the documents are closed.
void ExpectMacroSettingCalls(const std::vector<json>& log, long usersSetting) {
    const auto reads = testsupport::WordCalls(log, "Application.AutomationSecurity.get");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0]["value"], usersSetting);
    const auto puts = testsupport::WordCalls(log, "Application.AutomationSecurity.put");
    ASSERT_EQ(puts.size(), 2u);
    for (const json& put : puts) {
        EXPECT_EQ(put["args"][0]["vt"], VT_I4);
        EXPECT_EQ(put["result"], 0u);
    }
    EXPECT_EQ(puts[0]["args"][0]["value"], 3);
    EXPECT_EQ(puts[1]["args"][0]["value"], usersSetting);
}

TEST_F(WordConversationTest, NormalRoadMakesExactlyTheseCallsWithTheseArguments) {
    // Not Word's default: the value put back is the one read.
    constexpr long usersMacroSetting = 2;
    ASSERT_NE(testsupport::StartFreshWarmWord({{"automationSecurityAtStart", usersMacroSetting}}), 0u);
    const std::string path = testsupport::TempPath("conversation.txt");
    std::ofstream(path, std::ios::binary) << DocumentText(4000);

    previewhost::PreviewOptions options = OptionsFor(path);
    const auto result = previewhost::RunPreview(options);
    ASSERT_EQ(result.outcome, Outcome::Preview) << result.failure;

    const std::vector<json> log = testsupport::ReadWordLog();
    const std::vector<std::string> expected = {
        "Application.Documents", "Documents.Close",                                   // close what is open
        "Application.AutomationSecurity.get", "Application.AutomationSecurity.put",   // macros forbidden
        "Application.Documents", "Documents.Open",                                    // open
        "Application.Selection", "Selection.Document", "Document.Select",             // select all
        "Application.Selection", "Selection.End.get",                                 // empty?
        "Application.Selection", "Selection.End.get",                                 // longer than 3000?
        "Application.Selection", "Selection.End.put",                                 // cut
        "Application.Selection", "Selection.Copy",                                    // copy
        "Application.Selection", "Selection.Start.put",                               // collapse,
        "Application.Selection", "Selection.End.put",                                 // each call on a
        "Application.Selection", "Selection.Copy",                                    // fresh Selection
        "Application.Documents", "Documents.Close",
        "Application.AutomationSecurity.put"};                                        // the user's setting back
    EXPECT_EQ(MainCalls(log), expected);

    ExpectOpenArguments(log, path);
    ExpectCloseAndCutArguments(log);
    ExpectMacroSettingCalls(log, usersMacroSetting);
    ::DeleteFileA(path.c_str());
}

// A host that runs the worker as a debuggee sees a line for every stage, in
// the order of the road.
TEST_F(StageTraceTest, ADebuggingHostSeesEveryStageInOrder) {
    ASSERT_NE(testsupport::StartFreshWarmWord(json::object()), 0u);
    const auto result = TracedPreviewOf("traced.txt");
    ASSERT_EQ(result.outcome, Outcome::Preview) << result.failure;

    const char* stages[] = {"attached", "request taken", "go", "mutex owned", "connected to the running Word",
                            "document opened", "copied", "handed over", "acknowledged", "cleaned up",
                            "request finished", "exiting"};
    std::size_t next = 0;
    for (const auto& line : result.traceLines)
        if (next < std::size(stages) && line.name.rfind(std::string("WordPreview: ") + stages[next], 0) == 0) ++next;
    EXPECT_EQ(next, std::size(stages)) << "missing from \"" << (next < std::size(stages) ? stages[next] : "") << "\" on";
}

// A Word without the macro setting (older than the property) previews as
// before, and a debugging host is told that macros were not forbidden.
TEST_F(StageTraceTest, AWordWithoutTheMacroSettingIsNamedInTheTrace) {
    ASSERT_NE(testsupport::StartFreshWarmWord({{"automationSecurityMember", false}}), 0u);
    const auto result = TracedPreviewOf("older-word.txt");
    EXPECT_EQ(result.outcome, Outcome::Preview) << result.failure;
    const bool named = std::any_of(result.traceLines.begin(), result.traceLines.end(), [](const auto& line) {
        return line.name.rfind("WordPreview: macros not forbidden", 0) == 0;
    });
    EXPECT_TRUE(named) << "no trace line says that macros were not forbidden";
    const auto unknown = testsupport::WordCalls(testsupport::ReadWordLog(), "GetIDsOfNames");
    ASSERT_FALSE(unknown.empty());
    EXPECT_EQ(unknown[0]["name"], "AutomationSecurity");
}

// --- a reconnect that fails after a server fault ----------------------------------

// Word answers Open with 0x80010105 and can then no longer be reached (gone
// from the running-object table, not installed): the reconnect fails, and the
// worker pauses before the mutex goes back to the host. The pause is all
// there is to see of that step, so its length is bounded from below; a slow
// machine only lengthens it.
TEST_F(ServerFaultTest, AFailedReconnectPausesBeforeTheMutexComesBack) {
    ASSERT_NE(testsupport::StartFreshWarmWord(
                  {{"openResults", {"0x80010105"}}, {"unreachableAfter", "Documents.Open"}}),
              0u);
    testsupport::UnregisterWordDouble();
    previewhost::PreviewOptions options = OptionsFor("C:\\faulted.doc");
    ULONGLONG mutexTick = 0;
    options.beforeAcknowledge = [&](previewhost::HostChannel&) { mutexTick = ::GetTickCount64(); };
    const auto result = previewhost::RunPreview(options);

    EXPECT_EQ(result.outcome, Outcome::Placeholder) << result.failure;
    EXPECT_EQ(result.clipboardText, Protocol::PlaceholderText);
    const auto log = testsupport::ReadWordLog();
    const auto opens = testsupport::WordCalls(log, "Documents.Open");
    ASSERT_EQ(opens.size(), 1u);
    ASSERT_NE(mutexTick, 0u) << "the host never got the mutex";
    // From Word's answer to the mutex's return: the pause, and nothing a
    // slow start or a slow Word could have lengthened instead.
    const ULONGLONG answered = opens[0].value("tick", ULONGLONG{0});
    EXPECT_GE(mutexTick - answered, 450u) << "no pause after the failed reconnect";
    // One connection: the reconnect was tried and found no Word.
    EXPECT_EQ(testsupport::WordCalls(log, "Advise").size(), 1u);
    EXPECT_EQ(testsupport::WordCalls(log, "Unreachable").size(), 1u);
    EXPECT_TRUE(testsupport::WordCalls(log, "ClassFactory.CreateInstance").empty());
}

// --- the clipboard held by another program ------------------------------------

TEST_F(ClipboardHeldTest, PlaceholderArrivesAfterTheHolderLetsGo) {
    ASSERT_NE(testsupport::StartFreshWarmWord({{"openResults", {"0x800A141F"}}}), 0u);

    std::atomic<bool> holding{false}, released{false}, holderDone{false};
    std::thread holder;
    previewhost::PreviewOptions options = OptionsFor("C:\\held.doc");
    options.beforeStart = [&](previewhost::HostChannel&) {
        holder = std::thread([&] {
            UniqueWindow window = otherprogram::MessageWindow();
            ClipboardSession clipboard;
            if (clipboard.Open(window.get())) {
                holding = true;
                // Held until Word has refused the document, and a moment
                // more: the worker meets a clipboard that is not free.
                (void)testsupport::WaitUntil(
                    [] { return !testsupport::WordCalls(testsupport::ReadWordLog(), "Documents.Open").empty(); }, 30s);
                ::Sleep(300);
                released = true;
            }
            holderDone = true;
        });
        // Bounded: a holder that could not open the clipboard fails the test, not hangs it.
        EXPECT_TRUE(testsupport::WaitUntil([&] { return holding || holderDone; }) && holding)
            << "the holder could not open the clipboard";
    };
    bool releasedBeforeTheMutexCameBack = false;
    options.beforeAcknowledge = [&](previewhost::HostChannel&) { releasedBeforeTheMutexCameBack = released; };
    const auto result = previewhost::RunPreview(options);
    holder.join();
    EXPECT_TRUE(releasedBeforeTheMutexCameBack);
    EXPECT_EQ(result.outcome, Outcome::Placeholder) << result.failure;
    EXPECT_EQ(result.clipboardText, Protocol::PlaceholderText);
}

// --- whose the placeholder is ---------------------------------------------------

// Windows takes clipboard data only from an owner that opened the clipboard
// with a window; the worker's is its main window, and the text it publishes
// stays with it while the worker lives.
TEST(PlaceholderOwnerTest, PlaceholderIsTextOwnedByTheWorkersMainWindow) {
    // Word refuses the document, then hangs in the clean-up: the worker is
    // held alive with the placeholder published.
    ASSERT_NE(testsupport::StartFreshWarmWord(
                  {{"openResults", {"0x800A141F"}}, {"hangOn", "Documents.Close"}, {"hangOnCount", 2}}),
              0u);

    HWND mainWindow = nullptr, owner = nullptr;
    bool textOffered = false;
    std::optional<std::string> textWhileAlive;
    previewhost::PreviewOptions options = OptionsFor("C:\\refused.doc");
    options.afterGo = [&](previewhost::HostChannel&) {
        const auto end = std::chrono::steady_clock::now() + 30s;
        for (;;) {
            const auto closes = testsupport::WordCalls(testsupport::ReadWordLog(), "Documents.Close");
            if (closes.size() == 2 && closes[1].value("action", "") == "hang") break;
            if (std::chrono::steady_clock::now() > end) return;
            ::Sleep(10);
        }
        const auto workers = process_tools::ProcessIdsByName(L"WordPreview.exe");
        if (workers.size() == 1) mainWindow = testsupport::TopLevelWindowOf(workers[0], Protocol::WorkerWindowClass);
        owner = ::GetClipboardOwner();
        textOffered = ::IsClipboardFormatAvailable(CF_TEXT) != FALSE;
        textWhileAlive = previewhost::ReadClipboardText();
        testsupport::KillAllWordDoubles();  // lets the worker finish
    };
    const auto result = previewhost::RunPreview(options);

    ASSERT_NE(mainWindow, nullptr) << "the worker never reached the clean-up, or has no main window";
    EXPECT_EQ(owner, mainWindow);
    EXPECT_TRUE(textOffered);
    EXPECT_EQ(textWhileAlive, std::optional<std::string>(Protocol::PlaceholderText));
    EXPECT_EQ(result.outcome, Outcome::Placeholder) << result.failure;
    EXPECT_EQ(result.clipboardText, Protocol::PlaceholderText);
    EXPECT_EQ(result.workerExitCode, 0u);
}

// --- which requests delete their document ----------------------------------------

struct DeleteCase {
    const char* name;
    previewhost::RequestFields flags;
    bool deleted;
};
void PrintTo(const DeleteCase& c, std::ostream* os) { *os << c.name; }

class DeleteRuleTest : public ::testing::TestWithParam<DeleteCase> {
protected:
    static void SetUpTestSuite() {
        testsupport::KillAllWordDoubles();
        testsupport::WriteWordScript({{"windowTitle", "Microsoft Word"}});
        ASSERT_TRUE(testsupport::RegisterWordDouble());
        ASSERT_NE(testsupport::StartWarmWord(), 0u);
    }
    static void TearDownTestSuite() { testsupport::KillAllWordDoubles(); }
};

TEST_P(DeleteRuleTest, DeletesOnlyWhenTheFlagsSaySo) {
    const DeleteCase& c = GetParam();
    const std::string path = testsupport::TempPath(std::string("delete-") + c.name + ".txt");
    std::ofstream(path, std::ios::binary) << "a document to keep or delete";
    previewhost::PreviewOptions options;
    options.workerPath = testsupport::WorkerPath();
    options.request = c.flags;
    options.request.documentPath = path;
    options.bound = 60s;
    const auto result = previewhost::RunPreview(options);
    EXPECT_EQ(result.outcome, Outcome::Preview) << result.failure;
    EXPECT_EQ(testsupport::FileExists(path), !c.deleted);
    ::DeleteFileA(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Flags, DeleteRuleTest,
    ::testing::Values(DeleteCase{"AlwaysWhateverTheKind", Flags(0, true), true},
                      DeleteCase{"Kind1WithItsFlag", Flags(1, false, true), true},
                      DeleteCase{"Kind2WithItsFlag", Flags(2, false, false, true), true},
                      DeleteCase{"Kind3WithItsFlag", Flags(3, false, false, false, true), true},
                      DeleteCase{"Kind1WithTheOtherKindsFlags", Flags(1, false, false, true, true), false},
                      DeleteCase{"Kind0WithEveryKindFlag", Flags(0, false, true, true, true), false},
                      DeleteCase{"Kind4WithEveryKindFlag", Flags(4, false, true, true, true), false},
                      DeleteCase{"NoFlags", Flags(1, false), false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
