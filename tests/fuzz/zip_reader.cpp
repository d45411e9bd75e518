#include "tests/fuzz/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace fuzzcheck {
namespace {

constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;

bool Has(const Bytes& bytes, uint64_t at, uint64_t count) {
    return at <= bytes.size() && count <= bytes.size() - at;
}

std::string EntryLabel(size_t index) {
    return "entry " + std::to_string(index + 1);
}

bool Inflate(const uint8_t* data, uint32_t size, uint32_t expected, bool mayEndEarly, Bytes& out,
             std::string& problem) {
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        problem = "inflateInit2 failed";
        return false;
    }
    // One spare byte tells data longer than its recorded size from data of exactly that size.
    Bytes spare(expected + 1u);
    stream.next_in = const_cast<uint8_t*>(data);
    stream.avail_in = size;
    stream.next_out = spare.data();
    stream.avail_out = static_cast<uInt>(spare.size());
    int status = inflate(&stream, Z_FINISH);
    uint64_t produced = stream.total_out;
    uint32_t unused = stream.avail_in;
    inflateEnd(&stream);
    if (status != Z_STREAM_END) {
        problem = "the deflate stream does not end within its compressed size (zlib " +
                  std::to_string(status) + ", " + std::to_string(produced) + " bytes out)";
        return false;
    }
    if (unused != 0 && !mayEndEarly) {
        problem = "the deflate stream ends " + std::to_string(unused) +
                  " bytes before its compressed size";
        return false;
    }
    if (produced != expected) {
        problem =
            "inflates to " + std::to_string(produced) + " bytes, not " + std::to_string(expected);
        return false;
    }
    spare.resize(expected);
    out = std::move(spare);
    return true;
}

}  // namespace

EndRecord EndRecordAt(const Bytes& archive, uint64_t at) {
    const uint8_t* p = archive.data() + at;
    EndRecord end;
    end.at = at;
    end.thisDisk = Get16(p + 4);
    end.directoryDisk = Get16(p + 6);
    end.entriesOnDisk = Get16(p + 8);
    end.totalEntries = Get16(p + 10);
    end.directorySize = Get32(p + 12);
    end.directoryOffset = Get32(p + 16);
    end.commentLength = Get16(p + 20);
    return end;
}

std::vector<EndRecord> FindEndRecords(const Bytes& archive) {
    std::vector<EndRecord> found;
    if (archive.size() < zip::kEndFixed) {
        return found;
    }
    uint64_t last = archive.size() - zip::kEndFixed;
    uint64_t first =
        archive.size() > zip::kEndSearchSpan ? archive.size() - zip::kEndSearchSpan : 0;
    for (uint64_t at = first; at <= last; ++at) {
        if (Get32(archive.data() + at) == zip::kEndSignature) {
            found.push_back(EndRecordAt(archive, at));
        }
    }
    return found;
}

DirectoryWalk WalkDirectory(const Bytes& archive, const EndRecord& end) {
    DirectoryWalk walk;
    uint64_t start = end.directoryOffset;
    uint64_t limit = start + end.directorySize;
    if (limit > archive.size()) {
        walk.problem = "the directory (" + Hex(start) + " + " + Hex(end.directorySize) +
                       ") reaches past the archive's " + Hex(archive.size()) + " bytes";
        limit = archive.size();
    }
    uint64_t at = start;
    for (size_t i = 0; i < end.entriesOnDisk; ++i) {
        if (at + zip::kCentralFixed > limit ||
            Get32(archive.data() + at) != zip::kCentralSignature) {
            if (walk.problem.empty()) {
                walk.problem =
                    EntryLabel(i) + " at " + Hex(at) + " has no central header signature";
            }
            return walk;
        }
        const uint8_t* p = archive.data() + at;
        CentralEntry entry;
        entry.at = at;
        entry.flags = Get16(p + 8);
        entry.method = Get16(p + 10);
        entry.crc32 = Get32(p + 16);
        entry.compressedSize = Get32(p + 20);
        entry.uncompressedSize = Get32(p + 24);
        entry.nameLength = Get16(p + 28);
        entry.extraLength = Get16(p + 30);
        entry.commentLength = Get16(p + 32);
        entry.diskStart = Get16(p + 34);
        entry.localOffset = Get32(p + 42);
        if (at + entry.Size() > limit) {
            if (walk.problem.empty()) {
                walk.problem = EntryLabel(i) + " reaches past the end of the directory";
            }
            return walk;
        }
        entry.name.assign(reinterpret_cast<const char*>(p + zip::kCentralFixed), entry.nameLength);
        at += entry.Size();
        walk.entries.push_back(std::move(entry));
    }
    if (walk.problem.empty() && at != start + end.directorySize) {
        walk.problem = "the " + std::to_string(end.entriesOnDisk) + " entries take " +
                       std::to_string(at - start) + " bytes of a directory of " +
                       std::to_string(end.directorySize);
    }
    return walk;
}

Soundness JudgeForAppending(const Bytes& archive, const EndRecord& end, const DirectoryWalk& walk) {
    uint64_t directoryEnd = uint64_t{end.directoryOffset} + end.directorySize;
    if (end.thisDisk != 0 || end.directoryDisk != 0) {
        return {"split-disk", "the end record names disks " + std::to_string(end.thisDisk) +
                                  " and " + std::to_string(end.directoryDisk)};
    }
    if (end.entriesOnDisk != end.totalEntries) {
        return {"split-count", std::to_string(end.entriesOnDisk) + " entries on this disk of " +
                                   std::to_string(end.totalEntries)};
    }
    if (end.entriesOnDisk == 0xFFFF || end.totalEntries == 0xFFFF ||
        end.directorySize == 0xFFFFFFFF || end.directoryOffset == 0xFFFFFFFF) {
        return {"zip64", "the end record holds a zip64 marker"};
    }
    if (end.entriesOnDisk == 0xFFFE) {
        return {"full", "one more entry would make the count the zip64 marker"};
    }
    if (directoryEnd != end.at) {
        // A zip64 end record and its locator lie between the directory and the end record.
        bool locator =
            directoryEnd + zip::kZip64LocatorSize <= end.at &&
            Get32(archive.data() + end.at - zip::kZip64LocatorSize) == zip::kZip64LocatorSignature;
        if (locator) {
            return {"zip64", "a zip64 end locator lies before the end record"};
        }
        const bool past = directoryEnd > end.at;
        if (end.directorySize == 0) {
            return {past ? "empty-directory-past-end-record" : "empty-directory-before-end-record",
                    "an empty directory at " + Hex(end.directoryOffset) + ", the end record at " +
                        Hex(end.at)};
        }
        return {past ? "directory-runs-into-end-record" : "gap-before-end-record",
                "the directory ends at " + Hex(directoryEnd) + ", the end record begins at " +
                    Hex(end.at)};
    }
    if (!walk.problem.empty()) {
        return {"directory-walk", walk.problem};
    }
    for (size_t i = 0; i < walk.entries.size(); ++i) {
        const CentralEntry& entry = walk.entries[i];
        if (entry.diskStart != 0) {
            return {"split-disk",
                    EntryLabel(i) + " starts on disk " + std::to_string(entry.diskStart)};
        }
        if (entry.compressedSize == 0xFFFFFFFF || entry.uncompressedSize == 0xFFFFFFFF ||
            entry.localOffset == 0xFFFFFFFF) {
            return {"zip64", EntryLabel(i) + " holds a zip64 marker"};
        }
        // The local header with its name must fit before the directory.
        if (uint64_t{entry.localOffset} + zip::kLocalFixed + entry.nameLength >
            end.directoryOffset) {
            return {"local-offset", EntryLabel(i) + "'s local header at " + Hex(entry.localOffset) +
                                        " does not fit before the directory at " +
                                        Hex(end.directoryOffset)};
        }
    }
    return {};
}

std::vector<ArchiveView> ReadArchiveViews(const Bytes& archive) {
    std::vector<ArchiveView> views;
    for (const EndRecord& end : FindEndRecords(archive)) {
        ArchiveView view{end, WalkDirectory(archive, end), {}};
        view.soundness = JudgeForAppending(archive, end, view.walk);
        views.push_back(std::move(view));
    }
    return views;
}

const ArchiveView* ViewAppendedTo(const std::vector<ArchiveView>& views, const Bytes& before,
                                  const Bytes& after) {
    auto localHeaderAt = [](const Bytes& bytes, uint64_t at) {
        return Has(bytes, at, zip::kLocalFixed) && Get32(bytes.data() + at) == zip::kLocalSignature;
    };
    // Best: the view for which a local header lies at its directory offset and, where its
    // directory and the new entry would end, an end record carrying its own fields updated.
    // Two end records may claim the same directory; a sound one is the one to judge by.
    const ArchiveView* matched = nullptr;
    for (const ArchiveView& view : views) {
        uint64_t at = view.end.directoryOffset;
        if (!localHeaderAt(after, at)) {
            continue;
        }
        uint64_t n = Get16(after.data() + at + 26);
        uint64_t e = at + zip::kLocalFixed + n + Get32(after.data() + at + 18);
        uint64_t endAt = e + view.end.directorySize + zip::kCentralFixed + n;
        if (Has(after, endAt, zip::kEndFixed) &&
            Get32(after.data() + endAt) == zip::kEndSignature &&
            Get32(after.data() + endAt + 12) == view.end.directorySize + zip::kCentralFixed + n &&
            Get32(after.data() + endAt + 16) == e &&
            Get16(after.data() + endAt + 4) == view.end.thisDisk &&
            Get16(after.data() + endAt + 6) == view.end.directoryDisk &&
            Get16(after.data() + endAt + 8) == ((view.end.entriesOnDisk + 1) & 0xFFFF) &&
            Get16(after.data() + endAt + 10) == ((view.end.totalEntries + 1) & 0xFFFF)) {
            if (view.soundness.Sound()) {
                return &view;
            }
            matched = matched != nullptr ? matched : &view;
        }
    }
    if (matched != nullptr) {
        return matched;
    }
    // Else the one with a local header at its directory offset that was not there before.
    const ArchiveView* used = nullptr;
    for (const ArchiveView& view : views) {
        uint64_t at = view.end.directoryOffset;
        if (localHeaderAt(after, at) && !localHeaderAt(before, at) &&
            (used == nullptr || at < used->end.directoryOffset)) {
            used = &view;
        }
    }
    if (used == nullptr && !views.empty()) {
        used = &views.front();
    }
    return used;
}

MemberRead ReadMember(const Bytes& archive, const CentralEntry& entry, uint64_t dataLimit,
                      Reading reading) {
    const bool lenient = reading == Reading::Lenient;
    MemberRead read;
    uint64_t at = entry.localOffset;
    if (!Has(archive, at, zip::kLocalFixed) || Get32(archive.data() + at) != zip::kLocalSignature) {
        read.problem = "no local header at " + Hex(at);
        return read;
    }
    const uint8_t* p = archive.data() + at;
    uint16_t nameLength = Get16(p + 26);
    uint16_t extraLength = Get16(p + 28);
    if (!lenient &&
        (nameLength != entry.nameLength || !Has(archive, at + zip::kLocalFixed, nameLength) ||
         std::memcmp(p + zip::kLocalFixed, entry.name.data(), nameLength) != 0)) {
        read.problem = "the local header's name differs from the central entry's";
        return read;
    }
    uint64_t dataAt = at + zip::kLocalFixed + nameLength + extraLength;
    if (dataAt + entry.compressedSize > dataLimit || !Has(archive, dataAt, entry.compressedSize)) {
        read.problem = "its data runs past " + Hex(dataLimit);
        return read;
    }
    if (entry.uncompressedSize > kLargestReadContent) {
        read.problem = "too large to check";
        return read;
    }
    const uint8_t* data = archive.data() + dataAt;
    if (entry.method == kStored) {
        if (entry.compressedSize != entry.uncompressedSize) {
            read.problem = "stored with two different sizes";
            return read;
        }
        read.content.assign(data, data + entry.compressedSize);
    } else if (entry.method == kDeflated) {
        if (!Inflate(data, entry.compressedSize, entry.uncompressedSize, lenient, read.content,
                     read.problem)) {
            return read;
        }
    } else {
        read.problem = "method " + std::to_string(entry.method);
        return read;
    }
    uint32_t crc = static_cast<uint32_t>(
        crc32(0, read.content.data(), static_cast<uInt>(read.content.size())));
    if (crc != entry.crc32) {
        read.problem = "CRC-32 " + Hex(crc) + ", recorded " + Hex(entry.crc32);
        return read;
    }
    read.ok = true;
    return read;
}

bool NamesDirectory(const std::string& name) {
    return !name.empty() && (name.back() == '/' || name.back() == '\\');
}

std::vector<std::string> ListedNames(const DirectoryWalk& walk) {
    std::vector<std::string> names;
    for (const CentralEntry& entry : walk.entries) {
        const std::string& stored = entry.name;
        // A name with a zero byte in it names nothing the tool makes: it is stepped over.
        if (stored.empty() || stored.size() >= 260 || NamesDirectory(stored) ||
            stored.find('\0') != std::string::npos) {
            continue;
        }
        std::string name = stored;
        std::replace(name.begin(), name.end(), '/', '\\');
        names.push_back(name);
    }
    return names;
}

bool SameMemberName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    auto fold = [](char c) {
        if (c == '/') {
            return '\\';
        }
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    for (size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

std::vector<size_t> MatchingEntries(const DirectoryWalk& walk, const std::string& name,
                                    bool directories) {
    std::vector<size_t> found;
    for (size_t i = 0; i < walk.entries.size(); ++i) {
        const std::string& stored = walk.entries[i].name;
        if (SameMemberName(stored, name) && (directories || !NamesDirectory(stored))) {
            found.push_back(i);
        }
    }
    return found;
}

bool ListsMember(const DirectoryWalk& walk, const std::string& name) {
    for (const std::string& listed : ListedNames(walk)) {
        if (SameMemberName(listed, name)) {
            return true;
        }
    }
    return false;
}

}  // namespace fuzzcheck
