#include <windows.h>

#include "tools/zor_setup/install_script.h"

namespace zor_setup {
namespace {

constexpr const char* kSection = "Setup";

std::string ReadValue(const char* scriptPath, const char* key) {
    char value[MAX_PATH + 1] = {};
    GetPrivateProfileStringA(kSection, key, "", value, sizeof(value), scriptPath);
    return value;
}

}  // namespace

bool WriteInstallScript(const char* scriptPath, const InstallChoices& choices,
                        std::string& problem) {
    if (!WritePrivateProfileStringA(kSection, "installpath", choices.installPath.c_str(),
                                    scriptPath) ||
        !WritePrivateProfileStringA(kSection, "type", choices.type.c_str(), scriptPath) ||
        !WritePrivateProfileStringA(kSection, "components", choices.components.c_str(),
                                    scriptPath)) {
        problem = std::string("cannot write the install script ") + scriptPath;
        return false;
    }
    return true;
}

bool ReadInstallScript(const char* scriptPath, InstallChoices& choices, std::string& problem) {
    choices.installPath = ReadValue(scriptPath, "installpath");
    choices.type = ReadValue(scriptPath, "type");
    choices.components = ReadValue(scriptPath, "components");
    if (choices.installPath.empty()) {
        problem = "the install script names no installpath";
        return false;
    }
    if (choices.type != "1" && choices.type != "2") {
        problem = "the install script's type \"" + choices.type + "\" is neither 1 nor 2";
        return false;
    }
    return true;
}

}  // namespace zor_setup
