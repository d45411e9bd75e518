#include "app/message_box_prompter.h"

#include "app/main_dialog.h"
#include "app/messages.h"
#include "res/message_ids.h"

namespace app {

bool MessageBoxPrompter::AskYesNo(int messageId) {
    return ShowMessage(owner_, static_cast<UINT>(messageId), kQuestionBox) == IDYES;
}

bool MessageBoxPrompter::GoOnWithSignedImage(const package::ImageSignature&) {
    return AskYesNo(IDS_SIGNED_PACKAGE_CONTINUE);
}

void MessageBoxPrompter::ShowStop(int messageId) {
    ShowMessage(owner_, static_cast<UINT>(messageId), kStopBox);
}

void MessageBoxPrompter::TellRecovery(const package::RecoveryReport& report,
                                      const char* packagePath) {
    const UINT id = report.outcome == package::Recovery::RolledBack ? IDS_CHANGE_ROLLED_BACK
                                                                    : IDS_JOURNAL_DISCARDED;
    ShowText(owner_, FormatMessageId(id, {packagePath}), kInformationBox);
}

void MessageBoxPrompter::ShowProgress(uint64_t done, uint64_t toDo) {
    // Posted, never sent: the worker must not wait on the dialog for a moving bar.
    if (progressTo_ != nullptr && toDo != 0) {
        PostMessageW(progressTo_, WM_INSERT_PROGRESS, static_cast<WPARAM>(done * 1000 / toDo), 0);
    }
}

}  // namespace app
