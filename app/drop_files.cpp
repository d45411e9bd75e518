#include "app/drop_files.h"

#include <shellapi.h>

#include "app/main_dialog.h"
#include "res/resource_ids.h"

namespace app {
namespace {

constexpr DWORD kFilterAllow = 1;  // MSGFLT_ALLOW
using ChangeMessageFilterFunction = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);

bool IsPathField(int id) {
    return id == IDC_PACKAGE || id == IDC_SCRIPT || id == IDC_OUTPUT;
}

// Case aside: a package named SETUP.EXE still goes to the package field, where validation
// tells the user what is wrong with it.
bool NamesAProgram(const std::wstring& path) {
    return path.size() >= 4 &&
           CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, path.c_str() + path.size() - 4, 4,
                          L".exe", 4) == CSTR_EQUAL;
}

// The field a dropped file goes to: the path field it was dropped on (`fieldUnderDrop`,
// 0 for anywhere else); otherwise a package into the package field while that is empty,
// and anything else into the script field.
int FieldForDrop(int fieldUnderDrop, const std::wstring& path, bool packageFieldEmpty) {
    if (IsPathField(fieldUnderDrop)) {
        return fieldUnderDrop;
    }
    return NamesAProgram(path) && packageFieldEmpty ? IDC_PACKAGE : IDC_SCRIPT;
}

}  // namespace

bool AllowDropsFromLowerIntegrity(HWND window) {
    // Through a plain function pointer type first: the two function types do not match.
    auto change = reinterpret_cast<ChangeMessageFilterFunction>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "ChangeWindowMessageFilterEx")));
    if (change == nullptr) {
        return false;
    }
    static const UINT kDropMessages[] = {WM_DROPFILES, WM_COPYDATA, kCopyGlobalDataMessage};
    bool allowed = true;
    for (UINT message : kDropMessages) {
        allowed = change(window, message, kFilterAllow, nullptr) && allowed;
    }
    return allowed;
}

void MainDialog::AcceptDroppedFiles() {
    DragAcceptFiles(Window(), TRUE);
    // Nothing to tell the user where the system refuses: drops from the same level still work.
    AllowDropsFromLowerIntegrity(Window());
}

bool MainDialog::OnDropFiles(WPARAM wParam, LPARAM, LRESULT& result) {
    HDROP drop = reinterpret_cast<HDROP>(wParam);
    result = 0;
    // While a job runs its fields are switched off and must keep what the job was given.
    const UINT length = Busy() ? 0 : DragQueryFileW(drop, 0, nullptr, 0);
    if (length != 0) {
        // Of several files, the first.
        std::wstring path(length + 1, L'\0');
        DragQueryFileW(drop, 0, path.data(), length + 1);
        path.resize(length);
        POINT point{};
        int fieldUnderDrop = 0;
        if (DragQueryPoint(drop, &point)) {  // in the client area
            HWND child = ChildWindowFromPointEx(Window(), point, CWP_SKIPINVISIBLE);
            fieldUnderDrop = child != nullptr && child != Window() ? GetDlgCtrlID(child) : 0;
        }
        bool packageEmpty = GetWindowTextLengthW(Item(IDC_PACKAGE)) == 0;
        SetItemText(FieldForDrop(fieldUnderDrop, path, packageEmpty), path);
    }
    DragFinish(drop);
    return true;
}

}  // namespace app
