// Waits that keep the thread responsive.
//
// The worker's thread is a single-threaded COM apartment with an event sink
// advised on Word: Word calls into the sink synchronously, and such a call
// only arrives while the thread dispatches messages. A plain Sleep or
// WaitForSingleObject would hold Word (and the user working in it) until the
// wait ends. These waits keep their length but dispatch every message that
// arrives meanwhile: incoming COM calls, and the window's own messages.
#pragma once

#include <windows.h>

// Sleeps `milliseconds`, dispatching whatever arrives meanwhile.
void SleepDispatching(DWORD milliseconds) noexcept;

// Waits with no time-out until `handle` is signalled (for a mutex: owned),
// dispatching meanwhile. Returns WAIT_OBJECT_0, WAIT_ABANDONED_0 or WAIT_FAILED.
[[nodiscard]] DWORD WaitDispatching(HANDLE handle) noexcept;

// A WM_QUIT that one of these waits met is held, not acted on: the request in
// progress runs to its end first. Once it has, this posts the quit again, as
// a modal loop does on its way out, so that it still ends the message loop.
void RepostHeldQuit() noexcept;
