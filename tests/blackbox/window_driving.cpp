#include "blackbox/window_driving.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace driving {

DWORD g_timeoutMs = 30000;
std::set<std::wstring> g_pauses;
PROCESS_INFORMATION g_process{};
HANDLE g_alsoEnd = nullptr;

std::string Utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

Options::Options(int argc, wchar_t** argv, int first, std::initializer_list<const wchar_t*> flags,
                 std::initializer_list<const wchar_t*> values) {
    const std::set<std::wstring> isFlag(flags.begin(), flags.end());
    std::set<std::wstring> takesValue(values.begin(), values.end());
    takesValue.insert({L"--pause-at", L"--timeout"});
    for (int i = first; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (isFlag.count(option) != 0) {
            given_.emplace(option, L"");
        } else if (takesValue.count(option) == 0) {
            Fail("unknown option " + Utf8(option));
        } else if (i + 1 >= argc) {
            Fail("option " + Utf8(option) + " needs a value");
        } else {
            given_.emplace(option, argv[++i]);
        }
    }
    for (const std::wstring& pause : Values(L"--pause-at")) {
        g_pauses.insert(pause);
    }
    if (Has(L"--timeout")) {
        g_timeoutMs = static_cast<DWORD>(_wtoi(Value(L"--timeout").c_str())) * 1000;
    }
}

std::wstring Options::Value(const wchar_t* name, const std::wstring& otherwise) const {
    auto range = given_.equal_range(name);
    return range.first == range.second ? otherwise : std::prev(range.second)->second;
}

std::vector<std::wstring> Options::Values(const wchar_t* name) const {
    std::vector<std::wstring> values;
    auto range = given_.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) {
        values.push_back(it->second);
    }
    return values;
}

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

void Fail(const std::string& why) {
    Say("FAIL " + why);
    if (g_alsoEnd != nullptr) {
        TerminateProcess(g_alsoEnd, 99);
    }
    if (g_process.hProcess != nullptr) {
        TerminateProcess(g_process.hProcess, 99);
    }
    std::exit(2);
}

void Pause(const std::string& name, HWND repaint) {
    if (g_pauses.count(std::wstring(name.begin(), name.end())) == 0) {
        return;
    }
    if (repaint != nullptr) {
        RedrawWindow(repaint, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    }
    Say("PAUSE " + name);
    char line[256];
    if (std::fgets(line, sizeof(line), stdin) == nullptr) {
        Fail("standard input ended at pause " + name);
    }
}

std::wstring Text(HWND window) {
    wchar_t text[4096] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                        5000, &length);
    return text;
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

}  // namespace driving
