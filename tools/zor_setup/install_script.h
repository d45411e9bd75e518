// The install script: a settings file whose section [Setup] holds installpath, type and
// components. Only these keys are touched, so whatever else the script holds survives.
#pragma once

#include <string>

#include "tools/zor_setup/install_choices.h"

namespace zor_setup {

// Writes the three keys into the script at `scriptPath`, creating it when missing.
bool WriteInstallScript(const char* scriptPath, const InstallChoices& choices,
                        std::string& problem);

// Reads installpath and type; false when either is missing or the type is neither 1 nor 2.
bool ReadInstallScript(const char* scriptPath, InstallChoices& choices, std::string& problem);

}  // namespace zor_setup
