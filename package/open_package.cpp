#include "package/open_package.h"

#include "package/certificate_table.h"
#include "package/engine_report.h"
#include "package/insert_file.h"
#include "package/package_layout.h"
#include "package/signature_check.h"
#include "platform/filesystem.h"
#include "res/message_ids.h"

namespace package {

namespace {

bool SignatureIsIntact(OpenedPackage& opened) {
    SignatureCheck check;
    return opened.signature.present && CheckImageSignature(opened.file, opened.signature, check) &&
           check.intact;
}

}  // namespace

bool GoesOnDespiteChecksum(OpenedPackage& opened, InsertPrompter& prompter) {
    // A signature added after sealing leaves the checksum not zero; while it is intact the
    // package is as its signer left it, which is no damage.
    return opened.sum == 0 || SignatureIsIntact(opened) ||
           prompter.AskYesNo(IDS_PACKAGE_DAMAGED_CONTINUE);
}

OpenFault OpenPackage(const char* packagePath, const PackageOpening& how, OpenedPackage& opened) {
    opened.recovery = RecoveryReport{};
    const LockedOpening locked =
        OpenLocked(packagePath, how.access, how.sharing, how.lock,
                   how.leaveJournal ? JournalHandling::Leave : JournalHandling::Recover, opened,
                   opened.recovery);
    if (how.prompter != nullptr && (opened.recovery.outcome == Recovery::RolledBack ||
                                    opened.recovery.outcome == Recovery::Discarded)) {
        how.prompter->TellRecovery(opened.recovery, packagePath);
    }
    switch (locked) {
        case LockedOpening::Opened:
            break;
        case LockedOpening::CannotOpen:
            return OpenFault::OpenPackage;
        case LockedOpening::JournalWithoutPackage:
            return OpenFault::JournalWithoutPackage;
        case LockedOpening::Busy:
            return OpenFault::InProgress;
        case LockedOpening::JournalLeft:
        case LockedOpening::RecoverFailed:
            return OpenFault::Recover;
        case LockedOpening::StaleJournal:
            return OpenFault::StaleJournal;
    }
    if (!opened.file.Size(&opened.size) || opened.size >= kPackageSizeLimit) {
        return OpenFault::OpenPackage;
    }
    // The image headers are read once, and their bytes start the checksum pass.
    PackageHead head;
    if (!ReadPackageHead(opened.file, &head)) {
        return OpenFault::OpenPackage;
    }
    ImageSignatureIn(head, opened.signature);
    opened.overlayOffset = OverlayOffsetIn(head);
    const uint32_t headSum = how.checksum ? AddChecksumBytesAt(0, head.bytes, head.size, 0) : 0;
    const uint32_t headSize = head.size;
    if (how.prompter != nullptr && opened.signature.present &&
        !how.prompter->GoOnWithSignedImage(opened.signature)) {
        return OpenFault::Declined;
    }
    if (how.checksum) {
        AddWorkToDo(opened.size * (1 + uint64_t{how.morePasses}));
        AddWorkDone(headSize);
        bool readAll = headSize <= opened.size;
        if (readAll) {
            opened.sum =
                SumPackageFrom(opened.file, headSize, opened.size - headSize, headSum, &readAll);
        }
        if (!readAll) {
            return OpenFault::OpenPackage;
        }
        if (how.prompter != nullptr && !GoesOnDespiteChecksum(opened, *how.prompter)) {
            return OpenFault::Declined;
        }
    }
    if (opened.overlayOffset == kNoOverlayOffset) {
        return OpenFault::NotAnImage;
    }
    if (opened.overlayOffset >= opened.size) {
        return OpenFault::NoOverlay;
    }
    opened.archiveEnd =
        ArchiveLimit(opened.file, opened.size, opened.overlayOffset, opened.signature);
    if (how.readDirectory) {
        // Whatever the archive claims must hold before anything grows from its claims.
        opened.archiveFault = ReadArchiveDirectory(opened.file, opened.overlayOffset,
                                                   opened.directory, opened.archiveEnd);
        if (opened.archiveFault != ArchiveFault::None) {
            return OpenFault::BadArchive;
        }
    }
    return OpenFault::None;
}

}  // namespace package
