// Inserting one file into an install package as a new deflated member, to a new package
// file or in place, sealed with a fresh checksum word.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/archive_directory.h"
#include "package/journal.h"
#include "package/package_layout.h"
#include "package/package_member.h"

namespace package {

// Negative results are failures; a positive one is the rebuild's byte count: image plus
// archive bytes for a new package file, archive bytes alone in place.
using InsertResult = int32_t;
constexpr InsertResult kInsertFailed = -1;
constexpr InsertResult kInsertDeclined = -2;
constexpr InsertResult kInsertDuplicate = -3;
constexpr InsertResult kInsertCannotCreateOutput = -4;
// Removing or extracting: the archive holds no member of that name.
constexpr InsertResult kNoSuchMember = -5;

// The one question and the one refusal the operation raises itself, by message number. The
// caller answers them on the thread that runs the insert.
class InsertPrompter {
  public:
    virtual ~InsertPrompter() = default;
    // Yes/No question; true to go on.
    virtual bool AskYesNo(int messageId) = 0;
    // A refusal with an OK button.
    virtual void ShowStop(int messageId) = 0;
    // Bytes done of bytes to do, at most about ten times a second; the last call has them equal.
    virtual void ShowProgress(uint64_t /*done*/, uint64_t /*toDo*/) {}
    // An interrupted earlier change to the package was rolled back, or its unfinished journal
    // discarded, before this one goes on: told as soon as it is done.
    virtual void TellRecovery(const RecoveryReport& /*report*/, const char* /*packagePath*/) {}
    // The image is signed: a change rewrites the package's bytes, and the signature no longer
    // matches them. Asked once the package is open, before the damaged-package question (a
    // signature added after sealing is what makes a package look damaged); false leaves the
    // package as it is, as declining that question does (kInsertDeclined, InsertStep::Declined,
    // with the signature in the detail).
    virtual bool GoOnWithSignedImage(const ImageSignature& /*signature*/) { return true; }
};

// Which step failed, for callers that explain a failure beyond its result code.
enum class InsertStep {
    None,
    BadArguments,  // a path or member name too long, an empty member name, or one that is
                   // rooted, names a drive or holds a ".." component
    OpenPackage,   // the package cannot be opened, read, or is 4 GiB or more
    Declined,      // damaged or signed package, the user chose not to go on
    Recover,       // an interrupted earlier change to the package cannot be rolled back
                   // (in a dry run: its journal is there, and a dry run rolls nothing back)
    StaleJournal,  // the journal beside the package belongs to another; it was set aside
    InProgress,    // another process's change to the package (or the output) outlasted the wait
    JournalWithoutPackage,  // no package, but a journal stands beside its name
    NotAnImage,             // not a PE image, or its headers lie beyond the first MiB
    NoOverlay,              // nothing behind the image, or the overlay cannot be copied out
    BadArchive,             // the member archive breaks a consistency rule (see the archive fault)
    Duplicate,              // a member of the same name exists
    NoSuchMember,           // no member of that name to remove
    AddMember,              // the file cannot be added (see the archive error)
    Rebuild,                // the package cannot be written back
    CreateOutput,           // the output package file cannot be created
    NotDurable,   // the change is made, but the system did not confirm that it is on the disk
    OutOfMemory,  // memory ran out
};

struct InsertDetail {
    InsertStep step = InsertStep::None;
    int archiveError = 0;  // a package::ArchiveError, for InsertStep::AddMember
    ArchiveFault archiveFault = ArchiveFault::None;  // for InsertStep::BadArchive
    uint32_t replaced = 0;     // members of the same name that the new one replaced
    RecoveryReport recovery;   // what became of an interrupted earlier change
    ImageSignature signature;  // the package's, found once it was opened
    // The changed package's length (pad and checksum word included) and the bytes written into
    // it: all of them for a new package, from the first changed byte on in place. Set once the
    // change is done, or once a dry run knows them.
    uint64_t newSize = 0;
    uint64_t bytesWritten = 0;
    // The new member, once compressed (in a dry run too), and the members taken out: by a
    // removal, or by an insert that replaced them.
    PackageMember added;
    std::vector<PackageMember> removed;
    // The file of the first failed file operation and the system's error code (errno, or
    // GetLastError on Windows); 0 when no system call failed.
    char path[260] = {};
    int systemError = 0;
};

// What an insert does when a file member of the same name exists: refuse, or take its place.
enum class SameName { Refuse, Replace };

// A dry run makes every check the change makes and measures what it would write (the new
// member is compressed to learn its size, into nothing), then stops before the first write: no
// journal, no staging file, no output, and an interrupted earlier change is not rolled back
// (its journal fails the run at InsertStep::Recover instead). It returns what the change would
// return, with the sizes in the detail. That an output can be created is judged without
// creating it (platform::CouldCreateFile).
enum class Writing { Write, DryRun };

// Without a member name the member takes the file's base name; without an output path, or
// with one equal to the package path, the package is rewritten in place. Replacing, every
// file member of that name is removed and the new one appended, in one rewrite.
InsertResult InsertFileIntoPackage(const char* packagePath, const char* filePath,
                                   const char* memberName, const char* outputPath,
                                   InsertPrompter& prompter, InsertDetail* detail = nullptr,
                                   SameName sameName = SameName::Refuse,
                                   Writing writing = Writing::Write);

}  // namespace package
