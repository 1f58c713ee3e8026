// The platform's own costs behind the worker's fixed waits and start-up,
// measured in this process.
#pragma once

#include <vector>

namespace bench {

struct PlatformCosts {
    std::vector<double> sleep10;           // Sleep(10), ms
    std::vector<double> sleep10Period1;    // Sleep(10) under timeBeginPeriod(1), ms
    std::vector<double> firstTick;         // SetTimer(1 ms) to the first WM_TIMER, ms
    double debugStringUs = 0;              // OutputDebugStringA with nobody listening, µs per call
    std::vector<double> windowCreate;      // RegisterClass + CreateWindowEx hidden + DestroyWindow, ms
};

PlatformCosts MeasurePlatform();

}  // namespace bench
