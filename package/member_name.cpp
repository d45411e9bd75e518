#include "package/member_name.h"

#include <cstring>
#include <initializer_list>

#include "platform/filesystem.h"
#include "platform/multibyte.h"

namespace package {
namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

}  // namespace

const char* MemberNameFromPath(const char* path) {
    return path + platform::DirectoryPartLength(path);
}

bool HasParentComponent(const char* text) {
    const char* start = text;
    for (const char* p = text;; ++p) {
        if (*p == '\0' || IsSeparator(*p)) {
            if (p - start == 2 && start[0] == '.' && start[1] == '.') {
                return true;
            }
            if (*p == '\0') {
                return false;
            }
            start = p + 1;
        }
    }
}

bool EscapesBase(const char* name) {
    return IsSeparator(name[0]) || std::strchr(name, ':') != nullptr || HasParentComponent(name);
}

bool NamesDirectory(const char* name) {
    // The last byte alone would take the trail byte 0x5C of a double-byte character for '\'.
    for (char separator : {'\\', '/'}) {
        const char* last = platform::FindLastChar(name, separator);
        if (last != nullptr && last[1] == '\0') {
            return true;
        }
    }
    return false;
}

}  // namespace package
