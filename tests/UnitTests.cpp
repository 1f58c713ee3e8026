// In-process tests of the worker's pieces that need no host process and no
// Word: the block attach and its bounds, the codes and texts of failed
// automation calls, the preview's rules, the clipboard publisher, the shell's
// start-up failures and the window lookups.
#include "channel/Protocol.h"
#include "channel/SharedBlock.h"
#include "common/ComResources.h"
#include "common/ExecutableFolder.h"
#include "common/TextConversion.h"
#include "desktop/Clipboard.h"
#include "desktop/WordWindows.h"
#include "preview/OleErrors.h"
#include "preview/BusyWord.h"
#include "preview/PreviewRules.h"
#include "preview/WordApplication.h"
#include "shell/Unit7.h"
#include "preview/PreviewProcedure.h"
#include "testing/OtherProgramClipboard.h"
#include "testing/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace layout = SharedBlockLayout;

namespace {

// --- block attach ------------------------------------------------------------

struct HostBlock {
    UniqueHandle mapping;
    UniqueMappedView view;
    UniqueHandle mutex;
    std::uint8_t* bytes() { return static_cast<std::uint8_t*>(view.get()); }
};

HostBlock MakeBlock(DWORD size, const char* mutexName) {
    HostBlock block;
    block.mapping.reset(::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, layout::MappingName));
    block.view.reset(::MapViewOfFile(block.mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (mutexName) block.mutex.reset(::CreateMutexA(nullptr, FALSE, mutexName));
    return block;
}

struct AttachCase {
    const char* name;
    DWORD mappingSize;  // 0: no mapping at all
    enum { NameFits, NameNotWritten, NoNulToTheEnd, NamesNoMutex } mutexName;
    bool attaches;
};

void PrintTo(const AttachCase& c, std::ostream* os) { *os << c.name; }

class AttachTest : public ::testing::TestWithParam<AttachCase> {
protected:
    void TearDown() override { DetachSharedBlock(); }
};

TEST_P(AttachTest, AttachesOnlyToAUsableBlock) {
    const AttachCase& c = GetParam();
    std::optional<HostBlock> block;
    if (c.mappingSize) {
        block = MakeBlock(c.mappingSize, c.mutexName == AttachCase::NamesNoMutex ? nullptr : "unit-test-mutex");
        ASSERT_TRUE(block->view);
        MEMORY_BASIC_INFORMATION info{};
        ::VirtualQuery(block->view.get(), &info, sizeof info);
        const std::size_t viewSize = info.RegionSize;
        if (c.mutexName == AttachCase::NoNulToTheEnd) {
            std::memset(block->bytes() + layout::MutexName, 'x', viewSize - layout::MutexName);
        } else if (c.mutexName != AttachCase::NameNotWritten) {
            std::strcpy(reinterpret_cast<char*>(block->bytes() + layout::MutexName), "unit-test-mutex");
        }
    }
    EXPECT_EQ(AttachSharedBlock(), c.attaches);
    EXPECT_EQ(AttachedSharedBlock() != nullptr, c.attaches);
    EXPECT_EQ(ChannelMutex() != nullptr, c.attaches);
    DetachSharedBlock();
    EXPECT_EQ(AttachedSharedBlock(), nullptr);
    EXPECT_EQ(ChannelMutex(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, AttachTest,
    ::testing::Values(AttachCase{"NoMapping", 0, AttachCase::NameFits, false},
                      AttachCase{"OneByteMappingNoName", 1, AttachCase::NameNotWritten, false},
                      AttachCase{"OnePage", 4096, AttachCase::NameFits, true},
                      AttachCase{"SeveralPages", 3 * 4096 + 5, AttachCase::NameFits, true},
                      AttachCase{"NameRunsToTheEndOfTheView", 4096, AttachCase::NoNulToTheEnd, false},
                      AttachCase{"NameRunsToTheEndOfTwoPages", 8192, AttachCase::NoNulToTheEnd, false},
                      AttachCase{"NoMutexOfThatName", 4096, AttachCase::NamesNoMutex, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SharedBlockTest, DocumentPathStopsAtItsNulOrAtTheEndOfTheRecord) {
    HostBlock block = MakeBlock(4096, nullptr);
    SharedBlock view(block.view.get(), 4096);
    std::memcpy(block.bytes() + layout::DocumentPath, "C:\\a.doc\0garbage", 16);
    EXPECT_EQ(view.DocumentPath(), "C:\\a.doc");

    std::memset(block.bytes() + layout::DocumentPath, 'p', layout::DocumentPathCapacity + 40);
    EXPECT_EQ(view.DocumentPath(), std::string(layout::DocumentPathCapacity, 'p'));
}

TEST(SharedBlockTest, HeartbeatIsLittleEndianAtItsOffsetAndTouchesNothingElse) {
    HostBlock block = MakeBlock(4096, nullptr);
    std::memset(block.bytes(), 0xA5, 4096);
    SharedBlock view(block.view.get(), 4096);
    view.WriteHeartbeat(0x01020304);
    constexpr std::size_t at = layout::Heartbeat;
    for (std::size_t i = 0; i < 4096; ++i) {
        const std::uint8_t expected = i == at ? 4 : i == at + 1 ? 3 : i == at + 2 ? 2 : i == at + 3 ? 1 : 0xA5;
        ASSERT_EQ(block.bytes()[i], expected) << "offset " << i;
    }
}

// However many times the worker's thread holds the channel mutex, the full
// release leaves it free for the host, and is harmless when nothing is held.
TEST(SharedBlockTest, ReleaseMutexFullyGivesUpEveryLevelOfOwnership) {
    HostBlock block = MakeBlock(4096, "unit-test-release-mutex");
    std::strcpy(reinterpret_cast<char*>(block.bytes() + layout::MutexName), "unit-test-release-mutex");
    ASSERT_TRUE(AttachSharedBlock());
    for (int level = 0; level < 3; ++level) ASSERT_EQ(::WaitForSingleObject(ChannelMutex(), 0), WAIT_OBJECT_0);
    ReleaseMutexFully();
    DWORD hostsWait = WAIT_FAILED;
    std::thread host([&] {
        hostsWait = ::WaitForSingleObject(block.mutex.get(), 0);
        if (hostsWait == WAIT_OBJECT_0) ::ReleaseMutex(block.mutex.get());
    });
    host.join();
    EXPECT_EQ(hostsWait, WAIT_OBJECT_0) << "the worker still owns the mutex";
    ReleaseMutexFully();
    DetachSharedBlock();
}

// --- error texts -------------------------------------------------------------

struct ErrorCase {
    const char* name;
    HRESULT invokeResult;
    SCODE scode;
    WORD wCode;
    const wchar_t* description;
    HRESULT expectedCode;
    const char* expectedMessage;  // nullptr: the system's text, whatever it says
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

// The system's own text for a code, asked of FormatMessageA here, without
// its trailing line break: what an error's message is expected to carry.
std::string SystemTextOf(HRESULT code) {
    char text[1024] = "";
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                    static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ')) --length;
    return std::string(text, length);
}

class AutomationErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(AutomationErrorTest, CarriesWordsCodeAndATrimmedMessage) {
    const ErrorCase& c = GetParam();
    EXCEPINFO info{};
    info.scode = c.scode;
    info.wCode = c.wCode;
    if (c.description) info.bstrDescription = ::SysAllocString(c.description);
    info.bstrSource = ::SysAllocString(L"Microsoft Word");
    try {
        RaiseAutomationError(c.invokeResult, info);
        FAIL() << "nothing raised";
    } catch (const EOleException& e) {
        EXPECT_EQ(e.ErrorCode, c.expectedCode);
        if (c.expectedMessage) {
            EXPECT_EQ(e.Message(), c.expectedMessage);
        } else {
            EXPECT_EQ(e.Message(), SystemTextOf(c.expectedCode));
        }
        EXPECT_FALSE(e.Message().empty());
        if (c.invokeResult == DISP_E_EXCEPTION) EXPECT_EQ(e.Source, "Microsoft Word");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, AutomationErrorTest,
    ::testing::Values(
        ErrorCase{"WordDescriptionTrimmed", DISP_E_EXCEPTION, static_cast<SCODE>(0x800A1520), 0,
                  L"This file could not be found.\r\n (C:\\x.doc)  . \r\n", static_cast<HRESULT>(0x800A1520),
                  "This file could not be found.\r\n (C:\\x.doc)"},
        ErrorCase{"WCodeWhenScodeIsZero", DISP_E_EXCEPTION, 0, 0x1520, L"Refused", static_cast<HRESULT>(0x800A1520),
                  "Refused"},
        ErrorCase{"NoDescriptionUnknownCode", DISP_E_EXCEPTION, static_cast<SCODE>(0x800A7777), 0, nullptr,
                  static_cast<HRESULT>(0x800A7777), "OLE error 800a7777"},
        ErrorCase{"TransportFailureUsesTheCallsOwnCode", static_cast<HRESULT>(0x800706BA), 0, 0, nullptr,
                  static_cast<HRESULT>(0x800706BA), nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the code a failed call is acted on by ------------------------------------

// What the server's deferred fill-in adds to the exception information.
enum class FillIn { None, Scode, DescriptionOnly };

HRESULT STDAPICALLTYPE FillInScode(EXCEPINFO* info) {
    info->scode = static_cast<SCODE>(0x800A141F);
    info->bstrDescription = ::SysAllocString(L"Filled in late.");
    return S_OK;
}

HRESULT STDAPICALLTYPE FillInDescriptionOnly(EXCEPINFO* info) {
    info->bstrDescription = ::SysAllocString(L"Filled in late.");
    return S_OK;
}

struct FailureCase {
    const char* name;
    HRESULT invokeResult;
    SCODE scode;
    WORD wCode;
    FillIn fillIn;
    HRESULT expectedCode;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

// An in-process automation object whose every call fails as the case says,
// so that the worker's own call wrappers meet the exception information
// exactly as a server wrote it (a marshaller may normalise it on the way).
class FailingObject final : public IDispatch {
public:
    explicit FailingObject(const FailureCase& c) : case_(c) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (riid != IID_IUnknown && riid != IID_IDispatch) return E_NOINTERFACE;
        *object = static_cast<IDispatch*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // lives on the test's stack
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID* ids) override {
        *ids = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO* info,
                                     UINT*) override {
        if (info && case_.invokeResult == DISP_E_EXCEPTION) {
            *info = EXCEPINFO{};
            info->bstrSource = ::SysAllocString(L"Microsoft Word");
            info->scode = case_.scode;
            info->wCode = case_.wCode;
            if (case_.fillIn == FillIn::Scode) info->pfnDeferredFillIn = FillInScode;
            if (case_.fillIn == FillIn::DescriptionOnly) info->pfnDeferredFillIn = FillInDescriptionOnly;
        }
        return case_.invokeResult;
    }

private:
    FailureCase case_;
};

class FailureCodeTest : public ::testing::TestWithParam<FailureCase> {};

// Both roads: a checked call raises with the code, an ignored call returns it.
TEST_P(FailureCodeTest, IsTheCodeTheServerMeantAndNeverASuccess) {
    const FailureCase& c = GetParam();
    FailingObject object(c);

    try {
        WordDocuments(&object, "Documents").Open(OpenArguments{});
        ADD_FAILURE() << "a failed Open raised nothing";
    } catch (const EOleException& e) {
        EXPECT_EQ(e.ErrorCode, c.expectedCode) << std::hex << e.ErrorCode;
        EXPECT_TRUE(FAILED(e.ErrorCode));
        EXPECT_FALSE(e.Message().empty());
    }

    const HRESULT ignored = WordSelection(&object, "Selection").Copy();
    EXPECT_EQ(ignored, c.expectedCode) << std::hex << ignored;
    EXPECT_TRUE(FAILED(ignored));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailureCodeTest,
    ::testing::Values(
        FailureCase{"Scode", DISP_E_EXCEPTION, static_cast<SCODE>(0x800A1520), 0, FillIn::None,
                    static_cast<HRESULT>(0x800A1520)},
        // Word's error number 5408 is its code 0x800A1520.
        FailureCase{"WCodeOnly", DISP_E_EXCEPTION, 0, 5408, FillIn::None, static_cast<HRESULT>(0x800A1520)},
        FailureCase{"DeferredFillInSuppliesTheScode", DISP_E_EXCEPTION, 0, 0, FillIn::Scode,
                    static_cast<HRESULT>(0x800A141F)},
        FailureCase{"DeferredFillInAfterAWCode", DISP_E_EXCEPTION, 0, 4605, FillIn::DescriptionOnly,
                    static_cast<HRESULT>(0x800A11FD)},
        FailureCase{"Neither", DISP_E_EXCEPTION, 0, 0, FillIn::None, DISP_E_EXCEPTION},
        FailureCase{"NeitherAfterTheDeferredFillIn", DISP_E_EXCEPTION, 0, 0, FillIn::DescriptionOnly,
                    DISP_E_EXCEPTION},
        FailureCase{"ScodeThatIsNoFailure", DISP_E_EXCEPTION, S_FALSE, 0, FillIn::None, DISP_E_EXCEPTION},
        FailureCase{"CallFailedInTransport", static_cast<HRESULT>(0x800706BE), 0, 0, FillIn::None,
                    static_cast<HRESULT>(0x800706BE)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConnectionErrorTest, NamesTheSystemTextAndTheClassId) {
    try {
        RaiseConnectionError(REGDB_E_CLASSNOTREG, Protocol::CLSID_WordApplication);
        FAIL() << "nothing raised";
    } catch (const EOleSysError& e) {
        EXPECT_EQ(e.ErrorCode, REGDB_E_CLASSNOTREG);
        // Wine has no text for this code (Windows has): the system's answer either way.
        EXPECT_EQ(e.Message(), SystemTextOf(REGDB_E_CLASSNOTREG) + ", ClassID: {000209FF-0000-0000-C000-000000000046}");
    }
}

// --- the preview's rules ----------------------------------------------------

struct OpenFailureCase {
    const char* name;
    HRESULT code;
    bool allowRetry;
    OpenFailureAction action;
};

void PrintTo(const OpenFailureCase& c, std::ostream* os) { *os << c.name; }

class OpenFailureRuleTest : public ::testing::TestWithParam<OpenFailureCase> {};

TEST_P(OpenFailureRuleTest, EachCodeGetsItsReaction) {
    const OpenFailureCase& c = GetParam();
    EXPECT_EQ(ReactionToOpenFailure(c.code, c.allowRetry), c.action);
}

constexpr HRESULT Code(unsigned long value) { return static_cast<HRESULT>(value); }

INSTANTIATE_TEST_SUITE_P(
    Codes, OpenFailureRuleTest,
    ::testing::Values(
        OpenFailureCase{"ServerFaultReconnects", Code(0x80010105), true, OpenFailureAction::Reconnect},
        OpenFailureCase{"ServerFaultOnTheRetryReconnects", Code(0x80010105), false, OpenFailureAction::Reconnect},
        OpenFailureCase{"ServerUnavailableRetriesOnce", Code(0x800706BA), true, OpenFailureAction::RetryOnce},
        OpenFailureCase{"ServerUnavailableOnTheRetryKillsWord", Code(0x800706BA), false, OpenFailureAction::KillWord},
        OpenFailureCase{"RejectedIsMarked", Code(0x800A1520), true, OpenFailureAction::MarkRejected},
        OpenFailureCase{"RejectedOnTheRetryIsMarked", Code(0x800A1520), false, OpenFailureAction::MarkRejected},
        OpenFailureCase{"Known141FCleansUp", Code(0x800A141F), true, OpenFailureAction::CleanUpOnly},
        OpenFailureCase{"Known141FOnTheRetryCleansUp", Code(0x800A141F), false, OpenFailureAction::CleanUpOnly},
        OpenFailureCase{"Known1401CleansUp", Code(0x800A1401), true, OpenFailureAction::CleanUpOnly},
        OpenFailureCase{"Known1401OnTheRetryCleansUp", Code(0x800A1401), false, OpenFailureAction::CleanUpOnly},
        OpenFailureCase{"UnknownFailureKillsWord", E_FAIL, true, OpenFailureAction::KillWord},
        OpenFailureCase{"OutOfMemoryKillsWord", E_OUTOFMEMORY, true, OpenFailureAction::KillWord},
        // A Word that stayed busy past the worker's patience is well: never killed for it.
        OpenFailureCase{"RejectedCallCleansUp", Code(0x80010001), true, OpenFailureAction::CleanUpOnly},
        OpenFailureCase{"RejectedCallOnTheRetryCleansUp", Code(0x80010001), false, OpenFailureAction::CleanUpOnly},
        OpenFailureCase{"RetryLaterCleansUp", Code(0x8001010A), true, OpenFailureAction::CleanUpOnly},
        OpenFailureCase{"NeighbourOfRejectedCallKillsWord", Code(0x80010002), true, OpenFailureAction::KillWord},
        OpenFailureCase{"CallFailedInFlightKillsWord", Code(0x800706BE), true, OpenFailureAction::KillWord},
        OpenFailureCase{"OtherWordErrorKillsWord", Code(0x800A1436), true, OpenFailureAction::KillWord},
        OpenFailureCase{"NeighbourOfRejectedKillsWord", Code(0x800A1521), false, OpenFailureAction::KillWord}),
    [](const auto& info) { return std::string(info.param.name); });

// --- calls a busy Word turns away ----------------------------------------------

struct BusyCallCase {
    const char* name;
    HRESULT refusal;   // what Word answers the first `refusals` tries
    int refusals;
    HRESULT finally;   // and then
    int expectedTries;
};
void PrintTo(const BusyCallCase& c, std::ostream* os) { *os << c.name; }

class BusyCallTest : public ::testing::TestWithParam<BusyCallCase> {
protected:
    void SetUp() override { BusyWordPatience::ForgetGivingUp(); }
};

TEST_P(BusyCallTest, OnlyATurnedAwayCallIsMadeAgain) {
    const BusyCallCase& c = GetParam();
    int tries = 0;
    const HRESULT result = CallWhenWordTakesIt([&] { return ++tries <= c.refusals ? c.refusal : c.finally; });
    EXPECT_EQ(tries, c.expectedTries);
    EXPECT_EQ(result, tries <= c.refusals ? c.refusal : c.finally);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, BusyCallTest,
    ::testing::Values(BusyCallCase{"RejectedThreeTimesThenTaken", Code(0x80010001), 3, S_OK, 4},
                      BusyCallCase{"RetryLaterTwiceThenTaken", Code(0x8001010A), 2, S_OK, 3},
                      BusyCallCase{"RejectedThenWordsOwnError", Code(0x80010001), 1, Code(0x80020009), 2},
                      BusyCallCase{"WordsOwnErrorIsNotMadeAgain", Code(0x80020009), 1, S_OK, 1},
                      BusyCallCase{"ServerGoneIsNotMadeAgain", Code(0x800706BA), 1, S_OK, 1},
                      BusyCallCase{"ServerFaultIsNotMadeAgain", Code(0x80010105), 1, S_OK, 1}),
    [](const auto& info) { return std::string(info.param.name); });

struct DeleteRuleCase {
    const char* name;
    DeleteFlags flags;
    std::uint8_t requestKind;
    bool deleted;
};

void PrintTo(const DeleteRuleCase& c, std::ostream* os) { *os << c.name; }

class DeletionRuleTest : public ::testing::TestWithParam<DeleteRuleCase> {};

TEST_P(DeletionRuleTest, FollowsTheFlagOfTheRequestsKind) {
    const DeleteRuleCase& c = GetParam();
    EXPECT_EQ(DeletionRequested(c.flags, c.requestKind), c.deleted);
}

// Flags are tested zero/nonzero: any nonzero byte counts as set.
INSTANTIATE_TEST_SUITE_P(
    Rule, DeletionRuleTest,
    ::testing::Values(DeleteRuleCase{"AlwaysWhateverTheKind", {1, 0, 0, 0}, 0, true},
                      DeleteRuleCase{"AlwaysAsAnyNonzeroByte", {0x80, 0, 0, 0}, 200, true},
                      DeleteRuleCase{"Kind1WithItsFlag", {0, 1, 0, 0}, 1, true},
                      DeleteRuleCase{"Kind2WithItsFlag", {0, 0, 1, 0}, 2, true},
                      DeleteRuleCase{"Kind3WithItsFlag", {0, 0, 0, 1}, 3, true},
                      DeleteRuleCase{"Kind2WithItsFlagAsAnyNonzeroByte", {0, 0, 0xFF, 0}, 2, true},
                      DeleteRuleCase{"Kind1WithTheOtherKindsFlags", {0, 0, 1, 1}, 1, false},
                      DeleteRuleCase{"Kind3WithTheOtherKindsFlags", {0, 1, 1, 0}, 3, false},
                      DeleteRuleCase{"Kind0WithEveryKindFlag", {0, 1, 1, 1}, 0, false},
                      DeleteRuleCase{"Kind4WithEveryKindFlag", {0, 1, 1, 1}, 4, false},
                      DeleteRuleCase{"Kind255WithEveryKindFlag", {0, 1, 1, 1}, 255, false},
                      DeleteRuleCase{"NoFlags", {0, 0, 0, 0}, 1, false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- clipboard ---------------------------------------------------------------

std::optional<std::string> ClipboardText() {
    ClipboardSession clipboard;
    if (!clipboard.Open(nullptr)) return std::nullopt;
    HANDLE data = ::GetClipboardData(CF_TEXT);
    if (!data) return std::nullopt;
    GlobalLockScope lock(data);
    return std::string(static_cast<const char*>(lock.data()));
}

// The publisher opens the clipboard with the window the worker registers, its
// main window; here a hidden window of the test's own.
class ClipboardTest : public ::testing::Test {
protected:
    void SetUp() override {
        owner_.reset(::CreateWindowExA(0, "STATIC", "clipboard owner", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                       nullptr, nullptr, nullptr));
        ASSERT_TRUE(owner_);
        SetClipboardOwnerWindow(owner_.get());
    }
    void TearDown() override { SetClipboardOwnerWindow(nullptr); }
    UniqueWindow owner_;
};

// Another program's clipboard in several formats, one of them its own.
void PutSeveralFormats() {
    const UINT privateFormat = ::RegisterClipboardFormatA("WordPreviewTests.PrivateFormat");
    ASSERT_NE(privateFormat, 0u);
    UniqueWindow window = otherprogram::MessageWindow();
    ClipboardSession clipboard;
    ASSERT_TRUE(clipboard.Open(window.get()));
    (void)::EmptyClipboard();
    ASSERT_TRUE(otherprogram::SetClipboardText(std::wstring(L"old unicode content")));
    ASSERT_TRUE(otherprogram::SetClipboardBytes(privateFormat, "private", 8));
    const DWORD drop[8] = {};  // an empty file list
    ASSERT_TRUE(otherprogram::SetClipboardBytes(CF_HDROP, drop, sizeof drop));
}

// The formats the clipboard offers now, synthesised ones included.
std::vector<UINT> OfferedFormats() {
    std::vector<UINT> formats;
    ClipboardSession clipboard;
    if (!clipboard.Open(nullptr)) return formats;
    for (UINT format = ::EnumClipboardFormats(0); format != 0; format = ::EnumClipboardFormats(format))
        formats.push_back(format);
    return formats;
}

std::optional<std::wstring> ClipboardUnicodeText() {
    ClipboardSession clipboard;
    if (!clipboard.Open(nullptr)) return std::nullopt;
    HANDLE data = ::GetClipboardData(CF_UNICODETEXT);
    if (!data) return std::nullopt;
    GlobalLockScope lock(data);
    return std::wstring(static_cast<const wchar_t*>(lock.data()));
}

TEST_F(ClipboardTest, TextReplacesEverythingAndEmptyTextLeavesNothing) {
    ASSERT_NO_FATAL_FAILURE(PutSeveralFormats());
    PublishClipboardText(Protocol::PlaceholderText);
    EXPECT_EQ(ClipboardText(), Protocol::PlaceholderText);
    // Only the text, and what the system derives from it on request.
    const UINT derived[] = {CF_TEXT, CF_OEMTEXT, CF_UNICODETEXT, CF_LOCALE};
    for (UINT format : OfferedFormats())
        EXPECT_NE(std::find(std::begin(derived), std::end(derived), format), std::end(derived))
            << "format " << format << " survived";
    EXPECT_EQ(ClipboardUnicodeText(), std::optional<std::wstring>(L"PREVIEW IS NOT AVAILABLE FOR THIS DOCUMENT!"));
    // Without an owner window, EmptyClipboard leaves the clipboard ownerless
    // and Windows refuses the data.
    EXPECT_EQ(::GetClipboardOwner(), owner_.get());

    PublishClipboardText("");
    EXPECT_EQ(ClipboardText(), std::nullopt);
    EXPECT_FALSE(::IsClipboardFormatAvailable(CF_UNICODETEXT));
}

TEST_F(ClipboardTest, WaitsWhileAnotherWindowHoldsTheClipboard) {
    std::atomic<bool> holding{false}, released{false}, holderDone{false};
    std::thread holder([&] {
        // Held through a window: that is what keeps other openers out.
        UniqueWindow window = otherprogram::MessageWindow();
        ClipboardSession clipboard;
        if (clipboard.Open(window.get())) {
            holding = true;
            ::Sleep(300);
            released = true;
        }
        holderDone = true;
    });
    // Bounded: a holder that could not open the clipboard ends the test, not hangs it.
    for (int waited = 0; !holding && !holderDone && waited < 10000; ++waited) ::Sleep(1);
    if (!holding) {
        holder.join();
        FAIL() << "the holder could not open the clipboard";
    }
    PublishClipboardText("after the holder");
    const bool wasReleasedFirst = released;
    holder.join();
    EXPECT_TRUE(wasReleasedFirst);
    EXPECT_EQ(ClipboardText(), "after the holder");
}

// --- start-up that cannot make the main window ------------------------------

// Refuses the creation of the worker's main window, and only that window.
LRESULT CALLBACK RefuseMainWindow(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        char className[64] = "";
        ::GetClassNameA(reinterpret_cast<HWND>(wParam), className, sizeof className);
        if (std::strcmp(className, Protocol::WorkerWindowClass) == 0) return 1;
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

// The allocations of one thread fail while this holds its id: the shell's
// thread then meets a thrown std::bad_alloc, an object that is not one of the
// worker's own exceptions.
std::atomic<DWORD> g_allocationsRefusedOnThread{0};

struct StartupFailure {
    const char* name;
    enum { ClassNameTaken, WindowRefused, MemoryRefused } how;
    const char* inMessage;  // nullptr: the message is empty
};

void PrintTo(const StartupFailure& c, std::ostream* os) { *os << c.name; }

BOOL CALLBACK CollectText(HWND window, LPARAM text) {
    char part[512] = "";
    ::GetWindowTextA(window, part, sizeof part);
    *reinterpret_cast<std::string*>(text) += std::string(part) + "\n";
    return TRUE;
}

BOOL CALLBACK FindDialog(HWND window, LPARAM found) {
    char className[16] = "";
    ::GetClassNameA(window, className, sizeof className);
    // Found once shown, that is once it has its text.
    if (std::strcmp(className, "#32770") != 0 || !::IsWindowVisible(window)) return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

class StartupFailureTest : public ::testing::TestWithParam<StartupFailure> {
protected:
    void TearDown() override { ::UnregisterClassA(Protocol::WorkerWindowClass, ::GetModuleHandleA(nullptr)); }
};

// The shell runs on a thread of its own; this thread plays the user who
// reads the error box and presses OK. Before the mend the shell sat in its
// message loop with no window, no box and no end.
TEST_P(StartupFailureTest, ShowsTheErrorBoxAndEnds) {
    const StartupFailure& c = GetParam();
    const HINSTANCE instance = ::GetModuleHandleA(nullptr);
    if (c.how == StartupFailure::ClassNameTaken) {
        WNDCLASSA taken{};
        taken.lpfnWndProc = ::DefWindowProcA;
        taken.hInstance = instance;
        taken.lpszClassName = Protocol::WorkerWindowClass;
        ASSERT_NE(::RegisterClassA(&taken), 0);
    }
    std::atomic<DWORD> shellThread{0};
    std::atomic<bool> ended{false};
    int exitCode = -1;
    std::thread shell([&] {
        UniqueWindowsHook hook;
        if (c.how == StartupFailure::WindowRefused)
            hook.reset(::SetWindowsHookExA(WH_CBT, RefuseMainWindow, nullptr, ::GetCurrentThreadId()));
        shellThread = ::GetCurrentThreadId();
        if (c.how == StartupFailure::MemoryRefused) g_allocationsRefusedOnThread = shellThread.load();
        exitCode = Application::Run(instance);
        g_allocationsRefusedOnThread = 0;
        ended = true;
    });
    // Bounded like every wait here. A thread that never started fails the test
    // (and, still joinable, ends the test program) instead of hanging it.
    for (int waited = 0; !shellThread && waited < 20000; waited += 10) ::Sleep(10);
    ASSERT_NE(shellThread.load(), 0u) << "the shell's thread never started";

    // Generous bounds: only a shell that never shows the box or never ends runs them out.
    HWND box = nullptr;
    for (int waited = 0; !box && !ended && waited < 20000; waited += 10) {
        ::EnumThreadWindows(shellThread, FindDialog, reinterpret_cast<LPARAM>(&box));
        if (!box) ::Sleep(10);
    }
    std::string text;
    char message[512] = "?";
    if (box) {
        ::EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&text));
        // The message box's text control has the id 0xFFFF.
        ::GetDlgItemTextA(box, 0xFFFF, message, sizeof message);
        ::PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    for (int waited = 0; !ended && waited < 20000; waited += 10) ::Sleep(10);
    if (!ended) ::PostThreadMessageA(shellThread, WM_QUIT, 0, 0);  // let a stuck loop go
    shell.join();

    ASSERT_NE(box, nullptr) << "no error box";
    if (c.inMessage) {
        EXPECT_NE(text.find(c.inMessage), std::string::npos) << text;
    } else {
        EXPECT_STREQ(message, "") << text;
    }
    EXPECT_EQ(exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Shell, StartupFailureTest,
    ::testing::Values(StartupFailure{"ClassCannotBeRegistered", StartupFailure::ClassNameTaken,
                                     "class cannot be registered"},
                      StartupFailure{"WindowCannotBeCreated", StartupFailure::WindowRefused,
                                     "window cannot be created"},
                      // What is not an Exception is shown as one with an empty message.
                      StartupFailure{"NotAnExceptionShowsAnEmptyMessage", StartupFailure::MemoryRefused, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// --- std::terminate ------------------------------------------------------------

struct DialogOfProcess {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindDialogOfProcess(HWND window, LPARAM search) {
    auto* s = reinterpret_cast<DialogOfProcess*>(search);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner != s->processId) return TRUE;
    return FindDialog(window, reinterpret_cast<LPARAM>(&s->found));
}

// terminate_probe.exe sets the process up as the worker's entry point does and
// then calls std::terminate. A hidden GUI process must not sit on the C
// runtime's "abnormal program termination" box that abort() shows there: it
// ends at once, showing nothing.
TEST(TerminateTest, EndsTheProcessAtOnceShowingNothing) {
    std::wstring probe = ExecutableFolder() + L"terminate_probe.exe";
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(::CreateProcessW(probe.c_str(), probe.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                                 nullptr, &startup, &info));
    const UniqueHandle process(info.hProcess), thread(info.hThread);
    DialogOfProcess box{info.dwProcessId, nullptr};
    bool ended = false;
    for (int waited = 0; !ended && !box.found && waited < 20000; waited += 10) {
        ended = ::WaitForSingleObject(process.get(), 10) == WAIT_OBJECT_0;
        if (!ended) ::EnumWindows(FindDialogOfProcess, reinterpret_cast<LPARAM>(&box));
    }
    if (!ended) ::TerminateProcess(process.get(), 1);
    EXPECT_EQ(box.found, nullptr) << "a box was shown";
    EXPECT_TRUE(ended) << "the process did not end";
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process.get(), &exitCode);
    EXPECT_EQ(exitCode, 3u);
}

// --- start-up without a host -------------------------------------------------

std::atomic<int> g_mainWindowsCreated{0}, g_mainWindowsShown{0};

// Sees every message sent to the worker's main window on the shell's thread.
LRESULT CALLBACK WatchMainWindow(int code, WPARAM wParam, LPARAM lParam) {
    const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
    char className[64] = "";
    if (code == HC_ACTION && ::GetClassNameA(sent->hwnd, className, sizeof className) &&
        std::strcmp(className, Protocol::WorkerWindowClass) == 0) {
        if (sent->message == WM_CREATE) ++g_mainWindowsCreated;
        if (sent->message == WM_SHOWWINDOW && sent->wParam) ++g_mainWindowsShown;
        if (sent->message == WM_WINDOWPOSCHANGING &&
            (reinterpret_cast<const WINDOWPOS*>(sent->lParam)->flags & SWP_SHOWWINDOW))
            ++g_mainWindowsShown;
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

class NoHostStartupTest : public ::testing::Test {
protected:
    void TearDown() override { ::UnregisterClassA(Protocol::WorkerWindowClass, ::GetModuleHandleA(nullptr)); }
};

// With no host the shell still makes its window and asks for no critical-error
// boxes before it looks for the block, then ends without showing anything.
TEST_F(NoHostStartupTest, AsksForNoCriticalErrorBoxesShowsNoWindowAndEnds) {
    ASSERT_FALSE(UniqueHandle(::OpenFileMappingA(FILE_MAP_READ, FALSE, layout::MappingName))) << "a host is there";
    const UINT errorModeBefore = ::SetErrorMode(0);
    g_mainWindowsCreated = 0;
    g_mainWindowsShown = 0;
    std::atomic<DWORD> shellThread{0};
    std::atomic<bool> ended{false};
    int exitCode = -1;
    std::thread shell([&] {
        UniqueWindowsHook hook(::SetWindowsHookExA(WH_CALLWNDPROC, WatchMainWindow, nullptr, ::GetCurrentThreadId()));
        shellThread = ::GetCurrentThreadId();
        exitCode = Application::Run(::GetModuleHandleA(nullptr));
        ended = true;
    });
    for (int waited = 0; !ended && waited < 20000; waited += 10) ::Sleep(10);
    if (!ended && shellThread) ::PostThreadMessageA(shellThread, WM_QUIT, 0, 0);  // let a stuck loop go
    shell.join();
    const UINT errorMode = ::SetErrorMode(errorModeBefore);

    EXPECT_TRUE(ended.load()) << "the shell did not end by itself";
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(g_mainWindowsCreated.load(), 1);
    EXPECT_EQ(g_mainWindowsShown.load(), 0) << "the main window was shown";
    EXPECT_NE(errorMode & SEM_FAILCRITICALERRORS, 0u);
}

// --- Word's window -----------------------------------------------------------

struct WindowCase {
    const char* name;
    const char* windowClass;
    const char* title;
    bool minimisedByTitle;
    bool minimisedByClass;
};

void PrintTo(const WindowCase& c, std::ostream* os) { *os << c.name; }

class WordWindowTest : public ::testing::TestWithParam<WindowCase> {};

LRESULT CALLBACK PlainWindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return ::DefWindowProcA(w, m, wp, lp); }

UniqueWindow MakeShownWindow(const char* windowClass, const char* title) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = PlainWindowProc;
    wc.lpszClassName = windowClass;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    ::RegisterClassA(&wc);
    UniqueWindow window(::CreateWindowExA(0, windowClass, title, WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, nullptr, nullptr,
                                          wc.hInstance, nullptr));
    ::ShowWindow(window.get(), SW_SHOWNORMAL);
    return window;
}

TEST_P(WordWindowTest, OnlyTheExactTitleIsMinimised) {
    const WindowCase& c = GetParam();
    {
        UniqueWindow window = MakeShownWindow(c.windowClass, c.title);
        ASSERT_TRUE(window);
        MinimiseWordByTitle();
        EXPECT_EQ(::IsIconic(window.get()) != FALSE, c.minimisedByTitle);
    }
    {
        UniqueWindow window = MakeShownWindow(c.windowClass, c.title);
        MinimiseWordByClass();
        EXPECT_EQ(::IsIconic(window.get()) != FALSE, c.minimisedByClass);
    }
}

INSTANTIATE_TEST_SUITE_P(Windows, WordWindowTest,
                         ::testing::Values(WindowCase{"WordsOwnWindow", "OpusApp", "Microsoft Word", true, true},
                                           WindowCase{"TitledWithADocument", "OpusApp", "a.doc - Microsoft Word", false, false},
                                           WindowCase{"AnotherClassSameTitle", "NotWord", "Microsoft Word", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the preview out of memory ------------------------------------------------

// The preview procedure in this process, against the Word double, with every
// allocation of this thread refused from the moment Word is inside the open:
// the worker's own failure must never hand the host a clipboard it did not
// fill (the other program's text as the preview), and the clean-up needs no
// memory: Word closes the document, gets its macro setting back, is let go,
// and the file is deleted as the flags say.
TEST(OutOfMemoryTest, FromTheOpenOnNoPreviewIsHandedOverAndTheCleanUpIsDone) {
    testsupport::KillAllWordDoubles();
    testsupport::ClearWordLog();
    testsupport::WriteWordScript({{"stallOn", "Documents.Open"}, {"stallMs", 500}});
    ASSERT_TRUE(testsupport::RegisterWordDouble());
    ASSERT_NE(testsupport::StartWarmWord(), 0u);
    const std::string path = testsupport::TempPath("out-of-memory.txt");
    { std::ofstream(path, std::ios::binary) << "a document opened as memory runs out"; }

    alignas(8) std::uint8_t bytes[4096] = {};
    std::memcpy(bytes + 32, path.c_str(), path.size() + 1);  // DocumentPath
    bytes[1752] = 1;                                          // DeleteAlways
    bytes[4] = 1;                                             // PreviewTaken: the worker clears it only to hand over
    SharedBlock request(bytes, sizeof bytes);
    UniqueWindow owner(::CreateWindowExA(0, "STATIC", "worker stand-in", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                         nullptr, nullptr, nullptr));
    ASSERT_TRUE(owner);
    SetClipboardOwnerWindow(owner.get());
    ASSERT_TRUE(otherprogram::PutClipboardText("another program's text"));

    const OleApartment apartment;
    TWordApplication word;
    BindWordApplication(&word);
    const DWORD thisThread = ::GetCurrentThreadId();
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        if (testsupport::WaitUntil(
                [&] { return done || !testsupport::WordCalls(testsupport::ReadWordLog(), "Stalling").empty(); },
                std::chrono::seconds(30), 2))
            g_allocationsRefusedOnThread = thisThread;
    });
    bool escaped = false;
    try {
        ExtractPreview(request, true);
    } catch (...) {
        escaped = true;
    }
    g_allocationsRefusedOnThread = 0;
    done = true;
    watcher.join();
    word.Disconnect();
    BindWordApplication(nullptr);
    SetClipboardOwnerWindow(nullptr);

    EXPECT_FALSE(escaped) << "a failure left the preview procedure";
    EXPECT_EQ(ClipboardText(), std::optional<std::string>("PREVIEW IS NOT AVAILABLE FOR THIS DOCUMENT!"));
    EXPECT_EQ(bytes[4], 1) << "handed over as if a preview were on the clipboard";
    const auto log = testsupport::ReadWordLog();
    EXPECT_FALSE(testsupport::WordCalls(log, "Stalling").empty()) << "the refusal never began";
    const auto closes = testsupport::WordCalls(log, "Documents.Close");
    ASSERT_EQ(closes.size(), 2u) << "the documents were not closed in the clean-up";
    EXPECT_EQ(closes[1].value("closed", 0), 1);
    EXPECT_EQ(testsupport::WordCalls(log, "Unadvise").size(), 1u) << "Word was not let go";
    const auto puts = testsupport::WordCalls(log, "Application.AutomationSecurity.put");
    ASSERT_EQ(puts.size(), 2u) << "the user's macro setting was not put back";
    EXPECT_EQ(puts[1]["args"][0]["value"], 1);
    EXPECT_FALSE(testsupport::FileExists(path)) << "the delete flag was not followed";
    EXPECT_EQ(testsupport::WordProcessIds().size(), 1u);
    testsupport::KillAllWordDoubles();
    (void)::DeleteFileA(path.c_str());
}

}  // namespace

// Every allocation of this program goes through here; only the thread that a
// test names is refused (see g_allocationsRefusedOnThread).
void* operator new(std::size_t size) {
    const DWORD refused = g_allocationsRefusedOnThread;
    if (refused != 0 && refused == ::GetCurrentThreadId()) throw std::bad_alloc();
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
