// The engine's questions and notices on a terminal: asked on standard error and answered on
// standard input, or answered beforehand by --yes or --no.
#pragma once

#include <cstdint>
#include <string>

#include "cli/command_line.h"
#include "package/insert_file.h"

namespace cli {

enum class StandardStream { Input, Error };

// Whether someone can answer a question on standard input, or watch progress on standard error.
bool IsTerminal(StandardStream stream);

class TerminalPrompter : public package::InsertPrompter {
  public:
    TerminalPrompter(const char* packagePath, Answer answer, bool quiet);

    void ShowProgress(uint64_t done, uint64_t toDo) override;
    bool AskYesNo(int messageId) override;
    // The refusal is reported in the single failure line that follows.
    void ShowStop(int messageId) override;
    // A change goes on, with a warning: whoever asked for it asked for the new package, and
    // the signature cannot come along whatever ktl does.
    bool GoOnWithSignedImage(const package::ImageSignature& signature) override;

    const std::string& Refusal() const { return refusal_; }

  private:
    const char* packagePath_;
    Answer answer_;
    bool showProgress_;
    std::string refusal_;
};

}  // namespace cli
