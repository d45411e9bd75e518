// Messages by string-table number, in the language the platform selects, shown in message
// boxes captioned with the application title.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>

namespace ui {

// Box styles the tool uses.
constexpr UINT kStopBox = MB_OK | MB_ICONHAND;                  // 16
constexpr UINT kQuestionBox = MB_YESNO | MB_ICONQUESTION;       // 36
constexpr UINT kWarningBox = MB_OKCANCEL | MB_ICONEXCLAMATION;  // 49
constexpr UINT kInformationBox = MB_OK | MB_ICONASTERISK;       // 64

// The text of message `id`; empty when there is none.
std::string LoadMessage(UINT id);

// Fills the message's "%s" placeholders in order with `arguments`; arguments without a
// placeholder are left out, placeholders without an argument stay empty, "%%" is one '%'.
std::string FormatText(const std::string& pattern, std::initializer_list<std::string> arguments);
std::string FormatMessageId(UINT id, std::initializer_list<std::string> arguments);

// The system's text for an error code, as the system words it (usually ending in a line
// break); empty when it has none. Where the text has its place for the file concerned ("%1"),
// `subject` is put.
std::string SystemErrorText(DWORD error, const std::string& subject);

// Modal message boxes owned by `owner`; they return the button pressed, or 0 when no box
// could be shown.
int ShowText(HWND owner, const std::string& text, UINT style);
int ShowMessage(HWND owner, UINT id, UINT style);

}  // namespace ui
