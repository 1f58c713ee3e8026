// UTF-16 <-> UTF-8 (logs and scripts are UTF-8 JSON) and code pages for the test programs.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace testing_text {

inline std::string Narrow(std::wstring_view text, UINT codePage) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                          nullptr, nullptr);
    return out;
}

inline std::string Utf8(std::wstring_view text) { return Narrow(text, CP_UTF8); }

inline std::wstring Widen(std::string_view bytes, UINT codePage = CP_UTF8) {
    if (bytes.empty()) return {};
    const int size = ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()),
                                           nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), size);
    return out;
}

}  // namespace testing_text
