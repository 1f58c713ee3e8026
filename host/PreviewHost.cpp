#include "host/PreviewHost.h"

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <exception>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

namespace previewhost {

namespace Layout = SharedBlockLayout;

namespace {

using Clock = std::chrono::steady_clock;

// The host's own waits poll at this pace: short enough that the host adds
// next to nothing to the worker's timings.
constexpr DWORD PollMs = 1;
constexpr DWORD ClipboardRetryMs = 10;
constexpr std::chrono::milliseconds KillBound{5000};
constexpr std::chrono::milliseconds MemorySamplePeriod{5};

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                              nullptr);
    }
    return out;
}

std::string SystemMessage(DWORD error) {
    char* buffer = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text = length && buffer ? std::string(buffer, length) : std::string();
    if (buffer) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (text.empty()) text = "error";
    return text + " (error " + std::to_string(error) + ")";
}

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Opens the clipboard without a window, retrying while another program holds
// it: the worker (or Word) may still be closing it when the host gets here.
bool OpenClipboardWithin(ClipboardSession& session, std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    for (;;) {
        if (session.Open(nullptr)) return true;
        if (Clock::now() >= deadline) return false;
        ::Sleep(ClipboardRetryMs);
    }
}

// Owns a mutex acquired by this thread until it goes.
class MutexOwnership {
public:
    explicit MutexOwnership(HANDLE mutex) noexcept : mutex_(mutex) {}
    MutexOwnership(const MutexOwnership&) = delete;
    MutexOwnership& operator=(const MutexOwnership&) = delete;
    ~MutexOwnership() { Release(); }
    void Release() noexcept {
        if (mutex_) ::ReleaseMutex(std::exchange(mutex_, nullptr));
    }

private:
    HANDLE mutex_;
};

// --- the trace: the worker as a debuggee -----------------------------------------------

// A debuggee's events go to the thread that created it, so this object's
// thread both starts the worker and pumps its debug events, while the
// handshake goes on polling from the caller's thread.
class DebugPump {
public:
    explicit DebugPump(Clock::time_point epoch) : epoch_(epoch) {}
    DebugPump(const DebugPump&) = delete;
    DebugPump& operator=(const DebugPump&) = delete;
    ~DebugPump() { Finish(); }

    // Waits for the pump to see the worker's exit and returns the lines it collected.
    std::vector<Stage> Finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        std::lock_guard<std::mutex> lock(linesLock_);
        return std::move(lines_);
    }

    // Starts the worker on the pump's thread and hands its process back.
    WorkerProcess Start(const std::wstring& exePath, const std::wstring& currentDirectory) {
        std::promise<WorkerProcess> started;
        auto future = started.get_future();
        thread_ = std::thread([this, exePath, currentDirectory, started = std::move(started)]() mutable {
            DWORD id = 0;
            try {
                WorkerProcess worker = WorkerProcess::Start(exePath, currentDirectory, DEBUG_ONLY_THIS_PROCESS);
                id = worker.Id();
                started.set_value(std::move(worker));
            } catch (...) {
                started.set_exception(std::current_exception());
                return;
            }
            Pump(id);
        });
        return future.get();
    }

private:
    void Add(std::string line) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == '\0')) line.pop_back();
        std::lock_guard<std::mutex> lock(linesLock_);
        lines_.push_back(Stage{std::move(line), MillisecondsSince(epoch_)});
    }

    std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) const {
        const std::size_t units = std::min<std::size_t>(info.nDebugStringLength, 4096);
        if (!process || units == 0) return {};
        SIZE_T read = 0;
        if (info.fUnicode) {
            std::wstring text(units, L'\0');
            if (!::ReadProcessMemory(process, info.lpDebugStringData, text.data(), units * sizeof(wchar_t), &read))
                return "(unreadable debug string)";
            text.resize(std::wcslen(text.c_str()));
            return Utf8(text);
        }
        std::string text(units, '\0');
        if (!::ReadProcessMemory(process, info.lpDebugStringData, text.data(), units, &read))
            return "(unreadable debug string)";
        text.resize(std::strlen(text.c_str()));
        return text;
    }

    void Pump(DWORD workerId) {
        HANDLE process = nullptr;  // owned by the debug loop; closed by the system at the exit event
        bool firstBreakpoint = true;
        Clock::time_point giveUp = Clock::time_point::max();
        for (;;) {
            DEBUG_EVENT event{};
            if (!::WaitForDebugEvent(&event, 10)) {
                // The handshake kills the worker before it lets go of this object, so the
                // exit event is due; detach rather than wait for ever if it never comes.
                if (stop_ && giveUp == Clock::time_point::max()) giveUp = Clock::now() + KillBound;
                if (Clock::now() >= giveUp) {
                    ::DebugActiveProcessStop(workerId);
                    return;
                }
                continue;
            }
            DWORD status = DBG_CONTINUE;
            switch (event.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT:
                process = event.u.CreateProcessInfo.hProcess;
                {
                    UniqueHandle image(event.u.CreateProcessInfo.hFile);  // the loop's to close
                }
                break;
            case LOAD_DLL_DEBUG_EVENT:
                {
                    UniqueHandle image(event.u.LoadDll.hFile);  // the loop's to close
                }
                break;
            case OUTPUT_DEBUG_STRING_EVENT:
                Add(ReadDebugString(process, event.u.DebugString));
                break;
            case EXCEPTION_DEBUG_EVENT: {
                const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
                if (firstBreakpoint && record.ExceptionCode == EXCEPTION_BREAKPOINT) {
                    firstBreakpoint = false;  // the loader's breakpoint for the debugger
                    break;
                }
                // Everything else is the worker's own business: let its handlers run.
                status = DBG_EXCEPTION_NOT_HANDLED;
                char text[96];
                std::snprintf(text, sizeof text, "[debugger] exception 0x%08lX (%s chance)",
                              static_cast<unsigned long>(record.ExceptionCode),
                              event.u.Exception.dwFirstChance ? "first" : "second");
                Add(text);
                break;
            }
            default:
                break;
            }
            ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
            if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT && event.dwProcessId == workerId) return;
        }
    }

    Clock::time_point epoch_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex linesLock_;
    std::vector<Stage> lines_;
};

// --- the handshake ----------------------------------------------------------------------

enum class Wait { Met, WorkerExited, TimedOut };

// One request's host side; each step waits with the same bound.
class Session {
public:
    Session(const PreviewOptions& options, PreviewResult& result) : options_(options), result_(result) {}

    void Run() {
        if (options_.emptyClipboardFirst) EmptyClipboardNow(options_.bound);
        HostChannel channel = HostChannel::Create(options_.mappingSize, options_.mutexName);
        if (channel.Size() <= Layout::PreviewTaken)
            throw HostError("the mapping must hold at least the handshake bytes (" +
                            std::to_string(Layout::PreviewTaken + 1) + " bytes)");
        channel.WriteRequest(options_.request);
        if (options_.beforeStart) options_.beforeStart(channel);
        channel_ = &channel;

        std::optional<DebugPump> pump;
        epoch_ = Clock::now();
        if (options_.trace) {
            pump.emplace(epoch_);
            worker_ = pump->Start(options_.workerPath, options_.workerDirectory);
        } else {
            worker_ = WorkerProcess::Start(options_.workerPath, options_.workerDirectory);
        }
        Mark("started");

        try {
            Handshake();
        } catch (...) {
            EndWorker();
            CollectTrace(pump);
            throw;
        }
        EndWorker();
        CollectTrace(pump);
    }

private:
    void Handshake() {
        HostChannel& channel = *channel_;
        const auto ms = std::to_string(options_.bound.count()) + " ms";

        // 1. The worker takes the request: RequestPending cleared, WorkerBusy set.
        switch (WaitFor([&] { return channel.Byte(Layout::RequestPending) == 0 && channel.Byte(Layout::WorkerBusy); })) {
        case Wait::TimedOut:
            return TimedOut("busy", "the worker did not take the request within " + ms);
        case Wait::WorkerExited:
            if (channel.Byte(Layout::RequestPending) != 0) return NotTaken();
            return Finish();
        case Wait::Met:
            Mark("busy");
        }

        // 2. Its heartbeat, which it writes only for an active host.
        const bool heartbeatExpected = options_.request.hostActive && channel.Size() > Layout::HostActive;
        if (heartbeatExpected) {
            switch (WaitFor([&] { return channel.Heartbeat() != 0; })) {
            case Wait::TimedOut:
                return TimedOut("heartbeat", "no heartbeat from the worker within " + ms);
            case Wait::WorkerExited:
                return Finish();
            case Wait::Met:
                Mark("heartbeat");
            }
        }

        // 3. Go. Asking for the mutex right away could win it before the worker
        // does, so wait until the worker owns it (it clears GoSignal) or is done.
        channel.SetByte(Layout::GoSignal, 1);
        Mark("go");
        if (options_.afterGo) options_.afterGo(channel);
        switch (WaitFor([&] { return channel.Byte(Layout::GoSignal) == 0 || channel.Byte(Layout::WorkerBusy) == 0; })) {
        case Wait::TimedOut:
            return TimedOut("go", "the worker did not take the mutex within " + ms + " of GoSignal");
        case Wait::WorkerExited:
        case Wait::Met:
            break;
        }

        // 4. The mutex comes back either once the preview is on the clipboard (the
        // worker then waits for PreviewTaken) or once the worker is through. A
        // worker that dies holding it leaves it abandoned, which still makes it ours.
        std::optional<MutexOwnership> owned;
        const auto deadline = Clock::now() + options_.bound;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            const DWORD slice = static_cast<DWORD>(std::clamp<long long>(left, 0, 5));
            const DWORD wait = ::WaitForSingleObject(channel.Mutex(), slice);
            if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
                owned.emplace(channel.Mutex());
                result_.mutexAbandoned = wait == WAIT_ABANDONED;
                break;
            }
            if (wait == WAIT_FAILED) throw HostError("waiting for the mutex failed: " + SystemMessage(::GetLastError()));
            SampleMemory();
            if (left <= 0) return TimedOut("mutex", "the worker held the mutex for more than " + ms);
        }
        Mark("mutex");

        // 5. Read the clipboard while holding the mutex, then acknowledge.
        try {
            result_.clipboardText = ReadClipboardText(options_.bound).value_or(std::string());
        } catch (const HostError& error) {
            hostFailure_ = error.what();  // still release the worker below
        }
        if (options_.beforeAcknowledge) options_.beforeAcknowledge(channel);
        channel.SetByte(options_.stopWaitingInsteadOfTaken ? Layout::StopWaiting : Layout::PreviewTaken, 1);
        owned->Release();
        Mark("acknowledged");

        // 6. The worker finishes and exits.
        switch (WaitFor([] { return false; })) {
        case Wait::TimedOut:
            return TimedOut("exited", "the worker did not exit within " + ms + " of the acknowledgement");
        default:
            return Finish();
        }
    }

    // Polls `condition` until it holds, the worker exits or the bound runs out.
    template <typename Condition>
    Wait WaitFor(Condition condition) {
        const auto deadline = Clock::now() + options_.bound;
        for (;;) {
            if (condition()) return Wait::Met;
            SampleMemory();
            if (worker_.HasExited()) return condition() ? Wait::Met : Wait::WorkerExited;
            if (Clock::now() >= deadline) return Wait::TimedOut;
            ::Sleep(PollMs);
        }
    }

    // Each query is a round trip to the kernel (~0.1 ms under Wine) that the worker's own
    // calls queue behind, so sample every few polls; the counters are gone once it exits.
    void SampleMemory() {
        const auto now = Clock::now();
        if (now < nextSample_) return;
        nextSample_ = now + MemorySamplePeriod;
        result_.peakPrivateBytes = std::max(result_.peakPrivateBytes, worker_.PeakPrivateBytes());
    }

    void Mark(const char* stage) {
        result_.stages.push_back(Stage{stage, MillisecondsSince(epoch_)});
        nextSample_ = Clock::time_point();  // the worker's use changes most between stages
    }

    void NotTaken() {
        Finish();
        result_.outcome = Outcome::NotTaken;
        result_.failure = "worker exited (code " + std::to_string(result_.workerExitCode.value_or(0)) +
                          ") without taking the request";
    }

    void TimedOut(const char* stage, std::string message) {
        worker_.Kill();
        Finish();
        result_.outcome = Outcome::TimedOut;
        result_.stuckStage = stage;
        result_.failure = std::move(message) + " (timed out in stage \"" + stage + "\"; worker killed)";
    }

    // The worker is gone: read what it left in the block and say what happened.
    void Finish() {
        if (!worker_.HasExited()) worker_.WaitForExit(KillBound);
        result_.workerExited = worker_.HasExited();
        if (result_.workerExited) Mark("exited");
        result_.workerExitCode = worker_.ExitCode();

        HostChannel& channel = *channel_;
        if (options_.afterExit) options_.afterExit(channel);
        result_.wordReady = channel.Byte(Layout::WordReady) != 0;
        result_.openRejected = channel.Size() > Layout::OpenRejected && channel.Byte(Layout::OpenRejected) == 1;
        const std::string code = std::to_string(result_.workerExitCode.value_or(0));
        if (!hostFailure_.empty()) {
            result_.outcome = Outcome::HostFailure;
            result_.failure = hostFailure_;
        } else if (channel.Byte(Layout::WorkerBusy) != 0) {
            result_.outcome = Outcome::WorkerFailed;
            result_.failure = "worker exited (code " + code + ") in the middle of the request";
        } else if (!result_.wordReady) {
            result_.outcome = Outcome::WordUnavailable;
        } else if (result_.openRejected) {
            result_.outcome = Outcome::DocumentRefused;
        } else if (result_.clipboardText == PlaceholderText) {
            result_.outcome = Outcome::Placeholder;
        } else {
            result_.outcome = Outcome::Preview;
        }
    }

    // Whatever happened, no worker outlives the request.
    void EndWorker() {
        if (worker_.Handle() && !worker_.HasExited()) worker_.Kill();
    }

    void CollectTrace(std::optional<DebugPump>& pump) {
        if (pump) result_.traceLines = pump->Finish();
    }

    const PreviewOptions& options_;
    PreviewResult& result_;
    HostChannel* channel_ = nullptr;
    WorkerProcess worker_;
    Clock::time_point epoch_;
    Clock::time_point nextSample_;
    std::string hostFailure_;
};

}  // namespace

// --- HostChannel ------------------------------------------------------------------------

HostChannel HostChannel::Create(std::size_t mappingSize, std::string mutexName) {
    HostChannel channel;
    if (mappingSize == 0) throw HostError("the mapping size must not be 0");
    channel.mapping_.reset(::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                static_cast<DWORD>(mappingSize), Layout::MappingName));
    const DWORD error = ::GetLastError();
    if (!channel.mapping_)
        throw HostError(std::string("cannot create the mapping \"") + Layout::MappingName + "\": " + SystemMessage(error));
    if (error == ERROR_ALREADY_EXISTS)
        throw HostError(std::string("the mapping \"") + Layout::MappingName +
                        "\" already exists: another host or worker is still using it");
    channel.view_.reset(::MapViewOfFile(channel.mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, mappingSize));
    if (!channel.view_) throw HostError("cannot map the block: " + SystemMessage(::GetLastError()));
    channel.size_ = mappingSize;

    static std::atomic<unsigned> counter{0};
    const bool generated = mutexName.empty();
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (generated) {
            mutexName = "WordPreviewHost-" + std::to_string(::GetCurrentProcessId()) + "-" +
                        std::to_string(counter.fetch_add(1));
        }
        channel.mutex_.reset(::CreateMutexA(nullptr, FALSE, mutexName.c_str()));
        const DWORD mutexError = ::GetLastError();
        if (!channel.mutex_)
            throw HostError("cannot create the mutex \"" + mutexName + "\": " + SystemMessage(mutexError));
        // A generated name must be ours alone; a name the caller chose is used as it is.
        if (!generated || mutexError != ERROR_ALREADY_EXISTS) {
            channel.mutexName_ = mutexName;
            return channel;
        }
    }
    throw HostError("cannot find an unused mutex name");
}

void HostChannel::WriteRequest(const RequestFields& request) {
    if (request.documentPath.size() + 1 > Layout::DocumentPathCapacity)
        throw HostError("the document path is " + std::to_string(request.documentPath.size()) +
                        " bytes; the block holds at most " + std::to_string(Layout::DocumentPathCapacity - 1));
    std::uint8_t* block = Bytes();
    const auto fits = [&](std::size_t offset, std::size_t length) { return offset + length <= size_; };
    // A deliberately short block gets whichever fields fit: tests use it to see the worker turn it down.
    if (fits(Layout::DocumentPath, 1)) {
        const std::size_t room = std::min(request.documentPath.size() + 1, size_ - Layout::DocumentPath);
        std::memcpy(block + Layout::DocumentPath, request.documentPath.c_str(), room);
    }
    const auto put = [&](std::size_t offset, std::uint8_t value) {
        if (fits(offset, 1)) block[offset] = value;
    };
    put(Layout::RequestKind, request.requestKind);
    put(Layout::DeleteAlways, request.deleteAlways);
    put(Layout::DeleteKind1, request.deleteKind1);
    put(Layout::DeleteKind2, request.deleteKind2);
    put(Layout::DeleteKind3, request.deleteKind3);
    put(Layout::HostActive, request.hostActive);
    if (fits(Layout::MutexName, mutexName_.size() + 1))
        std::memcpy(block + Layout::MutexName, mutexName_.c_str(), mutexName_.size() + 1);
    put(Layout::RequestPending, request.requestPending);
}

std::uint8_t HostChannel::Byte(std::size_t offset) const {
    if (offset >= size_) throw std::out_of_range("offset " + std::to_string(offset) + " is past the block");
    // volatile: the worker changes these bytes behind the compiler's back.
    return static_cast<const volatile std::uint8_t*>(view_.get())[offset];
}

void HostChannel::SetByte(std::size_t offset, std::uint8_t value) {
    if (offset >= size_) throw std::out_of_range("offset " + std::to_string(offset) + " is past the block");
    static_cast<volatile std::uint8_t*>(view_.get())[offset] = value;
}

std::int32_t HostChannel::Heartbeat() const {
    if (Layout::Heartbeat + 4 > size_) throw std::out_of_range("the block ends before the heartbeat");
    // The field is 4-aligned in a page-aligned view, so one aligned load never tears.
    return *reinterpret_cast<const volatile std::int32_t*>(static_cast<const std::uint8_t*>(view_.get()) +
                                                           Layout::Heartbeat);
}

// --- WorkerProcess -----------------------------------------------------------------------

WorkerProcess WorkerProcess::Start(const std::wstring& exePath, const std::wstring& currentDirectory,
                                   DWORD extraCreationFlags) {
    const DWORD attributes = ::GetFileAttributesW(exePath.c_str());
    if (exePath.empty() || attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw HostError("worker not found: " + Utf8(exePath));

    std::wstring commandLine = L"\"" + exePath + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // A real host has no console for the worker to share. Without DETACHED_PROCESS, Wine
    // hands a console host's output on to the worker's children (cmd.exe, taskkill.exe),
    // whose messages then land in the middle of the host's own report.
    const DWORD flags = DETACHED_PROCESS | extraCreationFlags;
    if (!::CreateProcessW(exePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr,
                          currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup, &info)) {
        throw HostError("cannot start the worker " + Utf8(exePath) + ": " + SystemMessage(::GetLastError()));
    }
    UniqueHandle thread(info.hThread);
    WorkerProcess worker;
    worker.process_.reset(info.hProcess);
    worker.id_ = info.dwProcessId;
    return worker;
}

bool WorkerProcess::WaitForExit(std::chrono::milliseconds bound) const {
    return ::WaitForSingleObject(process_.get(), static_cast<DWORD>(bound.count())) == WAIT_OBJECT_0;
}

bool WorkerProcess::HasExited() const { return ::WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0; }

std::optional<DWORD> WorkerProcess::ExitCode() const {
    DWORD code = 0;
    if (!HasExited() || !::GetExitCodeProcess(process_.get(), &code)) return std::nullopt;
    return code;
}

void WorkerProcess::Kill() const {
    ::TerminateProcess(process_.get(), KilledExitCode);
    WaitForExit(KillBound);
}

std::size_t WorkerProcess::PeakPrivateBytes() const {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(process_.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof counters))
        return 0;
    return std::max<std::size_t>(counters.PeakPagefileUsage, counters.PrivateUsage);
}

// --- clipboard ----------------------------------------------------------------------------

std::optional<std::string> ReadClipboardText(std::chrono::milliseconds bound) {
    ClipboardSession clipboard;
    if (!OpenClipboardWithin(clipboard, bound))
        throw HostError("cannot open the clipboard within " + std::to_string(bound.count()) + " ms");
    const HANDLE data = ::GetClipboardData(CF_TEXT);
    if (!data) return std::nullopt;
    GlobalLockScope lock(data);
    if (!lock.data()) return std::nullopt;
    const char* text = static_cast<const char*>(lock.data());
    const std::size_t capacity = ::GlobalSize(data);
    return std::string(text, std::find(text, text + capacity, '\0'));
}

void EmptyClipboardNow(std::chrono::milliseconds bound) {
    ClipboardSession clipboard;
    if (!OpenClipboardWithin(clipboard, bound))
        throw HostError("cannot open the clipboard within " + std::to_string(bound.count()) + " ms");
    if (!::EmptyClipboard()) throw HostError("cannot empty the clipboard: " + SystemMessage(::GetLastError()));
}

// --- RunPreview -----------------------------------------------------------------------------

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Preview: return "Preview";
    case Outcome::Placeholder: return "Placeholder";
    case Outcome::WordUnavailable: return "WordUnavailable";
    case Outcome::DocumentRefused: return "DocumentRefused";
    case Outcome::NotTaken: return "NotTaken";
    case Outcome::WorkerFailed: return "WorkerFailed";
    case Outcome::HostFailure: return "HostFailure";
    case Outcome::TimedOut: return "TimedOut";
    }
    return "?";
}

PreviewResult RunPreview(const PreviewOptions& options) {
    PreviewResult result;
    try {
        Session(options, result).Run();
    } catch (const std::exception& error) {
        result.outcome = Outcome::HostFailure;
        result.failure = error.what();
    } catch (...) {
        result.outcome = Outcome::HostFailure;
        result.failure = "unexpected failure in the host";
    }
    return result;
}

}  // namespace previewhost
