// What Word's Copy does to the clipboard.
#pragma once

#include <windows.h>

#include <string>

namespace word_double {

// Puts the text on the clipboard as Word's copy does, through the OLE
// clipboard; someone else holding the clipboard is waited out briefly.
[[nodiscard]] HRESULT PutOnClipboard(const std::wstring& text);

}  // namespace word_double
