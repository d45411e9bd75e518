#include "app/messages.h"

#include "res/message_ids.h"

namespace ui {

std::string LoadMessage(UINT id) {
    // With a zero length LoadStringW hands out a pointer to the resource text itself, so no
    // text is ever cut to fit a buffer.
    const wchar_t* text = nullptr;
    int length = LoadStringW(GetModuleHandleA(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) {
        return std::string();
    }
    int size = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string converted(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, length, converted.data(), size, nullptr, nullptr);
    return converted;
}

std::string FormatText(const std::string& pattern, std::initializer_list<std::string> arguments) {
    std::string out;
    auto next = arguments.begin();
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            if (pattern[i + 1] == 's') {
                if (next != arguments.end()) {
                    out += *next++;
                }
                ++i;
                continue;
            }
            if (pattern[i + 1] == '%') {
                out += '%';
                ++i;
                continue;
            }
        }
        out += pattern[i];
    }
    return out;
}

std::string FormatMessageId(UINT id, std::initializer_list<std::string> arguments) {
    return FormatText(LoadMessage(id), arguments);
}

std::string SystemErrorText(DWORD error, const std::string& subject) {
    char* text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text),
        0, nullptr);
    std::string result =
        (length > 0 && text != nullptr) ? std::string(text, length) : std::string();
    if (text != nullptr) {
        LocalFree(text);
    }
    // Inserts are left in place above, since an argument list the text does not expect would
    // be read past its end; the one the file errors use is filled here.
    for (size_t at = result.find("%1"); at != std::string::npos;
         at = result.find("%1", at + subject.size())) {
        result.replace(at, 2, subject);
    }
    return result;
}

int ShowText(HWND owner, const std::string& text, UINT style) {
    std::string caption = LoadMessage(IDS_APP_TITLE);
    return MessageBoxA(owner, text.c_str(), caption.c_str(), style);
}

int ShowMessage(HWND owner, UINT id, UINT style) {
    return ShowText(owner, LoadMessage(id), style);
}

}  // namespace ui
