// The system timer at a finer resolution for the lifetime of an object.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "common/NtdllExport.h"

// Windows rounds sleeps and timers up to its tick (15.6 ms by default); at
// 1 ms a 10 ms poll sleeps 10 ms.
//
// The request goes to ntdll's NtSetTimerResolution, the call winmm's
// timeBeginPeriod makes on the caller's behalf: the same request, without
// loading winmm.dll for it. ntdll is in every process already; winmm is not,
// and under Wine it brings msacm32.dll, which reads its codec list from the
// registry on load and writes it back on unload, several milliseconds of a
// request's life. The kernel drops the request when the process ends.
class TimerResolution {
public:
    explicit TimerResolution(UINT milliseconds) noexcept
        : units_(milliseconds * 10000), set_(NtdllExport<SetResolution>("NtSetTimerResolution")) {
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
    // NTSTATUS NtSetTimerResolution(ULONG DesiredTime /* 100 ns units */, BOOLEAN SetResolution, PULONG ActualTime)
    using SetResolution = LONG(NTAPI*)(ULONG, BOOLEAN, ULONG*);
    ULONG units_;
    SetResolution set_;
    bool raised_ = false;
};
