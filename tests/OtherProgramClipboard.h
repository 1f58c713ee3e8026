// The clipboard as another program uses it: opened through a window of its
// own (two openers without windows are not kept apart under Wine).
#pragma once

#include "common/WinResources.h"

#include <cstring>
#include <string>

namespace otherprogram {

inline UniqueWindow MessageWindow() {
    return UniqueWindow(::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
}

inline bool PutClipboardText(const std::string& text) {
    UniqueWindow window = MessageWindow();
    ClipboardSession clipboard;
    if (!clipboard.Open(window.get())) return false;
    ::EmptyClipboard();
    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    {
        GlobalLockScope lock(block);
        if (!lock.data()) return false;
        std::memcpy(lock.data(), text.c_str(), text.size() + 1);
    }
    return ::SetClipboardData(CF_TEXT, block) != nullptr;
}

}  // namespace otherprogram
