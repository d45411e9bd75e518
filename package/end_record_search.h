// Finding the end of central directory record in the tail of a member archive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "package/zip_records.h"
#include "platform/file.h"

namespace package {

// The most bytes that can lie between an end record's start and the end of the file: the
// record itself and the longest comment.
constexpr uint32_t kEndRecordWindow = 65557;

// Scans `window`, the archive bytes from offset `windowStart` on, for an end record and
// returns its index in the window, or -1. The earliest signature wins, except that one whose
// directory does not end where the record begins (such as the signature inside a stored ZIP
// member) is passed over for a later one; when none is consistent, the earliest is taken.
int64_t LocateEndRecord(const uint8_t* window, size_t size, uint64_t windowStart);

// Finds the end record of the archive that fills `file` from `archiveStart` to its end: first
// in the last 22 bytes, then by the scan above. `recordAt` receives the record's offset from
// the archive's first byte. False when there is none or the file cannot be read.
// `archiveEnd`, when not 0, is where the archive ends short of the file's end (a certificate
// table follows it).
bool ReadEndRecord(platform::File& file, uint64_t archiveStart, EndOfCentralDirectory& record,
                   uint64_t* recordAt, uint64_t archiveEnd = 0);

}  // namespace package
