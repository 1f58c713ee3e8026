// The reference host: what a real host application does to get one preview
// out of the worker, as a small library. Tests drive the worker through it;
// people use it through the preview-host CLI.
//
// Every wait here is bounded: a host must never hang on a worker.
#pragma once

#include "channel/Protocol.h"
#include "channel/SharedBlockLayout.h"
#include "common/KernelResources.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace previewhost {

// A failure of the host's own set-up (mapping, mutex, worker start); its
// message is one clear line for a person.
class HostError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the host writes into the request before it starts the worker.
struct RequestFields {
    std::string documentPath;  // system code page, as the worker reads it
    std::uint8_t requestKind = 1;
    bool deleteAlways = false;
    bool deleteKind1 = false;
    bool deleteKind2 = false;
    bool deleteKind3 = false;
    bool hostActive = true;
    bool requestPending = true;
};

// The named mapping and mutex, created by the host and shared with the worker.
class HostChannel {
public:
    // Creates the mapping SharedBlockLayout::MappingName of `mappingSize` bytes (zero-filled)
    // and a mutex; an empty name picks a unique one. Throws HostError when the
    // mapping already exists (another host is at work) or cannot be made.
    static HostChannel Create(std::size_t mappingSize = 4096, std::string mutexName = {});

    // Writes the request fields and the mutex name into the block. The
    // mutex name is written only when it fits before the end of the mapping.
    void WriteRequest(const RequestFields& request);

    std::uint8_t Byte(std::size_t offset) const;  // fresh read every call
    void SetByte(std::size_t offset, std::uint8_t value);
    std::int32_t Heartbeat() const;
    std::uint8_t* Bytes() { return static_cast<std::uint8_t*>(view_.get()); }
    std::size_t Size() const { return size_; }
    const std::string& MutexName() const { return mutexName_; }
    HANDLE Mutex() const { return mutex_.get(); }
    HANDLE Mapping() const { return mapping_.get(); }
    // Tests: a host that lets go of its mutex handle for a while and then
    // opens the mutex again by name. Reopening fails (false) once nobody
    // holds the mutex any more and it has ceased to exist.
    void CloseMutexHandle() { mutex_.reset(); }
    // Tests: the host keeps its view but closes its handle to the mapping, so
    // that once the worker has attached, nobody could attach to the block again.
    void CloseMappingHandle() { mapping_.reset(); }
    [[nodiscard]] bool ReopenMutex();

private:
    UniqueHandle mapping_;
    UniqueMappedView view_;
    UniqueHandle mutex_;
    std::size_t size_ = 0;
    std::string mutexName_;
};

// The peak of `process`'s private memory, from GetProcessMemoryInfo (the
// larger of PeakPagefileUsage and PrivateUsage); 0 when it cannot be read.
[[nodiscard]] std::size_t PeakPrivateBytesOf(HANDLE process) noexcept;

// One started worker process.
// With WORDPREVIEW_WATCH_WORKERS in the host's environment (a test rig under
// Wine sets it), every worker starts with Wine's exception dispatcher
// warnings on (WINEDEBUG=-all,+pid,warn+seh), and the host names it on its
// stderr ("wordpreview-watch: worker <id in hex> started"). A hardware
// exception the worker raised then shows in the host's output even where Wine
// handled it and the worker went on, as Wine does in a window procedure that
// another process's message reached; Windows may end the process instead.
class WorkerProcess {
public:
    // Starts `exePath` with no arguments, in `currentDirectory` (the host's own
    // when empty). Throws HostError("worker not found: ...") and the like.
    // `extraCreationFlags` is or-ed into CreateProcessW's flags (the trace
    // starts the worker with DEBUG_ONLY_THIS_PROCESS).
    static WorkerProcess Start(const std::wstring& exePath, const std::wstring& currentDirectory = {},
                               DWORD extraCreationFlags = 0);

    // The exit code Kill() gives the worker, so a killed worker is told apart.
    static constexpr UINT KilledExitCode = 0xDEAD;

    [[nodiscard]] bool WaitForExit(std::chrono::milliseconds bound) const noexcept;  // true when it has exited
    [[nodiscard]] bool HasExited() const noexcept;
    [[nodiscard]] std::optional<DWORD> ExitCode() const noexcept;  // once exited
    void Kill() const noexcept;  // TerminateProcess, then waits for the exit
    DWORD Id() const { return id_; }
    HANDLE Handle() const { return process_.get(); }
    std::size_t PeakPrivateBytes() const { return PeakPrivateBytesOf(process_.get()); }

private:
    UniqueHandle process_;
    DWORD id_ = 0;
};

// How a preview request ended, as the host can tell it.
enum class Outcome {
    Preview,          // text read from the clipboard, PreviewTaken acknowledged
    Placeholder,      // the worker's "not available" text
    WordUnavailable,  // WordReady 0: the worker could not reach Word
    DocumentRefused,  // OpenRejected 1 (Word refused the document)
    NotTaken,         // the worker exited without taking the request
    WorkerFailed,     // the worker exited in the middle of the request (WorkerBusy still set)
    HostFailure,      // the host's own failure (see PreviewResult::failure)
    TimedOut,         // a bound ran out; the worker was killed
};
const char* OutcomeName(Outcome outcome);

struct PreviewOptions {
    std::wstring workerPath;
    std::wstring workerDirectory;  // current directory given to the worker; empty: the host's
    RequestFields request;
    std::size_t mappingSize = 4096;
    std::string mutexName;                        // empty: unique
    bool stopWaitingInsteadOfTaken = false;       // release the worker with StopWaiting
    bool emptyClipboardFirst = true;              // so a stale clipboard is never read as a preview
    std::chrono::milliseconds bound{30000};       // bound on each of the host's waits
    std::function<void(HostChannel&)> beforeStart;  // tests: last look at the block before the start
    std::function<void(HostChannel&)> beforeGo;     // tests: the heartbeat seen, GoSignal not yet set
    std::function<void(HostChannel&)> afterGo;      // tests: called right after GoSignal is set
    std::function<void(HostChannel&)> beforeAcknowledge;  // tests: clipboard read, mutex held, not yet acknowledged
    std::function<void(HostChannel&)> afterExit;    // tests: a last look at the block once the worker is gone
    bool trace = false;  // run the worker as a debuggee and collect its OutputDebugString lines
};

struct Stage {
    std::string name;  // "started", "busy", "heartbeat", "go", "mutex", "acknowledged", "exited"
    double milliseconds;  // since the worker was started
};

struct PreviewResult {
    Outcome outcome = Outcome::HostFailure;
    std::string clipboardText;  // CF_TEXT as read by the host while it held the mutex
    bool wordReady = false;
    bool openRejected = false;
    bool workerExited = false;
    std::optional<DWORD> workerExitCode;
    std::size_t peakPrivateBytes = 0;
    std::string failure;  // one line for a person when outcome is HostFailure/TimedOut/NotTaken
    std::vector<Stage> stages;
    // TimedOut: the wait that ran out, named by the stage it leads to ("busy", "heartbeat",
    // "mutex", "exited"), or "go" when the worker did not take the mutex after GoSignal.
    std::string stuckStage;
    bool mutexAbandoned = false;  // the host got the mutex as WAIT_ABANDONED
    std::vector<Stage> traceLines;  // with PreviewOptions::trace: the worker's debug output, timed
};

// Plays the host's whole side of one request (see README for the sequence).
// With `trace`, the worker runs as a debuggee of a thread of the host's own.
// Never throws: set-up failures come back as HostFailure with a message.
PreviewResult RunPreview(const PreviewOptions& options);

// The clipboard's CF_TEXT, or nullopt when it holds no text. Retries while
// another program holds the clipboard, up to `bound`; then throws HostError.
std::optional<std::string> ReadClipboardText(std::chrono::milliseconds bound = std::chrono::seconds(5));

// Empties the clipboard, with the same retries and bound as ReadClipboardText.
void EmptyClipboardNow(std::chrono::milliseconds bound = std::chrono::seconds(5));

}  // namespace previewhost
