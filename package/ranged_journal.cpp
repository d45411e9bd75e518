// The ranged journal: for a change that writes more than one stretch of the package, or one
// that does not run to its end (the checksum field, the security directory entry and the
// tail). Its header, then a table of the ranges, then their old bytes:
//
//   signature "KTLJRNL3", package size (u64), range count (u32), kept CRC (u32),
//   kept sum (u32), CRC (u32); per range: offset (u64), length (u32); the saved bytes.
//
// The kept sum and the CRC go in last, once the rest is on the disk, as in the tail format.
#include <zlib.h>

#include <algorithm>
#include <vector>

#include "package/byte_cursor.h"
#include "package/journal.h"
#include "package/package_layout.h"
#include "package/saved_change.h"

namespace package {
namespace {

constexpr uint64_t kSignature = 0x334C4E524A4C544Bull;  // "KTLJRNL3"
constexpr uint32_t kHeaderSize = 32;
constexpr uint32_t kSealAt = 24;  // the kept sum, then the CRC
constexpr uint32_t kCrcAt = 28;
constexpr uint32_t kEntrySize = 12;
// A change writes a few stretches; a journal that claims more is no journal of ours.
constexpr uint32_t kMostRanges = 16;

struct Header {
    uint64_t packageSize = 0;
    uint32_t rangeCount = 0;
    uint32_t keptCrc = 0;
    uint32_t keptSum = 0;
    uint32_t crc = 0;
};

std::vector<uint8_t> HeaderAndTable(const Header& header, const std::vector<SavedRange>& ranges) {
    std::vector<uint8_t> bytes(kHeaderSize + kEntrySize * ranges.size());
    ByteWriter writer(bytes.data(), bytes.size());
    writer.U64(kSignature);
    writer.U64(header.packageSize);
    writer.U32(header.rangeCount);
    writer.U32(header.keptCrc);
    writer.U32(header.keptSum);
    writer.U32(header.crc);
    for (const SavedRange& range : ranges) {
        writer.U64(range.at);
        writer.U32(range.length);
    }
    return bytes;
}

// The CRC-32 of the header up to its own CRC, the table and the saved bytes (`savedCrc` over
// `savedLength` of them).
uint32_t JournalCrc(const std::vector<uint8_t>& headerAndTable, uint32_t savedCrc,
                    uint64_t savedLength) {
    uLong crc = crc32(0, headerAndTable.data(), kCrcAt);
    crc = crc32(crc, headerAndTable.data() + kHeaderSize, headerAndTable.size() - kHeaderSize);
    return static_cast<uint32_t>(crc32_combine(crc, savedCrc, static_cast<z_off_t>(savedLength)));
}

// Sorted, apart, none empty, all within the package.
bool RangesFit(const std::vector<SavedRange>& ranges, uint64_t packageSize) {
    uint64_t from = 0;
    for (const SavedRange& range : ranges) {
        if (range.length == 0 || range.at < from || range.at + range.length > packageSize) {
            return false;
        }
        from = range.at + range.length;
    }
    return !ranges.empty() && ranges.size() <= kMostRanges;
}

}  // namespace

uint64_t KeptEnd(const std::vector<SavedRange>& ranges, uint64_t packageSize) {
    return !ranges.empty() && ranges.back().at + ranges.back().length == packageSize
               ? ranges.back().at
               : packageSize;
}

bool KeptStretchCrc(platform::File& package, uint64_t keptEnd,
                    const std::vector<SavedRange>& ranges, uint32_t* crc) {
    const uint64_t from = keptEnd - std::min<uint64_t>(keptEnd, kProofStretch);
    const uint32_t length = static_cast<uint32_t>(keptEnd - from);
    uint32_t got = 0;
    if (!package.Seek(static_cast<int64_t>(from), platform::SeekFrom::Begin) ||
        !package.Read(WorkBuffer(), length, &got) || got != length) {
        return false;
    }
    uLong running = crc32(0, nullptr, 0);
    uint64_t at = from;
    for (const SavedRange& range : ranges) {
        const uint64_t rangeEnd = range.at + range.length;
        if (rangeEnd <= at || range.at >= keptEnd) {
            continue;
        }
        if (range.at > at) {
            running = crc32(running, WorkBuffer() + (at - from), static_cast<uInt>(range.at - at));
        }
        at = std::max(at, rangeEnd);
    }
    if (at < keptEnd) {
        running = crc32(running, WorkBuffer() + (at - from), static_cast<uInt>(keptEnd - at));
    }
    *crc = static_cast<uint32_t>(running);
    return true;
}

ReadResult ReadRangedJournal(platform::File& file, uint64_t size, SavedChange& change) {
    uint8_t fixed[kHeaderSize];
    uint32_t got = 0;
    if (!file.Read(fixed, sizeof(fixed), &got)) {
        return ReadResult::Unreadable;
    }
    ByteCursor cursor(fixed, got);
    const uint64_t signature = cursor.U64();
    Header header;
    header.packageSize = cursor.U64();
    header.rangeCount = cursor.U32();
    header.keptCrc = cursor.U32();
    header.keptSum = cursor.U32();
    header.crc = cursor.U32();
    if (!cursor.Ok() || signature != kSignature || header.rangeCount == 0 ||
        header.rangeCount > kMostRanges || header.packageSize >= kPackageSizeLimit) {
        return ReadResult::Incomplete;
    }
    uint8_t table[kMostRanges * kEntrySize];
    const uint32_t tableSize = header.rangeCount * kEntrySize;
    if (!file.Read(table, tableSize, &got)) {
        return ReadResult::Unreadable;
    }
    ByteCursor entries(table, got);
    std::vector<SavedRange> ranges(header.rangeCount);
    uint64_t savedAt = kHeaderSize + tableSize;
    for (SavedRange& range : ranges) {
        range.at = entries.U64();
        range.length = entries.U32();
        range.savedAt = savedAt;
        savedAt += range.length;
    }
    if (!entries.Ok() || !RangesFit(ranges, header.packageSize) || size != savedAt) {
        return ReadResult::Incomplete;
    }
    uLong savedCrc = crc32(0, nullptr, 0);
    for (uint64_t left = savedAt - (kHeaderSize + tableSize); left > 0;) {
        const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(left, kWorkBufferSize));
        if (!file.Read(WorkBuffer(), want, &got)) {
            return ReadResult::Unreadable;
        }
        if (got == 0) {
            return ReadResult::Incomplete;
        }
        savedCrc = crc32(savedCrc, WorkBuffer(), got);
        left -= got;
    }
    const uint64_t savedLength = savedAt - (kHeaderSize + tableSize);
    if (JournalCrc(HeaderAndTable(header, ranges), static_cast<uint32_t>(savedCrc), savedLength) !=
        header.crc) {
        return ReadResult::Incomplete;
    }
    change.packageSize = header.packageSize;
    change.keptEnd = KeptEnd(ranges, header.packageSize);
    change.keptCrc = header.keptCrc;
    change.keptSum = header.keptSum;
    change.ranges = std::move(ranges);
    return ReadResult::Complete;
}

uint64_t RangedJournalSavedAt(const std::vector<ChangedRange>& ranges, size_t index) {
    uint64_t at = kHeaderSize + kEntrySize * uint64_t{ranges.size()};
    for (size_t i = 0; i < index; ++i) {
        at += ranges[i].length;
    }
    return at;
}

bool WriteRangedJournal(const char* journalPath, platform::File& package, uint32_t packageSum,
                        const std::vector<ChangedRange>& changed, std::vector<uint32_t>* shares) {
    Header header;
    std::vector<SavedRange> ranges;
    for (const ChangedRange& range : changed) {
        ranges.push_back(SavedRange{range.at, range.length, 0});
    }
    if (!package.Size(&header.packageSize) || header.packageSize >= kPackageSizeLimit ||
        !RangesFit(ranges, header.packageSize)) {
        return false;
    }
    header.rangeCount = static_cast<uint32_t>(ranges.size());
    if (!KeptStretchCrc(package, KeptEnd(ranges, header.packageSize), ranges, &header.keptCrc)) {
        return false;
    }
    platform::File journal;
    if (!journal.Open(journalPath, platform::Access::Write, platform::Disposition::CreateAlways)) {
        return false;
    }
    const std::vector<uint8_t> unsealed = HeaderAndTable(header, ranges);
    bool ok = journal.Write(unsealed.data(), static_cast<uint32_t>(unsealed.size()));
    uLong savedCrc = crc32(0, nullptr, 0);
    uint64_t savedLength = 0;
    uint32_t savedSum = 0;
    if (shares != nullptr) {
        shares->clear();
    }
    for (const SavedRange& range : ranges) {
        const uint32_t sumBefore = savedSum;
        ok = ok && package.Seek(static_cast<int64_t>(range.at), platform::SeekFrom::Begin);
        for (uint32_t done = 0; ok && done < range.length;) {
            const uint32_t want = std::min(range.length - done, kWorkBufferSize);
            uint32_t got = 0;
            ok = package.Read(WorkBuffer(), want, &got) && got == want &&
                 journal.Write(WorkBuffer(), got);
            savedCrc = crc32(savedCrc, WorkBuffer(), got);
            savedSum = AddChecksumBytesAt(savedSum, WorkBuffer(), got, range.at + done);
            done += got;
        }
        savedLength += range.length;
        if (shares != nullptr) {
            shares->push_back(savedSum - sumBefore);
        }
    }
    ok = ok && journal.Flush();
    header.keptSum = packageSum - savedSum;
    header.crc =
        JournalCrc(HeaderAndTable(header, ranges), static_cast<uint32_t>(savedCrc), savedLength);
    const std::vector<uint8_t> sealed = HeaderAndTable(header, ranges);
    ok = ok && journal.Seek(kSealAt, platform::SeekFrom::Begin) &&
         journal.Write(sealed.data() + kSealAt, kHeaderSize - kSealAt) && journal.Flush();
    ok = journal.Close() && ok && platform::FlushDirectoryOf(journalPath);
    if (!ok) {
        platform::DeletePath(journalPath);
    }
    return ok;
}

}  // namespace package
