// One short line per stage of a request, for whoever listens to debug output:
// a host that runs the worker as a debuggee, or DebugView (or any listener on
// the DBWIN buffer) already running when the worker starts. No file, no
// setting: silent, and nearly free, when nobody listens.
#pragma once

#if defined(__GNUC__)
#define STAGE_TRACE_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define STAGE_TRACE_FORMAT
#endif

// printf-style as wsprintf takes it (%s, %u, %lx and the like; no floating
// point), at most 1024 characters; the line goes out as "WordPreview: <text>\n".
void TraceStage(const char* format, ...) STAGE_TRACE_FORMAT;
