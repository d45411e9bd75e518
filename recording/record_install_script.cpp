#include "recording/record_install_script.h"

#include <cstdlib>
#include <string>

#include "recording/run_program.h"
#include "recording/windows_directory.h"

namespace recording {
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

std::string HandOverPath() {
    char windowsDir[MAX_PATH] = {};
    GetWindowsDir(windowsDir, sizeof(windowsDir));
    return std::string(windowsDir) + "\\Zor.ini";
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

}  // namespace

void RecordInstallScript(RecordingUser& user) {
    if (ProductInstalled()) {
        user.TellAlreadyInstalled();
        return;
    }
    const std::optional<RecordRequest> request = user.AskRequest();
    if (!request) {
        return;
    }
    const std::string handOver = HandOverPath();
    // A request the installer cannot read would have it install for real instead of recording.
    auto takeBack = [&handOver] {
        WritePrivateProfileStringA(kSection, "AutoScriptRec", nullptr, handOver.c_str());
        WritePrivateProfileStringA(kSection, "ScriptFile", nullptr, handOver.c_str());
    };
    if (!WritePrivateProfileStringA(kSection, "AutoScriptRec", "1", handOver.c_str()) ||
        !WritePrivateProfileStringA(kSection, "ScriptFile", request->script.c_str(),
                                    handOver.c_str())) {
        const DWORD writeError = GetLastError();
        takeBack();
        user.TellCannotHandOver(handOver, writeError);
        return;
    }
    user.InstallerStarting();
    const bool started = RunProgram(request->installer.c_str(), nullptr, nullptr, true, 0,
                                    CREATE_NEW_PROCESS_GROUP, true, INFINITE) != 0;
    const DWORD startError = GetLastError();
    // Nothing was recorded when the installer never ran, so the script gets no marker.
    if (started && request->silent) {
        WritePrivateProfileStringA(kSection, "Silence", "1", request->script.c_str());
    }
    // Every path that wrote the request takes it back.
    takeBack();
    user.InstallerEnded();
    if (!started) {
        user.TellCannotStart(request->installer, startError);
        return;
    }
    user.TellFinished();
}

}  // namespace recording
