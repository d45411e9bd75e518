#include "recording/windows_directory.h"

#include <windows.h>

#include <mbstring.h>

namespace recording {

void GetWindowsDir(char* buffer, unsigned size) {
    UINT length = GetSystemDirectoryA(buffer, size);
    if (length != 0 && length < size) {
        CutLastComponent(buffer, length);
    }
}

void CutLastComponent(char* text, size_t length) {
    unsigned char* start = reinterpret_cast<unsigned char*>(text);
    unsigned char* end = start + length;
    unsigned char* lastBackslash = nullptr;
    bool endsWithBackslash = false;
    for (unsigned char* p = start; p < end && *p != '\0'; p = _mbsinc(p)) {
        endsWithBackslash = *p == '\\';
        if (endsWithBackslash) {
            lastBackslash = p;
        }
    }
    if (!endsWithBackslash && lastBackslash != nullptr) {
        *lastBackslash = '\0';
    }
}

}  // namespace recording
