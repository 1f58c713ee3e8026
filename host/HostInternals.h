// Small helpers the reference host's own files share; not part of its interface.
#pragma once

#include "common/SystemMessage.h"

#include <windows.h>

#include <chrono>
#include <string>

namespace previewhost::internal {

using Clock = std::chrono::steady_clock;

// The host's own waits poll at this pace: short enough that the host adds
// next to nothing to the worker's timings.
inline constexpr DWORD PollMs = 1;
inline constexpr std::chrono::milliseconds KillBound{5000};

// The system's text for `error`, as one clause for a person: "<text> (error <n>)".
inline std::string SystemMessage(DWORD error) {
    std::string text = SystemMessageText(error);  // already without its line break
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
    if (text.empty()) text = "error";
    return text + " (error " + std::to_string(error) + ")";
}

inline double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace previewhost::internal
