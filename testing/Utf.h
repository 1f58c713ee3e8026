// UTF-16 <-> UTF-8 for the test programs (logs and scripts are UTF-8 JSON).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace testing_text {

inline std::string Utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                          nullptr, nullptr);
    return out;
}

inline std::wstring Widen(std::string_view bytes, UINT codePage = CP_UTF8) {
    if (bytes.empty()) return {};
    const int size = ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()),
                                           nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), size);
    return out;
}

}  // namespace testing_text
