// Starting another program, optionally in the folder it lives in, optionally waiting for it.
#pragma once

#include <windows.h>

namespace recording {

constexpr size_t kWorkingDirectorySize = 260;

// 1: the process was created (and a wait ended other than by time-out); -1: it was created
// and the time-out passed first, the process goes on running; 0: no process was created,
// also when derivation has nothing to derive from or a directory does not fit 260 bytes, and
// GetLastError then tells why.
// With `deriveDirectory` and no `workingDirectory`, the program starts in the folder of
// `application`, or else of the program that `commandLine` names; a bare program name has no
// folder of its own, and it starts in the current one, where it was found. A `showWindow` of
// 0 makes no request. While it waits it serves the messages other programs send to this
// thread's windows (see WaitServingSentMessages). Both process handles are closed before it
// returns.
int RunProgram(const char* application, char* commandLine, const char* workingDirectory,
               bool deriveDirectory, int showWindow, DWORD creationFlags, bool wait,
               DWORD timeoutMs);

// The folder part of a program path or command line, its closing backslash kept, or the empty
// text when it holds no backslash: leading blanks and one double quote are skipped. False
// when the text does not fit `directory`.
bool DeriveWorkingDirectory(const char* source, char (&directory)[kWorkingDirectorySize]);

}  // namespace recording
