#include "package/end_record_search.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "package/byte_cursor.h"

namespace package {

int64_t LocateEndRecord(const uint8_t* window, size_t size, uint64_t windowStart) {
    if (size < end_record::kSize) {
        return -1;
    }
    int64_t earliest = -1;
    for (size_t i = 0; i + end_record::kSize <= size; ++i) {
        if (GetU32(window + i) != end_record::kSignature) {
            continue;
        }
        if (earliest < 0) {
            earliest = static_cast<int64_t>(i);
        }
        uint64_t directoryEnd = uint64_t{GetU32(window + i + end_record::kDirectoryOffsetAt)} +
                                GetU32(window + i + end_record::kDirectorySizeAt);
        if (directoryEnd == windowStart + i) {
            return static_cast<int64_t>(i);
        }
    }
    return earliest;
}

bool ReadEndRecord(platform::File& file, uint64_t archiveStart, EndOfCentralDirectory& record,
                   uint64_t* recordAt) {
    record = EndOfCentralDirectory{};
    uint64_t fileLength = 0;
    if (!file.Size(&fileLength) || archiveStart > fileLength) {
        return false;
    }
    uint64_t length = fileLength - archiveStart;
    uint8_t tail[end_record::kSize];
    uint32_t got = 0;
    if (length >= end_record::kSize &&
        file.Seek(-static_cast<int64_t>(end_record::kSize), platform::SeekFrom::End) &&
        file.Read(tail, sizeof(tail), &got) && got == sizeof(tail) &&
        GetU32(tail) == end_record::kSignature) {
        record = EndOfCentralDirectory::Decode(tail);
        *recordAt = length - end_record::kSize;
        return true;
    }
    uint32_t windowSize = static_cast<uint32_t>(std::min<uint64_t>(length, kEndRecordWindow));
    if (windowSize < end_record::kSize) {
        return false;
    }
    std::vector<uint8_t> window(windowSize);
    if (!file.Seek(-static_cast<int64_t>(windowSize), platform::SeekFrom::End) ||
        !file.Read(window.data(), windowSize, &got) || got != windowSize) {
        return false;
    }
    uint64_t windowStart = length - windowSize;
    int64_t at = LocateEndRecord(window.data(), windowSize, windowStart);
    if (at < 0) {
        return false;
    }
    std::memcpy(tail, window.data() + at, sizeof(tail));
    record = EndOfCentralDirectory::Decode(tail);
    *recordAt = windowStart + static_cast<uint64_t>(at);
    return true;
}

}  // namespace package
