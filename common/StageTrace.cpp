#include "common/StageTrace.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

void TraceStage(const char* format, ...) {
    char line[256] = "WordPreview: ";
    const int prefix = 13;
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + prefix, sizeof line - prefix - 1, format, args);
    va_end(args);
    const size_t length = std::strlen(line);
    line[length] = '\n';
    line[length + 1] = '\0';
    ::OutputDebugStringA(line);
}
