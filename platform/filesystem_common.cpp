// The parts of the filesystem layer that both backends share.
#include <algorithm>
#include <cstring>

#include "platform/filesystem.h"

namespace platform {

void DirectoryOf(const char* path, char (&directory)[kPathBufferSize]) {
    // The directory part is shorter than the path, which the callers' buffers hold.
    size_t length = std::min(DirectoryPartLength(path), sizeof(directory) - 1);
    if (length == 0) {
        std::strcpy(directory, ".");
        return;
    }
    std::memcpy(directory, path, length);
    directory[length] = '\0';
}

}  // namespace platform
