// The system timer at a finer resolution for the lifetime of an object.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "common/SystemExport.h"

// Windows rounds sleeps and timers up to its tick (15.6 ms by default); at
// 1 ms a 10 ms poll sleeps 10 ms.
//
// The request goes to ntdll's NtSetTimerResolution, the call winmm's
// timeBeginPeriod makes on the caller's behalf: the same request, without
// loading winmm.dll for it. ntdll is in every process already; winmm is not,
// and under Wine it brings msacm32.dll, which reads its codec list from the
// registry on load and writes it back on unload, several milliseconds of a
// request's life. The kernel drops the request when the process ends.
//
// From Windows 11 on, the system may ignore the request while none of the
// process's windows is visible, and the worker's never is; the process first
// asks to be exempt, as the documentation of timeBeginPeriod describes.
// Earlier systems have no such throttling (or no SetProcessInformation at
// all), and there the request stands as it is.
class TimerResolution {
public:
    explicit TimerResolution(UINT milliseconds) noexcept
        : units_(milliseconds * 10000), set_(NtdllExport<SetResolution>("NtSetTimerResolution")) {
        KeepResolutionWhileHidden();
        ULONG actual = 0;
        raised_ = set_ && set_(units_, TRUE, &actual) >= 0;
    }
    TimerResolution(const TimerResolution&) = delete;
    TimerResolution& operator=(const TimerResolution&) = delete;
    ~TimerResolution() {
        ULONG actual = 0;
        if (raised_) (void)set_(units_, FALSE, &actual);
    }

private:
    static void KeepResolutionWhileHidden() noexcept {
        // PROCESS_POWER_THROTTLING_STATE and its constants, spelled out here
        // because SDK headers declare them only for newer target versions.
        struct PowerThrottlingState {
            ULONG Version, ControlMask, StateMask;
        };
        constexpr int processPowerThrottling = 4;  // PROCESS_INFORMATION_CLASS
        constexpr ULONG ignoreTimerResolution = 0x4;
        using SetInformation = BOOL(WINAPI*)(HANDLE, int, void*, DWORD);
        const auto setInformation = Kernel32Export<SetInformation>("SetProcessInformation");
        if (!setInformation) return;
        // The bit under control, with its state cleared: never ignore it.
        PowerThrottlingState state{1, ignoreTimerResolution, 0};
        (void)setInformation(::GetCurrentProcess(), processPowerThrottling, &state, sizeof state);
    }

    // NTSTATUS NtSetTimerResolution(ULONG DesiredTime /* 100 ns units */, BOOLEAN SetResolution, PULONG ActualTime)
    using SetResolution = LONG(NTAPI*)(ULONG, BOOLEAN, ULONG*);
    ULONG units_;
    SetResolution set_;
    bool raised_ = false;
};
