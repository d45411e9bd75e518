#include "package/open_for_change.h"

#include "package/engine_report.h"
#include "platform/multibyte.h"

namespace package {

InsertStep StepOfOpening(OpenFault fault) {
    switch (fault) {
        case OpenFault::Recover:
            return InsertStep::Recover;
        case OpenFault::StaleJournal:
            return InsertStep::StaleJournal;
        case OpenFault::InProgress:
            return InsertStep::InProgress;
        case OpenFault::JournalWithoutPackage:
            return InsertStep::JournalWithoutPackage;
        case OpenFault::OpenPackage:
            return InsertStep::OpenPackage;
        case OpenFault::Declined:
            return InsertStep::Declined;
        case OpenFault::NotAnImage:
            return InsertStep::NotAnImage;
        case OpenFault::NoOverlay:
            return InsertStep::NoOverlay;
        case OpenFault::BadArchive:
            return InsertStep::BadArchive;
        case OpenFault::None:
            break;
    }
    return InsertStep::None;
}

bool ChangesInPlace(const char* packagePath, const char* outputPath) {
    return outputPath == nullptr || outputPath[0] == '\0' ||
           platform::SamePathText(outputPath, packagePath);
}

InsertResult OpenForChange(const char* packagePath, const char* outputPath,
                           InsertPrompter& prompter, OpenedPackage& opened, InsertDetail* detail,
                           Writing writing, SumTaking sumTaking) {
    opened.inPlace = ChangesInPlace(packagePath, outputPath);
    const bool sumWhileCopying = sumTaking == SumTaking::WhileCopying && !opened.inPlace;
    PackageOpening how;
    how.access = opened.inPlace ? platform::Access::ReadWrite : platform::Access::Read;
    // One writer at a time prepares a change in place; a new package only reads this one.
    how.lock =
        opened.inPlace && writing == Writing::Write ? LockLevel::Reserved : LockLevel::Shared;
    how.checksum = !sumWhileCopying;
    // A new file takes a copy of (nearly) the whole package: told up front with the checksum
    // pass, so that the bar does not fill with the first pass alone.
    how.morePasses = opened.inPlace ? 0 : 1;
    how.prompter = &prompter;
    how.leaveJournal = writing == Writing::DryRun;
    const OpenFault fault = OpenPackage(packagePath, how, opened);
    if (detail != nullptr) {
        detail->recovery = opened.recovery;
        detail->archiveFault = opened.archiveFault;
        detail->signature = opened.signature;
    }
    if (fault == OpenFault::None) {
        if (sumWhileCopying) {
            AddWorkToDo(opened.size);
        }
        return 0;
    }
    // These refusals come after the damaged-package question when the sum is taken at opening;
    // they come after it here too.
    if (sumWhileCopying && (fault == OpenFault::NotAnImage || fault == OpenFault::NoOverlay ||
                            fault == OpenFault::BadArchive)) {
        InsertResult asked = TakeChecksum(opened, prompter, detail);
        if (asked < 0) {
            return asked;
        }
    }
    if (fault == OpenFault::OpenPackage || fault == OpenFault::Recover) {
        NoteFailedFile(detail, opened.file, packagePath);
    }
    return FailedAt(detail, StepOfOpening(fault),
                    fault == OpenFault::Declined ? kInsertDeclined : kInsertFailed);
}

InsertResult TakeChecksum(OpenedPackage& opened, InsertPrompter& prompter, InsertDetail* detail) {
    AddWorkToDo(opened.size);
    bool readAll = false;
    opened.sum = SumPackageFrom(opened.file, 0, opened.size, 0, &readAll);
    if (!readAll) {
        NoteFailedFile(detail, opened.file, opened.file.Path());
        return FailedAt(detail, InsertStep::OpenPackage, kInsertFailed);
    }
    return GoesOnWithCopiedSum(opened, prompter, detail);
}

InsertResult GoesOnWithCopiedSum(OpenedPackage& opened, InsertPrompter& prompter,
                                 InsertDetail* detail) {
    return GoesOnDespiteChecksum(opened, prompter)
               ? 0
               : FailedAt(detail, InsertStep::Declined, kInsertDeclined);
}

}  // namespace package
