// The one check that the worker wrote nothing but its own bytes, and a guard
// that fills the host's own bytes of a block with a pattern for it.
#pragma once

#include "channel/SharedBlockLayout.h"
#include "host/PreviewHost.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace testblock {

namespace layout = SharedBlockLayout;

// The bytes the worker may ever write, as the protocol lists them: 0-4
// (WordReady .. PreviewTaken), 18 (OpenRejected), 552-555 (Heartbeat).
// Written out here rather than taken from the layout, so that a field moved
// in the product is a stray write, not a moved whitelist.
inline constexpr bool IsWorkerOwned(std::size_t offset) {
    return offset <= 4 || offset == 18 || (offset >= 552 && offset <= 555);
}

// Whether the worker may write its own bytes of this block, or must leave
// every byte alone (a block it has to treat as absent).
enum class WorkerBytes { Writable, Untouchable };

// Empty when `now` differs from what the host left (`hostLeft`) only where
// the worker may write; otherwise the first stray write, described.
inline std::string FirstStrayWrite(const std::vector<std::uint8_t>& hostLeft, const volatile std::uint8_t* now,
                                   WorkerBytes worker = WorkerBytes::Writable) {
    for (std::size_t i = 0; i < hostLeft.size(); ++i) {
        if (now[i] == hostLeft[i] || (worker == WorkerBytes::Writable && IsWorkerOwned(i))) continue;
        return std::string(worker == WorkerBytes::Writable ? "host byte " : "byte ") + std::to_string(i) +
               " changed from " + std::to_string(hostLeft[i]) + " to " + std::to_string(now[i]);
    }
    return {};
}

// True for the bytes the host's request needs to keep as written.
inline bool IsRequestField(const previewhost::HostChannel& channel, std::size_t offset) {
    if (offset == layout::RequestKind || offset == layout::HostActive || offset == layout::StopWaiting) return true;
    if (offset >= layout::DeleteAlways && offset <= layout::DeleteKind3) return true;
    if (offset >= layout::DocumentPath && offset < layout::DocumentPath + layout::DocumentPathCapacity) {
        const char* path = reinterpret_cast<const char*>(const_cast<previewhost::HostChannel&>(channel).Bytes()) + layout::DocumentPath;
        return offset <= layout::DocumentPath + ::strnlen(path, layout::DocumentPathCapacity);
    }
    if (offset >= layout::MutexName) return offset <= layout::MutexName + channel.MutexName().size();
    return false;
}

// The host's bytes as they stood after the pattern was written.
class HostBytesGuard {
public:
    // Call from the host's beforeStart hook: the request is already in place.
    void FillAndRemember(previewhost::HostChannel& channel) {
        for (std::size_t i = 0; i < channel.Size(); ++i) {
            if (IsWorkerOwned(i) || IsRequestField(channel, i)) continue;
            channel.Bytes()[i] = static_cast<std::uint8_t>(i * 13 + 5);
        }
        before_.assign(channel.Bytes(), channel.Bytes() + channel.Size());
    }

    // The host's own later writes (StopWaiting, HostActive) are expected.
    void HostWrote(std::size_t offset, std::uint8_t value) {
        if (offset < before_.size()) before_[offset] = value;
    }

    // Empty when only the worker's bytes changed; otherwise the first stray offset.
    std::string StrayWrite(previewhost::HostChannel& channel) const { return FirstStrayWrite(before_, channel.Bytes()); }

private:
    std::vector<std::uint8_t> before_;
};

}  // namespace testblock
