#include "desktop/Clipboard.h"

#include "common/MessageWait.h"
#include "common/KernelResources.h"
#include "common/StageTrace.h"

#include <cstring>

namespace {
HWND g_owner = nullptr;
}  // namespace

void SetClipboardOwnerWindow(HWND owner) noexcept { g_owner = owner; }

void PublishClipboardText(std::string_view text) noexcept {
    if (!g_owner) TraceStage("no clipboard owner window");
    ClipboardSession clipboard;
    while (!clipboard.Open(g_owner)) SleepDispatching(10);
    ::EmptyClipboard();
    if (text.empty()) return;

    // The clipboard takes only movable memory.
    UniqueGlobalMemory block(::GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, text.size() + 1));
    if (!block) return;
    {
        GlobalLockScope lock(block.get());
        if (!lock.data()) return;
        char* bytes = static_cast<char*>(lock.data());
        std::memcpy(bytes, text.data(), text.size());
        bytes[text.size()] = '\0';
    }
    // Rendered at once, the text stays on the clipboard after the owner
    // window is gone. From a successful hand-over on the clipboard owns the
    // block; only a refused block is still ours to free.
    if (::SetClipboardData(CF_TEXT, block.get())) (void)block.release();
}
