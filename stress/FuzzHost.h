// The fuzzer's host: the mapping and mutex of one block, and the host's part
// of the conversation with the worker under test.
#pragma once

#include "common/KernelResources.h"
#include "host/PreviewHost.h"
#include "stress/FuzzOracle.h"
#include "stress/FuzzPlan.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fuzz {

// A worker that has not exited this long after its start has hung.
inline constexpr auto BlockBound = std::chrono::seconds(20);

// The worker to try: BLOCK_FUZZER_WORKER when set, else the one in testbin.
[[nodiscard]] std::wstring WorkerUnderTest();

// The host's side of one block: the mapping (under the name the worker looks
// for), its view and the mutex the block may name.
struct HostSide {
    UniqueHandle mapping;
    UniqueMappedView view;
    UniqueHandle mutex;
    std::size_t readable = 0;  // the mapping's size, rounded up to pages
};

// Empty, with `failure` set, when the mapping cannot be made or another one still exists.
[[nodiscard]] std::optional<HostSide> CreateHostSide(const Plan& plan, const std::string& mutexName,
                                                   std::string& failure);

struct WorkerRun {
    bool hung = false;
    bool dialog = false;
    std::optional<DWORD> exitCode;
};

// The host plays its part (go after the first heartbeat, the mutex once the
// worker has it or is done, then PreviewTaken or StopWaiting) until the worker
// exits. The worker is killed when it shows a dialog or outlives the bound.
[[nodiscard]] WorkerRun PlayHost(previewhost::WorkerProcess& worker, const Plan& plan, const Expectation& e,
                                 void* view, HANDLE mutex, std::vector<std::uint8_t>& expected);

}  // namespace fuzz
