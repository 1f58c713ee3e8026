// Finding and ending processes by image name, shared by the taskkill double
// and the test helpers.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace process_tools {

// Ids of every process whose image name equals `imageName` (case-insensitive).
std::vector<DWORD> ProcessIdsByName(const wchar_t* imageName);

// Ends the process by force and waits (bounded) until it has gone.
// Returns false when it could not be opened or did not end in time.
[[nodiscard]] bool TerminateAndWait(DWORD pid, DWORD timeoutMs = 5000) noexcept;

// Wine 8 keeps a dead local server's class registration (and its running
// object table entry) inside rpcss.exe, so every later CoCreateInstance for
// that class fails with 0x800706BA. Ending rpcss makes Wine start a fresh one
// on the next COM call, which is the state Windows would be in by itself.
void RestartRpcss();

// Whole file as bytes; nullopt when it cannot be opened.
std::optional<std::string> ReadWholeFile(const std::wstring& path);

// Appends bytes in one write, sharing the file with readers and other writers.
[[nodiscard]] bool AppendToFile(const std::wstring& path, const std::string& bytes) noexcept;

}  // namespace process_tools
