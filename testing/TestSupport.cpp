#include "TestSupport.h"

#include "channel/Protocol.h"
#include "common/ComResources.h"
#include "testing/ProcessTools.h"

#include <algorithm>
#include <cstdio>

using nlohmann::json;

namespace testsupport {

namespace {

// Wine exports this to map a Unix path to the DOS path it is visible under.
using WineGetDosFileName = LPWSTR(CDECL*)(LPCSTR);

std::wstring DosPathOf(const char* unixPath) {
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const auto convert = reinterpret_cast<WineGetDosFileName>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "wine_get_dos_file_name")));
    if (convert) {
        // The name comes in memory from the process heap, which the caller frees.
        const UniqueHeapMemory dos(convert(unixPath));
        if (dos) return std::wstring(static_cast<const wchar_t*>(dos.get()));
    }
    // Not under Wine (or no mapping): Wine's default drive for "/".
    std::wstring path = L"Z:" + SystemWide(unixPath, CP_UTF8);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::wstring InTestBin(const wchar_t* name) { return TestBinDir() + L"\\" + name; }

std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

[[nodiscard]] bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    ::DeleteFileW(path.c_str());
    return process_tools::AppendToFile(path, bytes);
}

constexpr wchar_t kUserClasses[] = L"Software\\Classes\\";

// Word's class under CLSID, as the registry names it.
std::wstring ClassKey() { return std::wstring(L"CLSID\\") + Protocol::WordClassIdText; }

[[nodiscard]] bool SetLocalServer(HKEY root, const std::wstring& clsidKey, const std::wstring& server) {
    UniqueRegistryKey key;
    const std::wstring path = clsidKey + L"\\LocalServer32";
    if (::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return ::RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                            static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

[[nodiscard]] bool Attachable() {
    ComPtr<IUnknown> running;
    return SUCCEEDED(::GetActiveObject(Protocol::CLSID_WordApplication, nullptr, &running));
}

[[nodiscard]] bool LoggedStart(DWORD pid) {
    for (const json& line : WordCalls(ReadWordLog(), "Started"))
        if (line.value("pid", 0u) == pid) return true;
    return false;
}

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindowOfProcess(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    (void)::GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId) search->found.push_back(window);
    return TRUE;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound, DWORD pollMs) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        ::Sleep(pollMs);
    }
    return true;
}

std::wstring SystemWide(std::string_view text, UINT codePage) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) (void)::MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length);
    return wide;
}

std::string SystemNarrow(std::wstring_view text, UINT codePage) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int length = ::WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) (void)::WideCharToMultiByte(codePage, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
    return narrow;
}

std::string TempPath(const std::string& name) {
    wchar_t folder[MAX_PATH + 1] = L"";
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    return SystemNarrow(std::wstring_view(folder, length <= MAX_PATH ? length : 0), CP_ACP) + name;
}

bool FileExists(const std::string& path) {
    return ::GetFileAttributesW(SystemWide(path, CP_ACP).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring TestBinDir() {
    // ctest's runner names the testbin of the Wine prefix it runs this test
    // in (each prefix of the pool has its own); the build's otherwise.
    static const std::wstring dir = [] {
        char named[MAX_PATH] = "";
        const DWORD length = ::GetEnvironmentVariableA("WORDPREVIEW_TESTBIN", named, MAX_PATH);
        return DosPathOf(length > 0 && length < MAX_PATH ? named : TESTSUPPORT_TESTBIN_DIR);
    }();
    return dir;
}

std::wstring WorkerPath() { return InTestBin(L"WordPreview.exe"); }
std::wstring WorkerPathFrom(const wchar_t* variable) {
    wchar_t path[MAX_PATH] = L"";
    const DWORD length = ::GetEnvironmentVariableW(variable, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return WorkerPath();
    const std::wstring named(path);
    // A bare file name is a program in testbin, so a ctest can name one
    // without knowing the Windows path of the build folder.
    return named.find_first_of(L"\\/:") == std::wstring::npos ? InTestBin(named.c_str()) : named;
}
std::wstring WordDoublePath() { return InTestBin(L"WINWORD.EXE"); }

bool RegisterWordDouble() {
    const std::wstring server = L"\"" + WordDoublePath() + L"\"";
    const bool machine = SetLocalServer(HKEY_CLASSES_ROOT, ClassKey(), server);
    const bool user = SetLocalServer(HKEY_CURRENT_USER, std::wstring(kUserClasses) + ClassKey(), server);
    return machine || user;
}

void UnregisterWordDouble() {
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey().c_str());
    ::RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(kUserClasses) + ClassKey()).c_str());
}

void WriteWordScript(const json& script) { (void)WriteFileBytes(InTestBin(L"word-double-script.json"), script.dump(2)); }

void ClearWordLog() { ::DeleteFileW(InTestBin(L"word-double-log.jsonl").c_str()); }

std::vector<json> ReadWordLog() {
    std::vector<json> log;
    const auto bytes = process_tools::ReadWholeFile(InTestBin(L"word-double-log.jsonl"));
    if (!bytes) return log;
    for (const std::string& line : Lines(*bytes)) {
        json parsed = json::parse(line, nullptr, false);
        // A line being written at this moment may be cut short; skip it.
        if (!parsed.is_discarded()) log.push_back(std::move(parsed));
    }
    return log;
}

std::vector<json> WordCalls(const std::vector<json>& log, const std::string& call) {
    std::vector<json> matching;
    std::copy_if(log.begin(), log.end(), std::back_inserter(matching),
                 [&call](const json& line) { return line.value("call", std::string()) == call; });
    return matching;
}

std::vector<std::string> ReadTaskkillLog() {
    const auto bytes = process_tools::ReadWholeFile(InTestBin(L"taskkill-log.txt"));
    return bytes ? Lines(*bytes) : std::vector<std::string>{};
}

void ClearTaskkillLog() { ::DeleteFileW(InTestBin(L"taskkill-log.txt").c_str()); }

std::vector<DWORD> WordProcessIds() { return process_tools::ProcessIdsByName(L"winword.exe"); }

DWORD StartFreshWarmWord(const nlohmann::json& script) {
    KillAllWordDoubles();
    ClearWordLog();
    WriteWordScript(script);
    if (!RegisterWordDouble()) return 0;
    return StartWarmWord();
}

namespace {

enum class WarmStart { Up, EndedBeforeItsStart, NotUp };

WarmStart StartWarmWordOnce(DWORD timeoutMs, DWORD& pid) {
    std::wstring commandLine = L"\"" + WordDoublePath() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, TestBinDir().c_str(),
                          &startup, &created)) {
        // Wine reports a start that failed inside its loader here, as the
        // creation's own failure.
        std::fprintf(stderr, "the Word double could not be started (error %lu)\n",
                     static_cast<unsigned long>(::GetLastError()));
        return WarmStart::EndedBeforeItsStart;
    }
    const UniqueHandle process(created.hProcess);
    const UniqueHandle thread(created.hThread);

    // The "Started" line is written once the double has registered itself; an
    // older instance could also answer GetActiveObject, so wait for this pid.
    const ComApartment apartment;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (::GetTickCount64() < deadline) {
        if (::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
            DWORD exitCode = 0;
            (void)::GetExitCodeProcess(process.get(), &exitCode);
            if (LoggedStart(created.dwProcessId)) return WarmStart::NotUp;
            std::fprintf(stderr, "the Word double ended with 0x%08lX before its start was logged\n",
                         static_cast<unsigned long>(exitCode));
            return WarmStart::EndedBeforeItsStart;
        }
        if (LoggedStart(created.dwProcessId) && Attachable()) {
            pid = created.dwProcessId;
            return WarmStart::Up;
        }
        ::Sleep(10);
    }
    return WarmStart::NotUp;
}

}  // namespace

DWORD StartWarmWord(DWORD timeoutMs) {
    // A process start that Wine itself fails (rare, on a loaded machine, seen
    // right after the previous double and rpcss were ended) fails the
    // creation or ends the process before any of its own code ran; that
    // start alone is made once more. A double that came up and then ended is
    // a failure as it is.
    DWORD pid = 0;
    WarmStart started = StartWarmWordOnce(timeoutMs, pid);
    if (started == WarmStart::EndedBeforeItsStart) {
        // ctest's runner counts these lines: a rise in them shows.
        std::fprintf(stderr, "testsupport: starting the Word double once more\n");
        started = StartWarmWordOnce(timeoutMs, pid);
    }
    return started == WarmStart::Up ? pid : 0;
}

void KillAllWordDoubles() {
    for (DWORD pid : WordProcessIds()) (void)process_tools::TerminateAndWait(pid);
    process_tools::RestartRpcss();
}

std::vector<HWND> TopLevelWindowsOf(DWORD processId) {
    WindowSearch search{processId, {}};
    (void)::EnumWindows(CollectWindowOfProcess, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string ClassNameOf(HWND window) {
    char name[256] = "";
    const int length = ::GetClassNameA(window, name, sizeof name);
    return std::string(name, length > 0 ? static_cast<std::size_t>(length) : 0);
}

HWND TopLevelWindowOf(DWORD processId, const std::string& windowClass) {
    for (HWND window : TopLevelWindowsOf(processId))
        if (ClassNameOf(window) == windowClass) return window;
    return nullptr;
}

HWND FindWordWindow(const std::wstring& title) {
    return ::FindWindowW(L"OpusApp", title.empty() ? nullptr : title.c_str());
}

bool WordWindowIsMinimised(const std::wstring& title) {
    const HWND window = FindWordWindow(title);
    return window && ::IsIconic(window);
}

}  // namespace testsupport
