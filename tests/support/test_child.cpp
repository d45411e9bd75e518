// A child program for the launcher and recording tests.
//   test_child.exe --sleep MS --cwd-to FILE [--broadcast MS]
//       sleeps, then writes its working directory to FILE; with --broadcast it first
//       broadcasts WM_SETTINGCHANGE and waits up to MS for each window to answer
//   test_child.exe --hold FILE --sleep MS
//       holds FILE open without sharing for MS
//   test_child.exe
//       plays an installer asked to record: writes what it was handed into probe.txt in its
//       working directory, and a value into the script; when a file "broadcast" lies in that
//       directory it first broadcasts as an installer that changed the environment does, and
//       notes how long the answers took
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string CurrentDirectory() {
    char directory[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof(directory), directory);
    return directory;
}

// WM_SETTINGCHANGE to every top-level window, as after a change of the environment; returns
// the milliseconds until every window had answered or timed out.
DWORD BroadcastSettingChange(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    DWORD_PTR answer = 0;
    SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                        reinterpret_cast<LPARAM>("Environment"), SMTO_NORMAL, timeoutMs, &answer);
    return GetTickCount() - start;
}

bool WriteText(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

int PlayInstaller() {
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, sizeof(windows));
    std::string handOver = std::string(windows) + "\\Zor.ini";
    char record[16] = {};
    char script[MAX_PATH] = {};
    GetPrivateProfileStringA("Setup", "AutoScriptRec", "", record, sizeof(record),
                             handOver.c_str());
    GetPrivateProfileStringA("Setup", "ScriptFile", "", script, sizeof(script), handOver.c_str());
    std::string probe = "cwd=" + CurrentDirectory() + "\nAutoScriptRec=" + record +
                        "\nScriptFile=" + script + "\ncommandline=" + GetCommandLineA() + "\n";
    if (GetFileAttributesA("broadcast") != INVALID_FILE_ATTRIBUTES) {
        probe += "broadcast-ms=" + std::to_string(BroadcastSettingChange(30000)) + "\n";
    }
    if (script[0] != '\0') {
        WritePrivateProfileStringA("Setup", "installpath", "C:\\Probe", script);
    }
    return WriteText("probe.txt", probe) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) {
        return PlayInstaller();
    }
    DWORD sleepMs = 0;
    DWORD broadcastMs = 0;
    const char* cwdFile = nullptr;
    HANDLE held = INVALID_HANDLE_VALUE;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--hold") == 0) {
            // As a virus scanner holds a file it looks at: open, sharing nothing.
            held = CreateFileA(argv[i + 1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (held == INVALID_HANDLE_VALUE) {
                return 3;
            }
        }
        if (std::strcmp(argv[i], "--sleep") == 0) {
            sleepMs = static_cast<DWORD>(std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--cwd-to") == 0) {
            cwdFile = argv[i + 1];
        } else if (std::strcmp(argv[i], "--broadcast") == 0) {
            broadcastMs = static_cast<DWORD>(std::atoi(argv[i + 1]));
        }
    }
    if (broadcastMs != 0) {
        BroadcastSettingChange(broadcastMs);
    }
    Sleep(sleepMs);
    if (held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
        return 0;
    }
    return cwdFile != nullptr && WriteText(cwdFile, CurrentDirectory()) ? 0 : 2;
}
