// The one way a command opens a package file: one handle, locked, the journal of an
// interrupted change dealt with first. The journal is named after the file the path leads to
// (links, junctions and short names resolved), so every name of the package finds it; one
// left beside a link's own name by an earlier version is honoured too. A journal is taken for
// a crash's only under the exclusive lock, after checking that it is still there: while
// another process holds the lock it is a change in progress, waited for and never touched.
#pragma once

#include "package/journal.h"
#include "package/package_lock.h"
#include "platform/file.h"
#include "platform/filesystem.h"

namespace package {

struct LockedPackage {
    platform::File file;
    PackageLock lock;
    // Where this package's journal goes: beside the file the path leads to.
    char journalPath[platform::kPathBufferSize] = {};
};

enum class LockedOpening {
    Opened,
    CannotOpen,             // missing, a folder, unreadable, or its final name does not fit
    JournalWithoutPackage,  // nothing to open, but a journal stands beside the name
    Busy,                   // another process's change held it for the whole wait
    JournalLeft,            // a journal is there and the caller asked to leave it alone
    RecoverFailed,          // a journal is there and cannot be applied
    StaleJournal,           // the journal belongs to another package: set aside
};

enum class JournalHandling { Recover, Leave };

// Opens `path` with `access` and `sharing` and raises the lock to `level` (at least Shared).
// A rollback or a discarded journal is noted in `recovery`, and so is the journal's path when
// the opening fails over one. On anything but Opened the file is closed.
LockedOpening OpenLocked(const char* path, platform::Access access, platform::Sharing sharing,
                         LockLevel level, JournalHandling journals, LockedPackage& opened,
                         RecoveryReport& recovery);

}  // namespace package
