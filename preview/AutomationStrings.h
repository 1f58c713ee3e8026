// Where the worker's automation strings come from.
#pragma once

#include <windows.h>
#include <oleauto.h>

// SysAllocStringLen: an automation string of `length` characters of `text`,
// or nullptr when the system has no memory for it. Defined in a file of its
// own and linked from a library of its own, so that a test image of the
// worker can link a definition of its own instead and watch the worker's own
// failure; the shipped image holds this one alone.
[[nodiscard]] BSTR AllocateAutomationString(const wchar_t* text, UINT length) noexcept;
