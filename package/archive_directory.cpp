#include "package/archive_directory.h"

#include <iterator>

#include "package/byte_cursor.h"
#include "package/end_record_search.h"

namespace package {
namespace {

constexpr uint32_t kZip64Marker32 = 0xFFFFFFFFu;
constexpr uint16_t kZip64Marker16 = 0xFFFF;

ArchiveFault CheckEndRecord(const ArchiveDirectory& directory) {
    const EndOfCentralDirectory& end = directory.end;
    if (end.thisDisk != 0 || end.directoryDisk != 0 || end.entriesOnDisk != end.totalEntries) {
        return ArchiveFault::MultiDisk;
    }
    if (end.entriesOnDisk == kZip64Marker16 || end.directorySize == kZip64Marker32 ||
        end.directoryOffset == kZip64Marker32) {
        return ArchiveFault::Zip64;
    }
    // Also for an empty directory: its offset says where the members end and the new one goes.
    if (uint64_t{end.directoryOffset} + end.directorySize != directory.endRecordAt) {
        return ArchiveFault::DirectoryNotAtEndRecord;
    }
    return ArchiveFault::None;
}

ArchiveFault CheckEntries(ArchiveDirectory& directory) {
    ByteCursor cursor(directory.bytes.data(), directory.bytes.size());
    uint32_t count = 0;
    while (cursor.Remaining() > 0) {
        directory.faultEntry = ++count;
        CentralFileHeader entry;
        if (!ReadRecord(cursor, entry)) {
            return ArchiveFault::EntryDamaged;
        }
        cursor.Skip(entry.Length() - CentralFileHeader::kSize);
        if (!cursor.Ok()) {
            return ArchiveFault::EntryDamaged;
        }
        if (entry.diskStart != 0) {
            return ArchiveFault::MultiDisk;
        }
        if (entry.compressedSize == kZip64Marker32 || entry.uncompressedSize == kZip64Marker32 ||
            entry.localHeaderOffset == kZip64Marker32) {
            return ArchiveFault::Zip64;
        }
        if (uint64_t{entry.localHeaderOffset} + LocalFileHeader::kSize + entry.nameLength >
            directory.end.directoryOffset) {
            return ArchiveFault::LocalHeaderPastDirectory;
        }
    }
    directory.faultEntry = 0;
    if (count != directory.end.entriesOnDisk) {
        return ArchiveFault::EntryCountMismatch;
    }
    return ArchiveFault::None;
}

}  // namespace

ArchiveFault ReadArchiveDirectory(platform::File& file, uint64_t archiveStart,
                                  ArchiveDirectory& directory, uint64_t archiveEnd) {
    directory = ArchiveDirectory{};
    uint64_t fileSize = 0;
    if (!file.Size(&fileSize)) {
        return ArchiveFault::Unreadable;
    }
    if (archiveEnd != 0 && archiveEnd < fileSize) {
        fileSize = archiveEnd;
    }
    if (archiveStart >= fileSize ||
        !ReadEndRecord(file, archiveStart, directory.end, &directory.endRecordAt, fileSize)) {
        return ArchiveFault::NoEndRecord;
    }
    directory.archiveSize = fileSize - archiveStart;
    ArchiveFault fault = CheckEndRecord(directory);
    if (fault != ArchiveFault::None) {
        return fault;
    }
    // The directory lies inside the file, before the end record, so its size is bounded by it.
    uint32_t size = directory.end.directorySize;
    directory.bytes.resize(size);
    uint32_t got = 0;
    if (size != 0 && (!file.Seek(static_cast<int64_t>(archiveStart + directory.end.directoryOffset),
                                 platform::SeekFrom::Begin) ||
                      !file.Read(directory.bytes.data(), size, &got) || got != size)) {
        return ArchiveFault::Unreadable;
    }
    return CheckEntries(directory);
}

bool CanTakeOneMoreEntry(const EndOfCentralDirectory& end) {
    static_assert(kMostArchiveEntries < kZip64Marker16);
    return end.entriesOnDisk < kMostArchiveEntries && end.totalEntries < kMostArchiveEntries;
}

const char* DescribeArchiveFault(ArchiveFault fault) {
    // In the order of ArchiveFault.
    static constexpr const char* kTexts[] = {
        "the member archive is sound",
        "the member archive cannot be read",
        "no ZIP end record behind the executable image",
        "the central directory does not end where the end record begins",
        "the member archive claims to span several disks",
        "the member archive uses zip64 fields, which a package cannot hold",
        "a central directory entry is damaged",
        "the end record's entry count does not match the central directory",
        "a central directory entry names a local header that does not lie before the directory",
        "two central directory entries name the same local header",
        "a local header is missing, or its member runs into the next one",
    };
    static_assert(std::size(kTexts) == static_cast<size_t>(ArchiveFault::LocalRecordDamaged) + 1);
    size_t index = static_cast<size_t>(fault);
    return index < std::size(kTexts) ? kTexts[index] : "the member archive is damaged";
}

}  // namespace package
