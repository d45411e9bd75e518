// What the black-box drivers share: reporting on standard output, failing cleanly, and
// reading, filling and clicking another process's windows with messages only.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace driving {

extern DWORD g_timeoutMs;
extern std::set<std::wstring> g_pauses;  // pause points asked for on the command line
extern PROCESS_INFORMATION g_process;    // the program the driver started
extern HANDLE g_alsoEnd;                 // another process to end should the run fail

std::string Utf8(const std::wstring& text);
// Line breaks inside a text are written as \n (and \r as \r) so that one report is one line.
std::string Escaped(const std::wstring& text);
void Say(const std::string& line);
// Reports the failure, ends the programs the run started, and exits with status 2.
[[noreturn]] void Fail(const std::string& why);
// Stops at a named point when asked to, until a line arrives on standard input; `repaint`
// is painted in full first, so that a screenshot taken meanwhile shows all of it.
void Pause(const std::string& name, HWND repaint = nullptr);

// A driver's command line from argv[first] on. Each of `flags` stands alone, each of `values`
// takes the next argument; every driver also takes --pause-at NAME (any number) and
// --timeout SECONDS, which set g_pauses and g_timeoutMs. Anything else fails the run.
class Options {
  public:
    Options(int argc, wchar_t** argv, int first, std::initializer_list<const wchar_t*> flags,
            std::initializer_list<const wchar_t*> values);
    bool Has(const wchar_t* name) const { return given_.count(name) != 0; }
    // The last value given, or `otherwise`.
    std::wstring Value(const wchar_t* name, const std::wstring& otherwise = L"") const;
    std::vector<std::wstring> Values(const wchar_t* name) const;

  private:
    std::multimap<std::wstring, std::wstring> given_;
};

// A window's text by WM_GETTEXT: GetWindowTextW across processes would give an edit control's
// creation text, not what it holds now.
std::wstring Text(HWND window);
void WaitGone(HWND window, const std::string& what);
void Click(HWND dialog, int id);
void SetField(HWND dialog, int id, const std::wstring& text);

// Polls probe() every 50 ms until it gives a window; fails after the time-out, or at once if
// the started program has ended.
template <typename Probe>
HWND WaitFor(const std::string& what, Probe probe) {
    DWORD start = GetTickCount();
    for (;;) {
        if (HWND window = probe()) {
            return window;
        }
        if (WaitForSingleObject(g_process.hProcess, 0) == WAIT_OBJECT_0) {
            Fail("the program ended while waiting for " + what);
        }
        if (GetTickCount() - start > g_timeoutMs) {
            Fail("timed out waiting for " + what);
        }
        Sleep(50);
    }
}

}  // namespace driving
