// fake-worker: a stand-in for WordPreview.exe that plays the worker's side of
// the handshake without Word and never deletes a document, so that the
// host's outcomes and failure messages can be tried on their own, and so that
// a ctest can show the block fuzzer failing a worker that is wrong:
//
//   set FAKE_WORKER=<mode> & preview-host --worker fake-worker.exe DOC
//
// Like the worker it leaves alone a block without a mutex, a block with no
// request pending and a host that is not active.
//
// Modes (the environment variable is inherited from the host):
//   preview (default)  copies "fake preview of <path>"
//   placeholder        copies the placeholder text
//   refused            sets OpenRejected, copies the placeholder text
//   no-word            leaves WordReady 0, copies the placeholder text
//   not-taken          exits at once, code 3, leaving RequestPending set
//   no-heartbeat       takes the request, never writes the heartbeat
//   hold-mutex         takes the mutex and never lets go
//   die-holding        exits (code 9) while owning the mutex, WorkerBusy still set
//   no-exit            never exits after the acknowledgement
// and one mode for each of the fuzzer's judges, each a worker wrong in one way
// (besides never deleting and never asking Word to open anything):
//   stray_writes       flips byte 5 of every block it takes, a byte of the host's
//   wrong_takes        sets WorkerBusy in every block it maps, one without a
//                      usable mutex name included
//   wrong_word_ready   leaves WordReady 0 though Word could be reached
//   wrong_paths        the default road: Word is never asked to open the path
#include "channel/Protocol.h"
#include "channel/SharedBlockLayout.h"
#include "common/KernelResources.h"
#include "testing/OtherProgramClipboard.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

namespace Layout = SharedBlockLayout;

volatile std::uint8_t* block = nullptr;

void Say(const std::string& line) { ::OutputDebugStringA(("WordPreview: " + line).c_str()); }

void PutOnClipboard(const std::string& text) {
    // A NULL-owner clipboard makes SetClipboardData fail on Windows: give it a window.
    const UniqueWindow owner = otherprogram::MessageWindow();
    ClipboardSession clipboard;
    for (int attempt = 0; attempt < 500 && !clipboard.Open(owner.get()); ++attempt) ::Sleep(10);
    (void)::EmptyClipboard();
    (void)otherprogram::SetClipboardText(text);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const char* env = std::getenv("FAKE_WORKER");
    const std::string mode = env ? env : "preview";
    Say("started, mode " + mode);

    UniqueHandle mapping(::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, Layout::MappingName));
    if (!mapping || mode == "not-taken") return 3;
    UniqueMappedView view(::MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view) return 3;
    block = static_cast<volatile std::uint8_t*>(view.get());
    MEMORY_BASIC_INFORMATION info{};
    const std::size_t size = ::VirtualQuery(view.get(), &info, sizeof info) ? info.RegionSize : 0;
    const char* bytes = static_cast<const char*>(view.get());
    if (mode == "wrong_takes" && size > Layout::WorkerBusy) block[Layout::WorkerBusy] = 1;
    if (size <= Layout::MutexName) return 0;
    const std::string path(bytes + Layout::DocumentPath, ::strnlen(bytes + Layout::DocumentPath, Layout::DocumentPathCapacity - 1));
    const std::size_t nameLength = ::strnlen(bytes + Layout::MutexName, size - Layout::MutexName);
    if (nameLength == size - Layout::MutexName) return 0;
    UniqueHandle mutex(::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, bytes + Layout::MutexName));
    if (!mutex || !block[Layout::RequestPending]) return 0;

    block[Layout::RequestPending] = 0;
    block[Layout::WorkerBusy] = 1;
    if (mode == "stray_writes") block[5] = static_cast<std::uint8_t>(block[5] ^ 0xFF);
    Say("request taken: " + path);
    if (!block[Layout::HostActive]) {
        block[Layout::WorkerBusy] = 0;
        return 0;
    }
    while (block[Layout::GoSignal] == 0) {
        if (mode != "no-heartbeat") {
            const std::int32_t now = static_cast<std::int32_t>(std::time(nullptr));
            *reinterpret_cast<volatile std::int32_t*>(block + Layout::Heartbeat) = now;
        }
        ::Sleep(10);
    }

    ::WaitForSingleObject(mutex.get(), INFINITE);
    block[Layout::GoSignal] = 0;
    Say("mutex owned");
    if (mode == "hold-mutex") ::Sleep(INFINITE);
    if (mode == "die-holding") ::ExitProcess(9);

    block[Layout::WordReady] = mode == "no-word" || mode == "wrong_word_ready" ? 0 : 1;
    if (mode == "refused") block[Layout::OpenRejected] = 1;
    const bool placeholder = mode == "placeholder" || mode == "refused" || mode == "no-word";
    PutOnClipboard(placeholder ? Protocol::PlaceholderText : "fake preview of " + path);
    Say("copied");
    ::ReleaseMutex(mutex.get());

    for (int waited = 0; waited < 10000 && !block[Layout::PreviewTaken] && !block[Layout::StopWaiting]; ++waited)
        ::Sleep(1);
    Say(block[Layout::PreviewTaken] ? "preview taken" : "stopped waiting");
    block[Layout::WorkerBusy] = 0;
    if (mode == "no-exit") ::Sleep(INFINITE);
    return 0;
}
