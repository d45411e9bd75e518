#include "recording/run_program.h"

#include <mbstring.h>

#include <cstring>

#include "recording/wait_serving_messages.h"

namespace recording {

bool DeriveWorkingDirectory(const char* source, char (&directory)[kWorkingDirectorySize]) {
    while (*source == ' ') {
        ++source;
    }
    if (*source == '"') {
        ++source;
    }
    size_t length = std::strlen(source);
    if (length >= sizeof(directory)) {
        return false;
    }
    std::memcpy(directory, source, length + 1);
    // The last backslash, found character by character so that no trail byte of a double-byte
    // character counts.
    unsigned char* text = reinterpret_cast<unsigned char*>(directory);
    unsigned char* last = nullptr;
    for (unsigned char* found = _mbschr(text, '\\'); found != nullptr;
         found = _mbschr(found + 1, '\\')) {
        last = found;
    }
    if (last == nullptr) {
        directory[0] = '\0';
    } else {
        last[1] = '\0';
    }
    return true;
}

int RunProgram(const char* application, char* commandLine, const char* workingDirectory,
               bool deriveDirectory, int showWindow, DWORD creationFlags, bool wait,
               DWORD timeoutMs) {
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof(process));

    char directory[kWorkingDirectorySize];
    const char* startIn = nullptr;
    if (workingDirectory != nullptr) {
        size_t length = std::strlen(workingDirectory);
        if (length >= sizeof(directory)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        std::memcpy(directory, workingDirectory, length + 1);
        startIn = directory;
    } else if (deriveDirectory) {
        const char* source = application != nullptr ? application : commandLine;
        if (source == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (!DeriveWorkingDirectory(source, directory)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        // An empty folder is no folder: process creation would refuse it, while the bare name
        // was found in the current folder, which is where the program then starts.
        startIn = directory[0] != '\0' ? directory : nullptr;
    }

    if (showWindow != 0) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = static_cast<WORD>(showWindow);
    }
    if (!CreateProcessA(application, commandLine, nullptr, nullptr, FALSE, creationFlags, nullptr,
                        startIn, &startup, &process)) {
        return 0;
    }
    int result = 1;
    if (wait && WaitServingSentMessages(process.hProcess, timeoutMs) == WAIT_TIMEOUT) {
        result = -1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

}  // namespace recording
