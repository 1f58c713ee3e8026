#include "common/SystemMessage.h"

#include "common/KernelResources.h"

std::string SystemMessageText(DWORD code) {
    UniqueLocalMemory buffer;
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument receives the
    // address of the memory the system allocated.
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
        reinterpret_cast<char*>(buffer.put()), 0, nullptr);
    std::string text = length && buffer ? std::string(static_cast<const char*>(buffer.get()), length) : std::string();
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}
