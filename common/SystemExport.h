// Functions of the system's own DLLs, looked up rather than linked: ntdll and
// kernel32 are in every process already, and linking would add an import the
// worker's image otherwise does without (ntdll), or one that an older Windows
// lacks, so that the image would not load there at all (kernel32's newer calls).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// The export `name` of the loaded `module` as a `Function` pointer, or nullptr
// where the module has none.
template <typename Function>
[[nodiscard]] Function SystemExport(const wchar_t* module, const char* name) noexcept {
    const HMODULE loaded = ::GetModuleHandleW(module);
    return loaded ? reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(loaded, name))) : nullptr;
}

template <typename Function>
[[nodiscard]] Function NtdllExport(const char* name) noexcept {
    return SystemExport<Function>(L"ntdll.dll", name);
}

template <typename Function>
[[nodiscard]] Function Kernel32Export(const char* name) noexcept {
    return SystemExport<Function>(L"kernel32.dll", name);
}
