// A ZIP reader of the fuzz targets' own, written apart from the engine's so that a misreading
// shared by both cannot hide: it finds end records, walks a central directory, judges whether
// a member can be appended behind it, and inflates members with zlib to check their CRC-32.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"

namespace fuzzcheck {

namespace zip {
constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr uint64_t kLocalFixed = 30;
constexpr uint64_t kCentralFixed = 46;
constexpr uint64_t kEndFixed = 22;
constexpr uint64_t kZip64LocatorSize = 20;
// An end record lies within the last 22 + 65,535 bytes (its longest comment).
constexpr uint64_t kEndSearchSpan = kEndFixed + 0xFFFF;
}  // namespace zip

struct EndRecord {
    uint64_t at = 0;  // from the archive's first byte
    uint16_t thisDisk = 0;
    uint16_t directoryDisk = 0;
    uint16_t entriesOnDisk = 0;
    uint16_t totalEntries = 0;
    uint32_t directorySize = 0;
    uint32_t directoryOffset = 0;
    uint16_t commentLength = 0;
};

struct CentralEntry {
    uint64_t at = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc32 = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint16_t nameLength = 0;
    uint16_t extraLength = 0;
    uint16_t commentLength = 0;
    uint16_t diskStart = 0;
    uint32_t localOffset = 0;
    std::string name;  // the stored bytes
    uint64_t Size() const { return zip::kCentralFixed + nameLength + extraLength + commentLength; }
};

struct DirectoryWalk {
    std::vector<CentralEntry> entries;  // those reached before a problem
    std::string problem;                // empty: the entries fill the directory exactly
};

// Every end record whose signature lies where one can lie, earliest first.
std::vector<EndRecord> FindEndRecords(const Bytes& archive);
// The record at `at`; the caller has checked that its 22 bytes are there.
EndRecord EndRecordAt(const Bytes& archive, uint64_t at);

// Walks the entries the end record counts from its directory offset, each within the
// directory and the archive.
DirectoryWalk WalkDirectory(const Bytes& archive, const EndRecord& end);

// Why a member cannot be appended behind this directory (where the new member's local header
// takes the directory's place) without damaging the archive; `code` is empty when it can.
struct Soundness {
    std::string code;  // short, for telling findings apart
    std::string text;
    bool Sound() const { return code.empty(); }
};
Soundness JudgeForAppending(const Bytes& archive, const EndRecord& end, const DirectoryWalk& walk);

// One end record found in an archive, its directory walk, and whether a member can follow.
struct ArchiveView {
    EndRecord end;
    DirectoryWalk walk;
    Soundness soundness;
};
std::vector<ArchiveView> ReadArchiveViews(const Bytes& archive);
// The end record that a member was appended behind, turning `before` into `after`: the view
// whose directory offset now holds a local header and whose directory, moved behind the new
// data, is followed by a new entry and an end record that say so; failing that, one at whose
// directory offset a local header now lies where none lay before; failing that, the first view.
// nullptr when there is no view at all.
const ArchiveView* ViewAppendedTo(const std::vector<ArchiveView>& views, const Bytes& before,
                                  const Bytes& after);

// A member read through its local header; its data must end at or before `dataLimit`.
struct MemberRead {
    bool ok = false;
    Bytes content;
    std::string problem;
};
// Members are read only up to this size; the fuzz inputs are far smaller.
constexpr uint32_t kLargestReadContent = 4u << 20;
// Strict, as an archive the engine wrote is judged. Lenient, as an extractor may read an
// archive it did not write, taking the directory's word: the local header may name the member
// otherwise, and a deflate stream may end before its compressed size does.
enum class Reading { Strict, Lenient };
MemberRead ReadMember(const Bytes& archive, const CentralEntry& entry, uint64_t dataLimit,
                      Reading reading = Reading::Strict);

// The file member names a lister delivers, in order: directory entries (a name ending in a
// slash or a backslash), nameless entries, names of 260 bytes or more and names holding a zero
// byte are passed over, and every slash becomes a backslash.
std::vector<std::string> ListedNames(const DirectoryWalk& walk);
// Whether a stored name names a directory member: it ends in a slash or a backslash.
bool NamesDirectory(const std::string& name);
// Equal without regard to ASCII letter case, a slash counting as a backslash.
bool SameMemberName(const std::string& a, const std::string& b);
// Whether the walk lists a file member of that name.
bool ListsMember(const DirectoryWalk& walk, const std::string& name);

// The entries of `walk` whose name equals `name` as the engine matches names: without regard to
// case, '/' and '\' alike; with `directories`, a directory member by its name with the
// separator, otherwise file members only.
std::vector<size_t> MatchingEntries(const DirectoryWalk& walk, const std::string& name,
                                    bool directories);

}  // namespace fuzzcheck
