#include "tests/fuzz/rewrite_check.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "tests/fuzz/append_check.h"
#include "tests/fuzz/field_check.h"

namespace fuzzcheck {
namespace {

// Where the local header offset lies in a central entry.
constexpr uint64_t kLocalOffsetField = 42;

struct Record {
    uint64_t begin = 0;
    uint64_t end = 0;
    uint64_t Length() const { return end - begin; }
};

std::vector<Record> LocalRecords(const ArchiveView& view) {
    std::vector<uint64_t> starts;
    for (const CentralEntry& entry : view.walk.entries) {
        starts.push_back(entry.localOffset);
    }
    std::sort(starts.begin(), starts.end());
    std::vector<Record> records;
    for (const CentralEntry& entry : view.walk.entries) {
        auto next = std::upper_bound(starts.begin(), starts.end(), uint64_t{entry.localOffset});
        records.push_back(
            {entry.localOffset, next != starts.end() ? *next : view.end.directoryOffset});
    }
    return records;
}

std::string EntryLabel(size_t index) {
    return "entry " + std::to_string(index + 1);
}

// The kept entries in their new directory against the old ones, and their records at the new
// offsets; `first` is where the first removed record began and `moved` where the kept records
// that were behind it must end.
std::string CheckKeptEntries(const Bytes& before, const ArchiveView& view,
                             const std::vector<bool>& gone, uint64_t first, uint64_t moved,
                             const Bytes& after, const DirectoryWalk& walk, uint64_t dataLimit) {
    const std::vector<Record> records = LocalRecords(view);
    std::map<uint64_t, uint64_t> placed;   // new begin -> new end of each moved record
    std::map<uint64_t, uint64_t> movedTo;  // old begin -> new begin
    size_t j = 0;
    for (size_t i = 0; i < gone.size(); ++i) {
        if (gone[i]) {
            continue;
        }
        const CentralEntry& was = view.walk.entries[i];
        const CentralEntry& is = walk.entries[j++];
        const std::string label = "kept " + EntryLabel(i);
        const uint8_t* old = before.data() + was.at;
        const uint8_t* now = after.data() + is.at;
        if (is.Size() != was.Size() || std::memcmp(now, old, kLocalOffsetField) != 0 ||
            std::memcmp(now + zip::kCentralFixed, old + zip::kCentralFixed,
                        was.Size() - zip::kCentralFixed) != 0) {
            return label + "'s directory entry changed beyond its local header offset";
        }
        const Record& record = records[i];
        if (record.begin < first) {
            if (is.localOffset != was.localOffset) {
                return label + " lies before the first removed member, yet its offset went from " +
                       Hex(was.localOffset) + " to " + Hex(is.localOffset);
            }
        } else {
            const auto [to, fresh] = movedTo.emplace(record.begin, is.localOffset);
            if (!fresh && to->second != is.localOffset) {
                return label + " shares its local record with an earlier entry, which went to " +
                       Hex(to->second) + ", but points at " + Hex(is.localOffset);
            }
            const uint64_t at = is.localOffset;
            if (at < first || at + record.Length() > moved) {
                return label + "'s record of " + Hex(record.Length()) + " bytes went to " +
                       Hex(at) + ", outside the kept records' room " + Hex(first) + " to " +
                       Hex(moved);
            }
            if (std::memcmp(after.data() + at, before.data() + record.begin, record.Length()) !=
                0) {
                return label + "'s local record (" + Hex(record.Length()) + " bytes at " +
                       Hex(record.begin) + ") was not copied unchanged to " + Hex(at);
            }
            placed.emplace(at, at + record.Length());
        }
        const MemberRead wasRead = ReadMember(before, was, view.end.directoryOffset);
        if (wasRead.ok) {
            const MemberRead isRead = ReadMember(after, is, dataLimit);
            if (!isRead.ok || isRead.content != wasRead.content) {
                return label + " read before and does not now: " +
                       (isRead.ok ? std::string("its content changed") : isRead.problem);
            }
        }
    }
    uint64_t reached = first;
    for (const auto& [begin, end] : placed) {
        if (begin < reached) {
            return "two moved records overlap at " + Hex(begin);
        }
        reached = end;
    }
    return {};
}

}  // namespace

std::string JudgeLocalRecords(const Bytes& archive, const ArchiveView& view) {
    const std::vector<Record> records = LocalRecords(view);
    std::map<uint64_t, size_t> owner;
    for (size_t i = 0; i < records.size(); ++i) {
        const auto [other, fresh] = owner.emplace(records[i].begin, i);
        if (!fresh) {
            return EntryLabel(other->second) + " and " + EntryLabel(i) +
                   " name the same local record at " + Hex(records[i].begin);
        }
        // The soundness of the view put the fixed part of the header before the directory.
        const uint8_t* p = archive.data() + records[i].begin;
        const uint64_t length =
            zip::kLocalFixed + Get16(p + 26) + Get16(p + 28) + view.walk.entries[i].compressedSize;
        if (Get32(p) != zip::kLocalSignature || records[i].begin + length > records[i].end) {
            return EntryLabel(i) + "'s local header and data do not fit its record " +
                   Hex(records[i].begin) + " to " + Hex(records[i].end);
        }
    }
    return {};
}

std::string CheckRewritten(const Bytes& before, const ArchiveView& view,
                           const std::vector<size_t>& removed, const AddedMember* added,
                           const Bytes& after, uint64_t* length) {
    const std::vector<CentralEntry>& entries = view.walk.entries;
    const std::vector<Record> records = LocalRecords(view);
    *length = 0;
    std::vector<bool> gone(entries.size(), false);
    uint64_t first = view.end.directoryOffset;
    for (size_t index : removed) {
        gone[index] = true;
        first = std::min(first, records[index].begin);
    }
    std::map<uint64_t, uint64_t> keptBehind;  // old begin -> length of the kept records moved
    uint64_t keptDirectory = 0;
    uint32_t kept = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!gone[i]) {
            ++kept;
            keptDirectory += entries[i].Size();
            if (records[i].begin >= first) {
                keptBehind[records[i].begin] = records[i].Length();
            }
        }
    }
    uint64_t moved = first;
    for (const auto& [begin, recordLength] : keptBehind) {
        moved += recordLength;
    }
    if (after.size() < moved) {
        return "the archive ends at " + Hex(after.size()) + ", before the kept records end at " +
               Hex(moved);
    }
    if (std::memcmp(after.data(), before.data(), first) != 0) {
        return "bytes before the first removed member's record at " + Hex(first) + " changed";
    }

    uint64_t directoryAt = moved;
    uint64_t compressedSize = 0;
    const uint64_t n = added != nullptr ? added->name.size() : 0;
    if (added != nullptr) {
        if (after.size() < moved + zip::kLocalFixed + n) {
            return "the archive ends before the new local header at " + Hex(moved);
        }
        const std::string local = CheckNewLocalHeader(after, moved, added->name, added->source);
        if (!local.empty()) {
            return local;
        }
        compressedSize = Get32(after.data() + moved + 18);
        directoryAt = moved + zip::kLocalFixed + n + compressedSize;
    }
    const uint64_t directorySize = keptDirectory + (added != nullptr ? zip::kCentralFixed + n : 0);
    const uint64_t endAt = directoryAt + directorySize;
    const EndRecord& end = view.end;
    // The comment stays only when nothing is added and it lies whole in the old archive.
    const bool keepComment =
        added == nullptr && end.at + zip::kEndFixed + end.commentLength <= before.size();
    const uint64_t commentLength = keepComment ? end.commentLength : 0;
    *length = endAt + zip::kEndFixed + commentLength;
    if (after.size() < *length) {
        return "the archive is " + Hex(after.size()) +
               " bytes; its end record and comment end at " + Hex(*length);
    }
    const uint32_t count = kept + (added != nullptr ? 1 : 0);
    FieldCheck record(after, endAt, "the new end record");
    record.U32(0, zip::kEndSignature, "signature");
    record.U16(4, end.thisDisk, "disk number");
    record.U16(6, end.directoryDisk, "directory disk");
    record.U16(8, count, "entries on this disk");
    record.U16(10, count, "total entries");
    record.U32(12, static_cast<uint32_t>(directorySize), "directory size");
    record.U32(16, static_cast<uint32_t>(directoryAt), "directory offset");
    record.U16(20, static_cast<uint32_t>(commentLength), "comment length");
    if (!record.Problem().empty()) {
        return record.Problem();
    }
    const uint64_t commentAt = end.at + zip::kEndFixed;
    if (std::memcmp(after.data() + endAt + zip::kEndFixed, before.data() + commentAt,
                    commentLength) != 0) {
        return "the archive comment changed";
    }

    // Now as a reader sees it.
    const EndRecord newEnd = EndRecordAt(after, endAt);
    const DirectoryWalk walk = WalkDirectory(after, newEnd);
    if (!walk.problem.empty()) {
        return "the new directory: " + walk.problem;
    }
    const Soundness again = JudgeForAppending(after, newEnd, walk);
    if (!again.Sound() && again.code != "full") {
        return "the result could not take another member: " + again.text;
    }
    if (walk.entries.size() != count) {
        return "the new directory holds " + std::to_string(walk.entries.size()) + " entries, not " +
               std::to_string(count);
    }
    std::string problem =
        CheckKeptEntries(before, view, gone, first, moved, after, walk, directoryAt);
    if (!problem.empty() || added == nullptr) {
        return problem;
    }
    const CentralEntry& entry = walk.entries.back();
    problem =
        CheckNewCentralEntry(after, entry.at, added->name, added->source, compressedSize, moved);
    if (!problem.empty()) {
        return problem;
    }
    const MemberRead read = ReadMember(after, entry, directoryAt);
    if (!read.ok) {
        return "the new member does not read: " + read.problem;
    }
    if (read.content != added->source) {
        return "the new member does not inflate to the source";
    }
    return {};
}

}  // namespace fuzzcheck
