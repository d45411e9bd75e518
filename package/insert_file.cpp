#include "package/insert_file.h"

#include <algorithm>
#include <cstring>

#include "package/package_archive.h"
#include "package/package_layout.h"
#include "platform/file.h"
#include "platform/filesystem.h"
#include "platform/multibyte.h"
#include "res/message_ids.h"

namespace package {
namespace {

constexpr uint64_t kFourGiB = 1ull << 32;

bool FitsPath(const char* text) {
    return text == nullptr || std::strlen(text) < platform::kPathBufferSize;
}

// The file's own name: the text behind its last separator, or the whole path.
const char* BaseName(const char* filePath) {
    const char* last = platform::FindLastChar(filePath, platform::kPathSeparator);
    return last == nullptr ? filePath : last + 1;
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
            !package.Size(&packageSize) || packageSize >= kFourGiB) {
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
        if (CopyOverlay(package, tempPath_, overlayOffset) <= 0) {
            return Stop(InsertStep::NoOverlay, kInsertFailed);
        }

        const char* name = memberName != nullptr ? memberName : BaseName(filePath);
        if (name[0] == '\0') {
            return Stop(InsertStep::BadArguments, kInsertFailed);
        }
        PackageArchive archive;
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
    Insert insert(prompter, detail);
    return insert.Run(packagePath, filePath, memberName, outputPath);
}

}  // namespace package
