// The system's own description of an error code.
#pragma once

#include <windows.h>

#include <string>

// The system's text for `code` (a Win32 error or an HRESULT), in the system
// code page, without the trailing line break; empty when it has none.
[[nodiscard]] std::string SystemMessageText(DWORD code);
