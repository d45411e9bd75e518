// Messages by string-table number, in the language the platform selects, shown in message
// boxes captioned with the application title. Texts stay in UTF-16 from the resource to the
// screen: the ANSI code page need not hold the user's language. Only paths are ANSI, as the
// engine and the hand-over take them; they are widened for showing.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace app {

// Box styles the tool uses.
constexpr UINT kStopBox = MB_OK | MB_ICONHAND;                  // 16
constexpr UINT kQuestionBox = MB_YESNO | MB_ICONQUESTION;       // 36
constexpr UINT kWarningBox = MB_OKCANCEL | MB_ICONEXCLAMATION;  // 49
constexpr UINT kInformationBox = MB_OK | MB_ICONASTERISK;       // 64

// A text in the ANSI code page (a path) as UTF-16.
std::wstring Widen(const std::string& ansi);

// One argument of a message: an ANSI path or a UTF-16 text.
class MessageArgument {
  public:
    MessageArgument(const std::string& ansi) : text_(Widen(ansi)) {}
    MessageArgument(const char* ansi) : text_(Widen(ansi)) {}
    MessageArgument(std::wstring text) : text_(std::move(text)) {}
    MessageArgument(const wchar_t* text) : text_(text) {}
    const std::wstring& Text() const { return text_; }

  private:
    std::wstring text_;
};

// The text of message `id`; empty when there is none.
std::wstring LoadMessage(UINT id);

// Fills the message's "%s" placeholders in order with `arguments`; arguments without a
// placeholder are left out, placeholders without an argument stay empty, "%%" is one '%'.
std::wstring FormatText(const std::wstring& pattern,
                        std::initializer_list<MessageArgument> arguments);
std::wstring FormatMessageId(UINT id, std::initializer_list<MessageArgument> arguments);

// The system's text for an error code, as the system words it (usually ending in a line
// break); empty when it has none. Where the text has its place for the file concerned ("%1"),
// `subject` is put.
std::wstring SystemErrorText(DWORD error, const std::string& subject);
// The same without the line break the system ends it with, for a message that goes on after it.
std::wstring SystemReason(DWORD error, const std::string& subject);

// Modal message boxes owned by `owner`; they return the button pressed, or 0 when no box
// could be shown.
int ShowText(HWND owner, const std::wstring& text, UINT style);
int ShowMessage(HWND owner, UINT id, UINT style);

}  // namespace app
