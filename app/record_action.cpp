// The dialog's part in a recording: the inputs, the messages, and the dialog minimised while
// the installer runs. The recording itself lives in recording/.
#include "app/main_dialog.h"
#include "app/messages.h"
#include "recording/record_install_script.h"
#include "res/message_ids.h"
#include "res/resource_ids.h"

namespace app {
class MainDialog::RecordingUser : public recording::RecordingUser {
  public:
    explicit RecordingUser(MainDialog& dialog) : dialog_(dialog) {}

    std::optional<recording::RecordRequest> AskRequest() override {
        if (!dialog_.ValidateInputs(ActionRecord)) {
            return std::nullopt;
        }
        return recording::RecordRequest{
            dialog_.ItemText(IDC_PACKAGE), dialog_.ItemText(IDC_SCRIPT),
            IsDlgButtonChecked(dialog_.Window(), IDC_SILENT) == BST_CHECKED};
    }
    void TellAlreadyInstalled() override {
        ShowMessage(dialog_.Window(), IDS_ALREADY_INSTALLED, kStopBox);
    }
    void InstallerStarting() override {
        ShowWindow(dialog_.Window(), SW_MINIMIZE);
        dialog_.recording_ = true;
    }
    void InstallerEnded() override {
        dialog_.recording_ = false;
        ShowWindow(dialog_.Window(), SW_SHOWNORMAL);
    }
    void TellCannotStart(const std::string& installer, DWORD systemError) override {
        ShowText(dialog_.Window(),
                 FormatMessageId(IDS_CANNOT_START_INSTALLER,
                                 {installer, SystemReason(systemError, installer)}),
                 kStopBox);
    }
    void TellCannotHandOver(const std::string& handOver, DWORD systemError) override {
        ShowText(
            dialog_.Window(),
            FormatMessageId(IDS_FILE_ACCESS_ERROR, {handOver, SystemReason(systemError, handOver)}),
            kStopBox);
    }
    void TellFinished() override {
        ShowMessage(dialog_.Window(), IDS_RECORDING_FINISHED, kInformationBox);
    }

  private:
    MainDialog& dialog_;
};

void MainDialog::RecordInstallScript() {
    // Another program can send the command while the installer runs, since the wait serves
    // sent messages; the recording under way is the one that counts.
    if (Busy()) {
        return;
    }
    RecordingUser user(*this);
    recording::RecordInstallScript(user);
}

}  // namespace app
