// Text in the system's multibyte (ANSI) code page, walked a whole character at a time.
#pragma once

#include <cstddef>

namespace platform {

// Sets the runtime's multibyte code page to the system's ANSI code page; call once at start.
void InitMultibyteText();

// Position of the first or last character whose first byte is `c`, or nullptr. The second
// byte of a double-byte character never matches.
const char* FindFirstChar(const char* text, char c);
const char* FindLastChar(const char* text, char c);

// Compares without regard to case (Windows: _mbsicmp; POSIX: ASCII case folding).
int CompareNoCase(const char* a, const char* b);

// Whether two path texts name the same path for the in-place decision: case-insensitive on
// Windows, exact on POSIX where names are case-sensitive.
bool SamePathText(const char* a, const char* b);

}  // namespace platform
