#include <windows.h>

#include "tools/zor_setup/setup_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace zor_setup {
namespace {

std::FILE* g_log = nullptr;

}  // namespace

void OpenSetupLog() {
    char directory[MAX_PATH + 1] = {};
    DWORD length = GetTempPathA(sizeof(directory), directory);
    if (length == 0 || length >= sizeof(directory)) {
        return;
    }
    std::string path = std::string(directory) + "ZorSetup.log";
    g_log = std::fopen(path.c_str(), "w");
}

void LogLine(const char* format, ...) {
    if (g_log == nullptr) {
        return;
    }
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(g_log, format, arguments);
    va_end(arguments);
    std::fputc('\n', g_log);
    std::fflush(g_log);
}

}  // namespace zor_setup
