// The host's reads of the clipboard, each bounded.
#include "host/HostInternals.h"
#include "host/PreviewHost.h"

namespace previewhost {

using namespace internal;

namespace {

constexpr DWORD ClipboardRetryMs = 10;

// Opens the clipboard without a window, retrying while another program holds
// it: the worker (or Word) may still be closing it when the host gets here.
[[nodiscard]] bool OpenClipboardWithin(ClipboardSession& session, std::chrono::milliseconds bound) noexcept {
    const auto deadline = Clock::now() + bound;
    for (;;) {
        if (session.Open(nullptr)) return true;
        if (Clock::now() >= deadline) return false;
        ::Sleep(ClipboardRetryMs);
    }
}

}  // namespace

std::optional<std::string> ReadClipboardText(std::chrono::milliseconds bound) {
    ClipboardSession clipboard;
    if (!OpenClipboardWithin(clipboard, bound))
        throw HostError("cannot open the clipboard within " + std::to_string(bound.count()) + " ms");
    const HANDLE data = ::GetClipboardData(CF_TEXT);
    if (!data) return std::nullopt;
    GlobalLockScope lock(data);
    if (!lock.data()) return std::nullopt;
    const char* text = static_cast<const char*>(lock.data());
    const std::size_t capacity = ::GlobalSize(data);
    return std::string(text, std::find(text, text + capacity, '\0'));
}

void EmptyClipboardNow(std::chrono::milliseconds bound) {
    ClipboardSession clipboard;
    if (!OpenClipboardWithin(clipboard, bound))
        throw HostError("cannot open the clipboard within " + std::to_string(bound.count()) + " ms");
    if (!::EmptyClipboard()) throw HostError("cannot empty the clipboard: " + SystemMessage(::GetLastError()));
}

}  // namespace previewhost
