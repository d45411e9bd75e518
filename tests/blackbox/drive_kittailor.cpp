// Drives KitTailor.exe from outside, as a user would, with window messages only: starts it,
// finds its main dialog by caption, fills in the fields, presses "Insert file to package",
// reports every message box it shows, closes it and reports its exit code.
//
//   drive_kittailor --app EXE --caption TEXT [--dir DIR] [--package P] [--file F]
//                   [--output O] [--insert [--boxes N]] [--about] [--pause-at NAME]...
//                   [--timeout SEC]
//
// --about opens the About box from the system menu and closes it again; --insert presses the
// insert button and answers the N message boxes (default 1) that follow, the last being the
// result. Output lines (UTF-8): DIALOG, ABOUT caption=..., BOX caption=... text=...,
// PAUSE NAME, EXIT code=N; FAIL ... on any failure, with a non-zero exit status. At a pause
// point (ready: dialog found and fields filled; about: About box open; boxK: K-th box open;
// result: last box open; late: a box shown while closing) the driver waits for one line on
// standard input before it goes on.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring app, caption, directory, package, file, output;
    bool insert = false, about = false;
    int boxes = 1;
    for (int i = 1; i < argc; ++i) {
        std::wstring option = argv[i];
        if (option == L"--insert") {
            insert = true;
            continue;
        }
        if (option == L"--about") {
            about = true;
            continue;
        }
        if (i + 1 >= argc) {
            Fail("option " + Utf8(option) + " needs a value");
        }
        std::wstring value = argv[++i];
        if (option == L"--app")
            app = value;
        else if (option == L"--caption")
            caption = value;
        else if (option == L"--dir")
            directory = value;
        else if (option == L"--package")
            package = value;
        else if (option == L"--file")
            file = value;
        else if (option == L"--output")
            output = value;
        else if (option == L"--boxes")
            boxes = _wtoi(value.c_str());
        else if (option == L"--pause-at")
            g_pauses.insert(value);
        else if (option == L"--timeout")
            g_timeoutMs = static_cast<DWORD>(_wtoi(value.c_str())) * 1000;
        else
            Fail("unknown option " + Utf8(option));
    }
    if (app.empty() || caption.empty()) {
        Fail(
            "usage: drive_kittailor --app EXE --caption TEXT [--dir DIR] [--package P] "
            "[--file F] [--output O] [--insert [--boxes N]] [--about] [--pause-at NAME]... "
            "[--timeout SEC]");
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
