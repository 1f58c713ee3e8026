// The clipboard as another program uses it: opened through a window of its
// own (two openers without windows are not kept apart under Wine), and
// filled with memory that the clipboard takes over.
#pragma once

#include "common/KernelResources.h"

#include <cstring>
#include <string>

namespace otherprogram {

inline UniqueWindow MessageWindow() {
    return UniqueWindow(::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
}

// Adds `size` bytes as `format` to a clipboard this thread holds open and has
// emptied. From a successful hand-over on the clipboard owns the memory.
[[nodiscard]] inline bool SetClipboardBytes(UINT format, const void* bytes, std::size_t size) {
    UniqueGlobalMemory block(::GlobalAlloc(GMEM_MOVEABLE, size));
    if (!block) return false;
    {
        GlobalLockScope lock(block.get());
        if (!lock.data()) return false;
        std::memcpy(lock.data(), bytes, size);
    }
    if (!::SetClipboardData(format, block.get())) return false;
    (void)block.release();
    return true;
}

[[nodiscard]] inline bool SetClipboardText(const std::string& text) {
    return SetClipboardBytes(CF_TEXT, text.c_str(), text.size() + 1);
}

[[nodiscard]] inline bool SetClipboardText(const std::wstring& text) {
    return SetClipboardBytes(CF_UNICODETEXT, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

// Replaces the clipboard's content with `text` (CF_TEXT), as another program would.
[[nodiscard]] inline bool PutClipboardText(const std::string& text) {
    UniqueWindow window = MessageWindow();
    ClipboardSession clipboard;
    if (!clipboard.Open(window.get())) return false;
    (void)::EmptyClipboard();
    return SetClipboardText(text);
}

}  // namespace otherprogram
