// Recording an install script: the installer does the recording, the tool hands it the
// request. Until the launcher is in place the action checks its fields and stops there.
#include "app/main_dialog.h"

namespace app {

void MainDialog::RecordInstallScript() {
    ValidateInputs(ActionRecord);
}

}  // namespace app
