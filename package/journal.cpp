#include "package/journal.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "package/byte_cursor.h"
#include "package/package_layout.h"

namespace package {
namespace {

constexpr char kSuffix[] = ".ktl-journal";

// The journal's header, described as the ZIP records are; the saved tail follows it.
struct Journal {
    static constexpr uint64_t kSignature = 0x314C4E524A4C544Bull;  // "KTLJRNL1"
    static constexpr size_t kSize = 32;
    // The CRC-32 covers the header up to the CRC itself, then the tail.
    static constexpr size_t kCrcAt = kSize - 4;

    uint64_t signature = 0;
    uint64_t packageSize = 0;  // before the change
    uint64_t tailAt = 0;       // where the saved tail lay in the package
    uint32_t tailLength = 0;
    uint32_t crc = 0;

    static constexpr auto kFields =
        std::tuple{&Journal::signature, &Journal::packageSize, &Journal::tailAt,
                   &Journal::tailLength, &Journal::crc};
};
static_assert(DescribedSize<Journal>() == Journal::kSize);
static_assert(Journal::kSize == kJournalTailAt);

enum class ReadResult { Complete, Incomplete, Unreadable };

ReadResult ReadJournal(const char* journalPath, Journal& journal) {
    platform::File file;
    uint64_t size = 0;
    if (!file.Open(journalPath, platform::Access::Read, platform::Disposition::OpenExisting) ||
        !file.Size(&size)) {
        return ReadResult::Unreadable;
    }
    uint8_t header[Journal::kSize];
    uint32_t got = 0;
    if (!file.Read(header, sizeof(header), &got)) {
        return ReadResult::Unreadable;
    }
    ByteCursor cursor(header, got);
    if (!ReadRecord(cursor, journal) || size != Journal::kSize + uint64_t{journal.tailLength} ||
        journal.tailAt + journal.tailLength != journal.packageSize) {
        return ReadResult::Incomplete;
    }
    // The tail may be large: its CRC is taken a buffer at a time.
    uLong crc = crc32(0, header, Journal::kCrcAt);
    uint32_t left = journal.tailLength;
    while (left > 0) {
        if (!file.Read(WorkBuffer(), std::min(left, kWorkBufferSize), &got)) {
            return ReadResult::Unreadable;
        }
        if (got == 0) {
            return ReadResult::Incomplete;
        }
        crc = crc32(crc, WorkBuffer(), got);
        left -= got;
    }
    return crc == journal.crc ? ReadResult::Complete : ReadResult::Incomplete;
}

bool Restore(platform::File& package, const char* journalPath, const Journal& journal) {
    platform::File file;
    return file.Open(journalPath, platform::Access::Read, platform::Disposition::OpenExisting) &&
           file.Seek(kJournalTailAt, platform::SeekFrom::Begin) &&
           package.Seek(static_cast<int64_t>(journal.tailAt), platform::SeekFrom::Begin) &&
           file.CopyTo(package, journal.tailLength, WorkBuffer(), kWorkBufferSize) &&
           package.Seek(static_cast<int64_t>(journal.packageSize), platform::SeekFrom::Begin) &&
           package.SetEnd() && package.Flush();
}

// Writes a journal whose tail `writeTail` supplies: it writes the tail's bytes to the journal
// at its position and returns their CRC-32 continued from the one it is given, or false.
template <typename TailWriter>
bool WriteJournalWith(const char* journalPath, uint64_t tailAt, uint32_t tailLength,
                      TailWriter&& writeTail) {
    Journal header;
    header.signature = Journal::kSignature;
    header.packageSize = tailAt + tailLength;
    header.tailAt = tailAt;
    header.tailLength = tailLength;
    const auto headerBytes = RecordBytes(header);
    uLong crc = crc32(0, headerBytes.data(), Journal::kCrcAt);

    platform::File journal;
    if (!journal.Open(journalPath, platform::Access::Write, platform::Disposition::CreateAlways)) {
        return false;
    }
    // The CRC goes in last, after the rest is on the disk: until it is, the journal reads as
    // incomplete, whatever order the disk wrote the blocks in.
    bool ok = journal.Write(headerBytes.data(), Journal::kSize) && writeTail(journal, &crc) &&
              journal.Flush();
    header.crc = static_cast<uint32_t>(crc);
    const auto sealedBytes = RecordBytes(header);
    ok = ok && journal.Seek(Journal::kCrcAt, platform::SeekFrom::Begin) &&
         journal.Write(sealedBytes.data() + Journal::kCrcAt, Journal::kSize - Journal::kCrcAt) &&
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

bool WriteJournal(const char* journalPath, uint64_t tailAt, const uint8_t* tail,
                  uint32_t tailLength) {
    return WriteJournalWith(journalPath, tailAt, tailLength,
                            [&](platform::File& journal, uLong* crc) {
                                *crc = crc32(*crc, tail, tailLength);
                                return journal.Write(tail, tailLength);
                            });
}

bool WriteJournalFrom(const char* journalPath, platform::File& package, uint64_t tailAt,
                      uint32_t* tailSum) {
    uint64_t size = 0;
    if (!package.Size(&size) || size < tailAt || size >= kPackageSizeLimit ||
        !package.Seek(static_cast<int64_t>(tailAt), platform::SeekFrom::Begin)) {
        return false;
    }
    const uint32_t tailLength = static_cast<uint32_t>(size - tailAt);
    *tailSum = 0;
    return WriteJournalWith(
        journalPath, tailAt, tailLength, [&](platform::File& journal, uLong* crc) {
            uint64_t position = tailAt;
            for (uint32_t left = tailLength; left > 0;) {
                uint32_t got = 0;
                uint32_t want = std::min(left, kWorkBufferSize);
                if (!package.Read(WorkBuffer(), want, &got) || got != want ||
                    !journal.Write(WorkBuffer(), got)) {
                    return false;
                }
                *crc = crc32(*crc, WorkBuffer(), got);
                *tailSum = AddChecksumBytesAt(*tailSum, WorkBuffer(), got, position);
                position += got;
                left -= got;
            }
            return true;
        });
}

bool RollBack(platform::File& package, const char* journalPath) {
    Journal journal;
    return ReadJournal(journalPath, journal) == ReadResult::Complete &&
           Restore(package, journalPath, journal);
}

bool DeleteJournal(const char* journalPath) {
    if (!platform::DeletePath(journalPath)) {
        return false;
    }
    // Should the deletion be lost all the same, the next open rolls the change back: the package
    // is then as it was before, never half changed.
    platform::FlushDirectoryOf(journalPath);
    return true;
}

bool CommitOrRollBack(platform::File& package, const char* journalPath, bool written) {
    if (written && DeleteJournal(journalPath)) {
        return true;
    }
    if (RollBack(package, journalPath)) {
        DeleteJournal(journalPath);
    }
    return false;
}

Recovery RecoverPackage(const char* packagePath) {
    char journalPath[platform::kPathBufferSize];
    if (!JournalPathFor(packagePath, journalPath) || !platform::PathHasAttributes(journalPath)) {
        return Recovery::NothingToDo;
    }
    Journal journal;
    switch (ReadJournal(journalPath, journal)) {
        case ReadResult::Unreadable:
            return Recovery::Failed;
        case ReadResult::Incomplete:
            return DeleteJournal(journalPath) ? Recovery::Discarded : Recovery::Failed;
        case ReadResult::Complete:
            break;
    }
    platform::File package;
    if (!package.Open(packagePath, platform::Access::ReadWrite,
                      platform::Disposition::OpenExisting) ||
        !Restore(package, journalPath, journal) || !package.Close()) {
        return Recovery::Failed;
    }
    return DeleteJournal(journalPath) ? Recovery::RolledBack : Recovery::Failed;
}

}  // namespace package
