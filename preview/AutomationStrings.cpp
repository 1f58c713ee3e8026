#include "preview/AutomationStrings.h"

BSTR AllocateAutomationString(const wchar_t* text, UINT length) noexcept { return ::SysAllocStringLen(text, length); }
