// Opening an install package, for every command that reads or changes one: an interrupted
// earlier change dealt with first (rolled back only on its own package), then the file
// opened, its size limit, optionally the checksum pass and the damaged-package question, the
// image end, and the member archive's directory read and checked.
#pragma once

#include <cstdint>

#include "package/archive_directory.h"
#include "package/journal.h"
#include "package/locked_open.h"
#include "package/package_layout.h"
#include "platform/file.h"

namespace package {

class InsertPrompter;

// The first step that failed, in the order the steps run.
enum class OpenFault {
    None,
    Recover,       // a journal is there and cannot be read or applied, or must be left alone
    StaleJournal,  // the journal there belongs to another package; it was set aside
    InProgress,    // another process's change to it held the lock for the whole wait
    JournalWithoutPackage,  // no package to open, but a journal stands beside its name
    OpenPackage,            // the package cannot be opened or read, or is 4 GiB or more
    Declined,               // damaged or signed, and the prompter said not to go on
    NotAnImage,
    NoOverlay,
    BadArchive,  // see `archiveFault`
};

struct PackageOpening {
    platform::Access access = platform::Access::Read;
    platform::Sharing sharing = platform::Sharing::ReadOnly;
    // Shared to read; Reserved to change, raised to Exclusive by the change before it writes.
    LockLevel lock = LockLevel::Shared;
    // Takes the package checksum; with a prompter, a damaged package is gone on with only when
    // it answers yes. The pass is told to the progress meter together with `morePasses` more
    // passes over the whole file that the caller will make.
    bool checksum = false;
    uint32_t morePasses = 0;
    // Reads the archive directory and refuses it unless it adds up.
    bool readDirectory = true;
    // Asks the damaged-package question and hears of a rollback as soon as it is done; it is
    // also asked whether to go on with a signed image, before the checksum pass.
    InsertPrompter* prompter = nullptr;
    // A journal beside the package is neither rolled back nor set aside: its presence alone
    // fails the opening at Recover. For a dry run, which writes nothing.
    bool leaveJournal = false;
};

// The file, its lock and its journal's path, held until the command is done.
struct OpenedPackage : LockedPackage {
    bool inPlace = false;  // for a change: written through `file` itself
    uint64_t size = 0;
    uint32_t sum = 0;  // the package checksum as found, when taken
    uint32_t overlayOffset = 0;
    // The first byte behind the member archive: the end of the file, or the start of the
    // certificate table a signing tool appended behind it.
    uint64_t archiveEnd = 0;
    ArchiveDirectory directory;
    ArchiveFault archiveFault = ArchiveFault::None;
    RecoveryReport recovery;
    ImageSignature signature;
};

OpenFault OpenPackage(const char* packagePath, const PackageOpening& how, OpenedPackage& opened);

// Whether a change goes on with the package whose checksum `opened.sum` holds: yes when it is
// zero, when an intact signature accounts for it, or when the prompter says to go on.
bool GoesOnDespiteChecksum(OpenedPackage& opened, InsertPrompter& prompter);

}  // namespace package
