// The installation itself, the same whether the window or a recorded script chose its values:
// the product files go into the install folder and the choices into the registry.
#pragma once

#include <string>

#include "tools/zor_setup/install_choices.h"
#include "tools/zor_setup/package_members.h"

namespace zor_setup {

// Extracts every member of `own` except install scripts below choices.installPath, then
// records installpath and type under HKEY_LOCAL_MACHINE\SOFTWARE\Tessel\Zor. Every member
// name, and the package's seal, are checked before anything is written, so a damaged or
// unsafe package installs nothing.
bool InstallProduct(const OwnPackage& own, const InstallChoices& choices, std::string& problem);

}  // namespace zor_setup
