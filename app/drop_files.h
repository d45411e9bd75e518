// Files dropped on the dialog from Explorer: the field they go to, and the message filter
// that lets them reach the elevated dialog at all.
#pragma once

#include <windows.h>

#include <string>

namespace app {

// WM_COPYGLOBALDATA, the window message Windows uses to copy a drop's data between
// processes; the SDK names it only in its internal headers.
constexpr UINT kCopyGlobalDataMessage = 0x0049;

// User Interface Privilege Isolation silently discards a drop that a program of lower
// integrity, such as the user's own Explorer, makes on an elevated window, unless the window
// lets WM_DROPFILES, WM_COPYDATA and WM_COPYGLOBALDATA through. The call is looked up at run
// time, so the program still starts where it does not exist. True when all three are let
// through; false where the system refuses or has no such call (before Windows 7).
bool AllowDropsFromLowerIntegrity(HWND window);

}  // namespace app
