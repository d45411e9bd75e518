// Inserting a file into the package: on a worker thread for the insert-file button, on the
// dialog's own thread for the insert-script button.
#include <cstring>
#include <utility>

#include "app/main_dialog.h"
#include "app/messages.h"
#include "platform/multibyte.h"
#include "res/message_ids.h"
#include "res/resource_ids.h"

namespace app {
namespace {

InsertJob g_job;

// The engine's question and refusal, as message boxes from the thread that runs the insert.
class MessageBoxPrompter : public package::InsertPrompter {
  public:
    explicit MessageBoxPrompter(HWND owner) : owner_(owner) {}
    bool AskYesNo(int messageId) override {
        return ui::ShowMessage(owner_, static_cast<UINT>(messageId), ui::kQuestionBox) != IDNO;
    }
    void ShowStop(int messageId) override {
        ui::ShowMessage(owner_, static_cast<UINT>(messageId), ui::kStopBox);
    }

  private:
    HWND owner_;
};

bool CopyToSlot(char (&slot)[kJobPathSize], const std::string& text) {
    if (text.size() >= kJobPathSize) {
        return false;
    }
    std::memcpy(slot, text.c_str(), text.size() + 1);
    return true;
}

void ShowResult(HWND owner, package::InsertResult result) {
    if (result < 0) {
        ui::ShowMessage(owner, IDS_INSERT_FAILED, ui::kStopBox);
    } else {
        ui::ShowMessage(owner, IDS_INSERT_SUCCESS, ui::kInformationBox);
    }
}

}  // namespace

DWORD WINAPI InsertFileWorker(LPVOID parameter) {
    auto* job = static_cast<InsertJob*>(parameter);
    MessageBoxPrompter prompter(job->window);
    package::InsertResult result = package::InsertFileIntoPackage(
        job->packagePath, job->filePath, nullptr, job->outputPath, prompter);
    SendMessageA(job->window, WM_INSERT_DONE, 0, static_cast<LPARAM>(result));
    return static_cast<DWORD>(result);
}

void MainDialog::StartInsertFile() {
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
            ui::ShowText(Window(), ui::FormatMessageId(IDS_PATH_TOO_LONG, {*text}), ui::kStopBox);
            FocusField(field);
            return;
        }
    }
    notice_ = CreateWindowExA(0, "STATIC", ui::LoadMessage(IDS_PROCESSING).c_str(),
                              WS_CHILD | WS_VISIBLE | SS_SUNKEN | SS_CENTER, 130, 140, 230, 50,
                              Window(), reinterpret_cast<HMENU>(static_cast<UINT_PTR>(IDC_NOTICE)),
                              GetModuleHandleA(nullptr), nullptr);
    CopyToSlot(g_job.packagePath, packagePath);
    CopyToSlot(g_job.filePath, script);
    CopyToSlot(g_job.outputPath, output);
    g_job.window = Window();
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
    if (notice_ != nullptr) {
        DestroyWindow(notice_);
        notice_ = nullptr;
    }
    ShowResult(Window(), static_cast<package::InsertResult>(insertResult));
    EnableInputs(true);
    result = 0;
    if (closePending_) {
        EndDialog(closeResult_);
    }
    return true;
}

void MainDialog::InsertScript() {
    if (!ValidateInputs(ActionInsertScript)) {
        return;
    }
    if (ui::ShowMessage(Window(), IDS_INSERT_SCRIPT_WARNING, ui::kWarningBox) == IDCANCEL) {
        return;
    }
    std::string script = ItemText(IDC_SCRIPT);
    std::string packagePath = ItemText(IDC_PACKAGE);
    std::string member = "InstallScript";
    const char* lastBackslash = platform::FindLastChar(script.c_str(), '\\');
    if (lastBackslash != nullptr && lastBackslash > script.c_str()) {
        member += lastBackslash;
    }
    MessageBoxPrompter prompter(Window());
    ShowResult(Window(), package::InsertFileIntoPackage(packagePath.c_str(), script.c_str(),
                                                        member.c_str(), nullptr, prompter));
}

}  // namespace app
