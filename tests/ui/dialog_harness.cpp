#include "tests/ui/dialog_harness.h"

#include <algorithm>

#include "app/main_dialog.h"
#include "res/resource_ids.h"

namespace uitest {
namespace {

DialogHarness* g_harness = nullptr;
HHOOK g_hook = nullptr;

std::string WindowText(HWND window) {
    char text[2048] = {};
    GetWindowTextA(window, text, sizeof(text));
    return text;
}

bool IsMessageBox(HWND window) {
    char name[16] = {};
    GetClassNameA(window, name, sizeof(name));
    return std::string(name) == "#32770" && GetDlgItem(window, 0xFFFF) != nullptr;
}

}  // namespace

// A box is caught when it is activated, or when its button takes the focus: without a window
// manager the activation alone is not dependable.
LRESULT CALLBACK CbtHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && g_harness != nullptr && g_harness->refusedChildId_ != 0) {
        const CREATESTRUCTA* create = reinterpret_cast<CBT_CREATEWNDA*>(lParam)->lpcs;
        // Message boxes number their text 0xFFFF too: only the dialog's own children count.
        if ((create->style & WS_CHILD) && create->hwndParent == g_harness->Dialog() &&
            reinterpret_cast<UINT_PTR>(create->hMenu) ==
                static_cast<UINT_PTR>(g_harness->refusedChildId_)) {
            return 1;  // the creation fails
        }
    }
    if ((code == HCBT_ACTIVATE || code == HCBT_SETFOCUS) && g_harness != nullptr) {
        HWND window = reinterpret_cast<HWND>(wParam);
        if (code == HCBT_SETFOCUS && window != nullptr) {
            window = GetParent(window);
        }
        if (window != nullptr && window != g_harness->Dialog() && IsMessageBox(window)) {
            g_harness->Record(window, true);
        }
    }
    return CallNextHookEx(g_hook, code, wParam, lParam);
}

DialogHarness::DialogHarness() {
    g_harness = this;
    ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ended_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread([this] {
        dialogThreadId_ = GetCurrentThreadId();
        g_hook = SetWindowsHookExA(WH_CBT, &CbtHook, nullptr, dialogThreadId_);
        app::MainDialog dialog;
        // The dialog shows itself once it has initialised; its window is taken from there.
        std::thread signal([this, &dialog] {
            while (dialog.Window() == nullptr || !IsWindowVisible(dialog.Window())) {
                Sleep(10);
            }
            dialog_ = dialog.Window();
            SetEvent(ready_);
        });
        dialog.DoModal(nullptr);
        signal.join();
        UnhookWindowsHookEx(g_hook);
        SetEvent(ended_);
    });
    WaitForSingleObject(ready_, 30000);
}

DialogHarness::~DialogHarness() {
    if (!DialogEnded()) {
        PostMessageA(dialog_, WM_COMMAND, IDCANCEL, 0);
        // A deferred close ends the dialog once the job has been reported.
        WaitForSingleObject(ended_, 30000);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    CloseHandle(ready_);
    CloseHandle(ended_);
    g_harness = nullptr;
}

std::string DialogHarness::Text(int id) const {
    return WindowText(Item(id));
}

void DialogHarness::SetText(int id, const std::string& text) {
    SendMessageA(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void DialogHarness::Click(int id) {
    SendMessageA(dialog_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(Item(id)));
}

void DialogHarness::QueueAnswer(int button) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(button);
}

std::vector<BoxRecord> DialogHarness::TakeBoxes() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<BoxRecord> taken;
    taken.swap(boxes_);
    return taken;
}

void DialogHarness::QueueAnswerFront(int button) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_front(button);
}

int DialogHarness::NextAnswer(HWND box) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!answers_.empty()) {
        int answer = answers_.front();
        answers_.pop_front();
        return answer;
    }
    return GetDlgItem(box, IDYES) != nullptr ? IDYES : IDOK;
}

void DialogHarness::Record(HWND box, bool fromDialogThread) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::find(answered_.begin(), answered_.end(), box) != answered_.end()) {
            return;
        }
    }
    BoxRecord record;
    record.text = WindowText(GetDlgItem(box, 0xFFFF));
    record.caption = WindowText(box);
    for (int button : {IDOK, IDCANCEL, IDYES, IDNO}) {
        if (GetDlgItem(box, button) != nullptr) {
            record.buttons.push_back(button);
        }
    }
    record.insertButtonEnabled = IsWindowEnabled(Item(IDC_INSERT_FILE)) != 0;
    record.fromDialogThread = fromDialogThread;
    int answer = NextAnswer(box);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        boxes_.push_back(record);
        answered_.push_back(box);
    }
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
}

bool DialogHarness::AnswerWorkerBox(int button, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        for (HWND w = GetTopWindow(nullptr); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
            DWORD pid = 0;
            DWORD tid = GetWindowThreadProcessId(w, &pid);
            bool seen;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                seen = std::find(answered_.begin(), answered_.end(), w) != answered_.end();
            }
            if (pid == GetCurrentProcessId() && tid != dialogThreadId_ && !seen &&
                IsWindowVisible(w) && IsMessageBox(w)) {
                QueueAnswerFront(button);
                Record(w, false);
                return true;
            }
        }
        Sleep(20);
    }
    return false;
}

bool DialogHarness::WaitUntilIdle(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (IsWindowEnabled(Item(IDC_INSERT_FILE)) && GetDlgItem(dialog_, IDC_NOTICE) == nullptr) {
            return true;
        }
        Sleep(20);
    }
    return false;
}

int DialogHarness::FocusedId() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(dialogThreadId_, &info) || info.hwndFocus == nullptr) {
        return 0;
    }
    return GetDlgCtrlID(info.hwndFocus);
}

std::pair<int, int> DialogHarness::Selection(int id) const {
    DWORD start = 0;
    DWORD end = 0;
    SendMessageA(Item(id), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    return {static_cast<int>(start), static_cast<int>(end)};
}

bool DialogHarness::WaitForEnd(DWORD timeoutMs) const {
    return WaitForSingleObject(ended_, timeoutMs) == WAIT_OBJECT_0;
}

bool DialogHarness::DialogEnded() const {
    return WaitForSingleObject(ended_, 0) == WAIT_OBJECT_0;
}

}  // namespace uitest
