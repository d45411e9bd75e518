#include "package/open_for_change.h"

#include "package/engine_report.h"
#include "package/journal.h"
#include "package/package_layout.h"
#include "platform/multibyte.h"
#include "res/message_ids.h"

namespace package {

bool ChangesInPlace(const char* packagePath, const char* outputPath) {
    return outputPath == nullptr || outputPath[0] == '\0' ||
           platform::SamePathText(outputPath, packagePath);
}

InsertResult OpenForChange(const char* packagePath, const char* outputPath,
                           InsertPrompter& prompter, OpenedPackage& opened, InsertDetail* detail) {
    opened.inPlace = ChangesInPlace(packagePath, outputPath);
    if (RecoverPackage(packagePath) == Recovery::Failed) {
        return FailedAt(detail, InsertStep::Recover, kInsertFailed);
    }
    if (!opened.file.Open(packagePath,
                          opened.inPlace ? platform::Access::ReadWrite : platform::Access::Read,
                          platform::Disposition::OpenExisting) ||
        !opened.file.Size(&opened.size) || opened.size >= kPackageSizeLimit) {
        NoteFailedFile(detail, opened.file, packagePath);
        return FailedAt(detail, InsertStep::OpenPackage, kInsertFailed);
    }
    // The checksum pass, and for a new file the copy of (nearly) the whole package, told up
    // front so that the bar does not fill with the first pass alone.
    AddWorkToDo(opened.inPlace ? opened.size : 2 * opened.size);
    bool readAll = false;
    opened.sum = ComputePackageChecksum(opened.file, &readAll);
    if (!readAll) {
        NoteFailedFile(detail, opened.file, packagePath);
        return FailedAt(detail, InsertStep::OpenPackage, kInsertFailed);
    }
    if (opened.sum != 0 && !prompter.AskYesNo(IDS_PACKAGE_DAMAGED_CONTINUE)) {
        return FailedAt(detail, InsertStep::Declined, kInsertDeclined);
    }
    opened.overlayOffset = FindOverlayOffset(opened.file);
    if (opened.overlayOffset == kNoOverlayOffset) {
        return FailedAt(detail, InsertStep::NotAnImage, kInsertFailed);
    }
    if (opened.overlayOffset >= opened.size) {
        return FailedAt(detail, InsertStep::NoOverlay, kInsertFailed);
    }
    // Whatever the archive claims must hold before anything grows from its claims.
    ArchiveFault fault = ReadArchiveDirectory(opened.file, opened.overlayOffset, opened.directory);
    if (fault != ArchiveFault::None) {
        if (detail != nullptr) {
            detail->archiveFault = fault;
        }
        return FailedAt(detail, InsertStep::BadArchive, kInsertFailed);
    }
    return 0;
}

}  // namespace package
