#include "package/locked_open.h"

#include <cstdio>
#include <cstring>

namespace package {
namespace {

// A rename between our open and our lock, or another process's rollback, sends the opening
// round again; more rounds than this mean something keeps changing the file.
constexpr int kRounds = 8;

bool Exists(const char* path) {
    return path[0] != '\0' && platform::PathHasAttributes(path);
}

// The journal to deal with: the one beside the file the path leads to, else one an earlier
// version left beside the path's own text (a link's name); empty when there is none.
const char* FoundJournal(const char* resolved, const char (&legacy)[platform::kPathBufferSize]) {
    return Exists(resolved) ? resolved : Exists(legacy) ? legacy : nullptr;
}

LockedOpening FromLock(LockResult result) {
    return result == LockResult::Busy ? LockedOpening::Busy : LockedOpening::CannotOpen;
}

}  // namespace

LockedOpening OpenLocked(const char* path, platform::Access access, platform::Sharing sharing,
                         LockLevel level, JournalHandling journals, LockedPackage& opened,
                         RecoveryReport& recovery) {
    recovery = RecoveryReport{};
    char legacy[platform::kPathBufferSize] = {};
    if (!JournalPathFor(path, legacy)) {
        legacy[0] = '\0';
    }
    for (int round = 0; round < kRounds; ++round) {
        opened.lock.Release(opened.file);
        opened.file.Close();
        if (!opened.file.Open(path, access, platform::Disposition::OpenExisting, sharing)) {
            if (Exists(legacy)) {
                std::memcpy(recovery.journalPath, legacy, sizeof(legacy));
                return LockedOpening::JournalWithoutPackage;
            }
            return LockedOpening::CannotOpen;
        }
        char finalPath[platform::File::kMaxPathBytes + 1];
        if (!opened.file.FinalPath(finalPath) || !JournalPathFor(finalPath, opened.journalPath)) {
            opened.file.Close();  // keeps the system's reason, if there was one
            return LockedOpening::CannotOpen;
        }
        LockResult locked = opened.lock.Raise(opened.file, LockLevel::Shared, path);
        if (locked != LockResult::Taken) {
            return FromLock(locked);
        }
        if (!platform::NamesSameFile(opened.file, path)) {
            continue;  // replaced since we opened it
        }
        const char* journal = FoundJournal(opened.journalPath, legacy);
        if (journal == nullptr && level > LockLevel::Shared) {
            locked = opened.lock.Raise(opened.file, level, path);
            if (locked != LockResult::Taken) {
                return FromLock(locked);
            }
            // A writer that died while this one waited leaves its journal; a rename may have
            // replaced the file.
            if (!platform::NamesSameFile(opened.file, path)) {
                continue;
            }
            journal = FoundJournal(opened.journalPath, legacy);
        }
        if (journal == nullptr) {
            return LockedOpening::Opened;
        }
        if (journals == JournalHandling::Leave) {
            std::snprintf(recovery.journalPath, sizeof(recovery.journalPath), "%s", journal);
            opened.lock.Release(opened.file);
            opened.file.Close();
            return LockedOpening::JournalLeft;
        }
        // Applying the journal needs a handle that writes, and the exclusive lock on it.
        if (access != platform::Access::ReadWrite) {
            opened.lock.Release(opened.file);
            if (!opened.file.Open(path, platform::Access::ReadWrite,
                                  platform::Disposition::OpenExisting)) {
                std::snprintf(recovery.journalPath, sizeof(recovery.journalPath), "%s", journal);
                return LockedOpening::RecoverFailed;
            }
        }
        locked = opened.lock.Raise(opened.file, LockLevel::Exclusive, path);
        if (locked != LockResult::Taken) {
            return FromLock(locked);
        }
        if (!platform::NamesSameFile(opened.file, path) || !Exists(journal)) {
            continue;  // another process got there first
        }
        switch (RecoverThrough(opened.file, journal, recovery)) {
            case Recovery::RolledBack:
            case Recovery::Discarded:
            case Recovery::NothingToDo:
                continue;  // open again as asked, with the package as it was
            case Recovery::SetAside:
                opened.lock.Release(opened.file);
                opened.file.Close();
                return LockedOpening::StaleJournal;
            case Recovery::Failed:
                break;
        }
        opened.lock.Release(opened.file);
        opened.file.Close();
        return LockedOpening::RecoverFailed;
    }
    opened.lock.Release(opened.file);
    opened.file.Close();
    return LockedOpening::Busy;
}

Recovery RecoverPackage(const char* packagePath, RecoveryReport* report) {
    RecoveryReport ignored;
    RecoveryReport& told = report != nullptr ? *report : ignored;
    LockedPackage opened;
    switch (OpenLocked(packagePath, platform::Access::ReadWrite, platform::Sharing::ReadOnly,
                       LockLevel::Shared, JournalHandling::Recover, opened, told)) {
        case LockedOpening::Opened:
            return told.outcome;
        case LockedOpening::CannotOpen: {
            char journal[platform::kPathBufferSize];
            return told.outcome = JournalPathFor(packagePath, journal) && Exists(journal)
                                      ? Recovery::Failed
                                      : Recovery::NothingToDo;
        }
        case LockedOpening::StaleJournal:
            return told.outcome = Recovery::SetAside;
        default:
            return told.outcome = Recovery::Failed;
    }
}

}  // namespace package
