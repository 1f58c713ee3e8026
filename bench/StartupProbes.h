// The worker's start-up steps as whole processes (startup_probe.exe), and the
// two ways of asking for a 1 ms timer resolution, each on top of a first tick.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace bench {

struct StartupProbes {
    std::map<std::string, std::vector<double>> wholeProcess;  // by startup_probe mode, ms
    // Whole processes vary by more than the steps cost: a step's cost is the
    // median of its differences within a round. By mode ("winmm", "ntdll"), ms.
    std::map<std::string, std::vector<double>> overTick;
};

// Rounds of every mode, one after the other.
StartupProbes MeasureStartupProbes(const std::wstring& probeExe);
void PrintStartupProbes(const StartupProbes& probes);

// The values under `key`, none when there are none.
const std::vector<double>& ValuesOf(const std::map<std::string, std::vector<double>>& values, const std::string& key);

}  // namespace bench
