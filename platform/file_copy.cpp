// The buffered copy that both file backends share: through the caller's buffer, exactly
// `count` bytes, failing when the source ends early.
#include "platform/file_copy.h"

#include <algorithm>

namespace platform {

bool CopyThroughBuffer(File& from, File& to, uint64_t count, uint8_t* buffer, uint32_t bufferSize) {
    while (count > 0) {
        uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(count, bufferSize));
        uint32_t got = 0;
        if (!from.Read(buffer, want, &got) || got != want || !to.Write(buffer, got)) {
            return false;
        }
        count -= got;
    }
    return true;
}

}  // namespace platform
