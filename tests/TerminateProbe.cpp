// terminate_probe.exe: a GUI process set up as the worker's entry point sets
// itself up, which then reaches std::terminate (UnitTests.cpp watches it end).
#include "shell/Unit7.h"

#include <exception>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    Application::Initialize();
    std::terminate();
}
