#include "desktop/WordWindows.h"

#include "common/StageTrace.h"

#include <windows.h>

#include <cstdlib>

namespace {
constexpr char WordTitle[] = "Microsoft Word";
constexpr char WordWindowClass[] = "OpusApp";
}  // namespace

void MinimiseWordByTitle() {
    // When no window bears the title the request goes to no window and fails quietly.
    ::ShowWindow(::FindWindowA(nullptr, WordTitle), SW_MINIMIZE);
}

void MinimiseWordByClass() {
    if (HWND word = ::FindWindowA(WordWindowClass, WordTitle)) ::ShowWindow(word, SW_MINIMIZE);
}

void KillWordInstances() {
    TraceStage("killing every Word process");
    // The command's outcome is not examined.
    (void)std::system(KillWordCommand);
}
