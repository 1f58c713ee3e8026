#include "bench/ProcessTiming.h"

#include "bench/BenchStatistics.h"
#include "common/KernelResources.h"
#include "host/PreviewHost.h"
#include "testing/TestSupport.h"

#include <algorithm>

namespace bench {

std::optional<double> TimeProcess(const std::wstring& exe, const std::wstring& arguments, DWORD* exitCode,
                                  std::size_t* peakPrivateBytes) {
    std::wstring commandLine = L"\"" + exe + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const std::wstring folder = testsupport::TestBinDir();
    const auto start = Clock::now();
    if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                          folder.c_str(), &startup, &info))
        return std::nullopt;
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    if (peakPrivateBytes) {
        *peakPrivateBytes = 0;
        while (::WaitForSingleObject(process.get(), 5) == WAIT_TIMEOUT && MsSince(start) < RunBound.count())
            *peakPrivateBytes = std::max(*peakPrivateBytes, previewhost::PeakPrivateBytesOf(process.get()));
    }
    if (::WaitForSingleObject(process.get(), static_cast<DWORD>(RunBound.count())) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        ::WaitForSingleObject(process.get(), 5000);
        return std::nullopt;
    }
    const double elapsed = MsSince(start);
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    if (exitCode) *exitCode = code;
    return elapsed;
}

}  // namespace bench
