// startup_probe: how long the worker's start-up steps take as whole processes.
// Each mode does the steps of the one before it plus one more, and exits:
//   crt      nothing (process creation, DLL loading, static CRT start and exit)
//   com      + a single-threaded apartment (CoInitializeEx / CoUninitialize)
//   window   + a hidden top-level window, created and destroyed, as the worker's form
//   tick     + a 1 ms window timer, waiting for its first tick in a message loop
// and two ways of asking for 1 ms timer resolution for the process's life, each
// on top of `tick`:
//   winmm    timeBeginPeriod(1) / timeEndPeriod(1), winmm.dll loaded for it
//   ntdll    ntdll's NtSetTimerResolution, which timeBeginPeriod forwards to
// Linked with the same libraries as the worker, so the same DLLs load.
#include "bench/FirstTick.h"
#include "common/ComResources.h"
#include "common/KernelResources.h"
#include "common/SystemExport.h"

#include <cstring>

namespace {

constexpr char ProbeClassName[] = "StartupProbeWindow";

bool Is(const char* mode, const char* name) { return std::strcmp(mode, name) == 0; }

// Asks for 1 ms timer resolution the way `mode` names; the destructor gives it back.
class Resolution {
public:
    explicit Resolution(const char* mode) {
        if (Is(mode, "winmm")) {
            winmm_.reset(::LoadLibraryA("winmm.dll"));
            timeBegin_ = SystemExport<UINT(WINAPI*)(UINT)>(L"winmm.dll", "timeBeginPeriod");
            timeEnd_ = SystemExport<UINT(WINAPI*)(UINT)>(L"winmm.dll", "timeEndPeriod");
            if (timeBegin_) timeBegin_(1);
        } else if (Is(mode, "ntdll")) {
            ntSet_ = NtdllExport<LONG(NTAPI*)(ULONG, BOOLEAN, ULONG*)>("NtSetTimerResolution");
            ULONG actual = 0;
            if (ntSet_) ntSet_(10000, TRUE, &actual);
        }
    }
    Resolution(const Resolution&) = delete;
    Resolution& operator=(const Resolution&) = delete;
    ~Resolution() {
        ULONG actual = 0;
        if (timeEnd_) timeEnd_(1);
        if (ntSet_) ntSet_(10000, FALSE, &actual);
    }

private:
    UniqueModule winmm_;  // unloaded after the destructor has called timeEndPeriod
    UINT(WINAPI* timeBegin_)(UINT) = nullptr;
    UINT(WINAPI* timeEnd_)(UINT) = nullptr;
    LONG(NTAPI* ntSet_)(ULONG, BOOLEAN, ULONG*) = nullptr;
};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    const char* mode = commandLine ? commandLine : "";
    if (Is(mode, "crt") || !*mode) return 0;

    const Resolution resolution(mode);
    const ComApartment apartment(COINIT_APARTMENTTHREADED);
    if (Is(mode, "com")) return 0;

    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = QuitOnFirstTick;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = ProbeClassName;
    ::RegisterClassExA(&windowClass);
    const UniqueWindow window(::CreateWindowExA(0, ProbeClassName, "Probe", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                                CW_USEDEFAULT, 570, 330, nullptr, nullptr, instance, nullptr));
    if (!window) return 1;
    if (Is(mode, "window")) return 0;

    WaitForFirstTick(window.get());
    return 0;
}
