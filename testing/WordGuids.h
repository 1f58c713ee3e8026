// Word's identifiers that the double serves and the test side uses.
#pragma once

#include <windows.h>

namespace word_ids {

// Word.Application
inline constexpr CLSID CLSID_Application = {0x000209FF, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// _Application (dual interface; no proxy for it exists without Word's type library)
inline constexpr IID IID__Application = {0x00020970, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// ApplicationEvents3 (the event dispinterface)
inline constexpr IID DIID_ApplicationEvents3 = {0x00020A00, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

inline constexpr wchar_t kClsidKey[] = L"CLSID\\{000209FF-0000-0000-C000-000000000046}";

}  // namespace word_ids
