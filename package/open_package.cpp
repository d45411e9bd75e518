#include "package/open_package.h"

#include "package/engine_report.h"
#include "package/insert_file.h"
#include "package/package_layout.h"
#include "res/message_ids.h"

namespace package {

OpenFault OpenPackage(const char* packagePath, const PackageOpening& how, OpenedPackage& opened) {
    switch (RecoverPackage(packagePath, &opened.recovery)) {
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
