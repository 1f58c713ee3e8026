// Small helpers shared by the fuzzer and the soak: scratch documents, Word's
// state between requests, and the count of live workers.
#pragma once

#include "common/KernelResources.h"
#include "testing/ProcessTools.h"
#include "testing/TestSupport.h"

#include <cstdio>
#include <string>
#include <vector>

namespace stressrig {

// A folder of the rig's own under the temp folder, with a trailing backslash.
// In the system code page, in which the worker reads the path.
inline std::string ScratchFolder(const char* name) {
    const std::string folder = testsupport::TempPath(name) + "\\";
    (void)::CreateDirectoryW(testsupport::SystemWide(folder, CP_ACP).c_str(), nullptr);
    return folder;
}

[[nodiscard]] inline bool WriteDocument(const std::string& path, const std::string& text) {
    const UniqueFileHandle file(
        ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

inline std::size_t WorkersAlive() { return process_tools::ProcessIdsByName(L"WordPreview.exe").size(); }

inline std::string Hex(unsigned long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", value);
    return text;
}

}  // namespace stressrig
