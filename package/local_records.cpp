#include "package/local_records.h"

#include <algorithm>
#include <numeric>

#include "package/byte_cursor.h"

namespace package {

ArchiveFault FindLocalRecords(platform::File& file, uint64_t archiveStart,
                              const ArchiveDirectory& directory,
                              const std::vector<DirectoryEntry>& entries,
                              std::vector<LocalRecord>& records, uint32_t* faultEntry) {
    records.assign(entries.size(), LocalRecord{});
    std::vector<size_t> order(entries.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return entries[a].header.localHeaderOffset < entries[b].header.localHeaderOffset;
    });
    for (size_t k = 0; k < order.size(); ++k) {
        const size_t i = order[k];
        *faultEntry = static_cast<uint32_t>(i + 1);
        const CentralFileHeader& entry = entries[i].header;
        LocalRecord& record = records[i];
        record.begin = entry.localHeaderOffset;
        record.end = k + 1 < order.size() ? entries[order[k + 1]].header.localHeaderOffset
                                          : directory.end.directoryOffset;
        if (record.end == record.begin) {
            return ArchiveFault::LocalRecordShared;
        }
        // ReadArchiveDirectory proved that the fixed part lies before the directory.
        uint8_t bytes[LocalFileHeader::kSize];
        uint32_t got = 0;
        if (!file.Seek(static_cast<int64_t>(archiveStart + record.begin),
                       platform::SeekFrom::Begin) ||
            !file.Read(bytes, sizeof(bytes), &got)) {
            return ArchiveFault::Unreadable;
        }
        ByteCursor cursor(bytes, got);
        LocalFileHeader header;
        if (!ReadRecord(cursor, header) ||
            uint64_t{record.begin} + header.Length() + entry.compressedSize > record.end) {
            return ArchiveFault::LocalRecordDamaged;
        }
    }
    *faultEntry = 0;
    return ArchiveFault::None;
}

}  // namespace package
