#include "app/dialog.h"

#include <vector>

namespace app {
namespace {

// Messages whose answer a dialog procedure returns itself instead of through DWLP_MSGRESULT.
bool AnswersDirectly(UINT message) {
    switch (message) {
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
        case WM_INITDIALOG:
            return true;
        default:
            return false;
    }
}

// Centres the window over its owner, or over the screen's work area when it has none.
void Centre(HWND window) {
    RECT area;
    HWND owner = GetWindow(window, GW_OWNER);
    if (owner == nullptr || !IsWindowVisible(owner) || IsIconic(owner)) {
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    } else {
        GetWindowRect(owner, &area);
    }
    RECT own;
    GetWindowRect(window, &own);
    int width = own.right - own.left;
    int height = own.bottom - own.top;
    int x = area.left + (area.right - area.left - width) / 2;
    int y = area.top + (area.bottom - area.top - height) / 2;
    SetWindowPos(window, nullptr, x > 0 ? x : 0, y > 0 ? y : 0, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

INT_PTR Dialog::DoModal(HWND parent) {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId_), parent,
                           &Dialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

void Dialog::EndDialog(INT_PTR result) {
    ::EndDialog(window_, result);
}

namespace {

std::string ToCodePage(const std::wstring& text, bool* lossless) {
    BOOL usedDefault = FALSE;
    const int wideLength = static_cast<int>(text.size());
    int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), wideLength, nullptr,
                                   0, nullptr, &usedDefault);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), wideLength, out.data(), size,
                            nullptr, &usedDefault);
    }
    *lossless = !usedDefault && (size > 0 || text.empty());
    return out;
}

}  // namespace

std::wstring Dialog::WideItemText(int controlId) const {
    HWND item = Item(controlId);
    int length = GetWindowTextLengthW(item);
    std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
    GetWindowTextW(item, text.data(), length + 1);
    return std::wstring(text.data());
}

std::string Dialog::ItemText(int controlId) const {
    bool lossless = false;
    return ToCodePage(WideItemText(controlId), &lossless);
}

bool Dialog::ItemFitsCodePage(int controlId) const {
    bool lossless = false;
    ToCodePage(WideItemText(controlId), &lossless);
    return lossless;
}

void Dialog::SetItemText(int controlId, const std::string& ansi) {
    SetDlgItemTextA(window_, controlId, ansi.c_str());
}

void Dialog::SetItemText(int controlId, const std::wstring& text) {
    SetDlgItemTextW(window_, controlId, text.c_str());
}

INT_PTR CALLBACK Dialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Dialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Dialog*>(lParam);
        self->window_ = window;
        SetWindowLongPtrW(window, DWLP_USER, lParam);
    } else {
        self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(window, DWLP_USER));
    }
    if (self == nullptr) {
        return FALSE;
    }
    // Nothing may unwind into the platform's code: a handler that throws has done nothing.
    try {
        return self->Dispatch(message, wParam, lParam);
    } catch (...) {
        return FALSE;
    }
}

INT_PTR Dialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        Centre(window_);
        return OnInitDialog();
    }
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        UINT id = LOWORD(wParam);
        for (const MapEntry& entry : MessageMap()) {
            if (entry.message == WM_COMMAND && entry.controlId == id) {
                (this->*entry.onCommand)();
                return TRUE;
            }
        }
        if (id == IDOK) {
            OnOK();
            return TRUE;
        }
        if (id == IDCANCEL) {
            OnCancel();
            return TRUE;
        }
        return FALSE;
    }
    for (const MapEntry& entry : MessageMap()) {
        if (entry.message == message && entry.onMessage != nullptr) {
            LRESULT result = 0;
            if (!(this->*entry.onMessage)(wParam, lParam, result)) {
                return FALSE;
            }
            if (AnswersDirectly(message)) {
                return static_cast<INT_PTR>(result);
            }
            SetWindowLongPtrW(window_, DWLP_MSGRESULT, result);
            return TRUE;
        }
    }
    return FALSE;
}

}  // namespace app
