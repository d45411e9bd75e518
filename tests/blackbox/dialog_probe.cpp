// The probe's side, loaded into KitTailor's process by the driver's hook; see dialog_probe.h.
#include "blackbox/dialog_probe.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cwchar>
#include <string>

namespace {

// The drop record the shell hands a window that accepts files: DROPFILES, then the names.
HDROP MakeDrop(const probe::Request& request) {
    size_t characters = 0;
    while (request.files[characters] != L'\0' || request.files[characters + 1] != L'\0') {
        ++characters;
    }
    characters += 2;
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + characters * sizeof(wchar_t));
    auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    if (drop == nullptr) {
        return nullptr;
    }
    drop->pFiles = sizeof(DROPFILES);
    drop->pt = request.point;
    drop->fNC = FALSE;
    drop->fWide = TRUE;
    std::wmemcpy(reinterpret_cast<wchar_t*>(drop + 1), request.files, characters);
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

std::wstring ClassOf(HWND window) {
    wchar_t name[32] = {};
    GetClassNameW(window, name, 32);
    return name;
}

// Why a control's text does not fit it, or "" when it does. Texts are measured as the
// controls draw them: labels wrap at their width, buttons keep to one line beside their
// frame or check box.
std::wstring Misfit(HWND dialog, HWND control) {
    RECT client;
    GetClientRect(dialog, &client);
    RECT frame;
    GetWindowRect(control, &frame);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&frame), 2);
    if (frame.left < 0 || frame.top < 0 || frame.right > client.right ||
        frame.bottom > client.bottom) {
        return L"lies outside the dialog";
    }
    const std::wstring kind = ClassOf(control);
    const LONG style = GetWindowLongW(control, GWL_STYLE);
    const bool label = kind == L"Static" && (style & SS_TYPEMASK) <= SS_RIGHT;
    const bool button = kind == L"Button" && ((style & BS_TYPEMASK) <= BS_DEFPUSHBUTTON ||
                                              (style & BS_TYPEMASK) == BS_AUTOCHECKBOX);
    if (!label && !button) {
        return L"";  // edit fields scroll, icons are drawn to size
    }
    wchar_t text[1024] = {};
    GetWindowTextW(control, text, 1024);
    RECT room;
    GetClientRect(control, &room);
    int width = room.right;
    if (button) {
        int edge = 2 * GetSystemMetrics(SM_CXEDGE);
        width -= (style & BS_TYPEMASK) == BS_AUTOCHECKBOX ? GetSystemMetrics(SM_CXMENUCHECK) + edge
                                                          : edge;
    }
    HDC dc = GetDC(control);
    HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    RECT need{0, 0, width, 0};
    DrawTextW(dc, text, -1, &need,
              DT_CALCRECT | DT_EXPANDTABS | (label ? DT_WORDBREAK : DT_SINGLELINE));
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    if (need.right > width || need.bottom > room.bottom) {
        wchar_t why[128];
        wsprintfW(why, L"needs %ldx%ld pixels, has %dx%ld", need.right, need.bottom, width,
                  room.bottom);
        return why;
    }
    return L"";
}

void CheckLayout(HWND dialog, probe::Request& request) {
    request.report[0] = L'\0';
    HDC screen = GetDC(dialog);
    request.dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(dialog, screen);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    RECT frame;
    GetWindowRect(dialog, &frame);
    if (GetMonitorInfoW(MonitorFromWindow(dialog, MONITOR_DEFAULTTONEAREST), &monitor) &&
        (frame.left < monitor.rcWork.left || frame.top < monitor.rcWork.top ||
         frame.right > monitor.rcWork.right || frame.bottom > monitor.rcWork.bottom)) {
        wsprintfW(request.report, L"the dialog (%ldx%ld pixels) does not fit the screen",
                  frame.right - frame.left, frame.bottom - frame.top);
        return;
    }
    for (HWND control = GetWindow(dialog, GW_CHILD); control != nullptr;
         control = GetWindow(control, GW_HWNDNEXT)) {
        if (!IsWindowVisible(control)) {
            continue;
        }
        std::wstring why = Misfit(dialog, control);
        if (!why.empty()) {
            wchar_t text[256] = {};
            GetWindowTextW(control, text, 256);
            std::wstring report =
                L"control " + std::to_wstring(GetDlgCtrlID(control)) + L" \"" + text + L"\" " + why;
            lstrcpynW(request.report, report.c_str(), 1024);
            return;
        }
    }
}

void Serve(MSG& message) {
    wchar_t name[64];
    probe::SharedName(GetCurrentProcessId(), name);
    HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name);
    auto* request = mapping != nullptr
                        ? static_cast<probe::Request*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS,
                                                                     0, 0, sizeof(probe::Request)))
                        : nullptr;
    // Whatever happens, the probe's own message goes no further.
    message.message = WM_NULL;
    if (request != nullptr) {
        if (request->kind == probe::kDrop) {
            // The message becomes the drop itself, delivered to the dialog as the shell's is.
            if (HDROP drop = MakeDrop(*request)) {
                message.message = WM_DROPFILES;
                message.wParam = reinterpret_cast<WPARAM>(drop);
                message.lParam = 0;
            }
        } else if (request->kind == probe::kCheckLayout) {
            CheckLayout(message.hwnd, *request);
        }
        InterlockedExchange(&request->done, 1);
        UnmapViewOfFile(request);
    }
    if (mapping != nullptr) {
        CloseHandle(mapping);
    }
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK
    ProbeHook(int code, WPARAM removal, LPARAM parameter) {
    static const UINT probeMessage = RegisterWindowMessageW(probe::kProbeMessageName);
    auto* message = reinterpret_cast<MSG*>(parameter);
    if (code == HC_ACTION && removal == PM_REMOVE && message->message == probeMessage) {
        Serve(*message);
    }
    return CallNextHookEx(nullptr, code, removal, parameter);
}
