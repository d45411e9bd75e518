// A stand-in for the product's installer, for trying KitTailor end to end. It runs in one of
// three ways, chosen in this order:
//  - recording: the Windows directory's Zor.ini asks for it ([Setup] AutoScriptRec=1); the
//    setup window's choices go into the install script named by ScriptFile, nothing is
//    installed;
//  - silent: the package holds an install script (auto*.ins); it installs with the script's
//    values and shows nothing;
//  - interactive: it installs with the values chosen in the setup window.
// Every run leaves its account in %TEMP%\ZorSetup.log.
#include <windows.h>

#include <string>

#include "recording/windows_directory.h"
#include "tools/zor_setup/install.h"
#include "tools/zor_setup/install_script.h"
#include "tools/zor_setup/package_members.h"
#include "tools/zor_setup/setup_log.h"
#include "tools/zor_setup/setup_window.h"

namespace {

using namespace zor_setup;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitCancelled = 2;

// The hand-over file lives in the Windows directory, found as KitTailor finds it.
std::string HandOverFilePath() {
    char windows[MAX_PATH] = {};
    recording::GetWindowsDir(windows, sizeof(windows));
    return std::string(windows) + "\\Zor.ini";
}

// Whether the hand-over file asks for a recording, and into which script.
bool RecordingRequested(std::string& scriptPath) {
    std::string handOver = HandOverFilePath();
    char value[MAX_PATH + 1] = {};
    GetPrivateProfileStringA("Setup", "AutoScriptRec", "", value, sizeof(value), handOver.c_str());
    if (std::string(value) != "1") {
        return false;
    }
    LogLine("recording requested by %s", handOver.c_str());
    GetPrivateProfileStringA("Setup", "ScriptFile", "", value, sizeof(value), handOver.c_str());
    scriptPath = value;
    return true;
}

int Fail(const std::string& problem, bool silent) {
    LogLine("failed: %s", problem.c_str());
    if (!silent) {
        MessageBoxA(nullptr, ("Zor could not be set up: " + problem).c_str(), "Zor Setup",
                    MB_OK | MB_ICONERROR);
    }
    return kExitFailure;
}

int RecordScript(HINSTANCE instance, const std::string& scriptPath) {
    if (scriptPath.empty()) {
        return Fail("the recording request names no ScriptFile", false);
    }
    InstallChoices choices;
    if (!AskInstallChoices(instance, WindowPurpose::RecordScript, choices)) {
        LogLine("recording cancelled");
        return kExitCancelled;
    }
    std::string problem;
    if (!WriteInstallScript(scriptPath.c_str(), choices, problem)) {
        return Fail(problem, false);
    }
    LogLine("recorded %s: installpath=%s type=%s components=%s", scriptPath.c_str(),
            choices.installPath.c_str(), choices.type.c_str(), choices.components.c_str());
    return kExitSuccess;
}

// Reads the script member through a temporary copy, since the settings-file calls only read
// files.
bool ReadScriptMember(const OwnPackage& own, const Member& script, InstallChoices& choices,
                      std::string& problem) {
    char directory[MAX_PATH + 1] = {};
    char copy[MAX_PATH + 1] = {};
    DWORD length = GetTempPathA(sizeof(directory), directory);
    if (length == 0 || length >= sizeof(directory) ||
        GetTempFileNameA(directory, "zor", 0, copy) == 0) {
        problem = "cannot create a temporary file for the install script";
        return false;
    }
    bool read =
        ExtractMember(own, script, copy, problem) && ReadInstallScript(copy, choices, problem);
    DeleteFileA(copy);
    return read;
}

int InstallSilently(const OwnPackage& own, const Member& script) {
    LogLine("silent installation with %s", script.name.c_str());
    InstallChoices choices;
    std::string problem;
    if (!ReadScriptMember(own, script, choices, problem) ||
        !InstallProduct(own, choices, problem)) {
        return Fail(problem, true);
    }
    LogLine("installed");
    return kExitSuccess;
}

int InstallInteractively(HINSTANCE instance, bool packageRead, const OwnPackage& own,
                         const std::string& packageProblem) {
    LogLine("interactive installation");
    InstallChoices choices;
    if (!AskInstallChoices(instance, WindowPurpose::Install, choices)) {
        LogLine("installation cancelled");
        return kExitCancelled;
    }
    std::string problem = packageProblem;
    if (!packageRead || !InstallProduct(own, choices, problem)) {
        return Fail(problem, false);
    }
    LogLine("installed");
    return kExitSuccess;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    OpenSetupLog();
    std::string scriptPath;
    if (RecordingRequested(scriptPath)) {
        return RecordScript(instance, scriptPath);
    }
    OwnPackage own;
    std::string problem;
    bool packageRead = ReadOwnPackage(own, problem);
    if (!packageRead) {
        LogLine("no member archive: %s", problem.c_str());
    } else if (const Member* script = FindInstallScript(own)) {
        return InstallSilently(own, *script);
    }
    return InstallInteractively(instance, packageRead, own, problem);
}
