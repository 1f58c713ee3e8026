// The host's shared request block as the worker sees it, and the module-wide
// state that ties it to the process: the mapped view and the channel mutex.
#pragma once

#include "channel/SharedBlockLayout.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// A bounded window on the mapped view. Every read goes to the shared memory
// afresh (the host changes these bytes from its own process at any moment);
// nothing is read beyond the part of the view that is mapped.
class SharedBlock {
public:
    SharedBlock(void* view, std::size_t readableSize) noexcept
        : bytes_(static_cast<volatile std::uint8_t*>(view)), size_(readableSize) {}

    bool Flag(std::size_t offset) const noexcept { return bytes_[offset] != 0; }
    void SetFlag(std::size_t offset, bool value) noexcept { bytes_[offset] = value ? 1 : 0; }
    std::uint8_t Byte(std::size_t offset) const noexcept { return bytes_[offset]; }
    void WriteHeartbeat(std::int32_t secondsSince1970) noexcept;

    // The document's path up to its NUL, never past the end of the request record.
    std::string DocumentPath() const;
    // The same into the caller's buffer, NUL-terminated: for the clean-up,
    // which must work with no memory to spare.
    using PathBuffer = char[SharedBlockLayout::DocumentPathCapacity + 1];
    void CopyDocumentPath(PathBuffer& path) const noexcept;
    // The mutex name up to its NUL; nullopt when no NUL lies before the end of the view.
    std::optional<std::string> MutexName() const;

    std::size_t ReadableSize() const noexcept { return size_; }

private:
    volatile std::uint8_t* bytes_;
    std::size_t size_;
};

// Opens the host's mapping and mutex. Returns false when there is no usable
// block: no mapping of that name, a view that cannot be mapped, a view too
// short for the mutex name, a name with no end, or no mutex of that name.
// In every such case nothing stays mapped or open.
[[nodiscard]] bool AttachSharedBlock();
// Unmaps the view and closes the mutex handle; harmless when not attached.
void DetachSharedBlock();

// The attached block, or nullptr when there is none.
SharedBlock* AttachedSharedBlock() noexcept;
// The host's mutex as opened by AttachSharedBlock (NULL when not attached).
HANDLE ChannelMutex() noexcept;

// Gives up every level of ownership this thread holds on the channel mutex:
// releases until a release fails, 10 ms apart. Harmless when nothing is owned.
void ReleaseMutexFully();

// True when, right now, nobody but this process holds a handle to the channel
// mutex (a HandleCount of exactly 1). False when it cannot be told, and for
// any other count: 0 cannot be right while the worker holds its own handle.
[[nodiscard]] bool OnlyOwnMutexHandleLeft() noexcept;

// Tells, poll by poll, when the host is gone for good. Nothing obliges the
// host to keep its mutex handle open while it takes part: it may close it and
// open the mutex again by name. So the host is gone only once the worker's
// own handle has been the only one for HostGoneAfterMs on end; a host that
// reopens the mutex meanwhile is still there, and one that is merely slow
// keeps its handle and is never taken for gone. One watch per wait.
class HostAbsenceWatch {
public:
    static constexpr unsigned long long HostGoneAfterMs = 2000;
    [[nodiscard]] bool HostGone() noexcept;

private:
    bool alone_ = false;
    unsigned long long aloneSince_ = 0;  // GetTickCount64
};
