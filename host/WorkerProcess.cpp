// Starting, watching and ending the worker process.
#include "common/TextConversion.h"
#include "host/HostInternals.h"
#include "host/PreviewHost.h"

#include <psapi.h>

namespace previewhost {

using namespace internal;

WorkerProcess WorkerProcess::Start(const std::wstring& exePath, const std::wstring& currentDirectory,
                                   DWORD extraCreationFlags) {
    const DWORD attributes = ::GetFileAttributesW(exePath.c_str());
    if (exePath.empty() || attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw HostError("worker not found: " + Utf8Text(exePath));

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
        throw HostError("cannot start the worker " + Utf8Text(exePath) + ": " + SystemMessage(::GetLastError()));
    }
    UniqueHandle thread(info.hThread);
    WorkerProcess worker;
    worker.process_.reset(info.hProcess);
    worker.id_ = info.dwProcessId;
    return worker;
}

bool WorkerProcess::WaitForExit(std::chrono::milliseconds bound) const noexcept {
    return ::WaitForSingleObject(process_.get(), static_cast<DWORD>(bound.count())) == WAIT_OBJECT_0;
}

bool WorkerProcess::HasExited() const noexcept { return ::WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0; }

std::optional<DWORD> WorkerProcess::ExitCode() const noexcept {
    DWORD code = 0;
    if (!HasExited() || !::GetExitCodeProcess(process_.get(), &code)) return std::nullopt;
    return code;
}

void WorkerProcess::Kill() const noexcept {
    (void)::TerminateProcess(process_.get(), KilledExitCode);
    (void)WaitForExit(KillBound);
}

std::size_t PeakPrivateBytesOf(HANDLE process) noexcept {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
        return 0;
    return std::max<std::size_t>(counters.PeakPagefileUsage, counters.PrivateUsage);
}

}  // namespace previewhost
