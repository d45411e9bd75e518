// Compressing a source file into a member's raw deflate data, with the CRC-32 and the sizes
// that its records need.
#pragma once

#include <zlib.h>

#include <array>
#include <cstdint>

#include "package/package_archive.h"
#include "package/zip_records.h"
#include "package/zlib_stream.h"
#include "platform/file.h"

namespace package {

// Raw deflate at the library's default level, allocating through PackageArchive's callbacks.
class DeflateStream : public ZlibStream<deflateEnd> {
  public:
    DeflateStream() {
        stream_.zalloc = &PackageArchive::DeflateAlloc;
        stream_.zfree = &PackageArchive::DeflateFree;
        stream_.opaque = Z_NULL;
        ready_ = deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                              Z_DEFAULT_STRATEGY) == Z_OK;
    }
};

// The package checksum of bytes as they are written in sequence from `position` on.
struct WrittenSum {
    uint32_t sum = 0;
    uint64_t position = 0;
    void Add(const uint8_t* data, uint32_t size);
};

// Compresses the whole source into `archive` at its current position, writing no more than
// `room` bytes: the size limit is checked before each write, never after. `crc`, `read` and
// `written` describe exactly what was read and what was written.
ArchiveError DeflateSource(platform::File& source, platform::File& archive, DeflateStream& deflater,
                           uint64_t room, uint32_t* crc, uint64_t* read, uint64_t* written,
                           WrittenSum* sum);

// The same compression with the output thrown away, for a dry run that needs the compressed
// size: it reads the whole source and fails as DeflateSource would, short of a write.
ArchiveError MeasureDeflatedSource(platform::File& source, DeflateStream& deflater, uint64_t room,
                                   uint32_t* crc, uint64_t* read, uint64_t* written);

// The local header and central entry of a member that DeflateSource wrote, packed.
struct DeflatedMemberRecords {
    std::array<uint8_t, LocalFileHeader::kSize> local = {};
    std::array<uint8_t, CentralFileHeader::kSize> central = {};
};

DeflatedMemberRecords MakeDeflatedMemberRecords(uint32_t nameLength, uint32_t crc,
                                                uint32_t compressedSize, uint32_t size,
                                                uint32_t localHeaderOffset);

// The end record once a member of `nameLength` and `compressedSize` bytes went where the old
// directory began, and its entry behind the old ones. The old comment is dropped: its bytes are
// overwritten or left behind as stray bytes. The caller has made sure that the archive can take
// the entry (CanTakeOneMoreEntry).
EndOfCentralDirectory EndAfterAppending(const EndOfCentralDirectory& old, uint32_t nameLength,
                                        uint32_t compressedSize);

}  // namespace package
