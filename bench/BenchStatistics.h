// How timings spread: the medians, percentiles and table rows preview_bench prints.
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start);

struct Spread {
    double median = 0, p10 = 0, p90 = 0, min = 0, max = 0;
};

// Linear interpolation between the nearest ranks; 0 for no values.
double Quantile(std::vector<double> values, double q);
Spread SpreadOf(const std::vector<double>& values);

// A row of the median, p10, p90, min and max of `values`, under PrintHeader's columns.
void PrintRow(const char* name, const std::vector<double>& values, const char* unit = "ms");
void PrintHeader();

}  // namespace bench
