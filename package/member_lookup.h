// The entries of a checked central directory, and finding members by name the way the
// duplicate check does: without regard to case, with '/' and '\' alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/archive_directory.h"
#include "package/zip_records.h"

namespace package {

struct DirectoryEntry {
    uint32_t at = 0;      // where the entry begins in the directory's bytes
    uint32_t length = 0;  // its fixed part, name, extra field and comment
    CentralFileHeader header;
    const uint8_t* name = nullptr;  // header.nameLength bytes inside the directory's bytes
};

// The entries in directory order. The directory must have passed ReadArchiveDirectory, which
// proved that they fill it exactly.
std::vector<DirectoryEntry> ListEntries(const ArchiveDirectory& directory);

enum class MemberKinds {
    Files,                // directory members are passed over, as by the duplicate check
    FilesAndDirectories,  // a directory member matches by its name, separator included
};

// The indices, in directory order, of every entry whose name equals `wanted`. A stored name
// that no path buffer can hold, or that holds a zero byte, equals nothing the tool is asked for.
std::vector<size_t> FindMembers(const std::vector<DirectoryEntry>& entries, const char* wanted,
                                MemberKinds kinds);

}  // namespace package
