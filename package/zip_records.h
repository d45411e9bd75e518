// The three ZIP records that the member archive reads and writes. Each is held as plain
// fields and turned into or out of its packed little-endian form through named offsets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace package {

namespace local_header {
constexpr uint32_t kSignature = 0x04034B50;
constexpr size_t kSize = 30;
constexpr size_t kSignatureAt = 0;
constexpr size_t kVersionNeededAt = 4;
constexpr size_t kFlagsAt = 6;
constexpr size_t kMethodAt = 8;
constexpr size_t kTimeAt = 10;
constexpr size_t kDateAt = 12;
constexpr size_t kCrcAt = 14;
constexpr size_t kCompressedSizeAt = 18;
constexpr size_t kUncompressedSizeAt = 22;
constexpr size_t kNameLengthAt = 26;
constexpr size_t kExtraLengthAt = 28;
}  // namespace local_header

namespace central_header {
constexpr uint32_t kSignature = 0x02014B50;
constexpr size_t kSize = 46;
constexpr size_t kSignatureAt = 0;
constexpr size_t kVersionMadeByAt = 4;
constexpr size_t kVersionNeededAt = 6;
constexpr size_t kFlagsAt = 8;
constexpr size_t kMethodAt = 10;
constexpr size_t kTimeAt = 12;
constexpr size_t kDateAt = 14;
constexpr size_t kCrcAt = 16;
constexpr size_t kCompressedSizeAt = 20;
constexpr size_t kUncompressedSizeAt = 24;
constexpr size_t kNameLengthAt = 28;
constexpr size_t kExtraLengthAt = 30;
constexpr size_t kCommentLengthAt = 32;
constexpr size_t kDiskStartAt = 34;
constexpr size_t kInternalAttributesAt = 36;
constexpr size_t kExternalAttributesAt = 38;
constexpr size_t kLocalHeaderOffsetAt = 42;
}  // namespace central_header

namespace end_record {
constexpr uint32_t kSignature = 0x06054B50;
constexpr size_t kSize = 22;
constexpr size_t kSignatureAt = 0;
constexpr size_t kThisDiskAt = 4;
constexpr size_t kDirectoryDiskAt = 6;
constexpr size_t kEntriesOnDiskAt = 8;
constexpr size_t kTotalEntriesAt = 10;
constexpr size_t kDirectorySizeAt = 12;
constexpr size_t kDirectoryOffsetAt = 16;
constexpr size_t kCommentLengthAt = 20;
}  // namespace end_record

constexpr uint16_t kDeflateMethod = 8;
constexpr uint16_t kZipVersion20 = 20;

struct LocalFileHeader {
    uint32_t signature = 0;
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

    void Encode(uint8_t (&out)[local_header::kSize]) const;
};

struct CentralFileHeader {
    uint32_t signature = 0;
    uint16_t versionMadeBy = 0;
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
    uint16_t commentLength = 0;
    uint16_t diskStart = 0;
    uint16_t internalAttributes = 0;
    uint32_t externalAttributes = 0;
    uint32_t localHeaderOffset = 0;

    void Encode(uint8_t (&out)[central_header::kSize]) const;
    static CentralFileHeader Decode(const uint8_t (&in)[central_header::kSize]);
};

struct EndOfCentralDirectory {
    uint32_t signature = 0;
    uint16_t thisDisk = 0;
    uint16_t directoryDisk = 0;
    uint16_t entriesOnDisk = 0;
    uint16_t totalEntries = 0;
    uint32_t directorySize = 0;
    uint32_t directoryOffset = 0;
    uint16_t commentLength = 0;

    void Encode(uint8_t (&out)[end_record::kSize]) const;
    static EndOfCentralDirectory Decode(const uint8_t (&in)[end_record::kSize]);
};

}  // namespace package
