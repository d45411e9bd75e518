// Taking one member's bytes out of an install package. The package is only read.
#pragma once

#include <cstdint>

#include "package/archive_directory.h"
#include "package/journal.h"
#include "package/member_data.h"
#include "package/package_inspect.h"

namespace package {

// Results: 0 done; kInsertFailed (-1); kInsertCannotCreateOutput (-4); kNoSuchMember (-5).
using ExtractResult = int32_t;

enum class ExtractStep {
    None,
    BadArguments,           // a path or the member name too long, or the name empty
    Recover,                // an interrupted earlier change cannot be rolled back
    StaleJournal,           // the journal beside the package belongs to another; it was set aside
    InProgress,             // another process's change to the package outlasted the wait
    JournalWithoutPackage,  // no package, but a journal stands beside its name
    OpenPackage,            // the package cannot be opened or read, or is 4 GiB or more
    NotAnImage,             // not a PE image
    NoOverlay,              // nothing behind the image
    BadArchive,             // the member archive breaks a consistency rule (see the fault)
    NoSuchMember,           // no member of that name
    DirectoryMember,        // the member is a directory
    Encrypted,              // the member is encrypted
    UnsupportedMethod,      // neither stored nor deflated (see the method)
    DamagedMember,          // its local header or deflate stream is damaged
    CrcMismatch,            // its bytes do not match its CRC-32 or size
    CreateOutput,           // the output file cannot be created, or it is the package
    WriteOutput,            // the output cannot be written
    OutOfMemory,
};

struct ExtractDetail {
    ExtractStep step = ExtractStep::None;
    ArchiveFault archiveFault = ArchiveFault::None;
    uint16_t method = 0;
    RecoveryReport recovery;  // what became of an interrupted earlier change
    PackageMember member;     // the one taken, as its directory entry gives it, once found
};

// Sends the bytes of the first member whose name equals `memberName` (as a removal finds it)
// to `sink`. A CRC-32 mismatch is found only after the bytes went out.
ExtractResult ExtractMember(const char* packagePath, const char* memberName, MemberSink& sink,
                            ExtractDetail* detail = nullptr);

// The same into a new file at `outputPath`, created only once the member is found and can be
// read, and deleted again on every failure.
ExtractResult ExtractMemberToFile(const char* packagePath, const char* memberName,
                                  const char* outputPath, ExtractDetail* detail = nullptr);

}  // namespace package
