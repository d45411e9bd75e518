// The member archive's central directory as read from its end record, with every consistency
// rule the engine relies on before it writes a byte: a directory that ends where the end record
// begins, entries that fill it exactly, local records that lie before it, no multi-disk or zip64
// fields. An archive that breaks one of them is refused rather than extended.
#pragma once

#include <cstdint>
#include <vector>

#include "package/zip_records.h"
#include "platform/file.h"

namespace package {

// DescribeArchiveFault holds a text for each, in this order.
enum class ArchiveFault {
    None,
    Unreadable,                // the file cannot be read
    NoEndRecord,               // no end record behind the image
    DirectoryNotAtEndRecord,   // offset + size of the directory is not the end record's position
    MultiDisk,                 // disk numbers other than 0
    Zip64,                     // a field holds the zip64 marker
    EntryDamaged,              // an entry does not fit the directory or lacks its signature
    EntryCountMismatch,        // the entries do not fill the directory, or their number differs
    LocalHeaderPastDirectory,  // an entry's local record does not lie before the directory
    // Found only where members move (local_records.h):
    LocalRecordShared,   // two entries name the same local record
    LocalRecordDamaged,  // a local header is missing, or its member runs into the next record
};

struct ArchiveDirectory {
    EndOfCentralDirectory end;
    uint64_t endRecordAt = 0;    // from the archive's first byte
    uint64_t archiveSize = 0;    // from the archive's first byte to its end: the file's, or a
                                 // trailing certificate table's start
    std::vector<uint8_t> bytes;  // the whole central directory
    uint32_t faultEntry = 0;     // the 1-based entry a fault concerns, or 0
};

// Reads and checks the directory of the archive that fills `file` from `archiveStart` on.
// `archiveEnd`, when not 0, is where it ends short of the file's end (a certificate table
// follows it).
ArchiveFault ReadArchiveDirectory(platform::File& file, uint64_t archiveStart,
                                  ArchiveDirectory& directory, uint64_t archiveEnd = 0);

// The most entries an archive holds: a count of 0xFFFF is the zip64 marker, refused above.
constexpr uint16_t kMostArchiveEntries = 0xFFFE;

// Whether an archive whose end record is `end` can take one more entry and still pass the
// checks above.
bool CanTakeOneMoreEntry(const EndOfCentralDirectory& end);

// One line in English that says what is wrong, for the command line.
const char* DescribeArchiveFault(ArchiveFault fault);

}  // namespace package
