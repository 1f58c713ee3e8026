#include "bench/DebugOutputListener.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace bench {

DebugOutputListener::DebugOutputListener() {
    bufferReady_.reset(::CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"));
    dataReady_.reset(::CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"));
    mapping_.reset(::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER"));
    if (mapping_) view_.reset(::MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 4096));
    if (!bufferReady_ || !dataReady_ || !view_) return;
    thread_ = std::thread([this] { Listen(); });
}

DebugOutputListener::~DebugOutputListener() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void DebugOutputListener::Rebase() {
    std::lock_guard<std::mutex> lock(lock_);
    lines_.clear();
    epoch_ = Clock::now();
}

std::vector<DebugOutputListener::Line> DebugOutputListener::Lines() {
    std::lock_guard<std::mutex> lock(lock_);
    return lines_;
}

void DebugOutputListener::Listen() {
    const char* data = static_cast<const char*>(view_.get());
    while (!stop_) {
        ::SetEvent(bufferReady_.get());
        if (::WaitForSingleObject(dataReady_.get(), 20) != WAIT_OBJECT_0) continue;
        const Clock::time_point now = Clock::now();
        std::string text(data + sizeof(DWORD), ::strnlen(data + sizeof(DWORD), 4096 - sizeof(DWORD)));
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        std::lock_guard<std::mutex> lock(lock_);
        lines_.push_back(Line{std::chrono::duration<double, std::milli>(now - epoch_).count(), std::move(text)});
    }
}

double LineTime(const std::vector<DebugOutputListener::Line>& lines, const std::string& text) {
    for (const auto& line : lines)
        if (line.text.find(text) != std::string::npos) return line.ms;
    return std::nan("");
}

}  // namespace bench
