// The trace: the worker run as a debuggee, its OutputDebugString lines
// collected with the time each arrived.
#pragma once

#include "common/TextConversion.h"
#include "host/HostInternals.h"
#include "host/PreviewHost.h"

#include <atomic>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace previewhost::internal {

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
            return Utf8Text(text);
        }
        std::string text(units, '\0');
        if (!::ReadProcessMemory(process, info.lpDebugStringData, text.data(), units, &read))
            return "(unreadable debug string)";
        text.resize(std::strlen(text.c_str()));
        return text;
    }

    void Pump(DWORD workerId) {
        Clock::time_point giveUp = Clock::time_point::max();
        for (;;) {
            DEBUG_EVENT event{};
            if (!::WaitForDebugEvent(&event, 10)) {
                // The handshake kills the worker before it lets go of this object, so the
                // exit event is due; detach rather than wait for ever if it never comes.
                if (stop_ && giveUp == Clock::time_point::max()) giveUp = Clock::now() + KillBound;
                if (Clock::now() >= giveUp) {
                    (void)::DebugActiveProcessStop(workerId);
                    return;
                }
                continue;
            }
            const DWORD status = Handle(event);
            (void)::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
            if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT && event.dwProcessId == workerId) return;
        }
    }

    // One debug event of the worker; returns how the worker is to go on.
    [[nodiscard]] DWORD Handle(const DEBUG_EVENT& event) {
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            process_ = event.u.CreateProcessInfo.hProcess;
            UniqueHandle(event.u.CreateProcessInfo.hFile).reset();  // the loop's to close (NULL when none)
            return DBG_CONTINUE;
        case LOAD_DLL_DEBUG_EVENT:
            UniqueHandle(event.u.LoadDll.hFile).reset();  // the loop's to close (NULL when none)
            return DBG_CONTINUE;
        case OUTPUT_DEBUG_STRING_EVENT:
            Add(ReadDebugString(process_, event.u.DebugString));
            return DBG_CONTINUE;
        case EXCEPTION_DEBUG_EVENT:
            return OnException(event.u.Exception);
        default:
            return DBG_CONTINUE;
        }
    }

    [[nodiscard]] DWORD OnException(const EXCEPTION_DEBUG_INFO& exception) {
        const EXCEPTION_RECORD& record = exception.ExceptionRecord;
        if (firstBreakpoint_ && record.ExceptionCode == EXCEPTION_BREAKPOINT) {
            firstBreakpoint_ = false;  // the loader's breakpoint for the debugger
            return DBG_CONTINUE;
        }
        // Everything else is the worker's own business: let its handlers run.
        char text[96];
        std::snprintf(text, sizeof text, "[debugger] exception 0x%08lX (%s chance)",
                      static_cast<unsigned long>(record.ExceptionCode), exception.dwFirstChance ? "first" : "second");
        Add(text);
        return DBG_EXCEPTION_NOT_HANDLED;
    }

    Clock::time_point epoch_;
    // Both belong to the pump's thread. The process handle is the debug
    // loop's: the system closes it at the exit event.
    HANDLE process_ = nullptr;
    bool firstBreakpoint_ = true;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex linesLock_;
    std::vector<Stage> lines_;
};

}  // namespace previewhost::internal
