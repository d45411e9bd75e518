// Waiting for a process without blocking the programs that talk to this thread's windows.
#pragma once

#include <windows.h>

namespace recording {

// Waits until `object` is signalled or `timeoutMs` has passed (INFINITE: no limit). Meanwhile
// it serves the messages that other threads and processes send to this thread's windows,
// since a program that broadcasts with SendMessage before it ends (WM_SETTINGCHANGE after
// changing the environment is common) would otherwise wait for us while we wait for it.
// Posted messages, user input among them, stay queued until the caller's loop takes them.
// Returns WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitServingSentMessages(HANDLE object, DWORD timeoutMs);

}  // namespace recording
