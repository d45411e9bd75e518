// Files dropped on the dialog from Explorer: the field they go to, and the message filter
// that lets them reach the elevated dialog at all.
#pragma once

#include <windows.h>

#include <array>
#include <string>

namespace app {

// WM_COPYGLOBALDATA, the window message Windows uses to copy a drop's data between
// processes; the SDK names it only in its internal headers.
constexpr UINT kCopyGlobalDataMessage = 0x0049;

// What one call that lets a message through the window's message filter answered.
struct MessageFilterResult {
    UINT message = 0;
    bool available = false;  // false: the system has no such call (before Windows 7)
    bool allowed = false;    // the call succeeded
};
using DropFilterReport = std::array<MessageFilterResult, 3>;

// User Interface Privilege Isolation silently discards a drop that a program of lower
// integrity, such as the user's own Explorer, makes on an elevated window, unless the window
// lets WM_DROPFILES, WM_COPYDATA and WM_COPYGLOBALDATA through. The call is looked up at run
// time, so the program still starts where it does not exist.
DropFilterReport AllowDropsFromLowerIntegrity(HWND window);

// The field a dropped file goes to: the path field it was dropped on (`fieldUnderDrop`,
// 0 for anywhere else); otherwise a package into the package field while that is empty,
// and anything else into the script field.
int FieldForDrop(int fieldUnderDrop, const std::wstring& path, bool packageFieldEmpty);

}  // namespace app
