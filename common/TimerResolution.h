// The system timer at a finer resolution for the lifetime of an object; in a
// header of its own because it needs the multimedia API.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>

// Windows rounds sleeps and timers up to its tick (15.6 ms by default); at
// 1 ms a 10 ms poll sleeps 10 ms.
class TimerResolution {
public:
    explicit TimerResolution(UINT milliseconds) noexcept
        : milliseconds_(milliseconds), raised_(::timeBeginPeriod(milliseconds) == TIMERR_NOERROR) {}
    TimerResolution(const TimerResolution&) = delete;
    TimerResolution& operator=(const TimerResolution&) = delete;
    ~TimerResolution() {
        if (raised_) (void)::timeEndPeriod(milliseconds_);
    }

private:
    UINT milliseconds_;
    bool raised_;
};
