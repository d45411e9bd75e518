// Checking and normalising the three path fields before an action runs.
#include <mbstring.h>

#include <string>

#include "app/main_dialog.h"
#include "app/messages.h"
#include "platform/multibyte.h"
#include "res/message_ids.h"
#include "res/resource_ids.h"

namespace app {
namespace {

std::string Trim(const std::string& text) {
    const char* kSpace = " \t\n\r\v\f";
    size_t first = text.find_first_not_of(kSpace);
    if (first == std::string::npos) {
        return std::string();
    }
    size_t last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

// The last four bytes, compared exactly: "SETUP.EXE" does not end with ".exe".
bool EndsWith(const std::string& text, const char* extension) {
    return text.size() >= 4 &&
           _mbscmp(reinterpret_cast<const unsigned char*>(text.c_str() + text.size() - 4),
                   reinterpret_cast<const unsigned char*>(extension)) == 0;
}

// Opens the file for reading and writing, creating it empty when missing. On failure returns
// false with the system's text for the error, or an empty text.
bool CanOpenForWriting(const std::string& path, std::wstring& systemText) {
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return true;
    }
    systemText = SystemErrorText(GetLastError(), path);
    return false;
}

// The current directory with a separator behind it; empty when it cannot be had.
std::string CurrentDirectoryPrefix() {
    char directory[MAX_PATH] = {};
    DWORD length = GetCurrentDirectoryA(sizeof(directory), directory);
    if (length == 0 || length >= sizeof(directory)) {
        return std::string();
    }
    std::string prefix = directory;
    const char* last = platform::FindLastChar(directory, '\\');
    if (last == nullptr || last[1] != '\0') {
        prefix += '\\';
    }
    return prefix;
}

}  // namespace

bool PathExists(const char* path) {
    if (path[0] == '\0' || platform::FindFirstChar(path, '\\') == path) {
        return false;
    }
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool MainDialog::RefuseAccess(int field, const std::string& path) {
    std::wstring systemText;
    if (CanOpenForWriting(path, systemText)) {
        return false;
    }
    ShowText(Window(), FormatMessageId(IDS_FILE_ACCESS_ERROR, {path, systemText}), kStopBox);
    FocusField(field);
    return true;
}

bool MainDialog::ValidateInputs(int action) {
    const bool inserting = action == ActionInsertScript || action == ActionInsertFile;
    auto refuse = [&](int field, const std::wstring& text) {
        ShowText(Window(), text, kStopBox);
        FocusField(field);
        return false;
    };
    // The engine takes paths in the ANSI code page: a path it cannot hold is refused by its
    // own name, and the field keeps it.
    auto refuseOutsideCodePage = [&](int field) {
        return refuse(field, FormatMessageId(IDS_PATH_OUTSIDE_CODE_PAGE, {WideItemText(field)}));
    };

    std::string packagePath = Trim(ItemText(IDC_PACKAGE));
    if (packagePath.empty()) {
        return refuse(IDC_PACKAGE, LoadMessage(IDS_INPUT_PACKAGE));
    }
    if (!ItemFitsCodePage(IDC_PACKAGE)) {
        return refuseOutsideCodePage(IDC_PACKAGE);
    }
    if (!EndsWith(packagePath, ".exe")) {
        return refuse(IDC_PACKAGE, FormatMessageId(IDS_NOT_A_PACKAGE, {packagePath}));
    }
    if (!PathExists(packagePath.c_str())) {
        return refuse(IDC_PACKAGE, FormatMessageId(IDS_FILE_NOT_FOUND, {packagePath}));
    }
    SetItemText(IDC_PACKAGE, packagePath);

    std::string script = Trim(ItemText(IDC_SCRIPT));
    if (script.empty()) {
        return refuse(IDC_SCRIPT, LoadMessage(IDS_INPUT_SCRIPT));
    }
    if (!ItemFitsCodePage(IDC_SCRIPT)) {
        return refuseOutsideCodePage(IDC_SCRIPT);
    }
    if (action != ActionInsertFile && !EndsWith(script, ".ins")) {
        script += ".ins";
        SetItemText(IDC_SCRIPT, script);
    }
    if (inserting && !PathExists(script.c_str())) {
        return refuse(IDC_SCRIPT, FormatMessageId(IDS_FILE_NOT_FOUND, {script}));
    }
    if (RefuseAccess(IDC_SCRIPT, script)) {
        return false;
    }
    if (_mbschr(reinterpret_cast<const unsigned char*>(script.c_str()), '\\') == nullptr) {
        script = CurrentDirectoryPrefix() + script;
    }
    SetItemText(IDC_SCRIPT, script);
    if (!inserting) {
        return true;
    }

    std::string output = Trim(ItemText(IDC_OUTPUT));
    if (output.empty()) {
        return refuse(IDC_OUTPUT, LoadMessage(IDS_INPUT_PACKAGE));
    }
    if (!ItemFitsCodePage(IDC_OUTPUT)) {
        return refuseOutsideCodePage(IDC_OUTPUT);
    }
    if (!EndsWith(output, ".exe")) {
        output += ".exe";
    }
    SetItemText(IDC_OUTPUT, output);
    if (PathExists(output.c_str()) &&
        ShowText(Window(), FormatMessageId(IDS_REPLACE_EXISTING, {output}), kQuestionBox) == IDNO) {
        FocusField(IDC_OUTPUT);
        return false;
    }
    return !RefuseAccess(IDC_OUTPUT, output);
}

}  // namespace app
