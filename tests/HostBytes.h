// Fills the host's own bytes of a block with a pattern and checks later that
// the worker changed none of them.
#pragma once

#include "channel/SharedBlockLayout.h"
#include "host/PreviewHost.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace testblock {

namespace layout = SharedBlockLayout;

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
            if (layout::IsWorkerOwned(i) || IsRequestField(channel, i)) continue;
            channel.Bytes()[i] = static_cast<std::uint8_t>(i * 13 + 5);
        }
        before_.assign(channel.Bytes(), channel.Bytes() + channel.Size());
    }

    // The host's own later writes (StopWaiting, HostActive) are expected.
    void HostWrote(std::size_t offset, std::uint8_t value) {
        if (offset < before_.size()) before_[offset] = value;
    }

    // Empty when only the worker's bytes changed; otherwise the first stray offset.
    std::string StrayWrite(const previewhost::HostChannel& channel) const {
        for (std::size_t i = 0; i < before_.size(); ++i) {
            if (layout::IsWorkerOwned(i)) continue;
            if (channel.Byte(i) != before_[i])
                return "host byte " + std::to_string(i) + " changed from " + std::to_string(before_[i]) + " to " +
                       std::to_string(channel.Byte(i));
        }
        return {};
    }

private:
    std::vector<std::uint8_t> before_;
};

}  // namespace testblock
