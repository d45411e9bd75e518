// A probe that drive_kittailor puts into KitTailor's dialog thread with a WH_GETMESSAGE
// hook, to do there what only the dialog's own process can: hand the dialog a dropped file
// as the shell does, with a real HDROP of that process, and measure the dialog's texts with
// its own fonts. The driver writes a request into a shared memory block named after
// KitTailor's process and posts kProbeMessageName to the dialog; the probe acts on it and
// sets `done`.
#pragma once

#include <windows.h>

namespace probe {

constexpr wchar_t kProbeMessageName[] = L"KitTailorTestProbe";
constexpr char kHookName[] = "ProbeHook";

enum Kind : LONG { kDrop = 1, kCheckLayout = 2 };

struct Request {
    LONG kind;
    POINT point;           // kDrop: where, in the dialog's client coordinates
    wchar_t files[2048];   // kDrop: the names, each ending in a zero, then one more zero
    volatile LONG done;    // set by the probe once it has acted
    wchar_t report[1024];  // kCheckLayout: the first control whose text does not fit, or ""
    LONG dpi;              // kCheckLayout: the dots per inch the dialog is drawn for
};

// The shared block's name for the process that holds the dialog.
inline void SharedName(DWORD processId, wchar_t (&name)[64]) {
    wsprintfW(name, L"Local\\KitTailorTestProbe-%lu", processId);
}

}  // namespace probe
