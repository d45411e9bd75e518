#include "cli/system_error.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cstring>
#endif

namespace cli {

std::string SystemErrorText(int code) {
    std::string text;
#ifdef _WIN32
    char* message = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&message), 0, nullptr);
    if (length != 0 && message != nullptr) {
        text.assign(message, length);
    }
    LocalFree(message);
#else
    text = std::strerror(code);
#endif
    // One line, without the closing full stop and line break the system adds.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    if (text.empty()) {
        text = "system error " + std::to_string(code);
    }
    return text;
}

}  // namespace cli
