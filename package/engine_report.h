// What the engine tells its caller beyond a result code: how far a change has come, and which
// file failed with which system error.
#pragma once

#include <cstdint>

#include "package/insert_file.h"
#include "package/journal.h"
#include "package/package_archive.h"
#include "platform/file.h"

namespace package {

// Reports the bytes done of the bytes to do to the prompter while it is in scope, at most about
// ten times a second and once more at the end, on the thread that runs the change; the share
// reported never goes down. The passes
// of the engine count their bytes into whichever meter is current; like the work buffer, only
// one change runs at a time.
class ProgressMeter {
  public:
    explicit ProgressMeter(InsertPrompter& prompter);
    ~ProgressMeter();
    ProgressMeter(const ProgressMeter&) = delete;
    ProgressMeter& operator=(const ProgressMeter&) = delete;

  private:
    friend void AddWorkToDo(uint64_t bytes);
    friend void AddWorkDone(uint64_t bytes);
    void Report(bool always);

    InsertPrompter& prompter_;
    uint64_t toDo_ = 0;
    uint64_t done_ = 0;
    int64_t lastReportMs_ = -1;
    double shownShare_ = 0.0;  // the share of the work last shown, never to go back
};

// Count into the current meter; without one they do nothing.
void AddWorkToDo(uint64_t bytes);
void AddWorkDone(uint64_t bytes);

// Notes the failed step in `detail`, when the caller asked for one, and returns `result`.
InsertResult FailedAt(InsertDetail* detail, InsertStep step, InsertResult result);

// A member that cannot be added: notes the archive error and the step AddMember.
InsertResult FailedToAdd(InsertDetail* detail, ArchiveError error);

// Notes the first failure's file and system error in `detail`: `file`'s error code, and its path,
// or `path` when it never opened. Later failures do not overwrite it.
void NoteFailedFile(InsertDetail* detail, const platform::File& file, const char* path);

// A dry run's stand-in for creating `path`: 0 when platform::CouldCreateFile sees nothing in
// the way, else the failure a creation would have (CreateOutput), with the path and the reason.
InsertResult CheckCreatable(InsertDetail* detail, const char* path);

// The result of a change written in place once its journal was dealt with: `written` less the
// bytes before the archive, `start`, when the commit was durable; a failure otherwise.
InsertResult Committed(Commit commit, InsertResult written, uint64_t start, InsertDetail* detail);

// Notes the changed package's sizes: `length` is its length before the pad and checksum word,
// `changedFrom` its first byte written (0 for a new package).
void NoteNewSize(InsertDetail* detail, uint64_t length, uint64_t changedFrom);

// Notes the new member as DeflateSource (or its measure) found it; deflated, like every member
// the engine adds.
void NoteAdded(InsertDetail* detail, const char* name, uint32_t crc, uint64_t compressedSize,
               uint64_t size);

}  // namespace package
