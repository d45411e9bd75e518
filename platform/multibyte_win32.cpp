#include <mbctype.h>
#include <mbstring.h>
#include <windows.h>

#include "platform/multibyte.h"

namespace platform {

void InitMultibyteText() {
    _setmbcp(_MB_CP_ANSI);
}

const char* FindFirstChar(const char* text, char c) {
    for (const char* p = text; *p != '\0'; p = CharNextA(p)) {
        if (*p == c) {
            return p;
        }
    }
    return nullptr;
}

const char* FindLastChar(const char* text, char c) {
    const char* found = nullptr;
    for (const char* p = text; *p != '\0'; p = CharNextA(p)) {
        if (*p == c) {
            found = p;
        }
    }
    return found;
}

int CompareNoCase(const char* a, const char* b) {
    return _mbsicmp(reinterpret_cast<const unsigned char*>(a),
                    reinterpret_cast<const unsigned char*>(b));
}

bool SamePathText(const char* a, const char* b) {
    return CompareNoCase(a, b) == 0;
}

}  // namespace platform
