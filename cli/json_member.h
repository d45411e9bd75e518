// A member of the archive as ktl's JSON gives it, whatever record it comes from.
#pragma once

#include <cstdint>
#include <string>

#include "cli/json_writer.h"

namespace cli {

struct MemberFields {
    const std::string& storedName;  // as stored: UTF-8 when bit 11 of `flags` says so
    uint16_t flags;
    uint16_t method;
    uint32_t crc32;
    uint32_t compressedSize;
    uint32_t uncompressedSize;
};

// {"name", "name_escaped", "method", "compressed_size", "uncompressed_size", "crc32",
// "directory"}: the name converted to UTF-8, or escaped (name_escaped) when it is no text in
// its code page.
void WriteMember(JsonWriter& writer, const MemberFields& member);

// Any record with those fields, such as package::PackageMember.
template <class Member>
void WriteMemberOf(JsonWriter& writer, const Member& member) {
    WriteMember(writer, MemberFields{member.name, member.flags, member.method, member.crc32,
                                     member.compressedSize, member.uncompressedSize});
}

}  // namespace cli
