// The three ZIP records that the member archive reads and writes, each described once: its
// signature, the length of its fixed part and its fields in file order (byte_cursor.h reads and
// writes every record by that description). All fields are little-endian and packed; each
// fixed part is followed by the variable parts its lengths give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>

#include "package/byte_cursor.h"

namespace package {

constexpr uint16_t kDeflateMethod = 8;
constexpr uint16_t kZipVersion20 = 20;

// The run of fields that a member's local header and its central entry share, in this order.
struct MemberFields {
    uint16_t versionNeeded = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t time = 0;
    uint16_t date = 0;
    uint32_t crc32 = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint16_t nameLength = 0;
    uint16_t extraLength = 0;

    static constexpr auto kFields =
        std::tuple{&MemberFields::versionNeeded,  &MemberFields::flags,
                   &MemberFields::method,         &MemberFields::time,
                   &MemberFields::date,           &MemberFields::crc32,
                   &MemberFields::compressedSize, &MemberFields::uncompressedSize,
                   &MemberFields::nameLength,     &MemberFields::extraLength};
};

// Before each member's data: the fixed part, then the name and the extra field.
struct LocalFileHeader : MemberFields {
    static constexpr uint32_t kSignature = 0x04034B50;
    static constexpr size_t kSize = 30;

    uint32_t signature = 0;

    static constexpr auto kFields =
        std::tuple_cat(std::tuple{&LocalFileHeader::signature}, MemberFields::kFields);

    // From the header's first byte to the member's data.
    uint32_t Length() const { return kSize + uint32_t{nameLength} + extraLength; }
};

// One entry of the central directory: the fixed part, then the name, the extra field and the
// comment; the next entry follows directly.
struct CentralFileHeader : MemberFields {
    static constexpr uint32_t kSignature = 0x02014B50;
    static constexpr size_t kSize = 46;

    uint32_t signature = 0;
    uint16_t versionMadeBy = 0;
    uint16_t commentLength = 0;
    uint16_t diskStart = 0;
    uint16_t internalAttributes = 0;
    uint32_t externalAttributes = 0;
    uint32_t localHeaderOffset = 0;  // from the archive's first byte

    static constexpr auto kFields = std::tuple_cat(
        std::tuple{&CentralFileHeader::signature, &CentralFileHeader::versionMadeBy},
        MemberFields::kFields,
        std::tuple{&CentralFileHeader::commentLength, &CentralFileHeader::diskStart,
                   &CentralFileHeader::internalAttributes, &CentralFileHeader::externalAttributes,
                   &CentralFileHeader::localHeaderOffset});

    // The whole entry: fixed part, name, extra field and comment.
    uint32_t Length() const { return kSize + uint32_t{nameLength} + extraLength + commentLength; }
};

// The end of central directory record: the fixed part, then the archive comment.
struct EndOfCentralDirectory {
    static constexpr uint32_t kSignature = 0x06054B50;
    static constexpr size_t kSize = 22;

    uint32_t signature = 0;
    uint16_t thisDisk = 0;
    uint16_t directoryDisk = 0;
    uint16_t entriesOnDisk = 0;
    uint16_t totalEntries = 0;
    uint32_t directorySize = 0;
    uint32_t directoryOffset = 0;  // from the archive's first byte
    uint16_t commentLength = 0;

    static constexpr auto kFields =
        std::tuple{&EndOfCentralDirectory::signature,       &EndOfCentralDirectory::thisDisk,
                   &EndOfCentralDirectory::directoryDisk,   &EndOfCentralDirectory::entriesOnDisk,
                   &EndOfCentralDirectory::totalEntries,    &EndOfCentralDirectory::directorySize,
                   &EndOfCentralDirectory::directoryOffset, &EndOfCentralDirectory::commentLength};
};

static_assert(DescribedSize<LocalFileHeader>() == LocalFileHeader::kSize);
static_assert(DescribedSize<CentralFileHeader>() == CentralFileHeader::kSize);
static_assert(DescribedSize<EndOfCentralDirectory>() == EndOfCentralDirectory::kSize);

}  // namespace package
