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

namespace {

DWORD g_timeoutMs = 30000;
std::set<std::wstring> g_pauses;
PROCESS_INFORMATION g_process{};

std::string Utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// Line breaks inside a text are written as \n (and \r as \r) so that one report is one line.
std::string Escaped(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\\') {
            out += L"\\\\";
        } else if (c == L'\n') {
            out += L"\\n";
        } else if (c == L'\r') {
            out += L"\\r";
        } else {
            out += c;
        }
    }
    return Utf8(out);
}

void Say(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

[[noreturn]] void Fail(const std::string& why) {
    Say("FAIL " + why);
    if (g_process.hProcess != nullptr) {
        TerminateProcess(g_process.hProcess, 99);
    }
    std::exit(2);
}

// Stops at a named point when asked to: the window is painted in full first, so that a
// screenshot taken meanwhile shows all of it.
void Pause(const std::string& name, HWND window) {
    if (g_pauses.count(std::wstring(name.begin(), name.end())) == 0) {
        return;
    }
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Say("PAUSE " + name);
    char line[256];
    if (std::fgets(line, sizeof(line), stdin) == nullptr) {
        Fail("standard input ended at pause " + name);
    }
}

// A window's text by WM_GETTEXT: GetWindowTextW across processes would give an edit control's
// creation text, not what it holds now.
std::wstring Text(HWND window) {
    wchar_t text[4096] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                        5000, &length);
    return text;
}

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

// Polls what() every 50 ms until it gives a window; fails after the time-out, or at once if
// the program has ended.
template <typename Probe>
HWND WaitFor(const std::string& what, Probe probe) {
    DWORD start = GetTickCount();
    for (;;) {
        if (HWND window = probe()) {
            return window;
        }
        if (WaitForSingleObject(g_process.hProcess, 0) == WAIT_OBJECT_0) {
            Fail("KitTailor ended while waiting for " + what);
        }
        if (GetTickCount() - start > g_timeoutMs) {
            Fail("timed out waiting for " + what);
        }
        Sleep(50);
    }
}

void WaitGone(HWND window, const std::string& what) {
    DWORD start = GetTickCount();
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (GetTickCount() - start > g_timeoutMs) {
            Fail("timed out waiting for " + what + " to close");
        }
        Sleep(50);
    }
}

void Click(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void SetField(HWND dialog, int id, const std::wstring& text) {
    HWND field = GetDlgItem(dialog, id);
    DWORD_PTR answer = 0;
    if (field == nullptr ||
        !SendMessageTimeoutW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                             SMTO_ABORTIFHUNG, g_timeoutMs, &answer) ||
        Text(field) != text) {
        Fail("could not set field " + std::to_string(id));
    }
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
