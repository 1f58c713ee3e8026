// Whole processes, timed from this one: started the way the reference host
// starts the worker, waited for, and optionally watched for their memory.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace bench {

// Every run the bench starts, hosted or not, ends within this bound.
constexpr auto RunBound = std::chrono::milliseconds(30000);

// Starts `exe` in testbin (detached, no inherited handles) and waits for its
// exit. Returns the whole time in ms, or nullopt when it did not start or did
// not end within the bound. With `peakPrivateBytes`, the process's memory is
// sampled every 5 ms while it runs, as the reference host samples the worker's.
std::optional<double> TimeProcess(const std::wstring& exe, const std::wstring& arguments, DWORD* exitCode = nullptr,
                                  std::size_t* peakPrivateBytes = nullptr);

}  // namespace bench
