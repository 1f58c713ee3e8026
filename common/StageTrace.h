// One short line per stage of a request, for whoever listens to debug output
// (DebugView on Windows, WINEDEBUG=+debugstr under Wine, or a host that runs
// the worker as a debuggee). No file, no setting: silent when nobody listens.
#pragma once

#if defined(__GNUC__)
#define STAGE_TRACE_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define STAGE_TRACE_FORMAT
#endif

// printf-style; the line goes out as "WordPreview: <text>\n".
void TraceStage(const char* format, ...) STAGE_TRACE_FORMAT;
