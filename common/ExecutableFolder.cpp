#include "common/ExecutableFolder.h"

#include <windows.h>

std::wstring ExecutableFolder() {
    // Long paths may exceed MAX_PATH: grow the buffer until the name fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
    const std::size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos) return {};
    path.resize(slash + 1);
    return path;
}
