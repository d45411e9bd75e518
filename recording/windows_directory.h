// Where the hand-over settings file lives: the Windows directory, taken as the parent of the
// system directory.
#pragma once

#include <cstddef>

namespace recording {

// Fills `buffer` with the Windows directory; it stays as it was when the system directory
// cannot be had.
void GetWindowsDir(char* buffer, unsigned size);

// Cuts the text at its last backslash, walking whole characters; a text that ends with a
// backslash, or holds none, is left as it is.
void CutLastComponent(char* text, size_t length);

}  // namespace recording
