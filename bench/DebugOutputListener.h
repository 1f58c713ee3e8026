// Collects every process's OutputDebugStringA lines through the DBWIN buffer,
// as DebugView does, with the time each arrived. Unlike running the worker as a
// debuggee (PreviewOptions::trace), this costs the writer only a hand-off per
// line, so the stages it shows are close to an untraced run's.
#pragma once

#include "bench/BenchStatistics.h"
#include "common/KernelResources.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class DebugOutputListener {
public:
    struct Line {
        double ms;  // since Rebase()
        std::string text;
    };

    DebugOutputListener();
    DebugOutputListener(const DebugOutputListener&) = delete;
    DebugOutputListener& operator=(const DebugOutputListener&) = delete;
    ~DebugOutputListener();
    bool Listening() const { return thread_.joinable(); }

    // Forgets the lines so far and measures from now on.
    void Rebase();
    std::vector<Line> Lines();

private:
    void Listen();

    UniqueHandle bufferReady_, dataReady_, mapping_;
    UniqueMappedView view_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    Clock::time_point epoch_ = Clock::now();
    std::vector<Line> lines_;
};

// The time of the first line that contains `text`, or NaN.
double LineTime(const std::vector<DebugOutputListener::Line>& lines, const std::string& text);

}  // namespace bench
