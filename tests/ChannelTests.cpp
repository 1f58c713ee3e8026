// The worker's side of the request handshake, seen from a host: the real
// WordPreview.exe is started against a block and a mutex made by the
// reference host library. Word is not registered here, so every preview that
// runs ends at once with WordReady 0; what is under test is the handshake.
#include "channel/Protocol.h"
#include "common/SystemExport.h"
#include "common/TextConversion.h"
#include "host/PreviewHost.h"
#include "testing/HostBytes.h"
#include "testing/TestSupport.h"
#include "testing/OtherProgramClipboard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <winternl.h>

namespace layout = SharedBlockLayout;
using namespace std::chrono_literals;
using previewhost::HostChannel;
using previewhost::WorkerProcess;

namespace {

constexpr auto Bound = 20s;
constexpr std::uint8_t Untouched = 0x77;  // what the host leaves in the worker's bytes

// Polls `condition` every millisecond until it holds or the bound runs out.
[[nodiscard]] bool WaitUntil(const std::function<bool()>& condition) { return testsupport::WaitUntil(condition, Bound); }

struct WindowCount {
    int total = 0;
    int visible = 0;
    int mainForms = 0;  // "WordForm" of class TWordForm
};

// The top-level windows a process owns.
WindowCount WindowsOf(DWORD processId) {
    WindowCount count;
    for (HWND window : testsupport::TopLevelWindowsOf(processId)) {
        ++count.total;
        if (::IsWindowVisible(window)) ++count.visible;
        char caption[64] = "";
        (void)::GetWindowTextA(window, caption, sizeof caption);
        if (testsupport::ClassNameOf(window) == Protocol::WorkerWindowClass && std::string(caption) == "WordForm")
            ++count.mainForms;
    }
    return count;
}

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::KillAllWordDoubles();
        testsupport::UnregisterWordDouble();
        channel_ = HostChannel::Create(4096);
        // Every byte gets a pattern first, so that a stray write anywhere shows.
        for (std::size_t i = 0; i < channel_.Size(); ++i) channel_.Bytes()[i] = static_cast<std::uint8_t>(i * 7 + 3);
        for (std::size_t i = 0; i < channel_.Size(); ++i)
            if (testblock::IsWorkerOwned(i)) channel_.Bytes()[i] = Untouched;
        previewhost::RequestFields request;
        request.documentPath = "C:\\no-such-folder\\document.doc";
        request.requestKind = 1;
        channel_.WriteRequest(request);
        channel_.SetByte(layout::GoSignal, 0);
        channel_.SetByte(layout::PreviewTaken, 0);
        std::memset(channel_.Bytes() + layout::Heartbeat, 0, 4);
        before_.assign(channel_.Bytes(), channel_.Bytes() + channel_.Size());
    }

    void TearDown() override {
        if (worker_ && !worker_->HasExited()) worker_->Kill();
    }

    void SetHostByte(std::size_t offset, std::uint8_t value) {
        channel_.SetByte(offset, value);
        if (!testblock::IsWorkerOwned(offset)) before_[offset] = value;
    }

    void StartWorker(const std::wstring& directory = {}) {
        worker_ = WorkerProcess::Start(testsupport::WorkerPath(), directory);
    }

    void ExpectWorkerExitedCleanly() {
        ASSERT_TRUE(worker_->WaitForExit(Bound)) << "the worker did not exit";
        EXPECT_EQ(worker_->ExitCode(), 0u);
    }

    // Only the worker's own bytes may differ from what the host wrote.
    void ExpectHostBytesUnchanged() { EXPECT_EQ(testblock::FirstStrayWrite(before_, channel_.Bytes()), ""); }

    HostChannel channel_;
    std::vector<std::uint8_t> before_;
    std::optional<WorkerProcess> worker_;
};

TEST(NoHostTest, WithoutTheMappingTheWorkerEndsAtOnceTouchingNothing) {
    testsupport::KillAllWordDoubles();
    ASSERT_TRUE(testsupport::RegisterWordDouble());
    ASSERT_TRUE(otherprogram::PutClipboardText("left by someone else"));
    WorkerProcess worker = WorkerProcess::Start(testsupport::WorkerPath());
    ASSERT_TRUE(worker.WaitForExit(Bound));
    EXPECT_EQ(worker.ExitCode(), 0u);
    EXPECT_TRUE(testsupport::WordProcessIds().empty()) << "Word was started";
    EXPECT_EQ(previewhost::ReadClipboardText(), "left by someone else");
}

TEST_F(ChannelTest, NoPendingRequestLeavesTheBlockByteForByte) {
    SetHostByte(layout::RequestPending, 0);
    const std::vector<std::uint8_t> whole(channel_.Bytes(), channel_.Bytes() + channel_.Size());
    StartWorker();
    ExpectWorkerExitedCleanly();
    EXPECT_EQ(std::memcmp(whole.data(), channel_.Bytes(), whole.size()), 0);
}

TEST_F(ChannelTest, InactiveHostDropsTheRequestWithoutHeartbeatOrMutex) {
    SetHostByte(layout::HostActive, 0);
    // The host keeps the mutex all along: a worker that waited for it would hang.
    ASSERT_EQ(::WaitForSingleObject(channel_.Mutex(), 0), WAIT_OBJECT_0);
    StartWorker();
    ExpectWorkerExitedCleanly();
    EXPECT_EQ(channel_.Byte(layout::RequestPending), 0);
    EXPECT_EQ(channel_.Byte(layout::WorkerBusy), 0);
    EXPECT_EQ(channel_.Heartbeat(), 0);
    EXPECT_EQ(channel_.Byte(layout::WordReady), Untouched) << "a preview ran";
    ::ReleaseMutex(channel_.Mutex());
    ExpectHostBytesUnchanged();
}

// How many handles the kernel counts for the object behind `handle`, ours included.
std::optional<ULONG> HandleCountOf(HANDLE handle) {
    using QueryObject = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    PUBLIC_OBJECT_BASIC_INFORMATION information{};
    if (!query || query(handle, ObjectBasicInformation, &information, sizeof information, nullptr) != 0)
        return std::nullopt;
    return information.HandleCount;
}

TEST_F(ChannelTest, NormalRoadBeatsUntilGoThenTakesTheMutexAndFinishes) {
    StartWorker();
    ASSERT_TRUE(WaitUntil([&] { return channel_.Byte(layout::WorkerBusy) == 1; }));
    EXPECT_EQ(channel_.Byte(layout::RequestPending), 0);
    // Attached, the worker keeps its view and has closed its mapping handle:
    // the mapping is counted with the host's handle alone.
    EXPECT_EQ(HandleCountOf(channel_.Mapping()), std::optional<ULONG>(1));
    ASSERT_TRUE(WaitUntil([&] { return channel_.Heartbeat() != 0; }));

    // While GoSignal stays 0 the heartbeat follows the C clock.
    const std::int32_t first = channel_.Heartbeat();
    EXPECT_LE(std::abs(first - static_cast<std::int32_t>(std::time(nullptr))), 1);
    EXPECT_TRUE(WaitUntil([&] { return channel_.Heartbeat() - first >= 3; })) << "the heartbeat stopped advancing";
    EXPECT_LE(std::abs(channel_.Heartbeat() - static_cast<std::int32_t>(std::time(nullptr))), 1);
    EXPECT_EQ(channel_.Byte(layout::WorkerBusy), 1);
    // Its main window exists, and neither it nor any other window is shown.
    const WindowCount windows = WindowsOf(worker_->Id());
    EXPECT_EQ(windows.mainForms, 1);
    EXPECT_EQ(windows.visible, 0);

    channel_.SetByte(layout::GoSignal, 1);
    ASSERT_TRUE(WaitUntil([&] { return channel_.Byte(layout::GoSignal) == 0; })) << "GoSignal never cleared";
    ExpectWorkerExitedCleanly();
    EXPECT_EQ(channel_.Byte(layout::WorkerBusy), 0);
    EXPECT_EQ(channel_.Byte(layout::WordReady), 0) << "Word is not registered here";
    // The worker left the mutex free: the host gets it without an abandonment.
    EXPECT_EQ(::WaitForSingleObject(channel_.Mutex(), 0), WAIT_OBJECT_0);
    ::ReleaseMutex(channel_.Mutex());
    ExpectHostBytesUnchanged();
}

// The first heartbeat comes before the worker first looks at GoSignal, and
// before its first sleep: a host that set GoSignal early still sees it alive,
// and a host that sees the request taken finds a heartbeat as soon as the
// worker has had a chance to answer a message.
TEST_F(ChannelTest, FirstHeartbeatComesBeforeGoSignalIsReadAndBeforeTheFirstSleep) {
    SetHostByte(layout::GoSignal, 1);
    ASSERT_EQ(::WaitForSingleObject(channel_.Mutex(), 0), WAIT_OBJECT_0);  // keeps the worker in the handshake
    StartWorker();
    HWND window = nullptr;
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        window = ::FindWindowA(Protocol::WorkerWindowClass, nullptr);
        return window || worker_->HasExited();
    }, Bound, 0));
    ASSERT_NE(window, nullptr);
    // The worker answers sent messages only in its message loop and inside
    // its waits; once it has taken the request, its first wait is the
    // heartbeat's first sleep. So the first answer to a message sent after
    // the request was taken comes with the heartbeat already written.
    std::optional<std::int32_t> heartbeatAtFirstAnswer;
    EXPECT_TRUE(testsupport::WaitUntil([&] {
        const bool taken = channel_.Byte(layout::RequestPending) == 0;
        DWORD_PTR answer = 0;
        if (!::SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 20000, &answer)) return true;
        if (taken) heartbeatAtFirstAnswer = channel_.Heartbeat();
        return taken;
    }, Bound, 0));
    ASSERT_TRUE(heartbeatAtFirstAnswer) << "the worker answered no message once it had taken the request";
    EXPECT_NE(*heartbeatAtFirstAnswer, 0) << "the worker slept before its first heartbeat";
    ::ReleaseMutex(channel_.Mutex());
    ExpectWorkerExitedCleanly();
    EXPECT_NE(channel_.Heartbeat(), 0) << "no heartbeat at all: GoSignal was read first";
    EXPECT_EQ(channel_.Byte(layout::GoSignal), 0);
    ExpectHostBytesUnchanged();
}

// HostActive is looked at before the heartbeat and after the mutex, not
// during the heartbeat: a host that withdraws then still gets the worker's
// heartbeat until it says go, and no preview.
TEST_F(ChannelTest, HostWithdrawingDuringTheHeartbeatIsAnsweredOnlyAfterGo) {
    StartWorker();
    ASSERT_TRUE(WaitUntil([&] { return channel_.Heartbeat() != 0; }));
    SetHostByte(layout::HostActive, 0);
    const std::int32_t withdrawnAt = channel_.Heartbeat();
    EXPECT_TRUE(WaitUntil([&] { return channel_.Heartbeat() != withdrawnAt || worker_->HasExited(); }));
    EXPECT_FALSE(worker_->HasExited()) << "the worker left the heartbeat without GoSignal";
    EXPECT_NE(channel_.Heartbeat(), withdrawnAt) << "the heartbeat stopped";
    channel_.SetByte(layout::GoSignal, 1);
    ExpectWorkerExitedCleanly();
    EXPECT_EQ(channel_.Byte(layout::WordReady), Untouched) << "a preview ran";
    EXPECT_EQ(channel_.Byte(layout::WorkerBusy), 0);
    ExpectHostBytesUnchanged();
}

TEST_F(ChannelTest, HostHoldingTheMutexAfterGoKeepsTheWorkerWaiting) {
    ASSERT_EQ(::WaitForSingleObject(channel_.Mutex(), 0), WAIT_OBJECT_0);
    StartWorker();
    ASSERT_TRUE(WaitUntil([&] { return channel_.Heartbeat() != 0; }));
    channel_.SetByte(layout::GoSignal, 1);
    ::Sleep(500);
    EXPECT_EQ(channel_.Byte(layout::GoSignal), 1) << "the worker went ahead without the mutex";
    EXPECT_EQ(channel_.Byte(layout::WordReady), Untouched);
    EXPECT_FALSE(worker_->HasExited());

    ::ReleaseMutex(channel_.Mutex());
    ASSERT_TRUE(WaitUntil([&] { return channel_.Byte(layout::GoSignal) == 0; }));
    ExpectWorkerExitedCleanly();
    EXPECT_EQ(channel_.Byte(layout::WordReady), 0);
    ExpectHostBytesUnchanged();
}

TEST_F(ChannelTest, AbandonedMutexIsTakenOverAndTheRequestHandled) {
    // A host thread that owned the mutex and ended without releasing it.
    std::thread([&] { ::WaitForSingleObject(channel_.Mutex(), INFINITE); }).join();
    StartWorker();
    ASSERT_TRUE(WaitUntil([&] { return channel_.Heartbeat() != 0; }));
    channel_.SetByte(layout::GoSignal, 1);
    ExpectWorkerExitedCleanly();
    EXPECT_EQ(channel_.Byte(layout::GoSignal), 0);
    EXPECT_EQ(channel_.Byte(layout::WordReady), 0) << "the preview did not run";
    EXPECT_EQ(channel_.Byte(layout::WorkerBusy), 0);
    ExpectHostBytesUnchanged();
}

TEST_F(ChannelTest, HostWithdrawingAfterGoGetsNoPreviewAndAFreeMutex) {
    ASSERT_EQ(::WaitForSingleObject(channel_.Mutex(), 0), WAIT_OBJECT_0);
    StartWorker();
    ASSERT_TRUE(WaitUntil([&] { return channel_.Heartbeat() != 0; }));
    channel_.SetByte(layout::GoSignal, 1);
    SetHostByte(layout::HostActive, 0);
    ::ReleaseMutex(channel_.Mutex());
    ExpectWorkerExitedCleanly();
    EXPECT_EQ(channel_.Byte(layout::WordReady), Untouched) << "a preview ran";
    EXPECT_EQ(channel_.Byte(layout::GoSignal), 1);
    EXPECT_EQ(channel_.Byte(layout::WorkerBusy), 0);
    EXPECT_EQ(::WaitForSingleObject(channel_.Mutex(), 0), WAIT_OBJECT_0) << "the worker kept the mutex";
    ::ReleaseMutex(channel_.Mutex());
    ExpectHostBytesUnchanged();
}

// The current directory of another process, read from its process parameters.
// The worker under test is built for the same architecture as this test, so
// the layouts below, written with pointer-sized members, match its own (the
// directory's string lies at +0x24 in a 32-bit process, +0x38 in a 64-bit one).
struct ProcessParametersHead {
    ULONG maximumLength, length, flags, debugFlags;
    HANDLE consoleHandle;
    ULONG consoleFlags;
    HANDLE standardInput, standardOutput, standardError;
    UNICODE_STRING currentDirectoryPath;
};
static_assert(offsetof(ProcessParametersHead, currentDirectoryPath) == (sizeof(void*) == 4 ? 0x24 : 0x38));

std::wstring CurrentDirectoryOf(HANDLE process) {
    using QueryFn = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    const auto query = NtdllExport<QueryFn>("NtQueryInformationProcess");
    PROCESS_BASIC_INFORMATION basic{};
    if (!query || query(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0) return {};
    PEB peb{};
    if (!::ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, nullptr)) return {};
    ProcessParametersHead parameters{};
    if (!::ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof parameters, nullptr)) return {};
    const UNICODE_STRING& directory = parameters.currentDirectoryPath;
    std::wstring text(directory.Length / sizeof(wchar_t), L'\0');
    if (!::ReadProcessMemory(process, directory.Buffer, text.data(), directory.Length, nullptr)) return {};
    return text;
}

TEST_F(ChannelTest, CurrentDirectoryIsTheExecutablesFolderWhereverTheHostStartedIt) {
    wchar_t windows[MAX_PATH];
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    StartWorker(windows);
    ASSERT_TRUE(WaitUntil([&] { return channel_.Heartbeat() != 0; }));
    std::wstring expected = testsupport::WorkerPath();
    expected.erase(expected.find_last_of(L'\\') + 1);
    EXPECT_EQ(_wcsicmp(CurrentDirectoryOf(worker_->Handle()).c_str(), expected.c_str()), 0)
        << "expected " << Utf8Text(expected);
    channel_.SetByte(layout::GoSignal, 1);
    ExpectWorkerExitedCleanly();
    ExpectHostBytesUnchanged();
}

}  // namespace
