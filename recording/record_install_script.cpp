// Recording an install script: the installer records it. The tool hands the installer the
// request through "Zor.ini" in the Windows directory, runs it, waits for it to end, and takes
// the request back.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/main_dialog.h"
#include "app/messages.h"
#include "recording/run_program.h"
#include "recording/windows_directory.h"
#include "res/message_ids.h"
#include "res/resource_ids.h"

namespace app {
namespace {

constexpr char kProductKey[] = "SOFTWARE\\Tessel\\Zor";
constexpr char kSection[] = "Setup";

// Reads a registry value's bytes as text, whatever its kind; empty when it cannot be read.
std::string ReadValueText(HKEY key, const char* name, DWORD capacity) {
    std::string text(capacity, '\0');
    DWORD size = capacity - 1;  // keep a terminator whatever the value holds
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text.data()),
                         &size) != ERROR_SUCCESS) {
        return std::string();
    }
    return std::string(text.c_str());
}

// Installed when the product's key names a non-empty install path and a type above 0.
bool ProductInstalled() {
    HKEY key = nullptr;
    // The installer is a 32-bit program, so its key lives in the 32-bit view.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ | KEY_WOW64_32KEY, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    bool installed = !ReadValueText(key, "installpath", 260).empty() &&
                     std::atoi(ReadValueText(key, "type", 10).c_str()) > 0;
    RegCloseKey(key);
    return installed;
}

// The system's error texts end in a line break; the message puts its own text around them.
std::wstring TrimTrailingSpace(std::wstring text) {
    size_t end = text.find_last_not_of(L" \t\r\n");
    text.erase(end == std::wstring::npos ? 0 : end + 1);
    return text;
}

}  // namespace

void MainDialog::RecordInstallScript() {
    // Another program can send the command while the installer runs, since the wait serves
    // sent messages; the recording under way is the one that counts.
    if (Busy()) {
        return;
    }
    if (ProductInstalled()) {
        ui::ShowMessage(Window(), IDS_ALREADY_INSTALLED, ui::kStopBox);
        return;
    }
    if (!ValidateInputs(ActionRecord)) {
        return;
    }
    const bool silent = IsDlgButtonChecked(Window(), IDC_SILENT) == BST_CHECKED;
    const std::string script = ItemText(IDC_SCRIPT);
    const std::string packagePath = ItemText(IDC_PACKAGE);

    char handOver[MAX_PATH] = {};
    recording::GetWindowsDir(handOver, sizeof(handOver));
    std::strncat(handOver, "\\Zor.ini", sizeof(handOver) - std::strlen(handOver) - 1);

    WritePrivateProfileStringA(kSection, "AutoScriptRec", "1", handOver);
    WritePrivateProfileStringA(kSection, "ScriptFile", script.c_str(), handOver);
    ShowWindow(Window(), SW_MINIMIZE);
    recording_ = true;
    const bool started = recording::RunProgram(packagePath.c_str(), nullptr, nullptr, true, 0,
                                               CREATE_NEW_PROCESS_GROUP, true, INFINITE) != 0;
    const DWORD startError = GetLastError();
    recording_ = false;
    // Nothing was recorded when the installer never ran, so the script gets no marker.
    if (started && silent) {
        WritePrivateProfileStringA(kSection, "Silence", "1", script.c_str());
    }
    // Every path that wrote the request takes it back.
    WritePrivateProfileStringA(kSection, "AutoScriptRec", nullptr, handOver);
    WritePrivateProfileStringA(kSection, "ScriptFile", nullptr, handOver);
    ShowWindow(Window(), SW_SHOWNORMAL);
    if (!started) {
        ui::ShowText(
            Window(),
            ui::FormatMessageId(
                IDS_CANNOT_START_INSTALLER,
                {packagePath, TrimTrailingSpace(ui::SystemErrorText(startError, packagePath))}),
            ui::kStopBox);
        return;
    }
    ui::ShowMessage(Window(), IDS_RECORDING_FINISHED, ui::kInformationBox);
}

}  // namespace app
