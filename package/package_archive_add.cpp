// The writing side of the member archive: appending one deflated member in place.
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "package/archive_directory.h"
#include "package/byte_cursor.h"
#include "package/member_deflate.h"
#include "package/package_archive.h"
#include "package/package_layout.h"
#include "platform/file.h"

namespace package {

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
    size_t archiveLength = std::strlen(archivePath);
    if (std::strlen(sourcePath) >= kArchivePathSize || archiveLength >= sizeof(archivePath_)) {
        Fail(ArchiveError::BadMemberName);
        return -1;
    }
    std::memcpy(archivePath_, archivePath, archiveLength + 1);
    return AppendMember(sourcePath, memberName) ? 0 : -1;
}

bool PackageArchive::AppendMember(const char* sourcePath, const char* memberName) {
    const char* name = memberName != nullptr ? memberName : sourcePath;
    size_t nameLength = std::strlen(name);
    if (endRecord_.signature != EndOfCentralDirectory::kSignature) {
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
    if (!CanTakeOneMoreEntry(endRecord_)) {
        return Fail(ArchiveError::TooManyEntries);
    }

    platform::File archive;
    if (!archive.Open(archivePath_, platform::Access::ReadWrite,
                      platform::Disposition::OpenExisting, platform::Sharing::ReadWrite)) {
        return Fail(ArchiveError::CannotOpenArchive);
    }
    // Nothing grows from claims that do not add up: the directory must end where the end
    // record begins, its entries fill it and their local records lie before it.
    ArchiveDirectory checked;
    if (ReadArchiveDirectory(archive, 0, checked) != ArchiveFault::None ||
        checked.end.directoryOffset != oldDirectoryOffset || checked.bytes != directory_) {
        return Fail(ArchiveError::BadDirectory);
    }
    platform::File source;
    if (!source.Open(sourcePath, platform::Access::Read, platform::Disposition::OpenExisting,
                     platform::Sharing::ReadWrite)) {
        return Fail(ArchiveError::CannotReadSource);
    }
    uint64_t dataAt = uint64_t{oldDirectoryOffset} + LocalFileHeader::kSize + nameLength;
    if (!archive.Seek(static_cast<int64_t>(dataAt), platform::SeekFrom::Begin)) {
        return Fail(ArchiveError::WriteFailed);
    }
    DeflateStream deflater;
    if (!deflater.Ready()) {
        return Fail(ArchiveError::CompressorFailed);
    }
    // Everything but the compressed data is known now; the data gets what is left of what a
    // package's 32-bit fields can describe.
    const uint64_t sizeLimit = kPackageSizeLimit - 1;
    uint64_t fixedPart = dataAt + oldDirectorySize + CentralFileHeader::kSize + nameLength +
                         EndOfCentralDirectory::kSize;
    if (fixedPart > sizeLimit) {
        return Fail(ArchiveError::TooLarge);
    }
    uint32_t crc = 0;
    uint64_t sourceSize = 0;
    uint64_t compressedSize = 0;
    ArchiveError error = DeflateSource(source, archive, deflater, sizeLimit - fixedPart, &crc,
                                       &sourceSize, &compressedSize, nullptr);
    if (error != ArchiveError::None) {
        return Fail(error);
    }
    source.Close();
    uint64_t dataEnd = dataAt + compressedSize;

    DeflatedMemberRecords records = MakeDeflatedMemberRecords(
        static_cast<uint32_t>(nameLength), crc, static_cast<uint32_t>(compressedSize),
        static_cast<uint32_t>(sourceSize), oldDirectoryOffset);
    EndOfCentralDirectory newEnd = EndAfterAppending(endRecord_, static_cast<uint32_t>(nameLength),
                                                     static_cast<uint32_t>(compressedSize));
    const auto endBytes = RecordBytes(newEnd);

    uint32_t nameSize = static_cast<uint32_t>(nameLength);
    bool written = archive.Seek(oldDirectoryOffset, platform::SeekFrom::Begin) &&
                   archive.Write(records.local.data(), LocalFileHeader::kSize) &&
                   archive.Write(name, nameSize) &&
                   archive.Seek(static_cast<int64_t>(dataEnd), platform::SeekFrom::Begin) &&
                   (oldDirectorySize == 0 || archive.Write(directory_.data(), oldDirectorySize)) &&
                   archive.Write(records.central.data(), CentralFileHeader::kSize) &&
                   archive.Write(name, nameSize) &&
                   archive.Write(endBytes.data(), EndOfCentralDirectory::kSize);
    directory_.clear();
    directory_.shrink_to_fit();
    if (!archive.Close() || !written) {
        return Fail(ArchiveError::WriteFailed);
    }
    endRecord_ = newEnd;
    return true;
}

}  // namespace package
