#include "tests/fuzz/append_check.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "tests/fuzz/field_check.h"

namespace fuzzcheck {
namespace {

constexpr uint16_t kVersion20 = 20;
constexpr uint16_t kDeflated = 8;

uint32_t Crc32Of(const Bytes& bytes) {
    return static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

}  // namespace

std::string CheckNewLocalHeader(const Bytes& after, uint64_t at, const std::string& name,
                                const Bytes& source) {
    FieldCheck local(after, at, "the new local header");
    local.U32(0, zip::kLocalSignature, "signature");
    local.U16(4, kVersion20, "version needed");
    local.U16(6, 0, "flags");
    local.U16(8, kDeflated, "method");
    local.U16(10, 0, "time");
    local.U16(12, 0, "date");
    local.U32(14, Crc32Of(source), "CRC-32");
    local.U32(22, static_cast<uint32_t>(source.size()), "uncompressed size");
    local.U16(26, static_cast<uint32_t>(name.size()), "name length");
    local.U16(28, 0, "extra length");
    local.Name(zip::kLocalFixed, name);
    return local.Problem();
}

std::string CheckNewCentralEntry(const Bytes& after, uint64_t at, const std::string& name,
                                 const Bytes& source, uint64_t compressedSize, uint64_t localAt) {
    FieldCheck central(after, at, "the new central entry");
    central.U32(0, zip::kCentralSignature, "signature");
    central.U16(4, kVersion20, "version made by");
    central.U16(6, kVersion20, "version needed");
    central.U16(8, 0, "flags");
    central.U16(10, kDeflated, "method");
    central.U16(12, 0, "time");
    central.U16(14, 0, "date");
    central.U32(16, Crc32Of(source), "CRC-32");
    central.U32(20, static_cast<uint32_t>(compressedSize), "compressed size");
    central.U32(24, static_cast<uint32_t>(source.size()), "uncompressed size");
    central.U16(28, static_cast<uint32_t>(name.size()), "name length");
    central.U16(30, 0, "extra length");
    central.U16(32, 0, "comment length");
    central.U16(34, 0, "disk number");
    central.U16(36, 0, "internal attributes");
    central.U32(38, 0, "external attributes");
    central.U32(42, static_cast<uint32_t>(localAt), "local header offset");
    central.Name(zip::kCentralFixed, name);
    return central.Problem();
}

std::string CheckAppended(const Bytes& before, const EndRecord& end, const DirectoryWalk& walk,
                          const std::string& name, const Bytes& source, const Bytes& after,
                          uint64_t* length) {
    const uint64_t d = end.directoryOffset;
    const uint64_t s = end.directorySize;
    const uint64_t n = name.size();
    *length = 0;
    if (d + s > before.size()) {
        return "the old directory is not within the old archive";
    }
    if (after.size() < d + zip::kLocalFixed + n) {
        return "the archive ends before the new local header at " + Hex(d);
    }
    if (std::memcmp(after.data(), before.data(), d) != 0) {
        return "bytes before the old directory offset " + Hex(d) + " changed";
    }
    const std::string local = CheckNewLocalHeader(after, d, name, source);
    if (!local.empty()) {
        return local;
    }
    const uint64_t m = Get32(after.data() + d + 18);
    const uint64_t e = d + zip::kLocalFixed + n + m;
    const uint64_t centralAt = e + s;
    const uint64_t endAt = centralAt + zip::kCentralFixed + n;
    const uint64_t contentEnd = endAt + zip::kEndFixed;
    *length = std::max<uint64_t>(before.size(), contentEnd);
    if (after.size() < *length) {
        return "the archive is " + Hex(after.size()) + " bytes; the new end record ends at " +
               Hex(contentEnd) + " and the old archive was " + Hex(before.size());
    }
    // The old directory ended where its end record began, so the end record moves on by the
    // new local record and central entry and by nothing else.
    const uint64_t growth = (zip::kLocalFixed + n + m) + (zip::kCentralFixed + n);
    if (endAt - end.at != growth) {
        return "the end record moved from " + Hex(end.at) + " to " + Hex(endAt) + ", not by " +
               Hex(growth);
    }
    if (s != 0 && std::memcmp(after.data() + e, before.data() + d, s) != 0) {
        return "the old directory was not copied unchanged to " + Hex(e);
    }
    const std::string central = CheckNewCentralEntry(after, centralAt, name, source, m, d);
    if (!central.empty()) {
        return central;
    }
    FieldCheck record(after, endAt, "the new end record");
    record.U32(0, zip::kEndSignature, "signature");
    record.U16(4, end.thisDisk, "disk number");
    record.U16(6, end.directoryDisk, "directory disk");
    record.U16(8, (end.entriesOnDisk + 1u) & 0xFFFF, "entries on this disk");
    record.U16(10, (end.totalEntries + 1u) & 0xFFFF, "total entries");
    record.U32(12, static_cast<uint32_t>(s + zip::kCentralFixed + n), "directory size");
    record.U32(16, static_cast<uint32_t>(e), "directory offset");
    record.U16(20, 0, "comment length");
    if (!record.Problem().empty()) {
        return record.Problem();
    }
    if (before.size() > contentEnd &&
        std::memcmp(after.data() + contentEnd, before.data() + contentEnd,
                    before.size() - contentEnd) != 0) {
        return "old bytes behind the new end record changed";
    }

    // Now as a reader sees it.
    const EndRecord newEnd = EndRecordAt(after, endAt);
    const DirectoryWalk newWalk = WalkDirectory(after, newEnd);
    if (!newWalk.problem.empty()) {
        return "the new directory: " + newWalk.problem;
    }
    const Soundness again = JudgeForAppending(after, newEnd, newWalk);
    // A result of 65534 entries is sound but full.
    if (!again.Sound() && again.code != "full") {
        return "the result could not take another member: " + again.text;
    }
    if (newWalk.entries.size() != walk.entries.size() + 1) {
        return "the new directory holds " + std::to_string(newWalk.entries.size()) + " entries";
    }
    for (size_t i = 0; i < walk.entries.size(); ++i) {
        MemberRead was = ReadMember(before, walk.entries[i], d);
        if (!was.ok) {
            continue;
        }
        MemberRead is = ReadMember(after, newWalk.entries[i], e);
        if (!is.ok || is.content != was.content) {
            return "member " + std::to_string(i + 1) + " read before and does not now: " +
                   (is.ok ? std::string("its content changed") : is.problem);
        }
    }
    MemberRead added = ReadMember(after, newWalk.entries.back(), e);
    if (!added.ok) {
        return "the new member does not read: " + added.problem;
    }
    if (added.content != source) {
        return "the new member does not inflate to the source";
    }
    return {};
}

std::string CheckBehindAnySoundView(const std::vector<ArchiveView>& views,
                                    const ArchiveView* preferred,
                                    const std::function<std::string(const ArchiveView&)>& check) {
    std::string problem;
    for (const ArchiveView& view : views) {
        if (!view.soundness.Sound()) {
            continue;
        }
        std::string found = check(view);
        if (found.empty()) {
            return found;
        }
        if (problem.empty() || &view == preferred) {
            problem = found;
        }
    }
    return problem;
}

}  // namespace fuzzcheck
