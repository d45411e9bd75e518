#include "package/member_extract.h"

#include <cstring>
#include <new>

#include "package/byte_cursor.h"
#include "package/insert_file.h"
#include "package/member_lookup.h"
#include "package/member_name.h"
#include "package/open_package.h"
#include "package/package_archive.h"
#include "package/package_layout.h"
#include "platform/filesystem.h"
#include "platform/multibyte.h"

namespace package {
namespace {

constexpr uint16_t kEncryptedFlag = 0x1;

class FileSink : public MemberSink {
  public:
    explicit FileSink(platform::File& file) : file_(file) {}
    bool Write(const uint8_t* data, uint32_t size) override { return file_.Write(data, size); }

  private:
    platform::File& file_;
};

class Extraction {
  public:
    explicit Extraction(ExtractDetail* detail) : detail_(detail) {}

    // Finds the member and checks that it can be read out; nothing is written.
    ExtractResult Locate(const char* packagePath, const char* memberName) {
        if (!platform::FitsPathBuffer(packagePath) || memberName[0] == '\0' ||
            !platform::FitsPathBuffer(memberName)) {
            return Fail(ExtractStep::BadArguments, kInsertFailed);
        }
        OpenedPackage opened;
        const OpenFault fault = OpenPackage(packagePath, PackageOpening{}, opened);
        if (detail_ != nullptr) {
            detail_->recovery = opened.recovery;
            detail_->archiveFault = opened.archiveFault;
        }
        switch (fault) {
            case OpenFault::None:
                break;
            case OpenFault::Recover:
                return Fail(ExtractStep::Recover, kInsertFailed);
            case OpenFault::StaleJournal:
                return Fail(ExtractStep::StaleJournal, kInsertFailed);
            case OpenFault::InProgress:
                return Fail(ExtractStep::InProgress, kInsertFailed);
            case OpenFault::JournalWithoutPackage:
                return Fail(ExtractStep::JournalWithoutPackage, kInsertFailed);
            case OpenFault::NotAnImage:
                return Fail(ExtractStep::NotAnImage, kInsertFailed);
            case OpenFault::NoOverlay:
                return Fail(ExtractStep::NoOverlay, kInsertFailed);
            case OpenFault::BadArchive:
                return Fail(ExtractStep::BadArchive, kInsertFailed);
            case OpenFault::OpenPackage:
            case OpenFault::Declined:  // no question is asked here
                return Fail(ExtractStep::OpenPackage, kInsertFailed);
        }
        package_ = std::move(opened.file);
        archiveStart_ = opened.overlayOffset;
        const ArchiveDirectory& directory = opened.directory;
        std::vector<DirectoryEntry> entries = ListEntries(directory);
        std::vector<size_t> found =
            FindMembers(entries, memberName, MemberKinds::FilesAndDirectories);
        if (found.empty()) {
            return Fail(ExtractStep::NoSuchMember, kNoSuchMember);
        }
        const DirectoryEntry& entry = entries[found.front()];
        const CentralFileHeader& header = entry.header;
        NoteMember(entry);
        PathBuffer name = {};
        std::memcpy(name, entry.name, header.nameLength);  // a match fits the buffer
        if (NamesDirectory(name)) {
            return Fail(ExtractStep::DirectoryMember, kInsertFailed);
        }
        if ((header.flags & kEncryptedFlag) != 0) {
            return Fail(ExtractStep::Encrypted, kInsertFailed);
        }
        if (header.method != kStoredMethod && header.method != kDeflateMethod) {
            if (detail_ != nullptr) {
                detail_->method = header.method;
            }
            return Fail(ExtractStep::UnsupportedMethod, kInsertFailed);
        }
        // The sizes and CRC come from the directory: a local header followed by a data
        // descriptor holds zeros there.
        uint8_t bytes[LocalFileHeader::kSize];
        uint32_t got = 0;
        if (!package_.Seek(static_cast<int64_t>(archiveStart_ + header.localHeaderOffset),
                           platform::SeekFrom::Begin) ||
            !package_.Read(bytes, sizeof(bytes), &got)) {
            return Fail(ExtractStep::OpenPackage, kInsertFailed);
        }
        ByteCursor cursor(bytes, got);
        LocalFileHeader local;
        const bool localRead = ReadRecord(cursor, local);
        uint64_t dataAt = uint64_t{header.localHeaderOffset} + local.Length();
        if (!localRead || dataAt + header.compressedSize > directory.end.directoryOffset) {
            return Fail(ExtractStep::DamagedMember, kInsertFailed);
        }
        data_.at = archiveStart_ + dataAt;
        data_.method = header.method;
        data_.compressedSize = header.compressedSize;
        data_.size = header.uncompressedSize;
        data_.crc32 = header.crc32;
        return 0;
    }

    ExtractResult Stream(MemberSink& sink) {
        switch (StreamMemberData(package_, data_, &sink)) {
            case DataCheck::Ok:
                return 0;
            case DataCheck::Unreadable:
                return Fail(ExtractStep::OpenPackage, kInsertFailed);
            case DataCheck::Damaged:
                return Fail(ExtractStep::DamagedMember, kInsertFailed);
            case DataCheck::Mismatch:
                return Fail(ExtractStep::CrcMismatch, kInsertFailed);
            case DataCheck::SinkFailed:
                return Fail(ExtractStep::WriteOutput, kInsertFailed);
            case DataCheck::OutOfMemory:
                break;
        }
        return Fail(ExtractStep::OutOfMemory, kInsertFailed);
    }

    ExtractResult ToFile(const char* packagePath, const char* outputPath) {
        if (!platform::FitsPathBuffer(outputPath) || outputPath[0] == '\0' ||
            platform::SamePathText(outputPath, packagePath) ||
            platform::NamesSameFile(package_, outputPath)) {
            return Fail(ExtractStep::CreateOutput, kInsertCannotCreateOutput);
        }
        platform::File output;
        if (!output.Open(outputPath, platform::Access::Write,
                         platform::Disposition::CreateAlways)) {
            return Fail(ExtractStep::CreateOutput, kInsertCannotCreateOutput);
        }
        FileSink sink(output);
        ExtractResult result = Stream(sink);
        if (result == 0 && !(output.Flush() && output.Close())) {
            result = Fail(ExtractStep::WriteOutput, kInsertFailed);
        }
        if (result != 0) {
            output.Close();
            platform::DeletePath(outputPath);
        }
        return result;
    }

  private:
    void NoteMember(const DirectoryEntry& entry) {
        if (detail_ == nullptr) {
            return;
        }
        detail_->member = DescribeMember(entry.header, entry.name);
    }

    ExtractResult Fail(ExtractStep step, ExtractResult result) {
        if (detail_ != nullptr) {
            detail_->step = step;
        }
        return result;
    }

    ExtractDetail* detail_;
    platform::File package_;
    uint32_t archiveStart_ = 0;
    MemberData data_;
};

template <typename Body>
ExtractResult Guarded(ExtractDetail* detail, Body&& body) {
    if (detail != nullptr) {
        *detail = ExtractDetail{};
    }
    try {
        return body();
    } catch (const std::bad_alloc&) {
        if (detail != nullptr) {
            detail->step = ExtractStep::OutOfMemory;
        }
        return kInsertFailed;
    }
}

}  // namespace

ExtractResult ExtractMember(const char* packagePath, const char* memberName, MemberSink& sink,
                            ExtractDetail* detail) {
    return Guarded(detail, [&]() {
        Extraction extraction(detail);
        ExtractResult located = extraction.Locate(packagePath, memberName);
        return located != 0 ? located : extraction.Stream(sink);
    });
}

ExtractResult ExtractMemberToFile(const char* packagePath, const char* memberName,
                                  const char* outputPath, ExtractDetail* detail) {
    return Guarded(detail, [&]() {
        Extraction extraction(detail);
        ExtractResult located = extraction.Locate(packagePath, memberName);
        return located != 0 ? located : extraction.ToFile(packagePath, outputPath);
    });
}

}  // namespace package
