// Helpers for the test suites: where the test programs live, the Word double's
// registration, script and log, the taskkill double's log, and Word processes.
// All paths are Windows paths (the suites run under Wine).
#pragma once

#include <windows.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// Polls `condition` every `pollMs` until it holds or `bound` runs out; true
// when it held. Every wait of a test on another thread or process goes
// through a bound like this one, so that a fault ends the test instead of
// hanging it.
[[nodiscard]] bool WaitUntil(const std::function<bool()>& condition,
                             std::chrono::milliseconds bound = std::chrono::seconds(30), DWORD pollMs = 1);

// Text from a code page to UTF-16 and back, asked of the system itself
// (MultiByteToWideChar, WideCharToMultiByte) rather than of the product's
// conversions, so that a fault in those cannot cancel out in a test.
[[nodiscard]] std::wstring SystemWide(std::string_view text, UINT codePage);
[[nodiscard]] std::string SystemNarrow(std::wstring_view text, UINT codePage);

// `name` in the temp folder, in the system code page (as the block carries a
// document's path); the folder may have any name that code page can spell.
[[nodiscard]] std::string TempPath(const std::string& name);
// Whether a file or folder of this system-code-page path exists.
[[nodiscard]] bool FileExists(const std::string& path);

// The testbin this test runs with, as a Windows path, no trailing backslash:
// its Wine prefix's own (WORDPREVIEW_TESTBIN, set by ctest's runner), else build/testbin.
std::wstring TestBinDir();
std::wstring WorkerPath();      // testbin\WordPreview.exe
// The worker build that environment variable `variable` names (a Windows
// path), so that a bench or fuzzer can measure another build; else WorkerPath().
std::wstring WorkerPathFrom(const wchar_t* variable);
std::wstring WordDoublePath();  // testbin\WINWORD.EXE

// Registers WINWORD.EXE as Word's LocalServer32 (HKCR\CLSID\{000209FF-...}, which
// is what Wine's COM reads, plus HKCU\Software\Classes as Windows would also
// honour). Unregistering removes both, so that "Word is not installed".
[[nodiscard]] bool RegisterWordDouble();
void UnregisterWordDouble();

// The double's script (see testing/README.md); an empty object = defaults.
void WriteWordScript(const nlohmann::json& script);
void ClearWordLog();
std::vector<nlohmann::json> ReadWordLog();
// The log lines whose "call" is `call`, in order.
std::vector<nlohmann::json> WordCalls(const std::vector<nlohmann::json>& log, const std::string& call);

// Command lines the taskkill double received, one per run.
std::vector<std::string> ReadTaskkillLog();
void ClearTaskkillLog();

// Every running winword.exe.
std::vector<DWORD> WordProcessIds();

// Starts the double directly (as a Word the user already runs) and waits,
// bounded, until it is registered and GetActiveObject finds it. Returns its
// pid, or 0 when it did not come up.
[[nodiscard]] DWORD StartWarmWord(DWORD timeoutMs = 10000);

// One warm Word double and nothing else, registered for Word's class id: every
// earlier double ended (and rpcss with them, so no dead server's registration
// lingers), the log cleared, the script written. Returns its pid, or 0.
[[nodiscard]] DWORD StartFreshWarmWord(const nlohmann::json& script);

// Ends every winword.exe and waits for them; then restarts Wine's rpcss so
// that the dead servers' class registrations are gone and a later
// CoCreateInstance starts a fresh double.
void KillAllWordDoubles();

// The top-level windows of process `processId`, and a window's class name.
[[nodiscard]] std::vector<HWND> TopLevelWindowsOf(DWORD processId);
[[nodiscard]] std::string ClassNameOf(HWND window);
// The first of them of class `windowClass`, or NULL.
[[nodiscard]] HWND TopLevelWindowOf(DWORD processId, const std::string& windowClass);

// The double's top-level window (class "OpusApp") with this title (any title
// when empty), or NULL. Word's title names the active document while one is.
HWND FindWordWindow(const std::wstring& title = L"Microsoft Word");
[[nodiscard]] bool WordWindowIsMinimised(const std::wstring& title = L"Microsoft Word");

}  // namespace testsupport
