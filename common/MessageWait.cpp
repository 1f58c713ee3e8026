#include "common/MessageWait.h"

namespace {

// The exit code of a WM_QUIT met inside a wait, until RepostHeldQuit.
bool g_quitHeld = false;
int g_heldQuitCode = 0;

// A WM_QUIT met inside a wait is not acted on there: the request in progress
// runs to its end first (RepostHeldQuit).
void DispatchPendingMessages() noexcept {
    MSG message;
    while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            g_quitHeld = true;
            g_heldQuitCode = static_cast<int>(message.wParam);
            continue;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
}

double MillisecondsSince(const LARGE_INTEGER& start, const LARGE_INTEGER& frequency) noexcept {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

}  // namespace

void SleepDispatching(DWORD milliseconds) noexcept {
    // The performance counter, not the tick count: the tick count advances in
    // 15.6 ms steps on Windows and would stretch a 10 ms poll.
    LARGE_INTEGER frequency, start;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    for (;;) {
        const double left = milliseconds - MillisecondsSince(start, frequency);
        if (left <= 0) return;
        // MWMO_INPUTAVAILABLE: messages already queued (seen but not removed
        // by an earlier peek) wake the wait too, so none is left waiting.
        const DWORD woken = ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(left + 0.5), QS_ALLINPUT,
                                                          MWMO_INPUTAVAILABLE);
        if (woken == WAIT_TIMEOUT) return;
        DispatchPendingMessages();
    }
}

DWORD WaitDispatching(HANDLE handle) noexcept {
    for (;;) {
        const DWORD woken = ::MsgWaitForMultipleObjectsEx(1, &handle, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0 || woken == WAIT_ABANDONED_0 || woken == WAIT_FAILED) return woken;
        DispatchPendingMessages();
    }
}

void RepostHeldQuit() noexcept {
    if (!g_quitHeld) return;
    g_quitHeld = false;
    ::PostQuitMessage(g_heldQuitCode);
}
