#include "desktop/Clipboard.h"

#include "common/MessageWait.h"
#include "common/WinResources.h"

#include <cstring>

void PublishClipboardText(std::string text) {
    ClipboardSession clipboard;
    // No owner window: the worker has no window that should outlive it as
    // the clipboard's owner, and CF_TEXT needs no delayed rendering.
    while (!clipboard.Open(nullptr)) SleepDispatching(10);
    ::EmptyClipboard();
    if (text.empty()) return;

    HGLOBAL block = ::GlobalAlloc(GMEM_DDESHARE, text.size() + 1);
    if (!block) return;
    {
        GlobalLockScope lock(block);
        if (!lock.data()) {
            ::GlobalFree(block);
            return;
        }
        std::memcpy(lock.data(), text.c_str(), text.size() + 1);
    }
    // From a successful hand-over on the clipboard owns the block; only a
    // refused block is still ours to free.
    if (!::SetClipboardData(CF_TEXT, block)) ::GlobalFree(block);
}
