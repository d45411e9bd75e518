// The insert operation's questions and its refusal, as message boxes shown from whichever
// thread runs the insert.
#pragma once

#include <windows.h>

#include "package/insert_file.h"

namespace app {

class MessageBoxPrompter : public package::InsertPrompter {
  public:
    // With `progressTo`, progress is posted to that window as WM_INSERT_PROGRESS.
    explicit MessageBoxPrompter(HWND owner, HWND progressTo = nullptr)
        : owner_(owner), progressTo_(progressTo) {}

    // Only Yes goes on: a box that could not be shown at all answers No, since going on with a
    // damaged package is what the question guards.
    bool AskYesNo(int messageId) override;
    void ShowStop(int messageId) override;
    void ShowProgress(uint64_t done, uint64_t toDo) override;
    void TellRecovery(const package::RecoveryReport& report, const char* packagePath) override;
    // Asked once per insert; No leaves the package as it is.
    bool GoOnWithSignedImage(const package::ImageSignature& signature) override;

  private:
    HWND owner_;
    HWND progressTo_;
};

}  // namespace app
