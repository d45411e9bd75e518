// Drives KitTailor.exe from outside, as a user would, with window messages only: starts it,
// finds its main dialog by caption, fills in the fields, presses "Insert file to package",
// reports every message box it shows, closes it and reports its exit code.
//
//   drive_kittailor --app EXE --caption TEXT [--dir DIR] [--package P] [--file F]
//                   [--output O] [--drop ID:FILE[|FILE]...]... [--layout]
//                   [--insert [--boxes N]] [--about] [--pause-at NAME]... [--timeout SEC]
//
// --drop drops the files on control ID (0: on the dialog's background) the way the shell
// does, through the probe of dialog_probe.h, and reports the three fields; --layout has the
// probe measure every text against its control. --about opens the About box from the system
// menu and closes it again; --insert presses the insert button and answers the N message
// boxes (default 1) that follow, the last being the result. Output lines (UTF-8): DIALOG,
// FIELDS package=... script=... output=..., LAYOUT ok (or what does not fit), DPI N,
// ABOUT caption=..., BOX caption=... text=..., PAUSE NAME, EXIT code=N; FAIL ... on
// any failure, with a non-zero exit status. At a pause point (ready: dialog found and fields
// filled; about: About box open; boxK: K-th box open; result: last box open; late: a box shown
// while closing) the driver waits for one line on standard input before it goes on.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "blackbox/dialog_probe.h"
#include "blackbox/window_driving.h"

namespace {

using namespace driving;

bool IsDialogClass(HWND window) {
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    return std::wstring(name) == L"#32770";
}

struct DialogSearch {
    HWND except;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<DialogSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == g_process.dwProcessId && window != search->except && IsWindowVisible(window) &&
        IsDialogClass(window)) {
        search->found.push_back(window);
    }
    return TRUE;
}

// The program's visible top-level dialogs, other than except.
std::vector<HWND> ProcessDialogs(HWND except) {
    DialogSearch search{except, {}};
    EnumWindows(&CollectDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool IsMessageBox(HWND window) {
    return GetDlgItem(window, 0xFFFF) != nullptr;
}

// Reports a message box, then answers it with its OK button, or No or Cancel when it has none.
void AnswerBox(HWND box, const std::string& pause) {
    Say("BOX caption=" + Escaped(Text(box)) + " text=" + Escaped(Text(GetDlgItem(box, 0xFFFF))));
    Pause(pause, box);
    for (int id : {IDOK, IDNO, IDCANCEL}) {
        if (GetDlgItem(box, id) != nullptr) {
            Click(box, id);
            break;
        }
    }
    WaitGone(box, "the message box");
}

HWND FindMessageBox(HWND dialog) {
    for (HWND window : ProcessDialogs(dialog)) {
        if (IsMessageBox(window)) {
            return window;
        }
    }
    return nullptr;
}

// The probe in KitTailor's dialog thread, put there on first use.
class Probe {
  public:
    explicit Probe(HWND dialog) : dialog_(dialog) {}

    probe::Request& Request() {
        if (request_ == nullptr) {
            Install();
        }
        return *request_;
    }

    // Hands the request over and waits until the dialog has acted on it.
    void Ask(const std::string& what) {
        InterlockedExchange(&request_->done, 0);
        PostMessageW(dialog_, RegisterWindowMessageW(probe::kProbeMessageName), 0, 0);
        WaitFor(what, [&]() -> HWND { return request_->done ? dialog_ : nullptr; });
        // Past this, the dialog has dispatched what the probe turned the message into.
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(dialog_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, g_timeoutMs, &ignored);
    }

  private:
    void Install() {
        wchar_t name[64];
        probe::SharedName(g_process.dwProcessId, name);
        HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            sizeof(probe::Request), name);
        request_ =
            mapping != nullptr
                ? static_cast<probe::Request*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0))
                : nullptr;
        // The probe library lies beside this program.
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring library(path);
        library = library.substr(0, library.find_last_of(L'\\') + 1) + L"dialog_probe.dll";
        HMODULE module = LoadLibraryW(library.c_str());
        auto hook = module != nullptr ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void (*)()>(
                                            GetProcAddress(module, probe::kHookName)))
                                      : nullptr;
        if (request_ == nullptr || hook == nullptr ||
            SetWindowsHookExW(WH_GETMESSAGE, hook, module,
                              GetWindowThreadProcessId(dialog_, nullptr)) == nullptr) {
            Fail("cannot put the probe into the dialog: " + Utf8(library) + ", error " +
                 std::to_string(GetLastError()));
        }
    }

    HWND dialog_;
    probe::Request* request_ = nullptr;
};

void DropFiles(Probe& probe, HWND dialog, const std::wstring& spec) {
    size_t colon = spec.find(L':');
    if (colon == std::wstring::npos) {
        Fail("--drop wants ID:FILE, not " + Utf8(spec));
    }
    int id = _wtoi(spec.substr(0, colon).c_str());
    std::wstring files = spec.substr(colon + 1);
    probe::Request& request = probe.Request();
    if (files.size() + 2 > std::size(request.files)) {
        Fail("--drop names too long");
    }
    request.kind = probe::kDrop;
    request.point = POINT{2, 2};  // the dialog's background, away from every control
    if (id != 0) {
        RECT rect;
        GetWindowRect(GetDlgItem(dialog, id), &rect);
        request.point = POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
        ScreenToClient(dialog, &request.point);
    }
    for (wchar_t& c : files) {
        c = c == L'|' ? L'\0' : c;
    }
    std::fill(std::begin(request.files), std::end(request.files), L'\0');
    files.copy(request.files, files.size());
    probe.Ask("the drop on control " + std::to_string(id));
    Say("FIELDS package=" + Escaped(Text(GetDlgItem(dialog, 1001))) +
        " script=" + Escaped(Text(GetDlgItem(dialog, 1002))) +
        " output=" + Escaped(Text(GetDlgItem(dialog, 1008))));
}

void CheckLayout(Probe& probe) {
    probe::Request& request = probe.Request();
    request.kind = probe::kCheckLayout;
    probe.Ask("the layout check");
    Say(request.report[0] == L'\0' ? std::string("LAYOUT ok")
                                   : "LAYOUT " + Escaped(request.report));
    Say("DPI " + std::to_string(request.dpi));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const Options options(argc, argv, 1, {L"--insert", L"--about", L"--layout"},
                          {L"--app", L"--caption", L"--dir", L"--package", L"--file", L"--output",
                           L"--drop", L"--boxes"});
    const std::wstring app = options.Value(L"--app"), caption = options.Value(L"--caption"),
                       directory = options.Value(L"--dir"), package = options.Value(L"--package"),
                       file = options.Value(L"--file"), output = options.Value(L"--output");
    const bool insert = options.Has(L"--insert"), about = options.Has(L"--about"),
               layout = options.Has(L"--layout");
    const std::vector<std::wstring> drops = options.Values(L"--drop");
    const int boxes = _wtoi(options.Value(L"--boxes", L"1").c_str());
    if (app.empty() || caption.empty()) {
        Fail(
            "usage: drive_kittailor --app EXE --caption TEXT [--dir DIR] [--package P] "
            "[--file F] [--output O] [--drop ID:FILE[|FILE]...]... [--layout] "
            "[--insert [--boxes N]] [--about] [--pause-at NAME]... [--timeout SEC]");
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    std::wstring commandLine = L"\"" + app + L"\"";
    if (!CreateProcessW(app.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &g_process)) {
        Fail("cannot start " + Utf8(app) + ", error " + std::to_string(GetLastError()));
    }

    HWND dialog = WaitFor("the main dialog", [&]() -> HWND {
        for (HWND window : ProcessDialogs(nullptr)) {
            if (Text(window) == caption) {
                return window;
            }
        }
        return nullptr;
    });
    Say("DIALOG");
    if (!package.empty())
        SetField(dialog, 1001, package);
    if (!file.empty())
        SetField(dialog, 1002, file);
    if (!output.empty())
        SetField(dialog, 1008, output);
    Probe probe(dialog);
    for (const std::wstring& drop : drops) {
        DropFiles(probe, dialog, drop);
    }
    if (layout) {
        CheckLayout(probe);
    }
    Pause("ready", dialog);

    if (about) {
        PostMessageW(dialog, WM_SYSCOMMAND, 0x10, 0);
        HWND box = WaitFor("the About box", [&]() -> HWND {
            std::vector<HWND> found = ProcessDialogs(dialog);
            return found.empty() ? nullptr : found.front();
        });
        Say("ABOUT caption=" + Escaped(Text(box)));
        Pause("about", box);
        Click(box, IDOK);
        WaitGone(box, "the About box");
    }

    if (insert) {
        Click(dialog, 1005);
        for (int i = 1; i <= boxes; ++i) {
            HWND box =
                WaitFor("message box " + std::to_string(i), [&] { return FindMessageBox(dialog); });
            AnswerBox(box, i == boxes ? "result" : "box" + std::to_string(i));
        }
    }

    // Close the dialog; any box it still shows is reported and answered.
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    DWORD start = GetTickCount();
    while (WaitForSingleObject(g_process.hProcess, 50) == WAIT_TIMEOUT) {
        if (HWND box = FindMessageBox(dialog)) {
            AnswerBox(box, "late");
        }
        if (GetTickCount() - start > g_timeoutMs) {
            Fail("timed out waiting for KitTailor to end");
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(g_process.hProcess, &code);
    Say("EXIT code=" + std::to_string(code));
    CloseHandle(g_process.hThread);
    CloseHandle(g_process.hProcess);
    return 0;
}
