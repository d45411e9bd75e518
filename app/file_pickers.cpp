// The three Browse buttons: the platform's open and save pickers, set up per field.
#include <windows.h>

#include <cderr.h>
#include <commdlg.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "app/main_dialog.h"
#include "app/messages.h"
#include "res/message_ids.h"
#include "res/resource_ids.h"

namespace app {
namespace {

constexpr size_t kFilterBufferSize = 100;  // characters
constexpr DWORD kPackagePickerFlags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
constexpr DWORD kScriptPickerFlags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
constexpr DWORD kOutputPickerFlags =
    OFN_NOREADONLYRETURN | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;

// The structure's size for the platform's version: the older, shorter form only on 4.0.
DWORD OpenFileNameSize() {
    DWORD version = GetVersion();
    BYTE major = LOBYTE(LOWORD(version));
    BYTE minor = HIBYTE(LOWORD(version));
    return (major >= 5 || minor != 0) ? sizeof(OPENFILENAMEW) : OPENFILENAME_SIZE_VERSION_400W;
}

// Appends one zero-terminated text to the filter list; a label that does not fit is cut,
// leaving room for the pattern behind it and the list's closing zero.
void AppendFilterText(wchar_t (&buffer)[kFilterBufferSize], size_t& used, const std::wstring& text,
                      size_t reserve) {
    size_t room = kFilterBufferSize - used - reserve;
    size_t length = text.size() < room ? text.size() : room - 1;
    std::wmemcpy(buffer + used, text.data(), length);
    used += length + 1;  // the buffer is zero-filled, so the terminator is there
}

}  // namespace

// The picker is the wide one, so that its title and filter names show in the user's language
// whatever the ANSI code page; the chosen path goes into the field as it is, and validation
// takes it from there in the ANSI form the engine needs.
void MainDialog::Browse(int field, bool save, const wchar_t* initialName, UINT nameStringId,
                        const wchar_t* pattern, UINT titleStringId, DWORD flags,
                        bool keepDirectory) {
    OPENFILENAMEW dialog;
    std::memset(&dialog, 0, sizeof(dialog));
    dialog.lStructSize = OpenFileNameSize();
    dialog.hwndOwner = Window();

    wchar_t file[MAX_PATH] = {};
    std::wcscpy(file, initialName);
    dialog.lpstrFile = file;
    dialog.nMaxFile = MAX_PATH;

    // Two filters: every file, and the field's own type, selected at opening. The patterns
    // are short and fixed, so only a long translated label can be cut.
    wchar_t filter[kFilterBufferSize] = {};
    size_t used = 0;
    const std::wstring allPattern = L"*.*";
    const std::wstring typePattern = pattern;
    std::wstring typeSuffix = L"(";
    typeSuffix.append(pattern + 1);
    typeSuffix += L')';
    AppendFilterText(filter, used, FormatText(L"%s(*.*)", {LoadMessage(IDS_FILTER_ALL_FILES)}),
                     allPattern.size() + 1 + 2 + typePattern.size() + 1 + 1);
    AppendFilterText(filter, used, allPattern, 0);
    AppendFilterText(filter, used, LoadMessage(nameStringId) + typeSuffix,
                     typePattern.size() + 1 + 1);
    AppendFilterText(filter, used, typePattern, 0);
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 2;

    std::wstring title = LoadMessage(titleStringId);
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = flags;

    wchar_t savedDirectory[MAX_PATH] = {};
    if (keepDirectory) {
        GetCurrentDirectoryW(MAX_PATH, savedDirectory);
    }
    BOOL chosen = save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog);
    if (chosen == 1) {
        SetItemText(field, std::wstring(file));
    } else if (CommDlgExtendedError() == FNERR_BUFFERTOOSMALL) {
        ShowMessage(Window(), IDS_PICKED_PATH_TOO_LONG, kStopBox);
    }
    if (keepDirectory) {
        SetCurrentDirectoryW(savedDirectory);
    }
}

void MainDialog::BrowsePackage() {
    Browse(IDC_PACKAGE, false, L"ZorSetup.exe", IDS_FILTER_PACKAGE, L"*.exe",
           IDS_PICK_PACKAGE_TITLE, kPackagePickerFlags, false);
}

void MainDialog::BrowseScript() {
    Browse(IDC_SCRIPT, false, L"", IDS_FILTER_SCRIPT, L"*.ins", IDS_PICK_SCRIPT_TITLE,
           kScriptPickerFlags, true);
}

void MainDialog::BrowseOutput() {
    Browse(IDC_OUTPUT, true, L"ZorSetup.exe", IDS_FILTER_PACKAGE, L"*.exe", IDS_PICK_OUTPUT_TITLE,
           kOutputPickerFlags, false);
}

}  // namespace app
