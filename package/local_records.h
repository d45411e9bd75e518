// Where each member's local record lies, for rewrites that move members as whole blocks. A
// record runs from its local header to the next local header above it, or to the directory,
// so it takes along a data descriptor and anything else that lies between members.
#pragma once

#include <cstdint>
#include <vector>

#include "package/archive_directory.h"
#include "package/member_lookup.h"
#include "platform/file.h"

namespace package {

struct LocalRecord {
    uint32_t begin = 0;  // from the archive's first byte
    uint32_t end = 0;
};

// The records of `entries`, in the same order. A block move keeps a member whole only when
// its header, name, extra field and data lie inside its record, and only when no other entry
// names the same record: anything else is refused, with the 1-based entry in `faultEntry`.
ArchiveFault FindLocalRecords(platform::File& file, uint64_t archiveStart,
                              const ArchiveDirectory& directory,
                              const std::vector<DirectoryEntry>& entries,
                              std::vector<LocalRecord>& records, uint32_t* faultEntry);

}  // namespace package
