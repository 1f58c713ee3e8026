#include "bench/PlatformCosts.h"

#include "bench/BenchStatistics.h"
#include "bench/FirstTick.h"
#include "common/KernelResources.h"

namespace bench {
namespace {

using TimeBeginPeriodFn = UINT(WINAPI*)(UINT);

TimeBeginPeriodFn ExportOf(HMODULE winmm, const char* name) {
    return reinterpret_cast<TimeBeginPeriodFn>(reinterpret_cast<void*>(::GetProcAddress(winmm, name)));
}

// winmm is loaded here only, so that the rest of the bench runs without it.
std::vector<double> SleepUnderPeriod1() {
    const UniqueModule winmm(::LoadLibraryA("winmm.dll"));
    if (!winmm) return {};
    const auto begin = ExportOf(winmm.get(), "timeBeginPeriod");
    const auto end = ExportOf(winmm.get(), "timeEndPeriod");
    if (!begin || !end) return {};
    begin(1);
    std::vector<double> values = Sample(30, [] { ::Sleep(10); });
    end(1);
    return values;
}

// A hidden window of the worker's form's size.
UniqueWindow CreateTickWindow(HINSTANCE instance) {
    return UniqueWindow(::CreateWindowExA(0, "PreviewBenchTick", "Tick", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                          CW_USEDEFAULT, 570, 330, nullptr, nullptr, instance, nullptr));
}

// Windows created and destroyed, then one first tick after another on one of them.
void MeasureWindowAndTick(PlatformCosts& costs) {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = QuitOnFirstTick;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "PreviewBenchTick";
    ::RegisterClassExA(&windowClass);
    costs.windowCreate = Sample(20, [&] { const UniqueWindow window = CreateTickWindow(instance); });
    const UniqueWindow window = CreateTickWindow(instance);
    costs.firstTick = Sample(20, [&] { WaitForFirstTick(window.get()); });
}

double DebugStringMicroseconds() {
    constexpr int DebugStrings = 2000;
    const auto start = Clock::now();
    for (int i = 0; i < DebugStrings; ++i) ::OutputDebugStringA("WordPreview: document opened\n");
    return 1000.0 * MsSince(start) / DebugStrings;
}

}  // namespace

PlatformCosts MeasurePlatform() {
    PlatformCosts costs;
    costs.sleep10 = Sample(30, [] { ::Sleep(10); });
    costs.sleep10Period1 = SleepUnderPeriod1();
    MeasureWindowAndTick(costs);
    costs.debugStringUs = DebugStringMicroseconds();
    return costs;
}

}  // namespace bench
