// Read-only looks at a whole install package, for the command line: its members as stored,
// and a check that it is sealed and that a ZIP reader will find every member.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/journal.h"

namespace package {

struct PackageMember {
    std::string name;  // as stored, separators unchanged
    uint16_t method = 0;
    uint32_t crc32 = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint32_t localHeaderOffset = 0;
};

struct PackageContents {
    uint64_t size = 0;
    uint32_t checksum = 0;  // taken by VerifyPackage only
    uint32_t overlayOffset = 0;
    uint64_t endRecordAt = 0;  // from the archive's first byte
    std::vector<PackageMember> members;
    RecoveryReport recovery;  // what became of an interrupted earlier change
};

// Reads the package's member archive directory. False with `problem` set when the file
// cannot be read, is no PE image, or its archive directory cannot be walked.
bool ReadPackageContents(const char* packagePath, PackageContents& contents, std::string& problem);

// Checks the package checksum and length, the image end, the end record, every central
// directory entry against its local header, and every stored or deflated member's CRC-32.
bool VerifyPackage(const char* packagePath, PackageContents& contents, std::string& problem);

}  // namespace package
