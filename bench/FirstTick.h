// The wait for the first tick of a 1 ms window timer, as the worker's form
// waits for it before it takes the request. Shared by startup_probe.exe and
// preview_bench, which time it as a whole process and in place.
#pragma once

#include <windows.h>

// The window procedure of a class whose first WM_TIMER ends the message loop.
inline LRESULT CALLBACK QuitOnFirstTick(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
        ::KillTimer(window, wParam);
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}

// `window` is of a class whose procedure is QuitOnFirstTick.
inline void WaitForFirstTick(HWND window) {
    ::SetTimer(window, 1, 1, nullptr);
    MSG message;
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) ::DispatchMessageA(&message);
}
