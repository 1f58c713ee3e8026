#include "ProcessTools.h"

#include "common/WinResources.h"

#include <tlhelp32.h>

namespace process_tools {

namespace {
// CreateFile and CreateToolhelp32Snapshot report failure as INVALID_HANDLE_VALUE,
// which UniqueHandle treats as a real handle; map it to empty.
UniqueHandle Owned(HANDLE handle) {
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}
}  // namespace

std::vector<DWORD> ProcessIdsByName(const wchar_t* imageName) {
    std::vector<DWORD> ids;
    const UniqueHandle snapshot = Owned(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (::lstrcmpiW(entry.szExeFile, imageName) == 0) ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

bool TerminateAndWait(DWORD pid, DWORD timeoutMs) {
    UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!process) return false;
    ::TerminateProcess(process.get(), 1);
    return ::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}

void RestartRpcss() {
    for (DWORD pid : ProcessIdsByName(L"rpcss.exe")) TerminateAndWait(pid);
}

std::optional<std::string> ReadWholeFile(const std::wstring& path) {
    const UniqueHandle file = Owned(::CreateFileW(path.c_str(), GENERIC_READ,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    std::string bytes;
    char chunk[16384];
    DWORD read = 0;
    while (::ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0)
        bytes.append(chunk, read);
    return bytes;
}

bool AppendToFile(const std::wstring& path, const std::string& bytes) {
    // Several processes append over time (double instances, the taskkill double);
    // a test may delete the file between runs. Retry briefly on a sharing clash.
    for (int attempt = 0; attempt < 50; ++attempt) {
        const UniqueHandle file = Owned(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            ::Sleep(10);
            continue;
        }
        DWORD written = 0;
        return ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                           nullptr) &&
               written == bytes.size();
    }
    return false;
}

std::wstring OwnFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/"));
}

}  // namespace process_tools
