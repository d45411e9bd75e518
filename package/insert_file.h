// Inserting one file into an install package as a new deflated member, to a new package
// file or in place, sealed with a fresh checksum word.
#pragma once

#include <cstdint>

#include "package/archive_directory.h"
#include "package/journal.h"

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
};

// Which step failed, for callers that explain a failure beyond its result code.
enum class InsertStep {
    None,
    BadArguments,  // a path or member name too long, an empty member name, or one that is
                   // rooted, names a drive or holds a ".." component
    OpenPackage,   // the package cannot be opened, read, or is 4 GiB or more
    Declined,      // damaged package, the user chose not to go on
    Recover,       // an interrupted earlier change to the package cannot be rolled back
    StaleJournal,  // the journal beside the package belongs to another; it was set aside
    NotAnImage,    // not a PE image, or its headers lie beyond the first MiB
    NoOverlay,     // nothing behind the image, or the overlay cannot be copied out
    BadArchive,    // the member archive breaks a consistency rule (see the archive fault)
    Duplicate,     // a member of the same name exists
    NoSuchMember,  // no member of that name to remove
    AddMember,     // the file cannot be added (see the archive error)
    Rebuild,       // the package cannot be written back
    CreateOutput,  // the output package file cannot be created
    OutOfMemory,   // memory ran out
};

struct InsertDetail {
    InsertStep step = InsertStep::None;
    int archiveError = 0;  // a package::ArchiveError, for InsertStep::AddMember
    ArchiveFault archiveFault = ArchiveFault::None;  // for InsertStep::BadArchive
    uint32_t replaced = 0;    // members of the same name that the new one replaced
    RecoveryReport recovery;  // what became of an interrupted earlier change
    // The file of the first failed file operation and the system's error code (errno, or
    // GetLastError on Windows); 0 when no system call failed.
    char path[260] = {};
    int systemError = 0;
};

// What an insert does when a file member of the same name exists: refuse, or take its place.
enum class SameName { Refuse, Replace };

// Without a member name the member takes the file's base name; without an output path, or
// with one equal to the package path, the package is rewritten in place. Replacing, every
// file member of that name is removed and the new one appended, in one rewrite.
InsertResult InsertFileIntoPackage(const char* packagePath, const char* filePath,
                                   const char* memberName, const char* outputPath,
                                   InsertPrompter& prompter, InsertDetail* detail = nullptr,
                                   SameName sameName = SameName::Refuse);

}  // namespace package
