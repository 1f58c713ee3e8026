// taskkill.exe double. The worker runs `taskkill.exe /f /t /im "winword.exe"`
// through system() with its own folder as the current directory, so cmd.exe
// finds this exe before Wine's own taskkill (which rejects /t and kills
// nothing). It records the exact command line in taskkill-log.txt beside
// itself, then does what Windows' taskkill would: ends every winword.exe.

#include "common/ExecutableFolder.h"
#include "common/KernelResources.h"
#include "common/TextConversion.h"
#include "testing/ProcessTools.h"

#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<std::wstring> Arguments() {
    int count = 0;
    const UniqueLocalMemory memory(::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (!memory) return {};
    const auto* argv = static_cast<const LPWSTR*>(memory.get());
    return std::vector<std::wstring>(argv + 1, argv + count);
}

// True for "/im winword.exe" (either switch prefix, any case, quoted or not).
bool AsksForWinword(const std::vector<std::wstring>& arguments) {
    for (size_t i = 0; i + 1 < arguments.size(); ++i) {
        const std::wstring& option = arguments[i];
        if ((::lstrcmpiW(option.c_str(), L"/im") == 0 || ::lstrcmpiW(option.c_str(), L"-im") == 0) &&
            ::lstrcmpiW(arguments[i + 1].c_str(), L"winword.exe") == 0)
            return true;
    }
    return false;
}

}  // namespace

int main() {
    const std::wstring logPath = ExecutableFolder() + L"taskkill-log.txt";
    (void)process_tools::AppendToFile(logPath, Utf8Text(::GetCommandLineW()) + "\n");

    if (!AsksForWinword(Arguments())) return 0;
    for (DWORD pid : process_tools::ProcessIdsByName(L"winword.exe")) {
        if (process_tools::TerminateAndWait(pid))
            std::printf("SUCCESS: The process \"WINWORD.EXE\" with PID %lu has been terminated.\n",
                        static_cast<unsigned long>(pid));
    }
    // Only after the servers are gone: Wine's rpcss would otherwise keep their
    // stale class registration and refuse every later CoCreateInstance.
    process_tools::RestartRpcss();
    return 0;
}
