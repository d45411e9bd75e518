// What an installation is told: by the setup window, or by a recorded install script.
#pragma once

#include <string>

namespace zor_setup {

struct InstallChoices {
    std::string installPath;
    std::string type;        // "1" client, "2" server
    std::string components;  // comma-separated component names
};

}  // namespace zor_setup
