// A host that stops half-way: it plays the host's side of one request up to a
// chosen stage, signals a named event, and then does nothing until it is
// killed. Tests kill it there to see the worker notice that its host is gone.
//
//   host_stand_in <document path> <stage> <event name> [--delete-always]
//
// Stages:
//   heartbeat  the worker beats its heartbeat; GoSignal is never set
//   mutex      the host holds the mutex and has set GoSignal
//   working    the host has set GoSignal and the worker has taken the mutex
//   handover   the host has the mutex back after the hand-over and has read
//              the clipboard, but never acknowledges
#include "host/PreviewHost.h"
#include "testing/TestSupport.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace layout = SharedBlockLayout;

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "host_stand_in: %s\n", what);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return Fail("usage: host_stand_in <document> heartbeat|mutex|working|handover <event> [--delete-always]");
    const std::string stage = argv[2];
    UniqueHandle reached(::OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3]));
    if (!reached) return Fail("no such event");

    auto channel = previewhost::HostChannel::Create(4096);
    previewhost::RequestFields request;
    request.documentPath = argv[1];
    request.deleteAlways = argc > 4 && std::strcmp(argv[4], "--delete-always") == 0;
    channel.WriteRequest(request);
    const auto worker = previewhost::WorkerProcess::Start(testsupport::WorkerPath());
    if (!testsupport::WaitUntil([&] { return channel.Heartbeat() != 0; })) return Fail("no heartbeat");

    if (stage == "mutex") {
        if (::WaitForSingleObject(channel.Mutex(), 30000) != WAIT_OBJECT_0) return Fail("mutex not free");
        channel.SetByte(layout::GoSignal, 1);
    } else if (stage == "working") {
        channel.SetByte(layout::GoSignal, 1);
        if (!testsupport::WaitUntil([&] { return channel.Byte(layout::GoSignal) == 0; })) return Fail("the worker took no mutex");
    } else if (stage == "handover") {
        channel.SetByte(layout::GoSignal, 1);
        if (!testsupport::WaitUntil([&] { return channel.Byte(layout::GoSignal) == 0; })) return Fail("the worker took no mutex");
        if (::WaitForSingleObject(channel.Mutex(), 30000) != WAIT_OBJECT_0) return Fail("no hand-over");
        (void)previewhost::ReadClipboardText();
    } else if (stage != "heartbeat") {
        return Fail("unknown stage");
    }
    (void)::SetEvent(reached.get());
    for (;;) ::Sleep(INFINITE);
}
