// Read-only looks at a whole install package, for the command line: its members as stored,
// and a check that it is sealed and that a ZIP reader will find every member.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/journal.h"
#include "package/package_layout.h"
#include "package/package_member.h"
#include "package/signature_check.h"

namespace package {

struct PackageContents {
    uint64_t size = 0;
    uint32_t checksum = 0;  // taken by VerifyPackage only
    uint32_t overlayOffset = 0;
    uint64_t endRecordAt = 0;  // from the archive's first byte
    uint64_t archiveEnd = 0;   // from the file's first byte: behind the end record's comment
    // The first byte behind the archive's bytes: the end of the file, or a trailing
    // certificate table's start.
    uint64_t archiveLimit = 0;
    ImageSignature signature;
    std::vector<PackageMember> members;
    RecoveryReport recovery;  // what became of an interrupted earlier change
};

// Reads the package's member archive directory. False with `problem` set when the file
// cannot be read, is no PE image, or its archive directory cannot be walked.
bool ReadPackageContents(const char* packagePath, PackageContents& contents, std::string& problem);

// Checks the package checksum and length, the image end, the end record, every central
// directory entry against its local header, and every stored or deflated member's CRC-32.
bool VerifyPackage(const char* packagePath, PackageContents& contents, std::string& problem);

// An install script the package holds: a file member named auto*.ins (its file name, without
// regard to case), which the package's installer runs with when it finds one.
struct InstallScriptMember {
    size_t member = 0;    // index into the members
    std::string text;     // its bytes, as stored in the script
    std::string problem;  // why they cannot be read; empty when they were
};

// What an administrator asks of a package before changing it. `contents.overlayOffset` is where
// the member archive begins: the sections' end, or the end of a certificate table that follows
// them directly (an image signed before the archive was appended).
struct PackageInfo {
    PackageContents contents;  // the checksum taken
    uint32_t sectionsEnd = 0;  // the image end as every other command finds it
    ImageSignature signature;
    SignatureCheck check;      // when signed
    bool archiveRead = false;  // the directory was walked; members and scripts are there
    std::vector<InstallScriptMember> scripts;
};

// The most bytes read of one script: more than any recorded script holds.
constexpr uint32_t kMostScriptBytes = 1u << 16;

// Fills `info` as far as the package can be read. False with `problem` set when it cannot be
// opened, is no PE image, or its archive directory cannot be walked; what was found before
// stays in `info`.
bool InspectPackage(const char* packagePath, PackageInfo& info, std::string& problem);

}  // namespace package
