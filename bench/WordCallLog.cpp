#include "bench/WordCallLog.h"

#include "testing/TestSupport.h"

#include <cstdio>

namespace bench {
namespace {

int CountOf(const CallCounts& calls, const std::string& call) {
    const auto found = calls.find(call);
    return found == calls.end() ? 0 : found->second;
}

}  // namespace

CallCounts LoggedCalls() {
    CallCounts counts;
    for (const nlohmann::json& line : testsupport::ReadWordLog()) ++counts[line.value("call", std::string("?"))];
    return counts;
}

int Total(const CallCounts& counts) {
    int total = 0;
    for (const auto& [call, n] : counts)
        if (call != "Window.Minimised") total += n;
    return total;
}

void PrintCallTable(const CallCounts& workerCalls, const CallCounts& fullCalls, const CallCounts& floorCalls) {
    for (const auto& [call, n] : workerCalls)
        std::printf("  %-30s worker %2d  (b) %2d  (a) %2d\n", call.c_str(), n, CountOf(fullCalls, call),
                    CountOf(floorCalls, call));
    for (const auto& [call, n] : fullCalls)
        if (!workerCalls.count(call))
            std::printf("  %-30s worker  0  (b) %2d  (a) %2d\n", call.c_str(), n, CountOf(floorCalls, call));
}

}  // namespace bench
