// The host's side of the block: the named mapping and mutex it creates, and
// its reads and writes of the request and the handshake bytes.
#include "host/HostInternals.h"
#include "host/PreviewHost.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace previewhost {

namespace Layout = SharedBlockLayout;
using namespace internal;

HostChannel HostChannel::Create(std::size_t mappingSize, std::string mutexName) {
    HostChannel channel;
    if (mappingSize == 0) throw HostError("the mapping size must not be 0");
    channel.mapping_.reset(::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                static_cast<DWORD>(mappingSize), Layout::MappingName));
    const DWORD error = ::GetLastError();
    if (!channel.mapping_)
        throw HostError(std::string("cannot create the mapping \"") + Layout::MappingName + "\": " + SystemMessage(error));
    if (error == ERROR_ALREADY_EXISTS)
        throw HostError(std::string("the mapping \"") + Layout::MappingName +
                        "\" already exists: another host or worker is still using it");
    channel.view_.reset(::MapViewOfFile(channel.mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, mappingSize));
    if (!channel.view_) throw HostError("cannot map the block: " + SystemMessage(::GetLastError()));
    channel.size_ = mappingSize;

    static std::atomic<unsigned> counter{0};
    const bool generated = mutexName.empty();
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (generated) {
            mutexName = "WordPreviewHost-" + std::to_string(::GetCurrentProcessId()) + "-" +
                        std::to_string(counter.fetch_add(1));
        }
        channel.mutex_.reset(::CreateMutexA(nullptr, FALSE, mutexName.c_str()));
        const DWORD mutexError = ::GetLastError();
        if (!channel.mutex_)
            throw HostError("cannot create the mutex \"" + mutexName + "\": " + SystemMessage(mutexError));
        // A generated name must be ours alone; a name the caller chose is used as it is.
        if (!generated || mutexError != ERROR_ALREADY_EXISTS) {
            channel.mutexName_ = mutexName;
            return channel;
        }
    }
    throw HostError("cannot find an unused mutex name");
}

void HostChannel::WriteRequest(const RequestFields& request) {
    if (request.documentPath.size() + 1 > Layout::DocumentPathCapacity)
        throw HostError("the document path is " + std::to_string(request.documentPath.size()) +
                        " bytes; the block holds at most " + std::to_string(Layout::DocumentPathCapacity - 1));
    std::uint8_t* block = Bytes();
    const auto fits = [&](std::size_t offset, std::size_t length) { return offset + length <= size_; };
    // A deliberately short block gets whichever fields fit: tests use it to see the worker turn it down.
    if (fits(Layout::DocumentPath, 1)) {
        const std::size_t room = std::min(request.documentPath.size() + 1, size_ - Layout::DocumentPath);
        std::memcpy(block + Layout::DocumentPath, request.documentPath.c_str(), room);
    }
    const auto put = [&](std::size_t offset, std::uint8_t value) {
        if (fits(offset, 1)) block[offset] = value;
    };
    put(Layout::RequestKind, request.requestKind);
    put(Layout::DeleteAlways, request.deleteAlways);
    put(Layout::DeleteKind1, request.deleteKind1);
    put(Layout::DeleteKind2, request.deleteKind2);
    put(Layout::DeleteKind3, request.deleteKind3);
    put(Layout::HostActive, request.hostActive);
    if (fits(Layout::MutexName, mutexName_.size() + 1))
        std::memcpy(block + Layout::MutexName, mutexName_.c_str(), mutexName_.size() + 1);
    put(Layout::RequestPending, request.requestPending);
}

std::uint8_t HostChannel::Byte(std::size_t offset) const {
    if (offset >= size_) throw std::out_of_range("offset " + std::to_string(offset) + " is past the block");
    // volatile: the worker changes these bytes behind the compiler's back.
    return static_cast<const volatile std::uint8_t*>(view_.get())[offset];
}

void HostChannel::SetByte(std::size_t offset, std::uint8_t value) {
    if (offset >= size_) throw std::out_of_range("offset " + std::to_string(offset) + " is past the block");
    static_cast<volatile std::uint8_t*>(view_.get())[offset] = value;
}

bool HostChannel::ReopenMutex() {
    mutex_.reset(::OpenMutexA(MUTEX_ALL_ACCESS, FALSE, mutexName_.c_str()));
    return static_cast<bool>(mutex_);
}

std::int32_t HostChannel::Heartbeat() const {
    if (Layout::Heartbeat + 4 > size_) throw std::out_of_range("the block ends before the heartbeat");
    // The field is 4-aligned in a page-aligned view, so one aligned load never tears.
    return *reinterpret_cast<const volatile std::int32_t*>(static_cast<const std::uint8_t*>(view_.get()) +
                                                           Layout::Heartbeat);
}

}  // namespace previewhost
