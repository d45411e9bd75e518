#include "tools/zor_setup/setup_window.h"

#include <sstream>

#include "tools/zor_setup/setup_log.h"
#include "tools/zor_setup/zor_setup_ids.h"

namespace zor_setup {
namespace {

constexpr const char* kDefaultInstallFolder = "C:\\Program Files\\Zor";

struct Component {
    int controlId;
    const char* name;
    bool chosenAtFirst;
};

constexpr Component kComponents[] = {
    {IDC_COMPONENT_CLIENT, "Client", true},
    {IDC_COMPONENT_CONSOLE, "Console", false},
    {IDC_COMPONENT_DOCUMENTATION, "Documentation", true},
};

struct WindowState {
    WindowPurpose purpose;
    InstallChoices* choices;
};

void ShowStartingValues(HWND window, WindowPurpose purpose) {
    SetWindowTextA(window, purpose == WindowPurpose::RecordScript
                               ? "Zor Setup - Recording install script"
                               : "Zor Setup");
    SetDlgItemTextA(window, IDC_INSTALL_FOLDER, kDefaultInstallFolder);
    for (const Component& component : kComponents) {
        CheckDlgButton(window, component.controlId,
                       component.chosenAtFirst ? BST_CHECKED : BST_UNCHECKED);
    }
    CheckRadioButton(window, IDC_TYPE_CLIENT, IDC_TYPE_SERVER, IDC_TYPE_CLIENT);
}

// False, with the window left open, when no install folder was given.
bool TakeChoices(HWND window, InstallChoices& choices) {
    char folder[MAX_PATH + 1] = {};
    GetDlgItemTextA(window, IDC_INSTALL_FOLDER, folder, sizeof(folder));
    if (folder[0] == '\0') {
        MessageBoxA(window, "Please enter the folder to install Zor into.", "Zor Setup",
                    MB_OK | MB_ICONWARNING);
        SetFocus(GetDlgItem(window, IDC_INSTALL_FOLDER));
        return false;
    }
    choices.installPath = folder;
    const bool server = IsDlgButtonChecked(window, IDC_TYPE_SERVER) == BST_CHECKED;
    choices.type.assign(1, server ? '2' : '1');
    const char* separator = "";
    std::ostringstream components;
    for (const Component& component : kComponents) {
        if (IsDlgButtonChecked(window, component.controlId) == BST_CHECKED) {
            components << separator << component.name;
            separator = ",";
        }
    }
    choices.components = components.str();
    return true;
}

INT_PTR CALLBACK SetupWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<WindowState*>(GetWindowLongPtrA(window, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG:
            state = reinterpret_cast<WindowState*>(lParam);
            SetWindowLongPtrA(window, DWLP_USER, lParam);
            ShowStartingValues(window, state->purpose);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK && TakeChoices(window, *state->choices)) {
                EndDialog(window, IDOK);
            } else if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(window, IDCANCEL);
            }
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

bool AskInstallChoices(HINSTANCE instance, WindowPurpose purpose, InstallChoices& choices) {
    WindowState state{purpose, &choices};
    INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SETUP), nullptr,
                                     SetupWindowProc, reinterpret_cast<LPARAM>(&state));
    if (result == -1) {
        LogLine("cannot show the setup window (error %lu)", GetLastError());
    }
    return result == IDOK;
}

}  // namespace zor_setup
