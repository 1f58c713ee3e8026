#include "bench/BenchStatistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace bench {

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double at = q * static_cast<double>(values.size() - 1);
    const auto low = static_cast<std::size_t>(std::floor(at));
    const auto high = std::min(values.size() - 1, low + 1);
    return values[low] + (values[high] - values[low]) * (at - static_cast<double>(low));
}

Spread SpreadOf(const std::vector<double>& values) {
    Spread s;
    if (values.empty()) return s;
    s.median = Quantile(values, 0.5);
    s.p10 = Quantile(values, 0.1);
    s.p90 = Quantile(values, 0.9);
    s.min = *std::min_element(values.begin(), values.end());
    s.max = *std::max_element(values.begin(), values.end());
    return s;
}

void PrintRow(const char* name, const std::vector<double>& values, const char* unit) {
    const Spread s = SpreadOf(values);
    std::printf("  %-34s %8.2f %8.2f %8.2f %8.2f %8.2f  %s\n", name, s.median, s.p10, s.p90, s.min, s.max, unit);
}

void PrintHeader() {
    std::printf("  %-34s %8s %8s %8s %8s %8s\n", "", "median", "p10", "p90", "min", "max");
}

}  // namespace bench
