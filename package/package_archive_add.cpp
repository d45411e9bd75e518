// The writing side of the member archive: appending one deflated member in place.
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "package/byte_cursor.h"
#include "package/package_archive.h"
#include "platform/file.h"

namespace package {
namespace {

constexpr uint32_t kChunkSize = 40960;

// Owns an initialised deflate stream and ends it on every path.
class DeflateStream {
  public:
    DeflateStream() {
        stream_.zalloc = &PackageArchive::DeflateAlloc;
        stream_.zfree = &PackageArchive::DeflateFree;
        stream_.opaque = Z_NULL;
        ready_ = deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                              Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~DeflateStream() {
        if (ready_) {
            deflateEnd(&stream_);
        }
    }
    DeflateStream(const DeflateStream&) = delete;
    DeflateStream& operator=(const DeflateStream&) = delete;

    bool Ready() const { return ready_; }
    z_stream& Stream() { return stream_; }

  private:
    z_stream stream_{};
    bool ready_ = false;
};

// Compresses the whole source into `archive` at its current position, writing no more than
// `room` bytes: the size limit is checked before each write, never after. `crc`, `read` and
// `written` describe exactly what was read and what was written.
ArchiveError DeflateSource(platform::File& source, platform::File& archive, DeflateStream& deflater,
                           uint64_t room, uint32_t* crc, uint64_t* read, uint64_t* written) {
    auto input = std::make_unique<uint8_t[]>(kChunkSize);
    auto output = std::make_unique<uint8_t[]>(kChunkSize);
    z_stream& stream = deflater.Stream();
    *crc = 0;
    *read = 0;
    *written = 0;
    auto drain = [&]() {
        uint32_t pending = kChunkSize - stream.avail_out;
        if (*written + pending > room) {
            return ArchiveError::TooLarge;
        }
        if (pending != 0 && !archive.Write(output.get(), pending)) {
            return ArchiveError::WriteFailed;
        }
        *written += pending;
        stream.next_out = output.get();
        stream.avail_out = kChunkSize;
        return ArchiveError::None;
    };
    stream.next_out = output.get();
    stream.avail_out = kChunkSize;
    for (;;) {
        uint32_t got = 0;
        if (!source.Read(input.get(), kChunkSize, &got)) {
            return ArchiveError::CannotReadSource;
        }
        if (got == 0) {
            break;
        }
        if (*read + got >= kPackageSizeLimit) {
            return ArchiveError::TooLarge;  // the size field is 32 bits
        }
        *crc = static_cast<uint32_t>(crc32(*crc, input.get(), got));
        *read += got;
        stream.next_in = input.get();
        stream.avail_in = got;
        while (stream.avail_in != 0) {
            ArchiveError drained = stream.avail_out == 0 ? drain() : ArchiveError::None;
            if (drained != ArchiveError::None) {
                return drained;
            }
            if (deflate(&stream, Z_NO_FLUSH) == Z_STREAM_ERROR) {
                return ArchiveError::CompressorFailed;
            }
        }
    }
    int status = Z_OK;
    while (status == Z_OK) {
        ArchiveError drained = stream.avail_out == 0 ? drain() : ArchiveError::None;
        if (drained != ArchiveError::None) {
            return drained;
        }
        status = deflate(&stream, Z_FINISH);
    }
    if (status != Z_STREAM_END) {
        return ArchiveError::CompressorFailed;
    }
    return drain();
}

}  // namespace

void* PackageArchive::DeflateAlloc(void*, unsigned items, unsigned size) {
    if (size != 0 && items > SIZE_MAX / size) {
        return nullptr;
    }
    return std::malloc(static_cast<size_t>(items) * size);
}

void PackageArchive::DeflateFree(void*, void* block) {
    std::free(block);
}

int PackageArchive::AddFile(const char* archivePath, const char* sourcePath,
                            const char* memberName) {
    size_t sourceLength = std::strlen(sourcePath);
    size_t archiveLength = std::strlen(archivePath);
    if (sourceLength >= sizeof(workPath_) || archiveLength >= sizeof(archivePath_)) {
        Fail(ArchiveError::BadMemberName);
        return -1;
    }
    std::memcpy(workPath_, sourcePath, sourceLength + 1);
    std::memcpy(archivePath_, archivePath, archiveLength + 1);
    return AppendMember(workPath_, memberName) ? 0 : -1;
}

bool PackageArchive::AppendMember(const char* sourcePath, const char* memberName) {
    const char* name = memberName != nullptr ? memberName : workPath_;
    size_t nameLength = std::strlen(name);
    if (endRecord_.signature != end_record::kSignature) {
        return Fail(ArchiveError::NoEndRecord);
    }
    uint32_t oldDirectoryOffset = endRecord_.directoryOffset;
    uint32_t oldDirectorySize = endRecord_.directorySize;
    if (oldDirectorySize != directory_.size()) {
        return Fail(ArchiveError::BadDirectory);
    }
    if (nameLength == 0 || nameLength > 0xFFFF) {
        return Fail(ArchiveError::BadMemberName);
    }
    if (endRecord_.entriesOnDisk == 0xFFFF || endRecord_.totalEntries == 0xFFFF) {
        return Fail(ArchiveError::TooManyEntries);
    }

    platform::File archive;
    if (!archive.Open(archivePath_, platform::Access::ReadWrite,
                      platform::Disposition::OpenExisting, platform::Sharing::ReadWrite)) {
        return Fail(ArchiveError::CannotOpenArchive);
    }
    platform::File source;
    if (!source.Open(sourcePath, platform::Access::Read, platform::Disposition::OpenExisting,
                     platform::Sharing::ReadWrite)) {
        return Fail(ArchiveError::CannotReadSource);
    }
    uint64_t dataAt = uint64_t{oldDirectoryOffset} + local_header::kSize + nameLength;
    if (!archive.Seek(static_cast<int64_t>(dataAt), platform::SeekFrom::Begin)) {
        return Fail(ArchiveError::WriteFailed);
    }
    DeflateStream deflater;
    if (!deflater.Ready()) {
        return Fail(ArchiveError::CompressorFailed);
    }
    // Everything but the compressed data is known now; the data gets what is left of the limit.
    uint64_t fixedPart =
        dataAt + oldDirectorySize + central_header::kSize + nameLength + end_record::kSize;
    if (fixedPart > sizeLimit_) {
        return Fail(ArchiveError::TooLarge);
    }
    uint32_t crc = 0;
    uint64_t sourceSize = 0;
    uint64_t compressedSize = 0;
    ArchiveError error = DeflateSource(source, archive, deflater, sizeLimit_ - fixedPart, &crc,
                                       &sourceSize, &compressedSize);
    if (error != ArchiveError::None) {
        return Fail(error);
    }
    source.Close();
    uint64_t dataEnd = dataAt + compressedSize;

    localHeader_ = LocalFileHeader{};
    localHeader_.signature = local_header::kSignature;
    localHeader_.versionNeeded = kZipVersion20;
    localHeader_.method = kDeflateMethod;
    localHeader_.crc32 = crc;
    localHeader_.compressedSize = static_cast<uint32_t>(compressedSize);
    localHeader_.uncompressedSize = static_cast<uint32_t>(sourceSize);
    localHeader_.nameLength = static_cast<uint16_t>(nameLength);

    centralHeader_ = CentralFileHeader{};
    centralHeader_.signature = central_header::kSignature;
    centralHeader_.versionMadeBy = kZipVersion20;
    centralHeader_.versionNeeded = kZipVersion20;
    centralHeader_.method = kDeflateMethod;
    centralHeader_.crc32 = crc;
    centralHeader_.compressedSize = localHeader_.compressedSize;
    centralHeader_.uncompressedSize = localHeader_.uncompressedSize;
    centralHeader_.nameLength = localHeader_.nameLength;
    centralHeader_.localHeaderOffset = oldDirectoryOffset;

    EndOfCentralDirectory newEnd = endRecord_;
    newEnd.entriesOnDisk = static_cast<uint16_t>(endRecord_.entriesOnDisk + 1);
    newEnd.totalEntries = static_cast<uint16_t>(endRecord_.totalEntries + 1);
    newEnd.directorySize =
        static_cast<uint32_t>(oldDirectorySize + central_header::kSize + nameLength);
    newEnd.directoryOffset = static_cast<uint32_t>(dataEnd);
    newEnd.commentLength = 0;

    uint8_t localBytes[local_header::kSize];
    uint8_t centralBytes[central_header::kSize];
    uint8_t endBytes[end_record::kSize];
    localHeader_.Encode(localBytes);
    centralHeader_.Encode(centralBytes);
    newEnd.Encode(endBytes);
    uint32_t nameSize = static_cast<uint32_t>(nameLength);
    bool written = archive.Seek(oldDirectoryOffset, platform::SeekFrom::Begin) &&
                   archive.Write(localBytes, sizeof(localBytes)) && archive.Write(name, nameSize) &&
                   archive.Seek(static_cast<int64_t>(dataEnd), platform::SeekFrom::Begin) &&
                   (oldDirectorySize == 0 || archive.Write(directory_.data(), oldDirectorySize)) &&
                   archive.Write(centralBytes, sizeof(centralBytes)) &&
                   archive.Write(name, nameSize) && archive.Write(endBytes, sizeof(endBytes));
    directory_.clear();
    directory_.shrink_to_fit();
    if (!archive.Close() || !written) {
        return Fail(ArchiveError::WriteFailed);
    }
    endRecord_ = newEnd;
    LoadDirectory(archivePath_);
    return true;
}

}  // namespace package
