// The one place where the worker writes text to the clipboard itself.
#pragma once

#include <string>

// Replaces everything on the clipboard with `text` as CF_TEXT (system code
// page); an empty text leaves the clipboard empty. Waits, in 10 ms steps and
// with no limit, while another program holds the clipboard open.
void PublishClipboardText(std::string text);
