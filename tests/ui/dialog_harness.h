// Runs the real main dialog on a thread of its own inside the test process, so a test can
// drive it with window messages. Every message box is answered and recorded: those of the
// dialog's thread through a WH_CBT hook on that thread, those of the insert worker by
// looking for them from the test's thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace uitest {

// Makes `folder` the current directory for the scope's life; the dialog takes its default
// package from there.
class CurrentDirectoryScope {
  public:
    explicit CurrentDirectoryScope(const std::string& folder) {
        char saved[MAX_PATH] = {};
        GetCurrentDirectoryA(sizeof(saved), saved);
        saved_ = saved;
        SetCurrentDirectoryA(folder.c_str());
    }
    ~CurrentDirectoryScope() { SetCurrentDirectoryA(saved_.c_str()); }
    CurrentDirectoryScope(const CurrentDirectoryScope&) = delete;
    CurrentDirectoryScope& operator=(const CurrentDirectoryScope&) = delete;

  private:
    std::string saved_;
};

struct BoxRecord {
    std::string text;
    std::string caption;
    std::vector<int> buttons;          // IDOK, IDCANCEL, IDYES, IDNO present in the box
    bool insertButtonEnabled = false;  // state of the insert-file button while it was open
    bool fromDialogThread = false;
};

class DialogHarness {
  public:
    DialogHarness();
    ~DialogHarness();

    HWND Dialog() const { return dialog_; }
    // The thread the dialog runs on, for telling its work from the worker's.
    DWORD DialogThreadId() const { return dialogThreadId_; }
    HWND Item(int id) const { return GetDlgItem(dialog_, id); }
    std::string Text(int id) const;
    void SetText(int id, const std::string& text);
    // Clicks a button and returns when its handler has returned.
    void Click(int id);

    // Answers for the next boxes, in order; a box with no answer queued gets OK or Yes.
    void QueueAnswer(int button);
    std::vector<BoxRecord> TakeBoxes();
    // Waits until the worker shows a box and answers it; false on time-out.
    bool AnswerWorkerBox(int button, DWORD timeoutMs = 10000);
    // Waits until the insert-file button is enabled again (the job has been reported).
    bool WaitUntilIdle(DWORD timeoutMs = 20000);
    // The control that has the input focus, and the selection of an edit control.
    int FocusedId() const;
    std::pair<int, int> Selection(int id) const;
    bool DialogEnded() const;
    bool WaitForEnd(DWORD timeoutMs = 20000) const;
    // From now on the dialog cannot create a child window with this control id, as when the
    // system runs out of window resources.
    void RefuseChildWindow(int id) { refusedChildId_ = id; }

  private:
    friend LRESULT CALLBACK CbtHook(int code, WPARAM wParam, LPARAM lParam);
    void Record(HWND box, bool fromDialogThread);
    void QueueAnswerFront(int button);
    int NextAnswer(HWND box);

    std::thread thread_;
    HWND dialog_ = nullptr;
    DWORD dialogThreadId_ = 0;
    HANDLE ready_ = nullptr;
    HANDLE ended_ = nullptr;
    mutable std::mutex mutex_;
    std::deque<int> answers_;
    std::vector<BoxRecord> boxes_;
    std::vector<HWND> answered_;
    std::atomic<int> refusedChildId_{0};
};

}  // namespace uitest
