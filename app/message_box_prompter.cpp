#include "app/message_box_prompter.h"

#include "app/messages.h"

namespace app {

bool MessageBoxPrompter::AskYesNo(int messageId) {
    return ui::ShowMessage(owner_, static_cast<UINT>(messageId), ui::kQuestionBox) == IDYES;
}

void MessageBoxPrompter::ShowStop(int messageId) {
    ui::ShowMessage(owner_, static_cast<UINT>(messageId), ui::kStopBox);
}

}  // namespace app
