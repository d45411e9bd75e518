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
#include "package/certificate_table.h"
#include "package/engine_report.h"
#include "package/journal.h"
#include "package/member_deflate.h"
#include "package/member_lookup.h"
#include "package/member_name.h"
#include "package/member_rewrite.h"
#include "package/new_package_file.h"
#include "package/open_for_change.h"
#include "package/package_layout.h"
#include "platform/file.h"
#include "platform/filesystem.h"
#include "res/message_ids.h"

namespace package {
namespace {

// The records of the new member, in their packed little-endian form.
struct NewRecords {
    DeflatedMemberRecords member;
    std::array<uint8_t, EndOfCentralDirectory::kSize> end = {};
};

NewRecords MakeRecords(const ArchiveDirectory& directory, uint32_t nameLength, uint32_t crc,
                       uint32_t compressedSize, uint32_t size) {
    return NewRecords{MakeDeflatedMemberRecords(nameLength, crc, compressedSize, size,
                                                directory.end.directoryOffset),
                      RecordBytes(EndAfterAppending(directory.end, nameLength, compressedSize))};
}

class Insert {
  public:
    Insert(InsertPrompter& prompter, InsertDetail* detail, Writing writing)
        : prompter_(prompter), detail_(detail), writing_(writing) {}

    InsertResult Run(const char* packagePath, const char* filePath, const char* memberName,
                     const char* outputPath, SameName sameName) {
        InsertResult result = Steps(packagePath, filePath, memberName, outputPath, sameName);
        // A change that ends before its copy has summed the package asks the damaged-package
        // question all the same, and first, as it would had the sum been taken at opening.
        if (result < 0 && questionPending_) {
            InsertResult asked = AskPendingQuestion();
            return asked < 0 ? asked : result;
        }
        return result;
    }

  private:
    InsertResult Steps(const char* packagePath, const char* filePath, const char* memberName,
                       const char* outputPath, SameName sameName) {
        if (!platform::FitsPathBuffer(packagePath) || !platform::FitsPathBuffer(filePath) ||
            !platform::FitsPathBuffer(memberName) || !platform::FitsPathBuffer(outputPath)) {
            return Fail(InsertStep::BadArguments, kInsertFailed);
        }
        // A new package is summed as it is copied: one read of the package, not two.
        const SumTaking sumTaking =
            writing_ == Writing::Write ? SumTaking::WhileCopying : SumTaking::AtOpening;
        InsertResult opened = OpenForChange(packagePath, outputPath, prompter_, opened_, detail_,
                                            writing_, sumTaking);
        if (opened < 0) {
            return opened;
        }
        questionPending_ = sumTaking == SumTaking::WhileCopying && !opened_.inPlace;
        clearEntry_ = MustClearSecurityEntry(opened_.signature, opened_.overlayOffset);

        const char* name = memberName != nullptr ? memberName : MemberNameFromPath(filePath);
        if (name[0] == '\0' || EscapesBase(name)) {
            return Fail(InsertStep::BadArguments, kInsertFailed);
        }
        std::vector<size_t> same =
            FindMembers(ListEntries(opened_.directory), name, MemberKinds::Files);
        if (!same.empty() && sameName == SameName::Refuse) {
            InsertResult asked = questionPending_ ? AskPendingQuestion() : 0;
            if (asked < 0) {
                return asked;
            }
            prompter_.ShowStop(IDS_SAME_NAME_EXISTS);
            return Fail(InsertStep::Duplicate, kInsertDuplicate);
        }
        // Replacing keeps the count or lowers it; only a member added beside the others needs
        // room in the directory.
        if (same.empty() && !CanTakeOneMoreEntry(opened_.directory.end)) {
            return FailToAdd(ArchiveError::TooManyEntries);
        }
        if (!source_.Open(filePath, platform::Access::Read, platform::Disposition::OpenExisting,
                          platform::Sharing::ReadWrite)) {
            NoteFailedFile(detail_, source_, filePath);
            return FailToAdd(ArchiveError::CannotReadSource);
        }
        uint64_t sourceSize = 0;
        if (source_.Size(&sourceSize)) {
            AddWorkToDo(sourceSize);
        }
        if (!same.empty()) {
            if (detail_ != nullptr) {
                detail_->replaced = static_cast<uint32_t>(same.size());
            }
            // The rewrite reads the package its own way: the sum is taken first.
            InsertResult asked = questionPending_ ? AskPendingQuestion() : 0;
            if (asked < 0) {
                return asked;
            }
            NewMember added{&source_, name};
            return RewritePackage(opened_, packagePath, outputPath, same, &added, detail_,
                                  writing_);
        }
        if (writing_ == Writing::DryRun) {
            return opened_.inPlace ? MeasureInPlace(name) : MeasureNewPackage(outputPath, name);
        }
        return opened_.inPlace ? WriteInPlace(packagePath, name)
                               : WriteNewPackage(outputPath, name);
    }

    InsertResult AskPendingQuestion() {
        questionPending_ = false;
        return TakeChecksum(opened_, prompter_, detail_);
    }

    // The new member goes where the old directory began; everything from there to the end of
    // the package is the tail that changes.
    uint64_t TailAt() const {
        return opened_.overlayOffset + uint64_t{opened_.directory.end.directoryOffset};
    }

    bool ReadOldTail() {
        oldTail_.resize(opened_.size - TailAt());
        uint32_t got = 0;
        return opened_.file.Seek(static_cast<int64_t>(TailAt()), platform::SeekFrom::Begin) &&
               opened_.file.Read(oldTail_.data(), static_cast<uint32_t>(oldTail_.size()), &got) &&
               got == oldTail_.size();
    }

    // The dry runs fail where the writes below would fail before their first write, and return
    // what they would return.
    InsertResult MeasureInPlace(const char* name) {
        if (!ReadOldTail()) {
            return Fail(InsertStep::OpenPackage, kInsertFailed);
        }
        InsertResult result = CheckCreatable(detail_, opened_.journalPath);
        if (result == 0) {
            result = MeasureTail(name);
        }
        return result < 0 ? result : static_cast<InsertResult>(result - opened_.overlayOffset);
    }

    InsertResult MeasureNewPackage(const char* outputPath, const char* name) {
        if (!ReadOldTail()) {
            return Fail(InsertStep::OpenPackage, kInsertFailed);
        }
        InsertResult result = CheckNewPackageFile(opened_.file, outputPath, detail_);
        return result < 0 ? result : MeasureTail(name);
    }

    InsertResult WriteInPlace(const char* packagePath, const char* name) {
        const char* journalPath = opened_.journalPath;
        if (!ReadOldTail()) {
            return Fail(InsertStep::OpenPackage, kInsertFailed);
        }
        // Readers finish with the old package before the journal exists.
        if (opened_.lock.Raise(opened_.file, LockLevel::Exclusive, packagePath) !=
            LockResult::Taken) {
            return Fail(InsertStep::InProgress, kInsertFailed);
        }
        // A signed package's security entry is cleared too: the journal saves it beside the tail.
        const bool journaled =
            clearEntry_ ? WriteRangedJournal(
                              journalPath, opened_.file, opened_.sum,
                              {ChangedRange{opened_.signature.entryAt, kSecurityEntrySize},
                               ChangedRange{TailAt(), static_cast<uint32_t>(oldTail_.size())}})
                        : WriteJournal(journalPath, opened_.file, opened_.sum, TailAt(),
                                       oldTail_.data(), static_cast<uint32_t>(oldTail_.size()));
        if (!journaled) {
            return Fail(InsertStep::CreateOutput, kInsertCannotCreateOutput);
        }
        // WriteTail flushes the tail before it returns, so the journal goes only after it.
        InsertResult result = WriteTail(opened_.file, name);
        if (result < 0) {
            // Before the rollback touches the file.
            NoteFailedFile(detail_, opened_.file, packagePath);
        }
        return Committed(CommitOrRollBack(opened_.file, journalPath, result >= 0), result,
                         opened_.overlayOffset, detail_);
    }

    InsertResult WriteNewPackage(const char* outputPath, const char* name) {
        if (!ReadOldTail()) {
            return Fail(InsertStep::OpenPackage, kInsertFailed);
        }
        return WriteNewPackageFile(opened_.file, outputPath, detail_, [&](platform::File& output) {
            uint32_t keptSum = 0;
            if (!CopyKeptPart(output, &keptSum)) {
                return Fail(InsertStep::Rebuild, kInsertFailed);
            }
            // The package's sum: what was copied and the old tail, read before.
            opened_.sum = AddChecksumBytesAt(keptSum, oldTail_.data(), oldTail_.size(), TailAt());
            questionPending_ = false;
            InsertResult goOn = GoesOnWithCopiedSum(opened_, prompter_, detail_);
            return goOn < 0 ? goOn : WriteTail(output, name);
        });
    }

    // The kept part goes across summed on the way; its sum comes back in `keptSum`.
    bool CopyKeptPart(platform::File& output, uint32_t* keptSum) {
        *keptSum = 0;
        return output.Seek(0, platform::SeekFrom::Begin) &&
               CopySummed(opened_.file, 0, TailAt(), output, keptSum);
    }

    // The tail's length without the new member's data: its headers, name, the directory and
    // the end record.
    uint64_t FixedPart(uint32_t nameLength) const {
        return TailAt() + LocalFileHeader::kSize + nameLength + opened_.directory.bytes.size() +
               CentralFileHeader::kSize + nameLength + EndOfCentralDirectory::kSize;
    }

    // What WriteTail returns, learnt by compressing the file into nothing.
    InsertResult MeasureTail(const char* name) {
        const uint32_t nameLength = static_cast<uint32_t>(std::strlen(name));
        const uint64_t fixedPart = FixedPart(nameLength);
        const uint64_t limit = kMaxRewrittenSize;
        if (fixedPart > limit || opened_.size > limit) {
            return FailToAdd(ArchiveError::TooLarge);
        }
        DeflateStream deflater;
        if (!deflater.Ready()) {
            return FailToAdd(ArchiveError::CompressorFailed);
        }
        uint32_t crc = 0;
        uint64_t size = 0;
        uint64_t compressedSize = 0;
        ArchiveError error = MeasureDeflatedSource(source_, deflater, limit - fixedPart, &crc,
                                                   &size, &compressedSize);
        if (error != ArchiveError::None) {
            return FailToAdd(error);
        }
        NoteAdded(detail_, name, crc, compressedSize, size);
        const uint64_t length = std::max(fixedPart + compressedSize, opened_.archiveEnd);
        NoteNewSize(detail_, length, opened_.inPlace ? TailAt() : 0);
        return static_cast<InsertResult>(length);
    }

    // Writes the tail into `target`, which holds the kept part already, pads and seals it, and
    // returns the length before the pad, or a negative result.
    InsertResult WriteTail(platform::File& target, const char* name) {
        const uint64_t tailAt = TailAt();
        const uint32_t nameLength = static_cast<uint32_t>(std::strlen(name));
        // A certificate table behind the archive goes with the signature it holds.
        const uint64_t oldEnd = opened_.archiveEnd;
        // The words of the kept part: the first pass's sum less what the old tail added, and
        // less the security entry when it is cleared.
        uint32_t sum = opened_.sum -
                       AddChecksumBytesAt(0, oldTail_.data(), oldTail_.size(), tailAt) -
                       (clearEntry_ ? SecurityEntryShare(opened_.signature) : 0);

        // The finished package, pad and word included, must stay below 4 GiB, and the count
        // returned must fit its signed 32 bits. Checked before each write, never after.
        const uint64_t fixedPart = FixedPart(nameLength);
        const uint64_t limit = kMaxRewrittenSize;
        if (fixedPart > limit || oldEnd > limit) {
            return FailToAdd(ArchiveError::TooLarge);
        }
        DeflateStream deflater;
        if (!deflater.Ready()) {
            return FailToAdd(ArchiveError::CompressorFailed);
        }
        const uint64_t dataAt = tailAt + LocalFileHeader::kSize + nameLength;
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
        NoteAdded(detail_, name, crc, compressedSize, size);
        NewRecords records =
            MakeRecords(opened_.directory, nameLength, crc, static_cast<uint32_t>(compressedSize),
                        static_cast<uint32_t>(size));

        WrittenSum head{data.sum, tailAt};
        head.Add(records.member.local.data(), LocalFileHeader::kSize);
        head.Add(reinterpret_cast<const uint8_t*>(name), nameLength);
        WrittenSum rest{head.sum, dataAt + compressedSize};
        rest.Add(opened_.directory.bytes.data(),
                 static_cast<uint32_t>(opened_.directory.bytes.size()));
        rest.Add(records.member.central.data(), CentralFileHeader::kSize);
        rest.Add(reinterpret_cast<const uint8_t*>(name), nameLength);
        rest.Add(records.end.data(), EndOfCentralDirectory::kSize);
        const uint64_t newEnd = rest.position;
        // Old bytes beyond the new end record stay where they are, and count. When the new end
        // lies past the old one there are none, and no pointer beyond oldTail_ may be formed.
        const uint64_t length = std::max(newEnd, oldEnd);
        const uint32_t strayLength = static_cast<uint32_t>(length - newEnd);
        const uint8_t* stray = strayLength != 0 ? oldTail_.data() + (newEnd - tailAt) : nullptr;
        rest.Add(stray, strayLength);
        const uint32_t pad = static_cast<uint32_t>((4 - length % 4) % 4);
        uint8_t seal[3 + 4] = {};
        PutU32(seal + pad, 0u - rest.sum);

        const uint8_t clearedEntry[kSecurityEntrySize] = {};
        const uint64_t sealedEnd = length + pad + 4;
        bool written =
            (!clearEntry_ || (target.Seek(static_cast<int64_t>(opened_.signature.entryAt),
                                          platform::SeekFrom::Begin) &&
                              target.Write(clearedEntry, sizeof(clearedEntry)))) &&
            target.Seek(static_cast<int64_t>(tailAt), platform::SeekFrom::Begin) &&
            target.Write(records.member.local.data(), LocalFileHeader::kSize) &&
            target.Write(name, nameLength) &&
            target.Seek(static_cast<int64_t>(dataAt + compressedSize), platform::SeekFrom::Begin) &&
            target.Write(opened_.directory.bytes.data(),
                         static_cast<uint32_t>(opened_.directory.bytes.size())) &&
            target.Write(records.member.central.data(), CentralFileHeader::kSize) &&
            target.Write(name, nameLength) &&
            target.Write(records.end.data(), EndOfCentralDirectory::kSize) &&
            (opened_.inPlace || strayLength == 0 || target.Write(stray, strayLength)) &&
            target.Seek(static_cast<int64_t>(length), platform::SeekFrom::Begin) &&
            target.Write(seal, pad + 4) && (sealedEnd >= opened_.size || target.SetEnd()) &&
            target.Flush();
        if (!written) {
            return Fail(InsertStep::Rebuild, kInsertFailed);
        }
        NoteNewSize(detail_, length, opened_.inPlace ? tailAt : 0);
        return static_cast<InsertResult>(length);
    }

    InsertResult FailToAdd(ArchiveError error) { return FailedToAdd(detail_, error); }
    InsertResult Fail(InsertStep step, InsertResult result) {
        return FailedAt(detail_, step, result);
    }

    InsertPrompter& prompter_;
    InsertDetail* detail_;
    Writing writing_;
    OpenedPackage opened_;
    platform::File source_;
    std::vector<uint8_t> oldTail_;
    bool clearEntry_ = false;
    // Opened to be summed while copied, and the damaged-package question not asked yet.
    bool questionPending_ = false;
};

}  // namespace

InsertResult InsertFileIntoPackage(const char* packagePath, const char* filePath,
                                   const char* memberName, const char* outputPath,
                                   InsertPrompter& prompter, InsertDetail* detail,
                                   SameName sameName, Writing writing) {
    if (detail != nullptr) {
        *detail = InsertDetail{};
    }
    // Memory running out (a huge directory in a 32-bit process) fails the insert like any
    // other failure; the objects' destructors have cleaned up by the time it lands here.
    try {
        ProgressMeter meter(prompter);
        Insert insert(prompter, detail, writing);
        return insert.Run(packagePath, filePath, memberName, outputPath, sameName);
    } catch (const std::bad_alloc&) {
        if (detail != nullptr) {
            detail->step = InsertStep::OutOfMemory;
        }
        return kInsertFailed;
    }
}

}  // namespace package
