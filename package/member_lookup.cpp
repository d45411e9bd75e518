#include "package/member_lookup.h"

#include <algorithm>
#include <cstring>

#include "package/byte_cursor.h"
#include "package/member_name.h"
#include "package/package_archive.h"
#include "platform/multibyte.h"

namespace package {
namespace {

// Names are compared with every slash turned into a backslash, as this tool stores them; no
// double-byte code page uses the slash as a trail byte.
bool ToComparable(const uint8_t* name, size_t length, PathBuffer& out) {
    if (length == 0 || length >= sizeof(PathBuffer) || std::memchr(name, '\0', length) != nullptr) {
        return false;
    }
    std::memcpy(out, name, length);
    out[length] = '\0';
    std::replace(out, out + length, '/', '\\');
    return true;
}

bool Matches(const DirectoryEntry& entry, const char* wanted, MemberKinds kinds) {
    PathBuffer name;
    if (!ToComparable(entry.name, entry.header.nameLength, name)) {
        return false;
    }
    if (kinds == MemberKinds::Files && NamesDirectory(name)) {
        return false;
    }
    return platform::CompareNoCase(name, wanted) == 0;
}

}  // namespace

std::vector<DirectoryEntry> ListEntries(const ArchiveDirectory& directory) {
    std::vector<DirectoryEntry> entries;
    ByteCursor cursor(directory.bytes.data(), directory.bytes.size());
    while (cursor.Remaining() > 0) {
        DirectoryEntry entry;
        entry.at = static_cast<uint32_t>(cursor.Offset());
        if (!ReadRecord(cursor, entry.header)) {
            break;
        }
        entry.name = cursor.Bytes(entry.header.nameLength);
        cursor.Skip(size_t{entry.header.extraLength} + entry.header.commentLength);
        if (!cursor.Ok()) {
            break;
        }
        entry.length = entry.header.Length();
        entries.push_back(entry);
    }
    return entries;
}

std::vector<size_t> FindMembers(const std::vector<DirectoryEntry>& entries, const char* wanted,
                                MemberKinds kinds) {
    std::vector<size_t> found;
    PathBuffer name;
    if (!ToComparable(reinterpret_cast<const uint8_t*>(wanted), std::strlen(wanted), name)) {
        return found;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        if (Matches(entries[i], name, kinds)) {
            found.push_back(i);
        }
    }
    return found;
}

}  // namespace package
