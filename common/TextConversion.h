// Text between UTF-16 and 8-bit code pages: the system code page (CP_ACP),
// in which the block carries the document path and the clipboard's CF_TEXT
// holds the preview, and UTF-8 for logs and reports.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// `text` in `codePage`; characters the code page lacks become its default
// character. Empty when the text is empty or cannot be converted.
[[nodiscard]] std::string NarrowText(std::wstring_view text, UINT codePage);

// `text`, read as `codePage`, in UTF-16. Empty when the text is empty or
// cannot be converted.
[[nodiscard]] std::wstring WideText(std::string_view text, UINT codePage);

[[nodiscard]] inline std::string Utf8Text(std::wstring_view text) { return NarrowText(text, CP_UTF8); }
