#include "app/messages.h"

#include "res/message_ids.h"

namespace app {

std::wstring Widen(const std::string& ansi) {
    if (ansi.empty()) {
        return std::wstring();
    }
    int length = static_cast<int>(ansi.size());
    int size = MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, nullptr, 0);
    std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, wide.data(), size);
    }
    return wide;
}

std::wstring LoadMessage(UINT id) {
    // With a zero length LoadStringW hands out a pointer to the resource text itself, so no
    // text is ever cut to fit a buffer.
    const wchar_t* text = nullptr;
    int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) {
        return std::wstring();
    }
    return std::wstring(text, static_cast<size_t>(length));
}

std::wstring FormatText(const std::wstring& pattern,
                        std::initializer_list<MessageArgument> arguments) {
    std::wstring out;
    auto next = arguments.begin();
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == L'%' && i + 1 < pattern.size()) {
            if (pattern[i + 1] == L's') {
                if (next != arguments.end()) {
                    out += (next++)->Text();
                }
                ++i;
                continue;
            }
            if (pattern[i + 1] == L'%') {
                out += L'%';
                ++i;
                continue;
            }
        }
        out += pattern[i];
    }
    return out;
}

std::wstring FormatMessageId(UINT id, std::initializer_list<MessageArgument> arguments) {
    return FormatText(LoadMessage(id), arguments);
}

std::wstring SystemErrorText(DWORD error, const std::string& subject) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result =
        (length > 0 && text != nullptr) ? std::wstring(text, length) : std::wstring();
    if (text != nullptr) {
        LocalFree(text);
    }
    // Inserts are left in place above, since an argument list the text does not expect would
    // be read past its end; the one the file errors use is filled here.
    const std::wstring file = Widen(subject);
    for (size_t at = result.find(L"%1"); at != std::wstring::npos;
         at = result.find(L"%1", at + file.size())) {
        result.replace(at, 2, file);
    }
    return result;
}

int ShowText(HWND owner, const std::wstring& text, UINT style) {
    std::wstring caption = LoadMessage(IDS_APP_TITLE);
    return MessageBoxW(owner, text.c_str(), caption.c_str(), style);
}

int ShowMessage(HWND owner, UINT id, UINT style) {
    return ShowText(owner, LoadMessage(id), style);
}

std::wstring SystemReason(DWORD error, const std::string& subject) {
    std::wstring text = SystemErrorText(error, subject);
    size_t end = text.find_last_not_of(L" \t\r\n");
    text.erase(end == std::wstring::npos ? 0 : end + 1);
    return text;
}

}  // namespace app
