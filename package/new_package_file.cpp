#include "package/new_package_file.h"

#include <cstdio>
#include <cstring>
#include <random>

#include "package/engine_report.h"
#include "package/journal.h"
#include "package/locked_open.h"
#include "package/package_lock.h"

namespace package {
namespace {

constexpr char kStagingSuffix[] = ".ktl-partial";
constexpr int kNameTries = 16;

// Removes the partial files of `outputPath` that no live writer holds: a writer locks its own
// for as long as it lives, and no writer opens another's.
void RemoveDeadPartials(const char* outputPath) {
    struct Context {
        const char* outputPath;
        int directoryLength;  // the output's own directory part, its separator included
    } context{outputPath, static_cast<int>(platform::DirectoryPartLength(outputPath))};
    char directory[platform::kPathBufferSize];
    platform::DirectoryOf(outputPath, directory);
    char prefix[platform::kPathBufferSize];
    std::snprintf(prefix, sizeof(prefix), "%s%s", outputPath + context.directoryLength,
                  kStagingSuffix);
    platform::ForEachEntryNamed(
        directory, prefix,
        [](const char* name, void* opaque) {
            const auto* where = static_cast<const Context*>(opaque);
            char path[platform::kPathBufferSize];
            const int written = std::snprintf(path, sizeof(path), "%.*s%s", where->directoryLength,
                                              where->outputPath, name);
            if (written < 0 || static_cast<size_t>(written) >= sizeof(path)) {
                return;
            }
            platform::File leftover;
            // An exclusive lock needs a descriptor that may write. The file is deleted while
            // the lock is held: a writer that locks it only now finds it gone.
            if (leftover.Open(path, platform::Access::ReadWrite,
                              platform::Disposition::OpenExisting,
                              platform::Sharing::ReadWriteDelete) &&
                PackageLock::TryExclusiveNow(leftover) == LockResult::Taken) {
                platform::DeletePath(path);
            }
        },
        &context);
}

// Creates a partial file of this writer's own and locks it, so that other writers of the same
// output leave it alone. Shared for deletion, so that it can be renamed while open. Between
// its creation and its lock another writer may take it for a dead writer's and delete it:
// then it is made anew under another name.
bool CreatePartial(const char* outputPath, char (&stagingPath)[platform::kPathBufferSize],
                   platform::File& partial) {
    for (int attempt = 0; attempt < kNameTries; ++attempt) {
        if (!StagingPathFor(outputPath, stagingPath)) {
            return false;
        }
        if (!partial.Open(stagingPath, platform::Access::ReadWrite,
                          platform::Disposition::CreateNew, platform::Sharing::ReadWriteDelete)) {
            if (!platform::PathHasAttributes(stagingPath)) {
                return false;  // not a name taken by chance: the folder refuses
            }
            continue;
        }
        switch (PackageLock::TrySharedNow(partial)) {
            case LockResult::Taken:
                if (platform::NamesSameFile(partial, stagingPath)) {
                    return true;
                }
                break;
            case LockResult::Busy:  // being deleted
                break;
            case LockResult::Failed:
                return false;
        }
        partial.Close();
    }
    return false;
}

enum class Settled { Clear, InProgress, Failed };

// Deals with a journal beside the output's name before a new package takes that name: rolled
// back into the file it was written for, or set aside, durably, under the output's exclusive
// lock, which `held` keeps until after the rename where the system lets a locked file be
// replaced.
Settled SettleOutput(const char* outputPath, LockedPackage& held, InsertDetail* detail) {
    RecoveryReport report;
    const LockedOpening opening =
        OpenLocked(outputPath, platform::Access::ReadWrite, platform::Sharing::ReadWrite,
                   LockLevel::Exclusive, JournalHandling::Recover, held, report);
    if (detail != nullptr && report.outcome != Recovery::NothingToDo) {
        detail->recovery = report;
    }
    switch (opening) {
        case LockedOpening::Opened:
        case LockedOpening::StaleJournal:  // set aside: it blocks nothing now
            break;
        case LockedOpening::CannotOpen:
            // Nothing a package could be stands there (the rename decides), or its final name
            // does not fit; with no journal beside it, nothing is inherited.
            return Settled::Clear;
        case LockedOpening::JournalWithoutPackage:
            // The journal's package is gone: kept aside for whoever wants to look at it.
            return SetJournalAside(report.journalPath, report) == Recovery::SetAside
                       ? Settled::Clear
                       : Settled::Failed;
        case LockedOpening::Busy:
            return Settled::InProgress;
        case LockedOpening::JournalLeft:
        case LockedOpening::RecoverFailed:
            return Settled::Failed;
    }
#ifdef _WIN32
    // Windows replaces no file that is open, even by us; our handle goes before the rename.
    held.lock.Release(held.file);
    held.file.Close();
#endif
    return Settled::Clear;
}

}  // namespace

bool StagingPathFor(const char* outputPath, char (&stagingPath)[platform::kPathBufferSize]) {
    static std::random_device source;
    const int length = std::snprintf(stagingPath, sizeof(stagingPath), "%s%s-%08x", outputPath,
                                     kStagingSuffix, static_cast<unsigned>(source()));
    return length > 0 && static_cast<size_t>(length) < sizeof(stagingPath);
}

InsertResult WriteNewPackageFile(platform::File& package, const char* outputPath,
                                 InsertDetail* detail,
                                 const std::function<InsertResult(platform::File&)>& write) {
    char stagingPath[platform::kPathBufferSize];
    if (!StagingPathFor(outputPath, stagingPath) || platform::NamesSameFile(package, outputPath)) {
        return FailedAt(detail, InsertStep::CreateOutput, kInsertCannotCreateOutput);
    }
    RemoveDeadPartials(outputPath);
    platform::File output;
    if (!CreatePartial(outputPath, stagingPath, output)) {
        NoteFailedFile(detail, output, stagingPath);
        output.Close();
        platform::DeletePath(stagingPath);
        return FailedAt(detail, InsertStep::CreateOutput, kInsertCannotCreateOutput);
    }
    InsertResult result = write(output);
    if (result < 0) {
        NoteFailedFile(detail, output, stagingPath);
        NoteFailedFile(detail, package, nullptr);
        output.Close();
        platform::DeletePath(stagingPath);
        return result;
    }
    LockedPackage replaced;
    bool durable = false;
    bool moved = false;
    switch (SettleOutput(outputPath, replaced, detail)) {
        case Settled::Clear:
            moved = platform::ReplaceWith(stagingPath, outputPath, &durable);
            break;
        case Settled::InProgress:
            result = FailedAt(detail, InsertStep::InProgress, kInsertFailed);
            break;
        case Settled::Failed:
            NoteFailedFile(detail, replaced.file, outputPath);
            result = FailedAt(detail, InsertStep::Recover, kInsertFailed);
            break;
    }
    replaced.lock.Release(replaced.file);
    replaced.file.Close();
    if (moved) {
        // Its bytes were flushed before the rename: closing can lose nothing now, and the
        // output is in place; only the rename's confirmation on the disk may be missing.
        output.Close();
        if (durable) {
            return result;
        }
        if (detail != nullptr && detail->path[0] == '\0') {
            std::snprintf(detail->path, sizeof(detail->path), "%s", outputPath);
        }
        return FailedAt(detail, InsertStep::NotDurable, kInsertFailed);
    }
    output.Close();
    platform::DeletePath(stagingPath);
    if (result < 0) {
        return result;
    }
    NoteFailedFile(detail, output, stagingPath);
    return FailedAt(detail, InsertStep::CreateOutput, kInsertCannotCreateOutput);
}

InsertResult CheckNewPackageFile(platform::File& package, const char* outputPath,
                                 InsertDetail* detail) {
    char stagingPath[platform::kPathBufferSize];
    if (!StagingPathFor(outputPath, stagingPath) || platform::NamesSameFile(package, outputPath)) {
        return FailedAt(detail, InsertStep::CreateOutput, kInsertCannotCreateOutput);
    }
    InsertResult staging = CheckCreatable(detail, stagingPath);
    return staging < 0 ? staging : CheckCreatable(detail, outputPath);
}

}  // namespace package
