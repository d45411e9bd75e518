// Inserting a file writes only what changes. The bytes before the old central directory stay
// as they are; from there on come the new member, the old directory with the new entry, the
// end record, any old bytes beyond them, the pad and the checksum word. In place that tail is
// written through the package's own handle under a rollback journal; a new package is one copy
// of the kept part and then the tail. The checksum word follows from the first pass's sum, so
// nothing is read back.
#include "package/insert_file.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "package/archive_directory.h"
#include "package/byte_cursor.h"
#include "package/journal.h"
#include "package/member_deflate.h"
#include "package/member_name.h"
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

// Whether the directory lists a file member whose name equals `memberName` without regard to
// case. Names are compared with every slash turned into a backslash, as they are stored by
// this tool; no double-byte code page uses the slash as a trail byte. Directory members, and
// names no buffer here can hold, are passed over.
bool HoldsMember(const ArchiveDirectory& directory, const char* memberName) {
    PathBuffer wanted;
    std::strcpy(wanted, memberName);
    std::replace(wanted, wanted + std::strlen(wanted), '/', '\\');
    ByteCursor cursor(directory.bytes.data(), directory.bytes.size());
    while (cursor.Remaining() > 0) {
        const uint8_t* fixed = cursor.Bytes(central_header::kSize);
        uint32_t nameLength = GetU16(fixed + central_header::kNameLengthAt);
        const uint8_t* stored = cursor.Bytes(nameLength);
        cursor.Skip(size_t{GetU16(fixed + central_header::kExtraLengthAt)} +
                    GetU16(fixed + central_header::kCommentLengthAt));
        if (nameLength == 0 || nameLength >= sizeof(PathBuffer) ||
            std::memchr(stored, 0, nameLength) != nullptr) {
            continue;
        }
        PathBuffer name = {};
        std::memcpy(name, stored, nameLength);
        std::replace(name, name + nameLength, '/', '\\');
        if (!NamesDirectory(name) && platform::CompareNoCase(name, wanted) == 0) {
            return true;
        }
    }
    return false;
}

// The records of the new member, in their packed little-endian form.
struct NewRecords {
    uint8_t local[local_header::kSize] = {};
    uint8_t central[central_header::kSize] = {};
    uint8_t end[end_record::kSize] = {};
};

NewRecords MakeRecords(const ArchiveDirectory& directory, uint32_t nameLength, uint32_t crc,
                       uint32_t compressedSize, uint32_t size) {
    LocalFileHeader local;
    local.signature = local_header::kSignature;
    local.versionNeeded = kZipVersion20;
    local.method = kDeflateMethod;
    local.crc32 = crc;
    local.compressedSize = compressedSize;
    local.uncompressedSize = size;
    local.nameLength = static_cast<uint16_t>(nameLength);

    CentralFileHeader central;
    central.signature = central_header::kSignature;
    central.versionMadeBy = kZipVersion20;
    central.versionNeeded = kZipVersion20;
    central.method = kDeflateMethod;
    central.crc32 = crc;
    central.compressedSize = compressedSize;
    central.uncompressedSize = size;
    central.nameLength = local.nameLength;
    central.localHeaderOffset = directory.end.directoryOffset;

    // The old comment is dropped: its bytes are overwritten or left behind as stray bytes.
    EndOfCentralDirectory end = directory.end;
    end.entriesOnDisk = static_cast<uint16_t>(end.entriesOnDisk + 1);
    end.totalEntries = static_cast<uint16_t>(end.totalEntries + 1);
    end.directorySize = directory.end.directorySize + central_header::kSize + nameLength;
    end.directoryOffset =
        directory.end.directoryOffset + local_header::kSize + nameLength + compressedSize;
    end.commentLength = 0;

    NewRecords records;
    local.Encode(records.local);
    central.Encode(records.central);
    end.Encode(records.end);
    return records;
}

class Insert {
  public:
    Insert(InsertPrompter& prompter, InsertDetail* detail) : prompter_(prompter), detail_(detail) {}

    InsertResult Run(const char* packagePath, const char* filePath, const char* memberName,
                     const char* outputPath) {
        if (!FitsPath(packagePath) || !FitsPath(filePath) || !FitsPath(memberName) ||
            !FitsPath(outputPath)) {
            return Fail(InsertStep::BadArguments, kInsertFailed);
        }
        inPlace_ = outputPath == nullptr || outputPath[0] == '\0' ||
                   platform::SamePathText(outputPath, packagePath);
        if (RecoverPackage(packagePath) == Recovery::Failed) {
            return Fail(InsertStep::Recover, kInsertFailed);
        }

        if (!package_.Open(packagePath,
                           inPlace_ ? platform::Access::ReadWrite : platform::Access::Read,
                           platform::Disposition::OpenExisting) ||
            !package_.Size(&packageSize_) || packageSize_ >= kPackageSizeLimit) {
            return Fail(InsertStep::OpenPackage, kInsertFailed);
        }
        bool readAll = false;
        packageSum_ = ComputePackageChecksum(package_, &readAll);
        if (!readAll) {
            return Fail(InsertStep::OpenPackage, kInsertFailed);
        }
        if (packageSum_ != 0 && !prompter_.AskYesNo(IDS_PACKAGE_DAMAGED_CONTINUE)) {
            return Fail(InsertStep::Declined, kInsertDeclined);
        }

        overlayOffset_ = FindOverlayOffset(package_);
        if (overlayOffset_ == kNoOverlayOffset) {
            return Fail(InsertStep::NotAnImage, kInsertFailed);
        }
        if (overlayOffset_ >= packageSize_) {
            return Fail(InsertStep::NoOverlay, kInsertFailed);
        }
        // Whatever the archive claims must hold before anything grows from its claims.
        ArchiveFault fault = ReadArchiveDirectory(package_, overlayOffset_, directory_);
        if (fault != ArchiveFault::None) {
            if (detail_ != nullptr) {
                detail_->archiveFault = fault;
            }
            return Fail(InsertStep::BadArchive, kInsertFailed);
        }

        const char* name = memberName != nullptr ? memberName : MemberNameFromPath(filePath);
        if (name[0] == '\0' || EscapesBase(name)) {
            return Fail(InsertStep::BadArguments, kInsertFailed);
        }
        if (HoldsMember(directory_, name)) {
            prompter_.ShowStop(IDS_SAME_NAME_EXISTS);
            return Fail(InsertStep::Duplicate, kInsertDuplicate);
        }
        if (!source_.Open(filePath, platform::Access::Read, platform::Disposition::OpenExisting,
                          platform::Sharing::ReadWrite)) {
            return FailToAdd(ArchiveError::CannotReadSource);
        }
        return inPlace_ ? WriteInPlace(packagePath, name) : WriteNewPackage(outputPath, name);
    }

  private:
    // The new member goes where the old directory began; everything from there to the end of
    // the package is the tail that changes.
    uint64_t TailAt() const { return overlayOffset_ + uint64_t{directory_.end.directoryOffset}; }

    bool ReadOldTail() {
        oldTail_.resize(packageSize_ - TailAt());
        uint32_t got = 0;
        return package_.Seek(static_cast<int64_t>(TailAt()), platform::SeekFrom::Begin) &&
               package_.Read(oldTail_.data(), static_cast<uint32_t>(oldTail_.size()), &got) &&
               got == oldTail_.size();
    }

    InsertResult WriteInPlace(const char* packagePath, const char* name) {
        char journalPath[platform::kPathBufferSize];
        if (!ReadOldTail()) {
            return Fail(InsertStep::OpenPackage, kInsertFailed);
        }
        if (!JournalPathFor(packagePath, journalPath) ||
            !WriteJournal(journalPath, TailAt(), oldTail_.data(),
                          static_cast<uint32_t>(oldTail_.size()))) {
            return Fail(InsertStep::CreateOutput, kInsertCannotCreateOutput);
        }
        InsertResult result = WriteTail(package_, name);
        if (result >= 0 && package_.Flush() && DeleteJournal(journalPath)) {
            return static_cast<InsertResult>(result - overlayOffset_);
        }
        // Put the old tail back. Should that fail too, the journal stays for the next open.
        if (RollBack(package_, journalPath)) {
            DeleteJournal(journalPath);
        }
        return result < 0 ? result : Fail(InsertStep::Rebuild, kInsertFailed);
    }

    InsertResult WriteNewPackage(const char* outputPath, const char* name) {
        if (!ReadOldTail()) {
            return Fail(InsertStep::OpenPackage, kInsertFailed);
        }
        platform::File output;
        if (platform::NamesSameFile(package_, outputPath) ||
            !output.Open(outputPath, platform::Access::ReadWrite,
                         platform::Disposition::CreateAlways)) {
            return Fail(InsertStep::CreateOutput, kInsertCannotCreateOutput);
        }
        InsertResult result = Fail(InsertStep::Rebuild, kInsertFailed);
        if (package_.Seek(0, platform::SeekFrom::Begin)) {
            result = package_.CopyTo(output, TailAt(), WorkBuffer(), kWorkBufferSize)
                         ? WriteTail(output, name)
                         : Fail(InsertStep::Rebuild, kInsertFailed);
        }
        bool closed = output.Close();
        if (result >= 0 && closed) {
            return result;
        }
        platform::DeletePath(outputPath);
        return result < 0 ? result : Fail(InsertStep::Rebuild, kInsertFailed);
    }

    // Writes the tail into `target`, which holds the kept part already, pads and seals it, and
    // returns the length before the pad, or a negative result.
    InsertResult WriteTail(platform::File& target, const char* name) {
        const uint64_t tailAt = TailAt();
        const uint32_t nameLength = static_cast<uint32_t>(std::strlen(name));
        const uint64_t oldEnd = packageSize_;
        // The words of the kept part: the first pass's sum less what the old tail added.
        uint32_t sum =
            packageSum_ - AddChecksumBytesAt(0, oldTail_.data(), oldTail_.size(), tailAt);

        // The finished package, pad and word included, must stay below 4 GiB, and the count
        // returned must fit its signed 32 bits. Checked before each write, never after.
        const uint64_t fixedPart = tailAt + local_header::kSize + nameLength +
                                   directory_.bytes.size() + central_header::kSize + nameLength +
                                   end_record::kSize;
        const uint64_t limit = std::min(kPackageSizeLimit - 1 - 3 - 4, kMaxByteCount);
        if (fixedPart > limit || oldEnd > limit) {
            return FailToAdd(ArchiveError::TooLarge);
        }
        DeflateStream deflater;
        if (!deflater.Ready()) {
            return FailToAdd(ArchiveError::CompressorFailed);
        }
        const uint64_t dataAt = tailAt + local_header::kSize + nameLength;
        WrittenSum data{sum, dataAt};
        uint32_t crc = 0;
        uint64_t size = 0;
        uint64_t compressedSize = 0;
        if (!target.Seek(static_cast<int64_t>(dataAt), platform::SeekFrom::Begin)) {
            return FailToAdd(ArchiveError::WriteFailed);
        }
        ArchiveError error = DeflateSource(source_, target, deflater, limit - fixedPart, &crc,
                                           &size, &compressedSize, &data);
        if (error != ArchiveError::None) {
            return FailToAdd(error);
        }
        NewRecords records =
            MakeRecords(directory_, nameLength, crc, static_cast<uint32_t>(compressedSize),
                        static_cast<uint32_t>(size));

        WrittenSum head{data.sum, tailAt};
        head.Add(records.local, sizeof(records.local));
        head.Add(reinterpret_cast<const uint8_t*>(name), nameLength);
        WrittenSum rest{head.sum, dataAt + compressedSize};
        rest.Add(directory_.bytes.data(), static_cast<uint32_t>(directory_.bytes.size()));
        rest.Add(records.central, sizeof(records.central));
        rest.Add(reinterpret_cast<const uint8_t*>(name), nameLength);
        rest.Add(records.end, sizeof(records.end));
        const uint64_t newEnd = rest.position;
        // Old bytes beyond the new end record stay where they are, and count.
        const uint64_t length = std::max(newEnd, oldEnd);
        const uint8_t* stray = oldTail_.data() + (newEnd - tailAt);
        const uint32_t strayLength = static_cast<uint32_t>(length - newEnd);
        rest.Add(stray, strayLength);
        const uint32_t pad = static_cast<uint32_t>((4 - length % 4) % 4);
        uint8_t seal[3 + 4] = {};
        PutU32(seal + pad, 0u - rest.sum);

        bool written =
            target.Seek(static_cast<int64_t>(tailAt), platform::SeekFrom::Begin) &&
            target.Write(records.local, sizeof(records.local)) && target.Write(name, nameLength) &&
            target.Seek(static_cast<int64_t>(dataAt + compressedSize), platform::SeekFrom::Begin) &&
            target.Write(directory_.bytes.data(), static_cast<uint32_t>(directory_.bytes.size())) &&
            target.Write(records.central, sizeof(records.central)) &&
            target.Write(name, nameLength) && target.Write(records.end, sizeof(records.end)) &&
            (inPlace_ || strayLength == 0 || target.Write(stray, strayLength)) &&
            target.Seek(static_cast<int64_t>(length), platform::SeekFrom::Begin) &&
            target.Write(seal, pad + 4) && target.Flush();
        if (!written) {
            return Fail(InsertStep::Rebuild, kInsertFailed);
        }
        return static_cast<InsertResult>(length);
    }

    InsertResult FailToAdd(ArchiveError error) {
        if (detail_ != nullptr) {
            detail_->archiveError = static_cast<int>(error);
        }
        return Fail(InsertStep::AddMember, kInsertFailed);
    }

    InsertResult Fail(InsertStep step, InsertResult result) {
        if (detail_ != nullptr) {
            detail_->step = step;
        }
        return result;
    }

    InsertPrompter& prompter_;
    InsertDetail* detail_;
    bool inPlace_ = false;
    platform::File package_;
    platform::File source_;
    uint64_t packageSize_ = 0;
    uint32_t packageSum_ = 0;
    uint32_t overlayOffset_ = 0;
    ArchiveDirectory directory_;
    std::vector<uint8_t> oldTail_;
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
