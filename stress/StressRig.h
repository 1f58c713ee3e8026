// Small helpers shared by the fuzzer and the soak: scratch documents, Word's
// state between requests, and the count of live workers.
#pragma once

#include "common/WinResources.h"
#include "testing/ProcessTools.h"
#include "testing/TestSupport.h"

#include <cstdio>
#include <string>
#include <vector>

namespace stressrig {

// A folder of the rig's own under the temp folder, with a trailing backslash.
// Narrow on purpose: the worker reads the path in the system code page.
inline std::string ScratchFolder(const char* name) {
    char temp[MAX_PATH] = "";
    ::GetTempPathA(MAX_PATH, temp);
    std::string folder = std::string(temp) + name + "\\";
    ::CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

inline bool FileExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline bool WriteDocument(const std::string& path, const std::string& text) {
    const HANDLE raw = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) return false;
    const UniqueHandle file(raw);
    DWORD written = 0;
    return ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

inline std::size_t WorkersAlive() { return process_tools::ProcessIdsByName(L"WordPreview.exe").size(); }

// One warm Word double and nothing else: a fresh rpcss too, so that no dead
// server's registration lingers from an earlier request.
inline DWORD FreshWarmWord() {
    testsupport::KillAllWordDoubles();
    testsupport::RegisterWordDouble();
    return testsupport::StartWarmWord();
}

inline std::string Hex(unsigned long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", value);
    return text;
}

}  // namespace stressrig
