#include "package/open_package.h"

#include "package/engine_report.h"
#include "package/insert_file.h"
#include "package/package_layout.h"
#include "platform/filesystem.h"
#include "res/message_ids.h"

namespace package {

namespace {

bool JournalBeside(const char* packagePath, RecoveryReport& report) {
    return JournalPathFor(packagePath, report.journalPath) &&
           platform::PathHasAttributes(report.journalPath);
}

}  // namespace

OpenFault OpenPackage(const char* packagePath, const PackageOpening& how, OpenedPackage& opened) {
    if (how.leaveJournal && JournalBeside(packagePath, opened.recovery)) {
        return OpenFault::Recover;
    }
    opened.recovery = RecoveryReport{};
    switch (how.leaveJournal ? Recovery::NothingToDo
                             : RecoverPackage(packagePath, &opened.recovery)) {
        case Recovery::Failed:
            return OpenFault::Recover;
        case Recovery::SetAside:
            return OpenFault::StaleJournal;
        case Recovery::RolledBack:
        case Recovery::Discarded:
            if (how.prompter != nullptr) {
                how.prompter->TellRecovery(opened.recovery, packagePath);
            }
            break;
        case Recovery::NothingToDo:
            break;
    }
    if (!opened.file.Open(packagePath, how.access, platform::Disposition::OpenExisting,
                          how.sharing) ||
        !opened.file.Size(&opened.size) || opened.size >= kPackageSizeLimit) {
        return OpenFault::OpenPackage;
    }
    if (how.prompter != nullptr) {
        if (!FindImageSignature(opened.file, opened.signature)) {
            return OpenFault::OpenPackage;
        }
        if (opened.signature.present && !how.prompter->GoOnWithSignedImage(opened.signature)) {
            return OpenFault::Declined;
        }
    }
    if (how.checksum) {
        AddWorkToDo(opened.size * (1 + uint64_t{how.morePasses}));
        bool readAll = false;
        opened.sum = ComputePackageChecksum(opened.file, &readAll);
        if (!readAll) {
            return OpenFault::OpenPackage;
        }
        if (opened.sum != 0 && how.prompter != nullptr &&
            !how.prompter->AskYesNo(IDS_PACKAGE_DAMAGED_CONTINUE)) {
            return OpenFault::Declined;
        }
    }
    opened.overlayOffset = FindOverlayOffset(opened.file);
    if (opened.overlayOffset == kNoOverlayOffset) {
        return OpenFault::NotAnImage;
    }
    if (opened.overlayOffset >= opened.size) {
        return OpenFault::NoOverlay;
    }
    if (how.readDirectory) {
        // Whatever the archive claims must hold before anything grows from its claims.
        opened.archiveFault =
            ReadArchiveDirectory(opened.file, opened.overlayOffset, opened.directory);
        if (opened.archiveFault != ArchiveFault::None) {
            return OpenFault::BadArchive;
        }
    }
    return OpenFault::None;
}

}  // namespace package
