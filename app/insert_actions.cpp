// Inserting a file into the package: on a worker thread for the insert-file button, on the
// dialog's own thread for the insert-script button.
#include <windows.h>

#include <commctrl.h>

#include <cstring>
#include <utility>

#include "app/main_dialog.h"
#include "app/message_box_prompter.h"
#include "app/messages.h"
#include "platform/multibyte.h"
#include "res/message_ids.h"
#include "res/resource_ids.h"

namespace app {
namespace {

InsertJob g_job;

// Whatever the engine throws (memory running out, say) ends this insert as failed, never the
// program: on the worker nothing may unwind out of the thread routine, and the dialog's thread
// must still report the outcome.
package::InsertResult RunInsert(const char* packagePath, const char* filePath,
                                const char* memberName, const char* outputPath, HWND owner,
                                package::InsertDetail& detail, bool showProgress) noexcept {
    detail = package::InsertDetail{};
    try {
        MessageBoxPrompter prompter(owner, showProgress ? owner : nullptr);
        return package::InsertFileIntoPackage(packagePath, filePath, memberName, outputPath,
                                              prompter, &detail);
    } catch (...) {
        return package::kInsertFailed;
    }
}

// The paths' lengths were refused before the job started; a longer one would be cut here.
void CopyToSlot(char (&slot)[kJobPathSize], const std::string& text) {
    const size_t length = text.size() < kJobPathSize ? text.size() : kJobPathSize - 1;
    std::memcpy(slot, text.data(), length);
    slot[length] = '\0';
}

// The failure message: message 113, and where a system call failed, a second paragraph that
// names the file and gives the system's reason in the user's language.
std::wstring InsertFailureText(const package::InsertDetail& detail, package::InsertResult result,
                               const std::string& packagePath) {
    std::wstring text = LoadMessage(IDS_INSERT_FAILED);
    if (detail.step == package::InsertStep::StaleJournal) {
        return text + L"\n\n" +
               FormatMessageId(IDS_JOURNAL_SET_ASIDE, {detail.recovery.journalPath, packagePath,
                                                       detail.recovery.setAsidePath});
    }
    if (detail.step == package::InsertStep::InProgress) {
        return text + L"\n\n" + FormatMessageId(IDS_CHANGE_IN_PROGRESS, {packagePath});
    }
    if (detail.step == package::InsertStep::NotDurable) {
        // The new package's name, when it was one.
        const std::string changed = detail.path[0] != '\0' ? detail.path : packagePath;
        return text + L"\n\n" + FormatMessageId(IDS_CHANGE_NOT_CONFIRMED, {changed});
    }
    // The refusals with messages of their own (duplicate, declined, no output) say no more.
    if (result != package::kInsertFailed || detail.systemError == 0) {
        return text;
    }
    using package::InsertStep;
    const bool reading =
        detail.step == InsertStep::OpenPackage || detail.step == InsertStep::AddMember;
    const std::string path = detail.path;
    return text + L"\n\n" +
           FormatMessageId(
               reading ? IDS_CANNOT_READ_FILE : IDS_CANNOT_WRITE_FILE,
               {Widen(path), SystemReason(static_cast<DWORD>(detail.systemError), path)});
}

void ShowResult(HWND owner, package::InsertResult result, const package::InsertDetail& detail,
                const std::string& packagePath) {
    if (result < 0) {
        ShowText(owner, InsertFailureText(detail, result, packagePath), kStopBox);
    } else {
        ShowMessage(owner, IDS_INSERT_SUCCESS, kInformationBox);
    }
}

}  // namespace

DWORD WINAPI InsertFileWorker(LPVOID parameter) {
    auto* job = static_cast<InsertJob*>(parameter);
    package::InsertResult result = RunInsert(job->packagePath, job->filePath, nullptr,
                                             job->outputPath, job->window, job->detail, true);
    SendMessageA(job->window, WM_INSERT_DONE, 0, static_cast<LPARAM>(result));
    return static_cast<DWORD>(result);
}

void MainDialog::StartInsertFile() {
    // Disabled buttons stop clicks, not posted commands: a second job would share the first
    // one's record and the engine's one work buffer.
    if (Busy()) {
        return;
    }
    if (!ValidateInputs(ActionInsertFile)) {
        return;
    }
    std::string script = ItemText(IDC_SCRIPT);
    std::string packagePath = ItemText(IDC_PACKAGE);
    std::string output = ItemText(IDC_OUTPUT);
    const std::pair<int, const std::string*> fields[] = {
        {IDC_PACKAGE, &packagePath}, {IDC_SCRIPT, &script}, {IDC_OUTPUT, &output}};
    for (const auto& [field, text] : fields) {
        if (text->size() >= kJobPathSize) {
            ShowText(Window(), FormatMessageId(IDS_PATH_TOO_LONG, {*text}), kStopBox);
            FocusField(field);
            return;
        }
    }
    // The notice only tells the user; when it cannot be made the job runs all the same. Its
    // place is given in pixels at 96 DPI, and grows with the dialog at higher settings.
    const int dpi = DialogDpi();
    notice_ = CreateWindowExW(0, L"STATIC", LoadMessage(IDS_PROCESSING).c_str(),
                              WS_CHILD | WS_VISIBLE | SS_SUNKEN | SS_CENTER, MulDiv(130, dpi, 96),
                              MulDiv(140, dpi, 96), MulDiv(230, dpi, 96), MulDiv(50, dpi, 96),
                              Window(), reinterpret_cast<HMENU>(static_cast<UINT_PTR>(IDC_NOTICE)),
                              GetModuleHandleW(nullptr), nullptr);
    // In the dialog's own font: the system font holds the ANSI code page's characters only.
    if (notice_ != nullptr) {
        SendMessageW(notice_, WM_SETFONT, SendMessageW(Window(), WM_GETFONT, 0, 0), FALSE);
    }
    // The bar moves under the notice text, in thousandths.
    progress_ =
        CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, MulDiv(135, dpi, 96),
                        MulDiv(177, dpi, 96), MulDiv(220, dpi, 96), MulDiv(10, dpi, 96), Window(),
                        nullptr, GetModuleHandleW(nullptr), nullptr);
    if (progress_ != nullptr) {
        SendMessageW(progress_, PBM_SETRANGE32, 0, 1000);
    }
    CopyToSlot(g_job.packagePath, packagePath);
    CopyToSlot(g_job.filePath, script);
    CopyToSlot(g_job.outputPath, output);
    g_job.window = Window();
    g_job.detail = package::InsertDetail{};
    insertJobRunning_ = true;
    EnableInputs(false);
    HANDLE worker = CreateThread(nullptr, 0, &InsertFileWorker, &g_job, 0, nullptr);
    if (worker == nullptr) {
        // No result will ever arrive: report the failure the way a failed insert is reported.
        LRESULT ignored = 0;
        FinishInsertFile(0, -1, ignored);
        return;
    }
    CloseHandle(worker);
}

bool MainDialog::FinishInsertFile(WPARAM, LPARAM insertResult, LRESULT& result) {
    result = 0;
    if (!insertJobRunning_) {
        return true;  // no job of ours: nothing to report
    }
    for (HWND* shown : {&notice_, &progress_}) {
        if (*shown != nullptr) {
            DestroyWindow(*shown);
            *shown = nullptr;
        }
    }
    ShowResult(Window(), static_cast<package::InsertResult>(insertResult), g_job.detail,
               g_job.packagePath);
    EnableInputs(true);
    insertJobRunning_ = false;
    if (closePending_) {
        EndDialog(closeResult_);
    }
    return true;
}

void MainDialog::InsertScript() {
    // Never beside a job: both would write through the engine's one work buffer.
    if (Busy()) {
        return;
    }
    if (!ValidateInputs(ActionInsertScript)) {
        return;
    }
    if (ShowMessage(Window(), IDS_INSERT_SCRIPT_WARNING, kWarningBox) == IDCANCEL) {
        return;
    }
    std::string script = ItemText(IDC_SCRIPT);
    std::string packagePath = ItemText(IDC_PACKAGE);
    std::string member = "InstallScript";
    const char* lastBackslash = platform::FindLastChar(script.c_str(), '\\');
    if (lastBackslash != nullptr && lastBackslash > script.c_str()) {
        member += lastBackslash;
    }
    package::InsertDetail detail;
    package::InsertResult result = RunInsert(packagePath.c_str(), script.c_str(), member.c_str(),
                                             nullptr, Window(), detail, false);
    ShowResult(Window(), result, detail, packagePath);
}

bool MainDialog::ShowInsertProgress(WPARAM thousandths, LPARAM, LRESULT& result) {
    result = 0;
    if (progress_ != nullptr && insertJobRunning_) {
        SendMessageW(progress_, PBM_SETPOS, thousandths, 0);
    }
    return true;
}

}  // namespace app
