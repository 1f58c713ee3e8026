// Timing samples and how they spread: the medians, percentiles and table rows
// every section of preview_bench prints.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start);

// `count` timings of `step`, in ms.
template <typename Step>
std::vector<double> Sample(int count, Step step) {
    std::vector<double> values;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        step();
        values.push_back(MsSince(start));
    }
    return values;
}

struct Spread {
    double median = 0, p10 = 0, p90 = 0, min = 0, max = 0;
};

// Linear interpolation between the nearest ranks; 0 for no values.
double Quantile(std::vector<double> values, double q);
Spread SpreadOf(const std::vector<double>& values);

// A row of the median, p10, p90, min and max of `values`, under PrintHeader's columns.
void PrintRow(const char* name, const std::vector<double>& values, const char* unit = "ms");
void PrintHeader();

// Per-phase durations of listened runs: phases[i] = marks[i+1] - marks[i].
struct PhaseTable {
    std::vector<std::string> names;
    std::vector<std::vector<double>> values;
    // A mark missing from a run (NaN) leaves out the phases on either side of it.
    void Add(const std::vector<double>& marks);
    double Median(std::size_t i) const;
};

}  // namespace bench
