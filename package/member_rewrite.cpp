#include "package/member_rewrite.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "package/byte_cursor.h"
#include "package/certificate_table.h"
#include "package/engine_report.h"
#include "package/journal.h"
#include "package/local_records.h"
#include "package/member_deflate.h"
#include "package/member_lookup.h"
#include "package/new_package_file.h"
#include "package/package_layout.h"
#include "platform/filesystem.h"

namespace package {
namespace {

// A run of kept members that moves down as one block; offsets from the archive's first byte.
struct Move {
    uint32_t from = 0;
    uint32_t to = 0;
    uint32_t length = 0;
};

// Copies `count` bytes from `from` at `fromAt` to `to` at `sum.position`, adding them to the
// package checksum at the place they land.
bool MoveBytes(platform::File& from, uint64_t fromAt, platform::File& to, uint64_t count,
               WrittenSum& sum) {
    if (!from.Seek(static_cast<int64_t>(fromAt), platform::SeekFrom::Begin) ||
        !to.Seek(static_cast<int64_t>(sum.position), platform::SeekFrom::Begin)) {
        return false;
    }
    while (count > 0) {
        uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(count, kWorkBufferSize));
        uint32_t got = 0;
        if (!from.Read(WorkBuffer(), want, &got) || got != want || !to.Write(WorkBuffer(), got)) {
            return false;
        }
        sum.Add(WorkBuffer(), got);
        AddWorkDone(got);
        count -= got;
    }
    return true;
}

class Rewrite {
  public:
    Rewrite(OpenedPackage& package, InsertDetail* detail) : package_(package), detail_(detail) {}

    InsertResult Run(const char* packagePath, const char* outputPath,
                     const std::vector<size_t>& removed, const NewMember* added, Writing writing) {
        added_ = added;
        clearEntry_ = MustClearSecurityEntry(package_.signature, package_.overlayOffset);
        InsertResult planned = Plan(removed);
        if (planned < 0) {
            return planned;
        }
        if (writing == Writing::DryRun) {
            return Measure(outputPath);
        }
        return package_.inPlace ? WriteInPlace(packagePath) : WriteNewPackage(outputPath);
    }

  private:
    uint64_t ArchiveStart() const { return package_.overlayOffset; }

    // Works out where every kept member goes and builds the new directory, reading only the
    // local headers and the comment; nothing is written.
    InsertResult Plan(const std::vector<size_t>& removed) {
        const ArchiveDirectory& directory = package_.directory;
        std::vector<DirectoryEntry> entries = ListEntries(directory);
        std::vector<LocalRecord> records;
        uint32_t faultEntry = 0;
        ArchiveFault fault = FindLocalRecords(package_.file, ArchiveStart(), directory, entries,
                                              records, &faultEntry);
        if (fault != ArchiveFault::None) {
            if (detail_ != nullptr) {
                detail_->archiveFault = fault;
            }
            return Fail(InsertStep::BadArchive, kInsertFailed);
        }
        std::vector<bool> gone(entries.size(), false);
        firstChanged_ = directory.end.directoryOffset;
        for (size_t index : removed) {
            NoteRemoved(entries[index]);
            gone[index] = true;
            firstChanged_ = std::min(firstChanged_, records[index].begin);
        }

        // Kept records at or above the first removed one close up, in file order.
        std::vector<size_t> order;
        for (size_t i = 0; i < entries.size(); ++i) {
            if (!gone[i] && records[i].begin >= firstChanged_) {
                order.push_back(i);
            }
        }
        std::sort(order.begin(), order.end(),
                  [&](size_t a, size_t b) { return records[a].begin < records[b].begin; });
        std::vector<uint32_t> newOffset(entries.size());
        uint32_t at = firstChanged_;
        for (size_t i : order) {
            const LocalRecord& record = records[i];
            const uint32_t length = record.end - record.begin;
            if (!moves_.empty() && moves_.back().from + moves_.back().length == record.begin) {
                moves_.back().length += length;
            } else {
                moves_.push_back(Move{record.begin, at, length});
            }
            newOffset[i] = at;
            at += length;
        }
        newMemberAt_ = at;

        for (size_t i = 0; i < entries.size(); ++i) {
            if (gone[i]) {
                continue;
            }
            const uint8_t* entry = directory.bytes.data() + entries[i].at;
            const size_t from = newDirectory_.size();
            newDirectory_.insert(newDirectory_.end(), entry, entry + entries[i].length);
            if (records[i].begin >= firstChanged_) {
                CentralFileHeader moved = entries[i].header;
                moved.localHeaderOffset = newOffset[i];
                const auto fixed = RecordBytes(moved);
                std::copy(fixed.begin(), fixed.end(), newDirectory_.begin() + from);
            }
            ++keptEntries_;
        }
        return added_ != nullptr ? 0 : ReadComment();
    }

    // The comment stays when it lies whole in the file; one that claims more is dropped.
    InsertResult ReadComment() {
        const ArchiveDirectory& directory = package_.directory;
        const uint64_t commentAt = directory.endRecordAt + EndOfCentralDirectory::kSize;
        const uint32_t length = directory.end.commentLength;
        if (length == 0 || commentAt + length > directory.archiveSize) {
            return 0;
        }
        comment_.resize(length);
        uint32_t got = 0;
        if (!package_.file.Seek(static_cast<int64_t>(ArchiveStart() + commentAt),
                                platform::SeekFrom::Begin) ||
            !package_.file.Read(comment_.data(), length, &got) || got != length) {
            return Fail(InsertStep::OpenPackage, kInsertFailed);
        }
        return 0;
    }

    // Fails where the writes below would fail before their first write, and returns what they
    // would return; a new member is compressed into nothing to learn its size.
    InsertResult Measure(const char* outputPath) {
        InsertResult checked = 0;
        if (package_.inPlace) {
            checked = CheckCreatable(detail_, package_.journalPath);
        } else {
            checked = CheckNewPackageFile(package_.file, outputPath, detail_);
        }
        if (checked < 0) {
            return checked;
        }
        const uint64_t fixedPart = FixedPart();
        const uint64_t limit = kMaxRewrittenSize;
        if (fixedPart > limit) {
            return added_ != nullptr ? FailToAdd(ArchiveError::TooLarge)
                                     : Fail(InsertStep::Rebuild, kInsertFailed);
        }
        uint64_t compressedSize = 0;
        if (added_ != nullptr) {
            DeflateStream deflater;
            if (!deflater.Ready()) {
                return FailToAdd(ArchiveError::CompressorFailed);
            }
            uint32_t crc = 0;
            uint64_t size = 0;
            ArchiveError error = MeasureDeflatedSource(*added_->source, deflater, limit - fixedPart,
                                                       &crc, &size, &compressedSize);
            if (error != ArchiveError::None) {
                return FailToAdd(error);
            }
            NoteAdded(detail_, added_->name, crc, compressedSize, size);
        }
        const uint64_t length = fixedPart + compressedSize;
        NoteNewSize(detail_, length, package_.inPlace ? ArchiveStart() + firstChanged_ : 0);
        return static_cast<InsertResult>(package_.inPlace ? length - ArchiveStart() : length);
    }

    // The new package's length before the pad, less a new member's compressed data.
    uint64_t FixedPart() const {
        const uint32_t nameLength =
            added_ != nullptr ? static_cast<uint32_t>(std::strlen(added_->name)) : 0;
        const uint64_t directorySize =
            newDirectory_.size() + (added_ != nullptr ? CentralFileHeader::kSize + nameLength : 0);
        return ArchiveStart() + newMemberAt_ +
               (added_ != nullptr ? LocalFileHeader::kSize + nameLength : 0) + directorySize +
               EndOfCentralDirectory::kSize + comment_.size();
    }

    InsertResult WriteInPlace(const char* packagePath) {
        const char* journalPath = package_.journalPath;
        uint32_t tailSum = 0;
        const uint64_t tailAt = ArchiveStart() + firstChanged_;
        // Readers finish with the old package before the journal exists.
        if (package_.lock.Raise(package_.file, LockLevel::Exclusive, packagePath) !=
            LockResult::Taken) {
            return Fail(InsertStep::InProgress, kInsertFailed);
        }
        // The tail's old bytes lie in the journal from `savedAt` on.
        uint64_t savedAt = kJournalTailAt;
        bool journaled = false;
        if (clearEntry_) {
            // A signed package's security entry is cleared too: the journal saves it as well.
            uint64_t size = 0;
            std::vector<uint32_t> shares;
            const std::vector<ChangedRange> ranges = {
                {package_.signature.entryAt, kSecurityEntrySize},
                {tailAt, static_cast<uint32_t>(package_.size - tailAt)}};
            journaled =
                package_.file.Size(&size) && size == package_.size &&
                WriteRangedJournal(journalPath, package_.file, package_.sum, ranges, &shares);
            tailSum = journaled ? shares[1] : 0;
            savedAt = RangedJournalSavedAt(ranges, 1);
        } else {
            journaled =
                WriteJournalFrom(journalPath, package_.file, package_.sum, tailAt, &tailSum);
        }
        if (!journaled) {
            return Fail(InsertStep::CreateOutput, kInsertCannotCreateOutput);
        }
        // The kept members come back from the journal, so the package is read only once.
        platform::File journal;
        WrittenSum sum{package_.sum - tailSum, tailAt};
        InsertResult result =
            journal.Open(journalPath, platform::Access::Read, platform::Disposition::OpenExisting)
                ? (ClearEntry(package_.file, sum)
                       ? WriteFrom(journal, static_cast<int64_t>(savedAt) - firstChanged_,
                                   package_.file, sum)
                       : Fail(InsertStep::Rebuild, kInsertFailed))
                : Fail(InsertStep::Rebuild, kInsertFailed);
        journal.Close();
        if (result < 0) {
            // Before the rollback touches the files.
            NoteFailedFile(detail_, package_.file, packagePath);
            NoteFailedFile(detail_, journal, journalPath);
        }
        return Committed(CommitOrRollBack(package_.file, journalPath, result >= 0), result,
                         ArchiveStart(), detail_);
    }

    InsertResult WriteNewPackage(const char* outputPath) {
        return WriteNewPackageFile(package_.file, outputPath, detail_, [&](platform::File& output) {
            WrittenSum sum{0, 0};  // the copy's work was told when the package was opened
            return MoveBytes(package_.file, 0, output, ArchiveStart() + firstChanged_, sum) &&
                           ClearEntry(output, sum)
                       ? WriteFrom(package_.file, static_cast<int64_t>(ArchiveStart()), output, sum)
                       : Fail(InsertStep::Rebuild, kInsertFailed);
        });
    }

    // Clears a signed package's security entry in `target`, which holds the kept part that
    // `sum` adds up, and takes its old bytes out of the sum; `target` is left where `sum` is.
    bool ClearEntry(platform::File& target, WrittenSum& sum) {
        if (!clearEntry_) {
            return true;
        }
        const uint8_t cleared[kSecurityEntrySize] = {};
        sum.sum -= SecurityEntryShare(package_.signature);
        return target.Seek(static_cast<int64_t>(package_.signature.entryAt),
                           platform::SeekFrom::Begin) &&
               target.Write(cleared, sizeof(cleared)) &&
               target.Seek(static_cast<int64_t>(sum.position), platform::SeekFrom::Begin);
    }

    // Writes everything from the first removed member on into `target`, which holds the kept
    // part and whose sum so far `sum` carries; the moved members come from `source`, where a
    // byte at archive offset x lies at x + `sourceShift`. Seals and cuts the file, and returns
    // its length before the pad, or a negative result.
    InsertResult WriteFrom(platform::File& source, int64_t sourceShift, platform::File& target,
                           WrittenSum& sum) {
        const uint64_t start = ArchiveStart();
        const uint32_t nameLength =
            added_ != nullptr ? static_cast<uint32_t>(std::strlen(added_->name)) : 0;
        const uint64_t directorySize =
            newDirectory_.size() + (added_ != nullptr ? CentralFileHeader::kSize + nameLength : 0);
        const uint64_t fixedPart = FixedPart();
        const uint64_t limit = kMaxRewrittenSize;
        if (fixedPart > limit) {
            return added_ != nullptr ? FailToAdd(ArchiveError::TooLarge)
                                     : Fail(InsertStep::Rebuild, kInsertFailed);
        }
        for (const Move& move : moves_) {
            if (sum.position != start + move.to) {
                return Fail(InsertStep::Rebuild, kInsertFailed);
            }
            if (!MoveBytes(source, static_cast<uint64_t>(move.from + sourceShift), target,
                           move.length, sum)) {
                return Fail(InsertStep::Rebuild, kInsertFailed);
            }
        }
        std::vector<uint8_t> tail(newDirectory_);
        uint32_t directoryOffset = newMemberAt_;
        if (added_ != nullptr) {
            InsertResult appended = AppendMember(target, limit - fixedPart, sum, tail);
            if (appended < 0) {
                return appended;
            }
            directoryOffset = static_cast<uint32_t>(sum.position - start);
        }

        EndOfCentralDirectory end = package_.directory.end;
        end.entriesOnDisk = static_cast<uint16_t>(keptEntries_ + (added_ != nullptr ? 1 : 0));
        end.totalEntries = end.entriesOnDisk;
        end.directorySize = static_cast<uint32_t>(directorySize);
        end.directoryOffset = directoryOffset;
        end.commentLength = static_cast<uint16_t>(comment_.size());
        const auto record = RecordBytes(end);
        tail.insert(tail.end(), record.begin(), record.end());
        tail.insert(tail.end(), comment_.begin(), comment_.end());
        const uint64_t tailAt = sum.position;
        sum.Add(tail.data(), static_cast<uint32_t>(tail.size()));
        const uint64_t length = sum.position;
        tail.resize(tail.size() + (4 - length % 4) % 4 + 4, 0);
        PutU32(tail.data() + tail.size() - 4, 0u - sum.sum);

        bool written = target.Seek(static_cast<int64_t>(tailAt), platform::SeekFrom::Begin) &&
                       target.Write(tail.data(), static_cast<uint32_t>(tail.size())) &&
                       target.SetEnd() && target.Flush();
        if (!written) {
            return Fail(InsertStep::Rebuild, kInsertFailed);
        }
        NoteNewSize(detail_, length, package_.inPlace ? start + firstChanged_ : 0);
        return static_cast<InsertResult>(length);
    }

    // Deflates the new member behind the moved ones, its local header in front of the data
    // once the sizes are known; appends its central entry to `directory`.
    InsertResult AppendMember(platform::File& target, uint64_t room, WrittenSum& sum,
                              std::vector<uint8_t>& directory) {
        const uint32_t nameLength = static_cast<uint32_t>(std::strlen(added_->name));
        const uint8_t* name = reinterpret_cast<const uint8_t*>(added_->name);
        DeflateStream deflater;
        if (!deflater.Ready()) {
            return FailToAdd(ArchiveError::CompressorFailed);
        }
        const uint64_t headerAt = sum.position;
        WrittenSum data{sum.sum, headerAt + LocalFileHeader::kSize + nameLength};
        uint32_t crc = 0;
        uint64_t size = 0;
        uint64_t compressedSize = 0;
        if (!target.Seek(static_cast<int64_t>(data.position), platform::SeekFrom::Begin)) {
            return FailToAdd(ArchiveError::WriteFailed);
        }
        ArchiveError error = DeflateSource(*added_->source, target, deflater, room, &crc, &size,
                                           &compressedSize, &data);
        if (error != ArchiveError::None) {
            return FailToAdd(error);
        }
        NoteAdded(detail_, added_->name, crc, compressedSize, size);
        DeflatedMemberRecords records = MakeDeflatedMemberRecords(
            nameLength, crc, static_cast<uint32_t>(compressedSize), static_cast<uint32_t>(size),
            static_cast<uint32_t>(headerAt - ArchiveStart()));
        WrittenSum head{data.sum, headerAt};
        head.Add(records.local.data(), LocalFileHeader::kSize);
        head.Add(name, nameLength);
        if (!target.Seek(static_cast<int64_t>(headerAt), platform::SeekFrom::Begin) ||
            !target.Write(records.local.data(), LocalFileHeader::kSize) ||
            !target.Write(name, nameLength)) {
            return Fail(InsertStep::Rebuild, kInsertFailed);
        }
        sum = WrittenSum{head.sum, data.position};
        directory.insert(directory.end(), records.central.begin(), records.central.end());
        directory.insert(directory.end(), name, name + nameLength);
        return 0;
    }

    void NoteRemoved(const DirectoryEntry& entry) {
        if (detail_ == nullptr) {
            return;
        }
        detail_->removed.push_back(DescribeMember(entry.header, entry.name));
    }

    InsertResult FailToAdd(ArchiveError error) { return FailedToAdd(detail_, error); }
    InsertResult Fail(InsertStep step, InsertResult result) {
        return FailedAt(detail_, step, result);
    }

    OpenedPackage& package_;
    bool clearEntry_ = false;
    InsertDetail* detail_;
    const NewMember* added_ = nullptr;
    uint32_t firstChanged_ = 0;  // where the first removed record began
    uint32_t newMemberAt_ = 0;   // where the moved records end
    uint32_t keptEntries_ = 0;
    std::vector<Move> moves_;
    std::vector<uint8_t> newDirectory_;  // the kept entries, offsets rewritten
    std::vector<uint8_t> comment_;
};

}  // namespace

InsertResult RewritePackage(OpenedPackage& package, const char* packagePath, const char* outputPath,
                            const std::vector<size_t>& removed, const NewMember* added,
                            InsertDetail* detail, Writing writing) {
    Rewrite rewrite(package, detail);
    return rewrite.Run(packagePath, outputPath, removed, added, writing);
}

InsertResult RemoveMemberFromPackage(const char* packagePath, const char* memberName,
                                     const char* outputPath, InsertPrompter& prompter,
                                     InsertDetail* detail, Writing writing) {
    if (detail != nullptr) {
        *detail = InsertDetail{};
    }
    if (!platform::FitsPathBuffer(packagePath) || !platform::FitsPathBuffer(outputPath) ||
        memberName == nullptr || memberName[0] == '\0' || !platform::FitsPathBuffer(memberName)) {
        if (detail != nullptr) {
            detail->step = InsertStep::BadArguments;
        }
        return kInsertFailed;
    }
    try {
        ProgressMeter meter(prompter);
        OpenedPackage package;
        InsertResult opened =
            OpenForChange(packagePath, outputPath, prompter, package, detail, writing);
        if (opened < 0) {
            return opened;
        }
        std::vector<size_t> found = FindMembers(ListEntries(package.directory), memberName,
                                                MemberKinds::FilesAndDirectories);
        if (found.empty()) {
            if (detail != nullptr) {
                detail->step = InsertStep::NoSuchMember;
            }
            return kNoSuchMember;
        }
        return RewritePackage(package, packagePath, outputPath, found, nullptr, detail, writing);
    } catch (const std::bad_alloc&) {
        if (detail != nullptr) {
            detail->step = InsertStep::OutOfMemory;
        }
        return kInsertFailed;
    }
}

}  // namespace package
