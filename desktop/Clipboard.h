// The one place where the worker writes text to the clipboard itself.
#pragma once

#include <windows.h>

#include <string_view>

// The window that opens the clipboard, and so owns what is put on it: the
// worker's main window, registered by the shell for as long as it exists.
// Without an owner, EmptyClipboard leaves the clipboard ownerless and
// SetClipboardData fails on Windows.
void SetClipboardOwnerWindow(HWND owner) noexcept;

// Replaces everything on the clipboard with `text` as CF_TEXT (system code
// page); an empty text leaves the clipboard empty. Waits, in 10 ms steps and
// with no limit, while another program holds the clipboard open. Needs no
// memory but the clipboard's own block: it also serves a worker that has run
// out of memory, and whatever happens, the clipboard's earlier contents are
// gone once it returns.
void PublishClipboardText(std::string_view text) noexcept;
