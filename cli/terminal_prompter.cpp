#include "cli/terminal_prompter.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "cli/message_text.h"

namespace cli {

// On Windows the NUL device passes _isatty, so only a real console counts.
bool IsTerminal(StandardStream stream) {
#ifdef _WIN32
    DWORD mode = 0;
    return GetConsoleMode(
               GetStdHandle(stream == StandardStream::Input ? STD_INPUT_HANDLE : STD_ERROR_HANDLE),
               &mode) != 0;
#else
    return isatty(stream == StandardStream::Input ? 0 : 2) != 0;
#endif
}

TerminalPrompter::TerminalPrompter(const char* packagePath, Answer answer, bool quiet)
    : packagePath_(packagePath),
      answer_(answer),
      showProgress_(!quiet && IsTerminal(StandardStream::Error)) {}

// One line on a terminal, rewritten in place, and cleared when the work is done.
void TerminalPrompter::ShowProgress(uint64_t done, uint64_t toDo) {
    if (!showProgress_ || toDo == 0) {
        return;
    }
    if (done >= toDo) {
        std::fprintf(stderr, "\r%40s\r", "");
    } else {
        std::fprintf(stderr, "\rktl: %3u%% of %llu MiB", static_cast<unsigned>(done * 100 / toDo),
                     static_cast<unsigned long long>((toDo + (1u << 20) - 1) >> 20));
    }
    std::fflush(stderr);
}

bool TerminalPrompter::AskYesNo(int messageId) {
    if (answer_ != Answer::Ask) {
        return answer_ == Answer::Yes;
    }
    if (!IsTerminal(StandardStream::Input)) {
        return false;
    }
    std::fprintf(stderr, "%s [y/N] ", EnglishMessage(messageId));
    std::fflush(stderr);
    char line[16] = {};
    if (std::fgets(line, sizeof(line), stdin) == nullptr) {
        return false;
    }
    return line[0] == 'y' || line[0] == 'Y';
}

void TerminalPrompter::ShowStop(int messageId) {
    refusal_ = EnglishMessage(messageId);
}

bool TerminalPrompter::GoOnWithSignedImage(const package::ImageSignature& signature) {
    std::fprintf(stderr,
                 "ktl: warning: \"%s\" carries a digital signature (a certificate table of %lu "
                 "bytes at byte %lu): the change removes it, and the new package is unsigned; "
                 "sign it again, then run \"ktl seal\" on it\n",
                 packagePath_, static_cast<unsigned long>(signature.size),
                 static_cast<unsigned long>(signature.offset));
    return true;
}

}  // namespace cli
