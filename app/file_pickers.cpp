// The three Browse buttons: the platform's open and save pickers, set up per field.
#include <windows.h>

#include <cderr.h>
#include <commdlg.h>

#include <cstring>
#include <string>

#include "app/main_dialog.h"
#include "app/messages.h"
#include "res/message_ids.h"
#include "res/resource_ids.h"

namespace app {
namespace {

constexpr size_t kFilterBufferSize = 100;
constexpr DWORD kPackagePickerFlags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
constexpr DWORD kScriptPickerFlags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
constexpr DWORD kOutputPickerFlags =
    OFN_NOREADONLYRETURN | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;

// The structure's size for the platform's version: the older, shorter form only on 4.0.
DWORD OpenFileNameSize() {
    DWORD version = GetVersion();
    BYTE major = LOBYTE(LOWORD(version));
    BYTE minor = HIBYTE(LOWORD(version));
    return (major >= 5 || minor != 0) ? sizeof(OPENFILENAMEA) : OPENFILENAME_SIZE_VERSION_400A;
}

// Appends one zero-terminated text to the filter list; a label that does not fit is cut,
// leaving room for the pattern behind it and the list's closing zero.
void AppendFilterText(char (&buffer)[kFilterBufferSize], size_t& used, const std::string& text,
                      size_t reserve) {
    size_t room = kFilterBufferSize - used - reserve;
    size_t length = text.size() < room ? text.size() : room - 1;
    std::memcpy(buffer + used, text.data(), length);
    used += length + 1;  // the buffer is zero-filled, so the terminator is there
}

}  // namespace

void MainDialog::Browse(int field, bool save, const char* initialName, UINT nameStringId,
                        const char* pattern, UINT titleStringId, DWORD flags, bool keepDirectory) {
    OPENFILENAMEA dialog;
    std::memset(&dialog, 0, sizeof(dialog));
    dialog.lStructSize = OpenFileNameSize();
    dialog.hwndOwner = Window();

    char file[MAX_PATH] = {};
    std::strcpy(file, initialName);
    dialog.lpstrFile = file;
    dialog.nMaxFile = sizeof(file);

    // Two filters: every file, and the field's own type, selected at opening. The patterns
    // are short and fixed, so only a long translated label can be cut.
    char filter[kFilterBufferSize] = {};
    size_t used = 0;
    const std::string allPattern = "*.*";
    const std::string typePattern = pattern;
    std::string typeSuffix = "(";
    typeSuffix.append(pattern + 1);
    typeSuffix += ')';
    AppendFilterText(filter, used,
                     ui::FormatText("%s(*.*)", {ui::LoadMessage(IDS_FILTER_ALL_FILES)}),
                     allPattern.size() + 1 + 2 + typePattern.size() + 1 + 1);
    AppendFilterText(filter, used, allPattern, 0);
    AppendFilterText(filter, used, ui::LoadMessage(nameStringId) + typeSuffix,
                     typePattern.size() + 1 + 1);
    AppendFilterText(filter, used, typePattern, 0);
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 2;

    std::string title = ui::LoadMessage(titleStringId);
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = flags;

    char savedDirectory[MAX_PATH] = {};
    if (keepDirectory) {
        GetCurrentDirectoryA(sizeof(savedDirectory), savedDirectory);
    }
    BOOL chosen = save ? GetSaveFileNameA(&dialog) : GetOpenFileNameA(&dialog);
    if (chosen == 1) {
        SetItemText(field, file);
    } else if (CommDlgExtendedError() == FNERR_BUFFERTOOSMALL) {
        ui::ShowMessage(Window(), IDS_PICKED_PATH_TOO_LONG, ui::kStopBox);
    }
    if (keepDirectory) {
        SetCurrentDirectoryA(savedDirectory);
    }
}

void MainDialog::BrowsePackage() {
    Browse(IDC_PACKAGE, false, "ZorSetup.exe", IDS_FILTER_PACKAGE, "*.exe", IDS_PICK_PACKAGE_TITLE,
           kPackagePickerFlags, false);
}

void MainDialog::BrowseScript() {
    Browse(IDC_SCRIPT, false, "", IDS_FILTER_SCRIPT, "*.ins", IDS_PICK_SCRIPT_TITLE,
           kScriptPickerFlags, true);
}

void MainDialog::BrowseOutput() {
    Browse(IDC_OUTPUT, true, "ZorSetup.exe", IDS_FILTER_PACKAGE, "*.exe", IDS_PICK_OUTPUT_TITLE,
           kOutputPickerFlags, false);
}

}  // namespace app
