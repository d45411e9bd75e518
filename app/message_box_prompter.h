// The insert operation's one question and one refusal, as message boxes shown from whichever
// thread runs the insert.
#pragma once

#include <windows.h>

#include "package/insert_file.h"

namespace app {

class MessageBoxPrompter : public package::InsertPrompter {
  public:
    explicit MessageBoxPrompter(HWND owner) : owner_(owner) {}

    // Only Yes goes on: a box that could not be shown at all answers No, since going on with a
    // damaged package is what the question guards.
    bool AskYesNo(int messageId) override;
    void ShowStop(int messageId) override;

  private:
    HWND owner_;
};

}  // namespace app
