#include <cstring>

#include "platform/multibyte.h"

namespace platform {

void InitMultibyteText() {}

const char* FindFirstChar(const char* text, char c) {
    return std::strchr(text, c);
}

const char* FindLastChar(const char* text, char c) {
    return std::strrchr(text, c);
}

int CompareNoCase(const char* a, const char* b) {
    auto fold = [](unsigned char ch) { return (ch >= 'A' && ch <= 'Z') ? ch + ('a' - 'A') : ch; };
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    while (*x != '\0' && fold(*x) == fold(*y)) {
        ++x;
        ++y;
    }
    return static_cast<int>(fold(*x)) - static_cast<int>(fold(*y));
}

bool SamePathText(const char* a, const char* b) {
    return std::strcmp(a, b) == 0;
}

}  // namespace platform
