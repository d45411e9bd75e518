#include "package/journal.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "package/byte_cursor.h"
#include "package/package_layout.h"
#include "package/saved_change.h"

namespace package {
namespace {

constexpr char kSuffix[] = ".ktl-journal";
// A journal that proved to belong to another file is kept under this name beside the package,
// for whoever wants to look at it; it blocks nothing there.
constexpr char kSetAsideSuffix[] = ".stale-ktl-journal";
// Journals of the first format record nothing of the package: they can never be proven.
constexpr char kUnprovableSignature[8] = {'K', 'T', 'L', 'J', 'R', 'N', 'L', '1'};
// Journals of ranges: ranged_journal.cpp reads and writes them.
constexpr char kRangedSignature[8] = {'K', 'T', 'L', 'J', 'R', 'N', 'L', '3'};

// The journal's header, described as the ZIP records are; the saved tail follows it.
struct Journal {
    static constexpr uint64_t kSignature = 0x324C4E524A4C544Bull;  // "KTLJRNL2"
    static constexpr size_t kSize = 40;
    // Written once the tail is on the disk: the kept part's sum is known only then on a rewrite.
    static constexpr size_t kSealAt = 32;
    // The CRC-32 covers the header up to the CRC itself, then the tail.
    static constexpr size_t kCrcAt = kSize - 4;

    uint64_t signature = 0;
    uint64_t packageSize = 0;  // before the change
    uint64_t tailAt = 0;       // where the saved tail lay in the package
    uint32_t tailLength = 0;
    uint32_t keptCrc = 0;  // of the kProofStretch bytes (or fewer) before tailAt
    uint32_t keptSum = 0;  // the package checksum of the bytes before tailAt
    uint32_t crc = 0;

    static constexpr auto kFields = std::tuple{
        &Journal::signature, &Journal::packageSize, &Journal::tailAt, &Journal::tailLength,
        &Journal::keptCrc,   &Journal::keptSum,     &Journal::crc};
};
static_assert(DescribedSize<Journal>() == Journal::kSize);
static_assert(Journal::kSize == kJournalTailAt);

uint32_t HeaderCrc(const Journal& journal, uint32_t tailCrc) {
    const auto bytes = RecordBytes(journal);
    const uLong headerCrc = crc32(0, bytes.data(), Journal::kCrcAt);
    return static_cast<uint32_t>(crc32_combine(headerCrc, tailCrc, journal.tailLength));
}

// The tail format: one saved range, from tailAt to the package's end.
ReadResult ReadTailJournal(platform::File& file, uint64_t size,
                           const uint8_t (&header)[Journal::kSize], uint32_t got,
                           SavedChange& change) {
    Journal journal;
    ByteCursor cursor(header, got);
    if (!ReadRecord(cursor, journal)) {
        return ReadResult::Incomplete;
    }
    if (size != Journal::kSize + uint64_t{journal.tailLength} ||
        journal.tailAt + journal.tailLength != journal.packageSize) {
        return ReadResult::Incomplete;
    }
    // The tail may be large: its CRC is taken a buffer at a time.
    uLong tailCrc = crc32(0, nullptr, 0);
    for (uint32_t left = journal.tailLength; left > 0;) {
        if (!file.Read(WorkBuffer(), std::min(left, kWorkBufferSize), &got)) {
            return ReadResult::Unreadable;
        }
        if (got == 0) {
            return ReadResult::Incomplete;
        }
        tailCrc = crc32(tailCrc, WorkBuffer(), got);
        left -= got;
    }
    if (HeaderCrc(journal, static_cast<uint32_t>(tailCrc)) != journal.crc) {
        return ReadResult::Incomplete;
    }
    change.packageSize = journal.packageSize;
    change.keptEnd = journal.tailAt;
    change.keptCrc = journal.keptCrc;
    change.keptSum = journal.keptSum;
    change.ranges = {SavedRange{journal.tailAt, journal.tailLength, kJournalTailAt}};
    return ReadResult::Complete;
}

ReadResult ReadJournal(const char* journalPath, SavedChange& change) {
    platform::File file;
    uint64_t size = 0;
    // Whoever reads a journal lets its writer delete it: the deletion is the commit.
    if (!file.Open(journalPath, platform::Access::Read, platform::Disposition::OpenExisting,
                   platform::Sharing::ReadWriteDelete) ||
        !file.Size(&size)) {
        return ReadResult::Unreadable;
    }
    uint8_t header[Journal::kSize] = {};
    uint32_t got = 0;
    if (!file.Read(header, sizeof(header), &got)) {
        return ReadResult::Unreadable;
    }
    if (got >= sizeof(kUnprovableSignature) &&
        std::memcmp(header, kUnprovableSignature, sizeof(kUnprovableSignature)) == 0) {
        return ReadResult::Unprovable;
    }
    if (got >= sizeof(kRangedSignature) &&
        std::memcmp(header, kRangedSignature, sizeof(kRangedSignature)) == 0) {
        return file.Seek(0, platform::SeekFrom::Begin) ? ReadRangedJournal(file, size, change)
                                                       : ReadResult::Unreadable;
    }
    return ReadTailJournal(file, size, header, got, change);
}

enum class Proof { Proven, OtherFile, Unreadable };

// Adds the bytes of `data`, which lie at `position`, that no range covers.
uint32_t AddKeptBytes(uint32_t sum, const uint8_t* data, uint32_t size, uint64_t position,
                      const std::vector<SavedRange>& ranges) {
    uint64_t from = position;
    const uint64_t end = position + size;
    for (const SavedRange& range : ranges) {
        const uint64_t rangeEnd = range.at + range.length;
        if (rangeEnd <= from || range.at >= end) {
            continue;
        }
        if (range.at > from) {
            sum = AddChecksumBytesAt(sum, data + (from - position), range.at - from, from);
        }
        from = std::max(from, rangeEnd);
    }
    return from < end ? AddChecksumBytesAt(sum, data + (from - position), end - from, from) : sum;
}

// Whether `package` holds the very bytes that the change the journal was written for kept.
Proof ProveKeptBytes(platform::File& package, const SavedChange& change) {
    uint64_t size = 0;
    uint32_t crc = 0;
    if (!package.Size(&size)) {
        return Proof::Unreadable;
    }
    if (size < change.keptEnd) {
        return Proof::OtherFile;
    }
    if (!KeptStretchCrc(package, change.keptEnd, change.ranges, &crc)) {
        return Proof::Unreadable;
    }
    if (crc != change.keptCrc) {
        return Proof::OtherFile;
    }
    if (!package.Seek(0, platform::SeekFrom::Begin)) {
        return Proof::Unreadable;
    }
    uint32_t sum = 0;
    for (uint64_t at = 0; at < change.keptEnd;) {
        const uint32_t want =
            static_cast<uint32_t>(std::min<uint64_t>(change.keptEnd - at, kWorkBufferSize));
        uint32_t got = 0;
        if (!package.Read(WorkBuffer(), want, &got) || got != want) {
            return Proof::Unreadable;
        }
        sum = AddKeptBytes(sum, WorkBuffer(), got, at, change.ranges);
        at += got;
    }
    return sum == change.keptSum ? Proof::Proven : Proof::OtherFile;
}

bool Restore(platform::File& package, const char* journalPath, const SavedChange& change) {
    platform::File file;
    if (!file.Open(journalPath, platform::Access::Read, platform::Disposition::OpenExisting,
                   platform::Sharing::ReadWriteDelete)) {
        return false;
    }
    for (const SavedRange& range : change.ranges) {
        if (!file.Seek(static_cast<int64_t>(range.savedAt), platform::SeekFrom::Begin) ||
            !package.Seek(static_cast<int64_t>(range.at), platform::SeekFrom::Begin) ||
            !file.CopyTo(package, range.length, WorkBuffer(), kWorkBufferSize)) {
            return false;
        }
    }
    // The restored bytes are flushed before the caller deletes the journal: a cut before they
    // are on the disk leaves the journal to finish the rollback next time.
    return package.Seek(static_cast<int64_t>(change.packageSize), platform::SeekFrom::Begin) &&
           package.SetEnd() && package.Flush();
}

// Moves the journal out of the package's way under a name that says what it is, beside it and
// never over another file, durably. False when no such name is free or the move fails.
bool SetAside(const char* journalPath, char (&setAsidePath)[platform::kPathBufferSize]) {
    const size_t packageLength = std::strlen(journalPath) - (sizeof(kSuffix) - 1);
    for (int copy = 1; copy < 10; ++copy) {
        char number[4] = {};
        if (copy > 1) {
            std::snprintf(number, sizeof(number), "-%d", copy);
        }
        const int length =
            std::snprintf(setAsidePath, sizeof(setAsidePath), "%.*s%s%s",
                          static_cast<int>(packageLength), journalPath, kSetAsideSuffix, number);
        if (length < 0 || static_cast<size_t>(length) >= sizeof(setAsidePath)) {
            break;
        }
        bool durable = false;
        if (platform::MovePathNoReplace(journalPath, setAsidePath, &durable)) {
            if (durable) {
                return true;
            }
            break;
        }
        if (!platform::PathHasAttributes(setAsidePath)) {
            break;  // the name was free: the move itself failed
        }
    }
    setAsidePath[0] = '\0';
    return false;
}

// Writes a journal whose tail `writeTail` supplies: it writes the tail's bytes to the journal
// at its position and returns their CRC-32 and checksum share, or false.
template <typename TailWriter>
bool WriteJournalWith(const char* journalPath, platform::File& package, uint32_t packageSum,
                      uint64_t tailAt, uint32_t tailLength, TailWriter&& writeTail) {
    Journal header;
    header.signature = Journal::kSignature;
    header.packageSize = tailAt + tailLength;
    header.tailAt = tailAt;
    header.tailLength = tailLength;
    if (!KeptStretchCrc(package, tailAt, {}, &header.keptCrc)) {
        return false;
    }
    platform::File journal;
    if (!journal.Open(journalPath, platform::Access::Write, platform::Disposition::CreateAlways)) {
        return false;
    }
    // The kept part's sum and the CRC go in last, after the rest is on the disk: until they are,
    // the journal reads as incomplete, whatever order the disk wrote the blocks in.
    const auto unsealed = RecordBytes(header);
    uint32_t tailCrc = 0;
    uint32_t tailSum = 0;
    bool ok = journal.Write(unsealed.data(), Journal::kSize) &&
              writeTail(journal, &tailCrc, &tailSum) && journal.Flush();
    header.keptSum = packageSum - tailSum;
    header.crc = HeaderCrc(header, tailCrc);
    const auto sealed = RecordBytes(header);
    ok = ok && journal.Seek(Journal::kSealAt, platform::SeekFrom::Begin) &&
         journal.Write(sealed.data() + Journal::kSealAt, Journal::kSize - Journal::kSealAt) &&
         journal.Flush();
    ok = journal.Close() && ok && platform::FlushDirectoryOf(journalPath);
    if (!ok) {
        platform::DeletePath(journalPath);
    }
    return ok;
}

}  // namespace

bool JournalPathFor(const char* packagePath, char (&journalPath)[platform::kPathBufferSize]) {
    size_t length = std::strlen(packagePath);
    if (length + sizeof(kSuffix) > sizeof(journalPath)) {
        return false;
    }
    std::memcpy(journalPath, packagePath, length);
    std::memcpy(journalPath + length, kSuffix, sizeof(kSuffix));
    return true;
}

bool WriteJournal(const char* journalPath, platform::File& package, uint32_t packageSum,
                  uint64_t tailAt, const uint8_t* tail, uint32_t tailLength) {
    return WriteJournalWith(
        journalPath, package, packageSum, tailAt, tailLength,
        [&](platform::File& journal, uint32_t* crc, uint32_t* sum) {
            *crc = static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), tail, tailLength));
            *sum = AddChecksumBytesAt(0, tail, tailLength, tailAt);
            return journal.Write(tail, tailLength);
        });
}

bool WriteJournalFrom(const char* journalPath, platform::File& package, uint32_t packageSum,
                      uint64_t tailAt, uint32_t* tailSum) {
    uint64_t size = 0;
    if (!package.Size(&size) || size < tailAt || size >= kPackageSizeLimit) {
        return false;
    }
    const uint32_t tailLength = static_cast<uint32_t>(size - tailAt);
    return WriteJournalWith(
        journalPath, package, packageSum, tailAt, tailLength,
        [&](platform::File& journal, uint32_t* crc, uint32_t* sum) {
            uLong running = crc32(0, nullptr, 0);
            *sum = 0;
            if (!package.Seek(static_cast<int64_t>(tailAt), platform::SeekFrom::Begin)) {
                return false;
            }
            uint64_t position = tailAt;
            for (uint32_t left = tailLength; left > 0;) {
                uint32_t got = 0;
                uint32_t want = std::min(left, kWorkBufferSize);
                if (!package.Read(WorkBuffer(), want, &got) || got != want ||
                    !journal.Write(WorkBuffer(), got)) {
                    return false;
                }
                running = crc32(running, WorkBuffer(), got);
                *sum = AddChecksumBytesAt(*sum, WorkBuffer(), got, position);
                position += got;
                left -= got;
            }
            *crc = static_cast<uint32_t>(running);
            *tailSum = *sum;
            return true;
        });
}

bool RollBack(platform::File& package, const char* journalPath) {
    SavedChange change;
    return ReadJournal(journalPath, change) == ReadResult::Complete &&
           Restore(package, journalPath, change);
}

JournalDeletion DeleteJournal(const char* journalPath) {
    if (!platform::DeletePath(journalPath)) {
        return JournalDeletion::Failed;
    }
    // Until the folder is synced, a power cut may bring the journal back, and the next open
    // would undo a change already reported done.
    return platform::FlushDirectoryOf(journalPath) ? JournalDeletion::Durable
                                                   : JournalDeletion::NotConfirmed;
}

Commit CommitOrRollBack(platform::File& package, const char* journalPath, bool written) {
    if (written) {
        switch (DeleteJournal(journalPath)) {
            case JournalDeletion::Durable:
                return Commit::Done;
            case JournalDeletion::NotConfirmed:
                return Commit::NotDurable;
            case JournalDeletion::Failed:
                break;
        }
    }
    if (RollBack(package, journalPath) && DeleteJournal(journalPath) != JournalDeletion::Failed) {
        return Commit::RolledBack;
    }
    return Commit::JournalLeft;
}

Recovery SetJournalAside(const char* journalPath, RecoveryReport& told) {
    std::snprintf(told.journalPath, sizeof(told.journalPath), "%s", journalPath);
    return told.outcome =
               SetAside(journalPath, told.setAsidePath) ? Recovery::SetAside : Recovery::Failed;
}

Recovery RecoverThrough(platform::File& package, const char* journalPath, RecoveryReport& told) {
    std::snprintf(told.journalPath, sizeof(told.journalPath), "%s", journalPath);
    told.setAsidePath[0] = '\0';
    SavedChange journal;
    switch (ReadJournal(journalPath, journal)) {
        case ReadResult::Unreadable:
            return told.outcome = Recovery::Failed;
        case ReadResult::Incomplete:
            return told.outcome = DeleteJournal(journalPath) != JournalDeletion::Failed
                                      ? Recovery::Discarded
                                      : Recovery::Failed;
        case ReadResult::Unprovable:
            return told.outcome = SetAside(journalPath, told.setAsidePath) ? Recovery::SetAside
                                                                           : Recovery::Failed;
        case ReadResult::Complete:
            break;
    }
    switch (ProveKeptBytes(package, journal)) {
        case Proof::Unreadable:
            return told.outcome = Recovery::Failed;
        case Proof::OtherFile:
            return told.outcome = SetAside(journalPath, told.setAsidePath) ? Recovery::SetAside
                                                                           : Recovery::Failed;
        case Proof::Proven:
            break;
    }
    if (!Restore(package, journalPath, journal)) {
        return told.outcome = Recovery::Failed;
    }
    return told.outcome = DeleteJournal(journalPath) != JournalDeletion::Failed
                              ? Recovery::RolledBack
                              : Recovery::Failed;
}

}  // namespace package
