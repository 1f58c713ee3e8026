// Word's main window and processes, reached through the window manager and
// the operating system's tools rather than through automation.
#pragma once

// Minimises the top-level window titled exactly "Microsoft Word", whatever its class.
void MinimiseWordByTitle();
// Minimises Word's own main window (class "OpusApp") when it is titled exactly "Microsoft Word".
void MinimiseWordByClass();
// The command KillWordInstances runs. The image name is quoted on purpose.
inline constexpr char KillWordCommand[] = "taskkill.exe /f /t /im \"winword.exe\"";
// Ends every winword.exe process by force, with its children; waits for the command.
void KillWordInstances();
