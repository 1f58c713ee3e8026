#include "ProcessTools.h"

#include "common/KernelResources.h"

#include <tlhelp32.h>

namespace process_tools {

std::vector<DWORD> ProcessIdsByName(const wchar_t* imageName) {
    std::vector<DWORD> ids;
    const UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (::lstrcmpiW(entry.szExeFile, imageName) == 0) ids.push_back(entry.th32ProcessID);
    }
    return ids;
}

bool TerminateAndWait(DWORD pid, DWORD timeoutMs) noexcept {
    UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!process) return false;
    (void)::TerminateProcess(process.get(), 1);
    return ::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}

void RestartRpcss() {
    for (DWORD pid : ProcessIdsByName(L"rpcss.exe")) (void)TerminateAndWait(pid);
}

std::optional<std::string> ReadWholeFile(const std::wstring& path) {
    const UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    std::string bytes;
    char chunk[16384];
    DWORD read = 0;
    while (::ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0)
        bytes.append(chunk, read);
    return bytes;
}

bool AppendToFile(const std::wstring& path, const std::string& bytes) noexcept {
    // Several processes append over time (double instances, the taskkill double);
    // a test may delete the file between runs. Retry briefly on a sharing clash.
    for (int attempt = 0; attempt < 50; ++attempt) {
        const UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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

}  // namespace process_tools
