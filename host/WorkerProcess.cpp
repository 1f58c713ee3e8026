// Starting, watching and ending the worker process.
#include "common/TextConversion.h"
#include "host/HostInternals.h"
#include "host/PreviewHost.h"

#include <psapi.h>

#include <cstdio>
#include <cwchar>

namespace previewhost {

using namespace internal;

namespace {

// A test rig that runs the host library under Wine sets this to have every
// worker watched for hardware exceptions (ctest's runner, cmake/wine-run.in).
constexpr wchar_t WatchVariable[] = L"WORDPREVIEW_WATCH_WORKERS";

bool WatchRequested() { return ::GetEnvironmentVariableW(WatchVariable, nullptr, 0) > 0; }

// This process's environment with Wine's debug channels set for the watch:
// nothing but the exception dispatcher's warnings, each line led by the
// writing process's id. Wine writes them where the worker's own output
// goes, the host's; the rig tells the worker's lines by that id from those
// of the programs it starts (Word, cmd.exe), which inherit the setting.
std::wstring WatchedEnvironment() {
    std::wstring block;
    if (wchar_t* strings = ::GetEnvironmentStringsW()) {
        for (const wchar_t* entry = strings; *entry; entry += std::wcslen(entry) + 1) {
            if (::_wcsnicmp(entry, L"WINEDEBUG=", 10) == 0) continue;
            block += entry;
            block.push_back(L'\0');
        }
        ::FreeEnvironmentStringsW(strings);
    }
    block += L"WINEDEBUG=-all,+pid,warn+seh";
    block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

}  // namespace

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
    DWORD flags = DETACHED_PROCESS | extraCreationFlags;
    const bool watched = WatchRequested();
    std::wstring environment;
    if (watched) {
        environment = WatchedEnvironment();
        flags |= CREATE_UNICODE_ENVIRONMENT;
    }
    if (!::CreateProcessW(exePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags,
                          watched ? environment.data() : nullptr,
                          currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup, &info)) {
        throw HostError("cannot start the worker " + Utf8Text(exePath) + ": " + SystemMessage(::GetLastError()));
    }
    UniqueHandle thread(info.hThread);
    WorkerProcess worker;
    worker.process_.reset(info.hProcess);
    worker.id_ = info.dwProcessId;
    if (watched) {
        // The rig's key to the worker's lines: its id as Wine prints it.
        std::fprintf(stderr, "wordpreview-watch: worker %04lx started\n", static_cast<unsigned long>(worker.id_));
        std::fflush(stderr);
    }
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
