// A child program for the launcher and recording tests.
//   test_child.exe --sleep MS --cwd-to FILE   sleeps, then writes its working directory to FILE
//   test_child.exe                            plays an installer asked to record: writes what
//                                             it was handed into probe.txt in its working
//                                             directory, and a value into the script
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
    const char* cwdFile = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--sleep") == 0) {
            sleepMs = static_cast<DWORD>(std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--cwd-to") == 0) {
            cwdFile = argv[i + 1];
        }
    }
    Sleep(sleepMs);
    return cwdFile != nullptr && WriteText(cwdFile, CurrentDirectory()) ? 0 : 2;
}
