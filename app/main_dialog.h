// The tool's one window: three path fields, the silent-mode check box and the actions.
#pragma once

#include <windows.h>

#include <string>

#include "app/dialog.h"
#include "app/drop_files.h"
#include "package/insert_file.h"

namespace app {

// Sent by the insert worker to the dialog, word parameter 0, long parameter the result.
constexpr UINT WM_INSERT_DONE = WM_USER + 1230;
// Posted by the insert worker while it works, word parameter the thousandths done.
constexpr UINT WM_INSERT_PROGRESS = WM_USER + 1231;

constexpr size_t kJobPathSize = 260;

// What the insert worker needs, filled by the dialog before the worker starts and only read
// by it afterwards.
struct InsertJob {
    char packagePath[kJobPathSize];
    char filePath[kJobPathSize];
    char outputPath[kJobPathSize];
    HWND window;
    // Filled by the worker; the dialog reads it while the worker waits for its result to be
    // handled.
    package::InsertDetail detail;
};

enum ActionType { ActionRecord = 1, ActionInsertScript = 2, ActionInsertFile = 3 };

// True when `path` is not empty, does not begin with a backslash, and its attributes can be read.
bool PathExists(const char* path);

// The insert worker's thread routine: runs the insert and sends its result to the dialog.
DWORD WINAPI InsertFileWorker(LPVOID job);

class MainDialog : public Dialog {
  public:
    MainDialog();
    ~MainDialog() override;

    bool ValidateInputs(int action);
    // From the start of an insert-file job until its result has been reported.
    bool InsertJobRunning() const { return insertJobRunning_; }
    // An insert-file job runs, or the installer runs for a recording: the actions wait.
    bool Busy() const { return insertJobRunning_ || recording_; }

  protected:
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    std::span<const MapEntry> MessageMap() const override;

  private:
    class RecordingUser;

    bool OnSysCommand(WPARAM command, LPARAM, LRESULT& result);
    bool OnPaint(WPARAM, LPARAM, LRESULT& result);
    bool OnQueryDragIcon(WPARAM, LPARAM, LRESULT& result);
    bool FinishInsertFile(WPARAM, LPARAM insertResult, LRESULT& result);
    bool ShowInsertProgress(WPARAM thousandths, LPARAM, LRESULT& result);
    bool OnDropFiles(WPARAM drop, LPARAM, LRESULT& result);
    void AcceptDroppedFiles();

    void BrowsePackage();
    void BrowseScript();
    void BrowseOutput();
    void RecordInstallScript();
    void InsertScript();
    void StartInsertFile();

    void EnableInputs(bool enable);
    void FocusField(int controlId);
    // The dots per inch the dialog is laid out for: the system's setting, the program being
    // DPI-aware.
    int DialogDpi() const;
    // Ends the dialog, unless an insert is still writing: then the end waits for its result.
    void CloseWhenIdle(INT_PTR result);
    void Browse(int field, bool save, const wchar_t* initialName, UINT nameStringId,
                const wchar_t* pattern, UINT titleStringId, DWORD flags, bool keepDirectory);
    bool RefuseAccess(int field, const std::string& path);

    HICON icon_;
    HICON smallIcon_;
    // Only shown while a job runs; a job also runs without it when it cannot be made.
    HWND notice_ = nullptr;
    HWND progress_ = nullptr;
    bool insertJobRunning_ = false;
    bool recording_ = false;
    bool closePending_ = false;
    INT_PTR closeResult_ = IDCANCEL;
};

}  // namespace app
