#include "bench/StartupProbes.h"

#include "bench/BenchStatistics.h"
#include "bench/ProcessTiming.h"

#include <cstdio>
#include <cstring>

namespace bench {
namespace {

constexpr int ProbeRounds = 20;
constexpr const char* ProbeModes[] = {"crt", "com", "window", "tick", "winmm", "ntdll"};

}  // namespace

const std::vector<double>& ValuesOf(const std::map<std::string, std::vector<double>>& values, const std::string& key) {
    static const std::vector<double> none;
    const auto found = values.find(key);
    return found == values.end() ? none : found->second;
}

StartupProbes MeasureStartupProbes(const std::wstring& probeExe) {
    StartupProbes probes;
    for (int i = 0; i < ProbeRounds; ++i) {
        std::map<std::string, double> round;
        for (const char* mode : ProbeModes)
            if (auto ms = TimeProcess(probeExe, std::wstring(mode, mode + std::strlen(mode)))) {
                probes.wholeProcess[mode].push_back(*ms);
                round[mode] = *ms;
            }
        for (const char* mode : {"winmm", "ntdll"})
            if (round.count(mode) && round.count("tick")) probes.overTick[mode].push_back(round[mode] - round["tick"]);
    }
    return probes;
}

void PrintStartupProbes(const StartupProbes& probes) {
    const auto& whole = probes.wholeProcess;
    std::printf("\nstart-up steps as whole processes (startup_probe.exe), %zu runs each\n", ValuesOf(whole, "crt").size());
    PrintHeader();
    PrintRow("process + DLLs + CRT", ValuesOf(whole, "crt"));
    PrintRow("  + STA apartment", ValuesOf(whole, "com"));
    PrintRow("  + hidden window", ValuesOf(whole, "window"));
    PrintRow("  + 1 ms timer's first tick", ValuesOf(whole, "tick"));
    PrintRow("  tick + timeBeginPeriod (winmm.dll)", ValuesOf(whole, "winmm"));
    PrintRow("  tick + NtSetTimerResolution (ntdll)", ValuesOf(whole, "ntdll"));
    PrintRow("timeBeginPeriod over tick, per round", ValuesOf(probes.overTick, "winmm"));
    PrintRow("NtSetTimerResolution over tick, per round", ValuesOf(probes.overTick, "ntdll"));
}

}  // namespace bench
