// terminate_probe.exe: a GUI process set up as the worker's entry point sets
// itself up, which then reaches std::terminate (UnitTests.cpp watches it end).
//
// On Windows, abort() in a GUI process shows the C runtime's modal
// "abnormal program termination" box; Wine's msvcrt.dll shows none. The probe
// puts that box back where Windows shows it, inside abort() (which raises
// SIGABRT before it ends the process), so that a terminate that still ends
// in abort() is seen here as it would be on Windows.
#include "shell/Unit7.h"

#include <csignal>
#include <exception>

namespace {

void ShowAbortBoxAsWindowsDoes(int) {
    ::MessageBoxA(nullptr, "abnormal program termination", "Runtime Error!", MB_OK | MB_ICONSTOP | MB_TASKMODAL);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    (void)std::signal(SIGABRT, ShowAbortBoxAsWindowsDoes);
    Application::Initialize();
    std::terminate();
}
