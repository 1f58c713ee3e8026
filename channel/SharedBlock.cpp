#include "channel/SharedBlock.h"

#include "common/MessageWait.h"
#include "common/SystemExport.h"
#include "common/KernelResources.h"
#include "common/StageTrace.h"

#include <winternl.h>

#include <algorithm>
#include <cstring>

namespace {

namespace layout = SharedBlockLayout;

// Module-wide state, owned by the main window's lifetime: acquired by
// AttachSharedBlock during the window's creation, released when it closes.
UniqueMappedView g_view;
UniqueHandle g_channelMutex;
std::optional<SharedBlock> g_block;

// How many bytes from `view` on are mapped and readable. The host chooses the
// mapping's size and the view carries no header, so the only trustworthy
// bound is what the memory manager says (the mapping's size rounded up to pages).
std::size_t MappedSizeOf(const void* view) {
    MEMORY_BASIC_INFORMATION info{};
    if (::VirtualQuery(view, &info, sizeof info) == 0) return 0;
    return info.RegionSize;
}

std::string ReadBoundedString(const volatile std::uint8_t* first, std::size_t capacity, bool* terminated) {
    std::string text;
    for (std::size_t i = 0; i < capacity; ++i) {
        const char c = static_cast<char>(first[i]);
        if (c == '\0') {
            *terminated = true;
            return text;
        }
        text.push_back(c);
    }
    *terminated = false;
    return text;
}

}  // namespace

void SharedBlock::WriteHeartbeat(std::int32_t secondsSince1970) noexcept {
    // One aligned 32-bit store, little-endian as the host reads it.
    *reinterpret_cast<volatile std::int32_t*>(bytes_ + layout::Heartbeat) = secondsSince1970;
}

std::string SharedBlock::DocumentPath() const {
    bool terminated = false;
    return ReadBoundedString(bytes_ + layout::DocumentPath, layout::DocumentPathCapacity, &terminated);
}

void SharedBlock::CopyDocumentPath(PathBuffer& path) const noexcept {
    std::size_t length = 0;
    for (; length < layout::DocumentPathCapacity; ++length) {
        const char byte = static_cast<char>(bytes_[layout::DocumentPath + length]);
        if (byte == '\0') break;
        path[length] = byte;
    }
    path[length] = '\0';
}

std::optional<std::string> SharedBlock::MutexName() const {
    if (size_ <= layout::MutexName) return std::nullopt;
    bool terminated = false;
    std::string name = ReadBoundedString(bytes_ + layout::MutexName, size_ - layout::MutexName, &terminated);
    if (!terminated) return std::nullopt;
    return name;
}

bool AttachSharedBlock() {
    DetachSharedBlock();
    UniqueMappedView view;
    {
        // The mapping handle is closed at the end of this scope: the view
        // alone keeps the mapping alive.
        UniqueHandle mapping(::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, layout::MappingName));
        if (!mapping) return false;
        view.reset(::MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    }
    if (!view) return false;

    const std::size_t readable = MappedSizeOf(view.get());
    if (readable < layout::MinimumViewSize) return false;
    SharedBlock block(view.get(), readable);

    const std::optional<std::string> mutexName = block.MutexName();
    if (!mutexName) return false;
    UniqueHandle mutex(::OpenMutexA(MUTEX_ALL_ACCESS, FALSE, mutexName->c_str()));
    if (!mutex) return false;

    g_view = std::move(view);
    g_channelMutex = std::move(mutex);
    g_block.emplace(block);
    TraceStage("attached (%u bytes readable)", static_cast<unsigned>(readable));
    return true;
}

void DetachSharedBlock() {
    g_block.reset();
    g_view.reset();
    g_channelMutex.reset();
}

SharedBlock* AttachedSharedBlock() noexcept { return g_block ? &*g_block : nullptr; }

HANDLE ChannelMutex() noexcept { return g_channelMutex.get(); }

void ReleaseMutexFully() {
    // The thread may own the mutex more than once (the wait and any recursive
    // acquisition); only a failing release proves it owns nothing any more.
    while (::ReleaseMutex(g_channelMutex.get())) SleepDispatching(10);
}

bool OnlyOwnMutexHandleLeft() noexcept {
    using QueryObject = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    static const auto queryObject = NtdllExport<QueryObject>("NtQueryObject");
    if (!queryObject || !g_channelMutex) return false;
    PUBLIC_OBJECT_BASIC_INFORMATION information{};
    if (queryObject(g_channelMutex.get(), ObjectBasicInformation, &information, sizeof information, nullptr) != 0)
        return false;
    return information.HandleCount == 1;
}

bool HostAbsenceWatch::HostGone() noexcept {
    if (!OnlyOwnMutexHandleLeft()) {
        alone_ = false;
        return false;
    }
    const unsigned long long now = ::GetTickCount64();
    if (!alone_) {
        alone_ = true;
        aloneSince_ = now;
    }
    return now - aloneSince_ >= HostGoneAfterMs;
}
