// A rollback journal for writing a package in place. Before the package's tail is overwritten,
// the old tail goes into a journal file beside it, flushed to disk; deleting the journal
// commits the change. A journal found later means the change may be half done: a complete one
// is rolled back, an incomplete one (the crash came while it was written) is simply deleted,
// since the package was not yet touched.
//
// A journal names no package by itself: whatever file stands at the path when it is found may
// be another package copied in after the crash. So it also records what the change kept of the
// package (the bytes before the tail): their checksum share and a CRC-32 of their last stretch.
// A rollback writes only into a file whose kept bytes prove to be those; any other file is left
// untouched and the journal is set aside under a name of its own.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/file.h"
#include "platform/filesystem.h"

namespace package {

// The journal's path: the package's own with ".ktl-journal" added. False when it does not fit.
bool JournalPathFor(const char* packagePath, char (&journalPath)[platform::kPathBufferSize]);

// Saves the package's tail, the `tailLength` bytes from `tailAt` to its end, into a new
// journal, flushed to disk. `packageSum` is the package checksum of the whole file as it stands
// (the first pass has it); with the tail's own share taken off it identifies the kept bytes.
// False when the journal cannot be made; nothing is left then.
bool WriteJournal(const char* journalPath, platform::File& package, uint32_t packageSum,
                  uint64_t tailAt, const uint8_t* tail, uint32_t tailLength);

// The same, for a tail too large to hold: it is read from `package` itself, from `tailAt` to
// its end. `tailSum` receives the tail's share of the package checksum, so that the caller
// need not read it again.
bool WriteJournalFrom(const char* journalPath, platform::File& package, uint32_t packageSum,
                      uint64_t tailAt, uint32_t* tailSum);

// One stretch of the package that a change writes over, the package's end excepted: bytes it
// adds beyond that end are taken away again by the rollback's restoring the old size.
struct ChangedRange {
    uint64_t at = 0;
    uint32_t length = 0;
};

// Saves the old bytes of every range (in order, apart, none empty, all within the package as it
// stands) into a new journal, flushed to disk, with the proof of every byte outside them: for a
// change of more than the tail, such as the checksum field or the security directory entry
// besides it. `packageSum` as for WriteJournal. False when the journal cannot be made; nothing
// is left then.
// `shares`, when given, receives each range's share of the package checksum.
bool WriteRangedJournal(const char* journalPath, platform::File& package, uint32_t packageSum,
                        const std::vector<ChangedRange>& ranges,
                        std::vector<uint32_t>* shares = nullptr);

// Where the old bytes of `ranges[index]` lie in their ranged journal, for a rewrite that moves
// bytes the package no longer holds.
uint64_t RangedJournalSavedAt(const std::vector<ChangedRange>& ranges, size_t index);

// Where the saved tail begins inside a journal: the package's byte at `tailAt` + i lies at
// kJournalTailAt + i, for a rewrite that moves bytes the package no longer holds.
constexpr uint64_t kJournalTailAt = 40;

// Puts the journal's tail back into `package` and restores its size, flushed to disk.
bool RollBack(platform::File& package, const char* journalPath);

enum class JournalDeletion {
    Durable,
    NotConfirmed,  // the journal is gone, but the system did not confirm it on the disk
    Failed,        // the journal is still there
};

// Deletes the journal, the commit or the end of a rollback, and syncs its folder.
JournalDeletion DeleteJournal(const char* journalPath);

enum class Commit {
    Done,
    NotDurable,   // done, but the system did not confirm the journal's deletion on the disk
    RolledBack,   // not written, or the journal could not be deleted: the old tail is back
    JournalLeft,  // the rollback failed too: the journal stays for the next open to finish
};

// Ends a change written in place into `package` under the journal. When `written` (every byte
// of the new tail is on the disk), deleting the journal commits it. Otherwise, or when the
// journal cannot be deleted, the old tail goes back (flushed) and the journal is deleted after
// it. Holds the exclusive lock throughout, as the caller does.
Commit CommitOrRollBack(platform::File& package, const char* journalPath, bool written);

enum class Recovery {
    NothingToDo,
    RolledBack,  // an interrupted change was undone
    Discarded,   // a journal that was never finished was deleted; the package was not touched
    SetAside,    // the journal belongs to another package: nothing written, journal renamed
    Failed,      // a journal is there but cannot be read or applied: do not use the package
};

// What a look for the journal found, for the caller to tell the user.
struct RecoveryReport {
    Recovery outcome = Recovery::NothingToDo;
    char journalPath[platform::kPathBufferSize] = {};
    char setAsidePath[platform::kPathBufferSize] = {};  // for SetAside
};

// Deals with the journal at `journalPath` through `package`, the command's own handle, open
// for reading and writing under the exclusive lock: a complete journal proven to be this
// package's is rolled back, an unfinished one deleted, any other set aside beside it as
// PACKAGE.stale-ktl-journal.
Recovery RecoverThrough(platform::File& package, const char* journalPath, RecoveryReport& told);

// Sets the journal aside as RecoverThrough sets aside another package's: for a journal whose
// package is gone.
Recovery SetJournalAside(const char* journalPath, RecoveryReport& told);

// Opens the package under the lock and deals with its journal as every command does
// (locked_open.cpp): for recovery alone.
Recovery RecoverPackage(const char* packagePath, RecoveryReport* report = nullptr);

}  // namespace package
