#include "common/StageTrace.h"

#include "common/KernelResources.h"

#include <cstdarg>

namespace {

// -1 until the first line: whether a DebugView-style listener had its buffer
// up by then.
int g_bufferListening = -1;

// Each OutputDebugStringA raises an exception and looks for a listener's
// buffer; with nobody listening that is a dozen wasted kernel round trips per
// request. A debugger (the reference host's trace) is asked about on every
// line, a listener's buffer once: one started during the worker's short life
// misses its lines.
bool SomeoneListens() noexcept {
    if (::IsDebuggerPresent()) return true;
    if (g_bufferListening < 0) {
        const UniqueHandle buffer(::OpenFileMappingA(FILE_MAP_READ, FALSE, "DBWIN_BUFFER"));
        g_bufferListening = buffer ? 1 : 0;
    }
    return g_bufferListening == 1;
}

}  // namespace

void TraceStage(const char* format, ...) {
    if (!SomeoneListens()) return;
    // wvsprintfA writes at most 1024 characters and needs no C runtime.
    char line[1024 + 16] = "WordPreview: ";
    const int prefix = 13;
    va_list args;
    va_start(args, format);
    const int length = prefix + ::wvsprintfA(line + prefix, format, args);
    va_end(args);
    line[length] = '\n';
    line[length + 1] = '\0';
    ::OutputDebugStringA(line);
}
