#include "package/end_record_search.h"

#include <algorithm>
#include <vector>

#include "package/byte_cursor.h"

namespace package {

int64_t LocateEndRecord(const uint8_t* window, size_t size, uint64_t windowStart) {
    int64_t earliest = -1;
    for (size_t i = 0; i + EndOfCentralDirectory::kSize <= size; ++i) {
        ByteCursor cursor(window + i, size - i);
        EndOfCentralDirectory record;
        if (!ReadRecord(cursor, record)) {
            continue;
        }
        if (earliest < 0) {
            earliest = static_cast<int64_t>(i);
        }
        if (uint64_t{record.directoryOffset} + record.directorySize == windowStart + i) {
            return static_cast<int64_t>(i);
        }
    }
    return earliest;
}

bool ReadEndRecord(platform::File& file, uint64_t archiveStart, EndOfCentralDirectory& record,
                   uint64_t* recordAt, uint64_t archiveEnd) {
    record = EndOfCentralDirectory{};
    uint64_t fileLength = 0;
    if (!file.Size(&fileLength) || (archiveEnd != 0 && archiveEnd > fileLength)) {
        return false;
    }
    if (archiveEnd != 0) {
        fileLength = archiveEnd;
    }
    if (archiveStart > fileLength) {
        return false;
    }
    uint64_t length = fileLength - archiveStart;
    uint8_t tail[EndOfCentralDirectory::kSize];
    uint32_t got = 0;
    if (length >= sizeof(tail) &&
        file.Seek(static_cast<int64_t>(fileLength - sizeof(tail)), platform::SeekFrom::Begin) &&
        file.Read(tail, sizeof(tail), &got) && got == sizeof(tail)) {
        ByteCursor cursor(tail, sizeof(tail));
        if (ReadRecord(cursor, record)) {
            *recordAt = length - sizeof(tail);
            return true;
        }
    }
    uint32_t windowSize = static_cast<uint32_t>(std::min<uint64_t>(length, kEndRecordWindow));
    std::vector<uint8_t> window(windowSize);
    if (windowSize < sizeof(tail) ||
        !file.Seek(static_cast<int64_t>(fileLength - windowSize), platform::SeekFrom::Begin) ||
        !file.Read(window.data(), windowSize, &got) || got != windowSize) {
        record = EndOfCentralDirectory{};
        return false;
    }
    uint64_t windowStart = length - windowSize;
    int64_t at = LocateEndRecord(window.data(), windowSize, windowStart);
    ByteCursor cursor(window.data(), windowSize);
    cursor.SeekTo(static_cast<size_t>(at));
    if (at < 0 || !ReadRecord(cursor, record)) {
        record = EndOfCentralDirectory{};
        return false;
    }
    *recordAt = windowStart + static_cast<uint64_t>(at);
    return true;
}

}  // namespace package
