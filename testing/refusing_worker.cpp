// The worker as it is, but for a system that never has memory for an
// automation string: linked in place of preview/AutomationStrings.cpp, this
// makes WordPreview-refusing.exe, the test image through which the suites
// see a failure of the worker's own (not Word's) end a request.
#include "preview/AutomationStrings.h"

BSTR AllocateAutomationString(const wchar_t*, UINT) noexcept { return nullptr; }
