// Calls that a busy Word turns away are made again.
//
// Word's message filter turns incoming automation calls away while it cannot
// take them: a modal dialog of the user's is open, it is still starting, it
// runs a long command. The caller then gets RPC_E_CALL_REJECTED or
// RPC_E_SERVERCALL_RETRYLATER at once, which is not Word's answer to the call
// but "not now". Every call the worker makes to Word goes through
// CallWhenWordTakesIt: a turned-away call is made again after a short pause,
// messages dispatched meanwhile, for up to BusyPatienceMs per call. Once one
// call has waited that long, the request gives up on the busy Word: every
// later call gets one try, so that a Word that stays busy costs the request
// about BusyPatienceMs in all. A host that goes away meanwhile ends the
// patience the same way.
//
// On Windows a registered IMessageFilter (RetryRejectedCall) is the COM
// layer's way to do the same; this loop is the worker's own so that it keeps
// one budget per request and the host-gone watch, and behaves the same under
// every COM implementation.
#pragma once

#include "channel/SharedBlock.h"

#include <windows.h>

[[nodiscard]] constexpr bool IsTurnedAwayByBusyWord(HRESULT code) noexcept {
    return code == static_cast<HRESULT>(0x80010001)     // RPC_E_CALL_REJECTED
           || code == static_cast<HRESULT>(0x8001010A);  // RPC_E_SERVERCALL_RETRYLATER
}

inline constexpr DWORD BusyPatienceMs = 30000;
inline constexpr DWORD BusyRetryPauseMs = 100;

// One call's patience: decides, after each time Word turned it away, whether
// to try again, and pauses (dispatching) before it does.
class BusyWordPatience {
public:
    // False once this call or an earlier one of the request has spent its
    // patience, or the host is gone; else pauses and returns true.
    [[nodiscard]] bool PauseBeforeAnotherTry(HRESULT turnedAway) noexcept;

    // Whether an earlier call of this request gave up on the busy Word.
    [[nodiscard]] static bool GivenUp() noexcept;
    // A new request (the unit tests run several in one process).
    static void ForgetGivingUp() noexcept;

private:
    HostAbsenceWatch host_;
    bool started_ = false;
    unsigned long long since_ = 0;  // GetTickCount64 of the first refusal
    unsigned tries_ = 0;
};

// Makes `call` (returning an HRESULT) until Word takes it or the patience
// ends; returns the last result.
template <typename Call>
[[nodiscard]] HRESULT CallWhenWordTakesIt(Call&& call) {
    HRESULT result = call();
    if (!IsTurnedAwayByBusyWord(result)) return result;
    BusyWordPatience patience;
    while (IsTurnedAwayByBusyWord(result) && patience.PauseBeforeAnotherTry(result)) result = call();
    return result;
}
