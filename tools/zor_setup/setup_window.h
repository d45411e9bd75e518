// The setup window: install folder, components and installation type, Finish and Cancel.
#pragma once

#include <windows.h>

#include "tools/zor_setup/install_choices.h"

namespace zor_setup {

enum class WindowPurpose { RecordScript, Install };

// Shows the window modally. True with `choices` filled in when Finish was pressed with an
// install folder given; false on Cancel.
bool AskInstallChoices(HINSTANCE instance, WindowPurpose purpose, InstallChoices& choices);

}  // namespace zor_setup
