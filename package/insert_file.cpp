#include "package/insert_file.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "package/archive_directory.h"
#include "package/member_name.h"
#include "package/package_archive.h"
#include "package/package_layout.h"
#include "platform/file.h"
#include "platform/filesystem.h"
#include "platform/multibyte.h"
#include "res/message_ids.h"

namespace package {
namespace {

bool FitsPath(const char* text) {
    return text == nullptr || std::strlen(text) < platform::kPathBufferSize;
}

// Looks for a file member whose name equals `memberName` without regard to case. Stored names
// come back with every slash turned into a backslash, so the new name is compared in that
// form too. No double-byte code page uses the slash as a trail byte.
bool HoldsMember(PackageArchive& archive, const char* archivePath, const char* memberName) {
    PathBuffer wanted;
    std::strcpy(wanted, memberName);
    std::replace(wanted, wanted + std::strlen(wanted), '/', '\\');
    PathBuffer path = {};
    PathBuffer name = {};
    for (int more = archive.FirstEntry(archivePath, path, name); more == 1;
         more = archive.NextEntry(path, name)) {
        if (platform::CompareNoCase(name, wanted) == 0) {
            return true;
        }
        std::memset(path, 0, sizeof(path));
        std::memset(name, 0, sizeof(name));
    }
    return false;
}

class Insert {
  public:
    Insert(InsertPrompter& prompter, InsertDetail* detail) : prompter_(prompter), detail_(detail) {}

    ~Insert() {
        if (tempPath_[0] != '\0') {
            platform::DeletePath(tempPath_);
        }
    }

    InsertResult Run(const char* packagePath, const char* filePath, const char* memberName,
                     const char* outputPath) {
        if (!FitsPath(packagePath) || !FitsPath(filePath) || !FitsPath(memberName) ||
            !FitsPath(outputPath)) {
            return Stop(InsertStep::BadArguments, kInsertFailed);
        }
        const bool inPlace = outputPath == nullptr || outputPath[0] == '\0' ||
                             platform::SamePathText(outputPath, packagePath);

        platform::File package;
        uint64_t packageSize = 0;
        if (!package.Open(packagePath,
                          inPlace ? platform::Access::ReadWrite : platform::Access::Read,
                          platform::Disposition::OpenExisting) ||
            !package.Size(&packageSize) || packageSize >= kPackageSizeLimit) {
            return Stop(InsertStep::OpenPackage, kInsertFailed);
        }
        bool readAll = false;
        uint32_t checksum = ComputePackageChecksum(package, &readAll);
        if (!readAll) {
            return Stop(InsertStep::OpenPackage, kInsertFailed);
        }
        if (checksum != 0 && !prompter_.AskYesNo(IDS_PACKAGE_DAMAGED_CONTINUE)) {
            return Stop(InsertStep::Declined, kInsertDeclined);
        }

        char tempDirectory[platform::kPathBufferSize];
        if (!platform::GetTempDirectory(tempDirectory) ||
            !platform::CreateTempFile(tempDirectory, "KtlZip", tempPath_)) {
            return Stop(InsertStep::TempArchive, kInsertFailed);
        }
        uint32_t overlayOffset = FindOverlayOffset(package);
        if (overlayOffset == kNoOverlayOffset) {
            return Stop(InsertStep::NotAnImage, kInsertFailed);
        }
        if (overlayOffset >= packageSize) {
            return Stop(InsertStep::NoOverlay, kInsertFailed);
        }
        // Whatever the archive claims must hold before anything grows from its claims.
        ArchiveDirectory directory;
        ArchiveFault fault = ReadArchiveDirectory(package, overlayOffset, directory);
        if (fault != ArchiveFault::None) {
            if (detail_ != nullptr) {
                detail_->archiveFault = fault;
            }
            return Stop(InsertStep::BadArchive, kInsertFailed);
        }
        if (CopyOverlay(package, tempPath_, overlayOffset) <= 0) {
            return Stop(InsertStep::NoOverlay, kInsertFailed);
        }

        const char* name = memberName != nullptr ? memberName : MemberNameFromPath(filePath);
        if (name[0] == '\0' || EscapesBase(name)) {
            return Stop(InsertStep::BadArguments, kInsertFailed);
        }
        PackageArchive archive;
        // The finished package, pad and word included, must stay below 4 GiB, and the count
        // returned for a new file must fit its signed 32 bits.
        archive.SetSizeLimit(
            std::min(kPackageSizeLimit - 1 - 3 - 4 - overlayOffset, kMaxByteCount - overlayOffset));
        if (HoldsMember(archive, tempPath_, name)) {
            prompter_.ShowStop(IDS_SAME_NAME_EXISTS);
            return Stop(InsertStep::Duplicate, kInsertDuplicate);
        }
        if (archive.AddFile(tempPath_, filePath, name) != 0) {
            if (detail_ != nullptr) {
                detail_->archiveError = static_cast<int>(archive.LastError());
            }
            return Stop(InsertStep::AddMember, kInsertFailed);
        }
        InsertResult result =
            RebuildPackage(package, overlayOffset, tempPath_, inPlace ? nullptr : outputPath);
        if (result == kInsertCannotCreateOutput) {
            return Stop(InsertStep::CreateOutput, result);
        }
        if (result < 0) {
            return Stop(InsertStep::Rebuild, kInsertFailed);
        }
        return result;
    }

  private:
    InsertResult Stop(InsertStep step, InsertResult result) {
        if (detail_ != nullptr) {
            detail_->step = step;
        }
        return result;
    }

    InsertPrompter& prompter_;
    InsertDetail* detail_;
    char tempPath_[platform::kPathBufferSize] = {};
};

}  // namespace

InsertResult InsertFileIntoPackage(const char* packagePath, const char* filePath,
                                   const char* memberName, const char* outputPath,
                                   InsertPrompter& prompter, InsertDetail* detail) {
    if (detail != nullptr) {
        *detail = InsertDetail{};
    }
    // Memory running out (a huge directory in a 32-bit process) fails the insert like any
    // other failure; the objects' destructors have cleaned up by the time it lands here.
    try {
        Insert insert(prompter, detail);
        return insert.Run(packagePath, filePath, memberName, outputPath);
    } catch (const std::bad_alloc&) {
        if (detail != nullptr) {
            detail->step = InsertStep::OutOfMemory;
        }
        return kInsertFailed;
    }
}

}  // namespace package
