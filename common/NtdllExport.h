// A function of ntdll's, looked up rather than linked: ntdll is in every
// process already, and linking it would add an import the worker's image
// otherwise does without.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// The export `name` as a `Function` pointer, or nullptr where ntdll has none.
template <typename Function>
[[nodiscard]] Function NtdllExport(const char* name) noexcept {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll ? reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(ntdll, name))) : nullptr;
}
