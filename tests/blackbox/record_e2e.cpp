// Drives a whole recording from outside, with window messages only, in one of two modes:
//
//   record_e2e record --app KITTAILOR --caption TEXT [--dir DIR] [--script NAME]
//                     [--install-folder F [--server]] [--output NAME] [--pause-at NAME]...
//                     [--timeout SEC]
//   record_e2e run --app PACKAGE [--dir DIR] [--timeout SEC]
//
// record: starts KitTailor in DIR, finds its main dialog by caption, fills in the script field
// and presses Record. With --install-folder the installer's window must then show up (a
// window of another process whose caption starts with "Zor Setup"): the driver fills in the
// folder, picks the server type with --server, and presses Finish. Without it no installer
// window may show up. Either way the driver answers the message box KitTailor shows next; with
// --output it then fills in the new package field, presses "Insert file to package" and
// answers that result box. Last it closes KitTailor.
// run: starts a package and waits for it to end; any window it shows is a failure.
//
// Output lines (UTF-8): DIALOG, SETUP caption=..., BOX caption=... text=..., PAUSE NAME,
// EXIT code=N; FAIL ... on any failure, with a non-zero exit status. At a pause point (setup:
// the installer's window found; box1, box2: KitTailor's first and second box open) the driver
// waits for one line on standard input before it goes on.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "blackbox/window_driving.h"

namespace {

using namespace driving;

const std::wstring kSetupCaptionStart = L"Zor Setup";
constexpr int kInstallFolderId = 1001;
constexpr int kTypeClientId = 1005;
constexpr int kTypeServerId = 1006;

HWND g_dialog = nullptr;  // KitTailor's main dialog

struct WindowSearch {
    DWORD processId;  // windows of this process, or of any other when `others` is set
    bool others;
    bool dialogsOnly;  // only windows of the dialog class
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    if ((owner == search->processId) != search->others && IsWindowVisible(window) &&
        (!search->dialogsOnly || std::wstring(name) == L"#32770")) {
        search->found.push_back(window);
    }
    return TRUE;
}

std::vector<HWND> VisibleWindows(DWORD processId, bool others, bool dialogsOnly) {
    WindowSearch search{processId, others, dialogsOnly, {}};
    EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// KitTailor's message box: one of its dialogs with the box's text control. The main dialog
// is left out: its progress notice, shown while inserting, has that number too.
HWND FindMessageBox() {
    for (HWND window : VisibleWindows(g_process.dwProcessId, false, true)) {
        if (window != g_dialog && GetDlgItem(window, 0xFFFF) != nullptr) {
            return window;
        }
    }
    return nullptr;
}

// The installer's window: shown by another process, its caption starting with "Zor Setup".
HWND FindSetupWindow() {
    for (HWND window : VisibleWindows(g_process.dwProcessId, true, true)) {
        if (Text(window).compare(0, kSetupCaptionStart.size(), kSetupCaptionStart) == 0) {
            return window;
        }
    }
    return nullptr;
}

// Holds on to the process of the installer's window, to end it should the run fail.
void KeepSetupProcess(HWND setup) {
    DWORD processId = 0;
    GetWindowThreadProcessId(setup, &processId);
    if (g_alsoEnd == nullptr) {
        g_alsoEnd = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
    }
}

void FailIfSetupWindow(const std::string& when) {
    if (HWND setup = FindSetupWindow()) {
        KeepSetupProcess(setup);
        Fail("the installer's window \"" + Utf8(Text(setup)) + "\" appeared " + when);
    }
}

LRESULT CheckState(HWND dialog, int id) {
    DWORD_PTR state = 0;
    SendMessageTimeoutW(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &state);
    return static_cast<LRESULT>(state);
}

// Picks the server type as a click on its radio button would, the client type losing its dot.
void ChooseServerType(HWND setup) {
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(GetDlgItem(setup, kTypeServerId), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG,
                        g_timeoutMs, &answer);
    if (CheckState(setup, kTypeServerId) != BST_CHECKED ||
        CheckState(setup, kTypeClientId) != BST_UNCHECKED) {
        Fail("could not choose the server type in the installer's window");
    }
}

// Waits for KitTailor's next box, reports it and answers it with its OK button. Meanwhile no
// installer window may show up.
void AnswerNextBox(int number) {
    std::string what = "message box ";
    what += std::to_string(number);
    HWND box = WaitFor(what, [] {
        FailIfSetupWindow("while waiting for KitTailor's message box");
        return FindMessageBox();
    });
    Say("BOX caption=" + Escaped(Text(box)) + " text=" + Escaped(Text(GetDlgItem(box, 0xFFFF))));
    Pause("box" + std::to_string(number));
    if (GetDlgItem(box, IDOK) == nullptr) {
        Fail(what + " has no OK button");
    }
    Click(box, IDOK);
    WaitGone(box, "message box " + std::to_string(number));
}

void Start(const std::wstring& program, const std::wstring& directory) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &g_process)) {
        Fail("cannot start " + Utf8(program) + ", error " + std::to_string(GetLastError()));
    }
}

// Waits for the started program to end; a visible window of it is a failure when `quiet`,
// and otherwise a message box of KitTailor's still open is reported and answered.
DWORD WaitForEnd(bool quiet) {
    DWORD start = GetTickCount();
    while (WaitForSingleObject(g_process.hProcess, 50) == WAIT_TIMEOUT) {
        if (quiet) {
            std::vector<HWND> shown = VisibleWindows(g_process.dwProcessId, false, false);
            if (!shown.empty()) {
                Fail("the package showed a window \"" + Utf8(Text(shown.front())) + "\"");
            }
        } else if (FindMessageBox() != nullptr) {
            AnswerNextBox(99);
        }
        if (GetTickCount() - start > g_timeoutMs) {
            Fail("timed out waiting for the program to end");
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(g_process.hProcess, &code);
    CloseHandle(g_process.hThread);
    CloseHandle(g_process.hProcess);
    return code;
}

}  // namespace

// The installer's recording window: the install folder, the server type when asked, OK.
void AnswerSetup(HWND setup, const std::wstring& installFolder, bool server) {
    KeepSetupProcess(setup);
    Say("SETUP caption=" + Escaped(Text(setup)));
    Pause("setup");
    SetField(setup, kInstallFolderId, installFolder);
    if (server) {
        ChooseServerType(setup);
    }
    Click(setup, IDOK);
    WaitGone(setup, "the installer's window");
}

void FillInSetup(const std::wstring& installFolder, bool server) {
    AnswerSetup(WaitFor("the installer's window", [] { return FindSetupWindow(); }), installFolder,
                server);
}

int wmain(int argc, wchar_t** argv) {
    std::wstring mode = argc > 1 ? argv[1] : L"";
    const Options options(
        argc, argv, 2, {L"--server"},
        {L"--app", L"--caption", L"--dir", L"--script", L"--install-folder", L"--output"});
    const std::wstring app = options.Value(L"--app"), caption = options.Value(L"--caption"),
                       directory = options.Value(L"--dir"), script = options.Value(L"--script"),
                       installFolder = options.Value(L"--install-folder"),
                       output = options.Value(L"--output");
    const bool server = options.Has(L"--server");
    if (mode == L"setup" && !installFolder.empty()) {
        // Another program (ktl record) started the installer: answer its window only.
        FillInSetup(installFolder, server);
        Say("DONE");
        return 0;
    }
    if (app.empty() || (mode != L"run" && (mode != L"record" || caption.empty()))) {
        Fail(
            "usage: record_e2e record --app EXE --caption TEXT [--dir DIR] [--script NAME] "
            "[--install-folder F [--server]] [--output NAME] [--pause-at NAME]... "
            "[--timeout SEC] | record_e2e run --app PACKAGE [--dir DIR] [--timeout SEC] | "
            "record_e2e setup --install-folder F [--server] [--timeout SEC]");
    }

    Start(app, directory);
    if (mode == L"run") {
        Say("EXIT code=" + std::to_string(WaitForEnd(true)));
        return 0;
    }

    g_dialog = WaitFor("the main dialog", [&]() -> HWND {
        for (HWND window : VisibleWindows(g_process.dwProcessId, false, true)) {
            if (Text(window) == caption) {
                return window;
            }
        }
        return nullptr;
    });
    HWND dialog = g_dialog;
    Say("DIALOG");
    if (!script.empty()) {
        SetField(dialog, 1002, script);
    }
    Click(dialog, 1000);

    if (!installFolder.empty()) {
        // KitTailor waits for the installer, so a box of its own here means it refused.
        HWND setup = WaitFor("the installer's window", [] {
            if (HWND box = FindMessageBox()) {
                Fail("KitTailor showed \"" + Escaped(Text(GetDlgItem(box, 0xFFFF))) +
                     "\" instead of running the installer");
            }
            return FindSetupWindow();
        });
        AnswerSetup(setup, installFolder, server);
    }
    AnswerNextBox(1);
    FailIfSetupWindow("after KitTailor's message box");

    if (!output.empty()) {
        SetField(dialog, 1008, output);
        Click(dialog, 1005);
        AnswerNextBox(2);
    }

    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    Say("EXIT code=" + std::to_string(WaitForEnd(false)));
    return 0;
}
