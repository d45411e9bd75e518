#include "package/package_inspect.h"

#include <algorithm>
#include <cstdio>

#include "package/archive_directory.h"
#include "package/byte_cursor.h"
#include "package/certificate_table.h"
#include "package/end_record_search.h"
#include "package/member_data.h"
#include "package/member_name.h"
#include "package/open_package.h"
#include "package/package_layout.h"
#include "package/zip_records.h"
#include "platform/file.h"
#include "platform/multibyte.h"

namespace package {
namespace {

std::string Format(const char* format, uint64_t a, uint64_t b = 0) {
    char text[200];
    std::snprintf(text, sizeof(text), format, static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
    return text;
}

bool ReadAt(platform::File& file, uint64_t offset, uint8_t* buffer, uint32_t size) {
    uint32_t got = 0;
    return file.Seek(static_cast<int64_t>(offset), platform::SeekFrom::Begin) &&
           file.Read(buffer, size, &got) && got == size;
}

bool ReadDirectory(platform::File& file, PackageContents& contents, std::string& problem) {
    EndOfCentralDirectory end;
    if (!ReadEndRecord(file, contents.overlayOffset, end, &contents.endRecordAt,
                       contents.archiveLimit)) {
        problem = "no ZIP end record behind the executable image";
        return false;
    }
    uint64_t archiveLength = contents.archiveLimit - contents.overlayOffset;
    uint64_t directoryEnd = uint64_t{end.directoryOffset} + end.directorySize;
    if (directoryEnd > archiveLength) {
        problem = "the central directory reaches past the end of the file";
        return false;
    }
    contents.archiveEnd =
        std::min(contents.archiveLimit, contents.overlayOffset + contents.endRecordAt +
                                            EndOfCentralDirectory::kSize + end.commentLength);
    std::vector<uint8_t> directory(end.directorySize);
    if (!directory.empty() && !ReadAt(file, contents.overlayOffset + end.directoryOffset,
                                      directory.data(), end.directorySize)) {
        problem = "the central directory cannot be read";
        return false;
    }
    ByteCursor cursor(directory.data(), directory.size());
    for (uint32_t i = 0; i < end.entriesOnDisk; ++i) {
        CentralFileHeader header;
        if (!ReadRecord(cursor, header) && !cursor.Ok()) {
            problem = Format("central directory entry %llu reaches past the directory", i + 1);
            return false;
        }
        const uint8_t* name = cursor.Bytes(header.nameLength);
        cursor.Skip(uint32_t{header.extraLength} + header.commentLength);
        if (header.signature != CentralFileHeader::kSignature || !cursor.Ok()) {
            problem = Format("central directory entry %llu is damaged", i + 1);
            return false;
        }
        contents.members.push_back(DescribeMember(header, name));
    }
    return true;
}

// Checks a member's local header and, for stored and deflated data, its CRC-32.
bool VerifyMember(platform::File& file, const PackageContents& contents,
                  const PackageMember& member, uint32_t directoryOffset, std::string& problem) {
    const std::string where = "member \"" + member.name + "\": ";
    const uint64_t headerAt = contents.overlayOffset + uint64_t{member.localHeaderOffset};
    uint8_t fixed[LocalFileHeader::kSize];
    LocalFileHeader header;
    ByteCursor cursor(fixed, sizeof(fixed));
    if (uint64_t{member.localHeaderOffset} + LocalFileHeader::kSize + member.name.size() +
                member.compressedSize >
            directoryOffset ||
        !ReadAt(file, headerAt, fixed, sizeof(fixed)) || !ReadRecord(cursor, header) ||
        header.nameLength != member.name.size()) {
        problem = where + "its local header is missing or does not match";
        return false;
    }
    std::string localName(member.name.size(), '\0');
    const uint64_t dataAt = uint64_t{member.localHeaderOffset} + header.Length();
    if (!ReadAt(file, headerAt + LocalFileHeader::kSize,
                reinterpret_cast<uint8_t*>(localName.data()),
                static_cast<uint32_t>(localName.size())) ||
        localName != member.name || dataAt + member.compressedSize > directoryOffset) {
        problem = where + "its local header does not match";
        return false;
    }
    if (member.method != kStoredMethod && member.method != kDeflateMethod) {
        return true;
    }
    MemberData data;
    data.at = contents.overlayOffset + dataAt;
    data.method = member.method;
    data.compressedSize = member.compressedSize;
    data.size = member.uncompressedSize;
    data.crc32 = member.crc32;
    switch (StreamMemberData(file, data, nullptr)) {
        case DataCheck::Ok:
            return true;
        case DataCheck::OutOfMemory:
            problem = where + "no memory to inflate it";
            return false;
        default:
            problem = where + "its data does not match its CRC-32 or size";
            return false;
    }
}

// Opens the package as every command does and finds the image end; the directory is walked
// here, more leniently than a change walks it, so that a listing shows what is stored.
bool OpenAndFindImageEnd(const char* packagePath, bool checksum, platform::File& file,
                         PackageContents& contents, std::string& problem) {
    contents = PackageContents{};
    PackageOpening how;
    how.sharing = platform::Sharing::ReadWrite;
    how.checksum = checksum;
    how.readDirectory = false;
    OpenedPackage opened;
    const OpenFault fault = OpenPackage(packagePath, how, opened);
    contents.recovery = opened.recovery;
    contents.size = opened.size;
    contents.checksum = opened.sum;
    contents.overlayOffset = opened.overlayOffset;
    contents.archiveLimit = opened.archiveEnd;
    contents.signature = opened.signature;
    file = std::move(opened.file);
    switch (fault) {
        case OpenFault::None:
            return true;
        case OpenFault::Recover:
            problem =
                "an earlier change was interrupted and cannot be rolled back (is it read-only?)";
            return false;
        case OpenFault::InProgress:
            problem = "another change to it is in progress";
            return false;
        case OpenFault::JournalWithoutPackage:
            problem = "it is missing or a folder, and the journal \"" +
                      std::string(opened.recovery.journalPath) +
                      "\" of an interrupted change stands beside it: nothing was rolled back";
            return false;
        case OpenFault::StaleJournal:
            problem = "the journal beside it belongs to another package";  // told in full apart
            return false;
        case OpenFault::OpenPackage:
        case OpenFault::Declined:
            problem = contents.size >= kPackageSizeLimit ? "the file is 4 GiB or larger"
                      : file.IsOpen()                    ? "cannot read the file"
                                                         : "cannot open the file";
            return false;
        case OpenFault::NotAnImage:
            problem = "not a PE executable image";
            return false;
        case OpenFault::NoOverlay:
            problem = Format("nothing follows the executable image, which ends at byte %llu",
                             contents.overlayOffset);
            return false;
        case OpenFault::BadArchive:
            break;
    }
    problem = "failed";
    return false;
}

constexpr uint16_t kEncryptedFlag = 0x1;
// A certificate table starts on an 8-byte boundary.
constexpr uint32_t kCertificateAlignment = 8;

// The file name, the text behind the last separator, is auto*.ins in any letter case.
bool NamesInstallScript(const std::string& name) {
    const char* slash = platform::FindLastChar(name.c_str(), '/');
    const char* backslash = platform::FindLastChar(name.c_str(), '\\');
    const char* last = slash > backslash ? slash : backslash;
    const std::string leaf = last != nullptr ? std::string(last + 1) : name;
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    auto matches = [&](size_t at, const char* text) {
        for (size_t i = 0; text[i] != '\0'; ++i) {
            if (lower(leaf[at + i]) != text[i]) {
                return false;
            }
        }
        return true;
    };
    return leaf.size() >= 8 && matches(0, "auto") && matches(leaf.size() - 4, ".ins");
}

class TextSink : public MemberSink {
  public:
    explicit TextSink(std::string& text) : text_(text) {}
    bool Write(const uint8_t* data, uint32_t size) override {
        if (text_.size() + size > kMostScriptBytes) {
            return false;
        }
        text_.append(reinterpret_cast<const char*>(data), size);
        return true;
    }

  private:
    std::string& text_;
};

// Reads a script member's bytes; the directory was walked leniently, so its local header is
// checked here as an extraction checks it.
void ReadScriptText(platform::File& file, const PackageContents& contents,
                    InstallScriptMember& script) {
    const PackageMember& member = contents.members[script.member];
    if ((member.flags & kEncryptedFlag) != 0) {
        script.problem = "it is encrypted";
        return;
    }
    if (member.method != kStoredMethod && member.method != kDeflateMethod) {
        script.problem =
            Format("its compression method %llu is neither stored nor deflated", member.method);
        return;
    }
    if (member.uncompressedSize > kMostScriptBytes) {
        script.problem = Format("it holds %llu bytes, more than the %llu a script is read for",
                                member.uncompressedSize, kMostScriptBytes);
        return;
    }
    uint8_t fixed[LocalFileHeader::kSize];
    LocalFileHeader header;
    ByteCursor cursor(fixed, sizeof(fixed));
    const uint64_t headerAt = contents.overlayOffset + uint64_t{member.localHeaderOffset};
    if (!ReadAt(file, headerAt, fixed, sizeof(fixed)) || !ReadRecord(cursor, header) ||
        uint64_t{member.localHeaderOffset} + header.Length() + member.compressedSize >
            contents.endRecordAt) {
        script.problem = "its local header is missing or damaged";
        return;
    }
    MemberData data;
    data.at = headerAt + header.Length();
    data.method = member.method;
    data.compressedSize = member.compressedSize;
    data.size = member.uncompressedSize;
    data.crc32 = member.crc32;
    TextSink sink(script.text);
    switch (StreamMemberData(file, data, &sink)) {
        case DataCheck::Ok:
            return;
        case DataCheck::OutOfMemory:
            script.problem = "no memory to inflate it";
            break;
        default:
            script.problem = "its data does not match its CRC-32 or size";
            break;
    }
    script.text.clear();
}

}  // namespace

bool InspectPackage(const char* packagePath, PackageInfo& info, std::string& problem) {
    info = PackageInfo{};
    platform::File file;
    if (!OpenAndFindImageEnd(packagePath, true, file, info.contents, problem)) {
        return false;
    }
    info.sectionsEnd = info.contents.overlayOffset;
    if (!FindImageSignature(file, info.signature) ||
        (info.signature.present && !CheckImageSignature(file, info.signature, info.check))) {
        problem = "cannot read the file";
        return false;
    }
    // A certificate table right behind the sections takes the place where the archive would
    // begin: the image was signed before the archive was appended, so the archive follows it.
    const ImageSignature& signature = info.signature;
    const uint64_t tableEnd = uint64_t{signature.offset} + signature.size;
    if (signature.present && signature.offset >= info.sectionsEnd &&
        signature.offset - info.sectionsEnd < kCertificateAlignment &&
        tableEnd < info.contents.size) {
        info.contents.overlayOffset = static_cast<uint32_t>(tableEnd);
    }
    if (!ReadDirectory(file, info.contents, problem)) {
        return false;
    }
    info.archiveRead = true;
    for (size_t i = 0; i < info.contents.members.size(); ++i) {
        if (NamesInstallScript(info.contents.members[i].name)) {
            InstallScriptMember script;
            script.member = i;
            ReadScriptText(file, info.contents, script);
            info.scripts.push_back(std::move(script));
        }
    }
    return true;
}

bool ReadPackageContents(const char* packagePath, PackageContents& contents, std::string& problem) {
    platform::File file;
    return OpenAndFindImageEnd(packagePath, false, file, contents, problem) &&
           ReadDirectory(file, contents, problem);
}

bool VerifyPackage(const char* packagePath, PackageContents& contents, std::string& problem) {
    platform::File file;
    // The whole file is read for the checksum here only: a listing has no use for it.
    if (!OpenAndFindImageEnd(packagePath, true, file, contents, problem) ||
        !ReadDirectory(file, contents, problem)) {
        return false;
    }
    if (contents.size % 4 != 0) {
        problem = Format("the length %llu is not a multiple of 4", contents.size);
        return false;
    }
    // A signature behind the archive must still hold, and a package signed after it was sealed
    // must be sealed again.
    SignatureCheck check;
    const bool trailing =
        IsTrailingCertificateTable(file, contents.size, contents.overlayOffset, contents.signature);
    if (trailing && !CheckImageSignature(file, contents.signature, check)) {
        problem = "cannot read the file";
        return false;
    }
    if (trailing && !check.intact) {
        problem = "its signature is not intact: " + check.problem;
        return false;
    }
    if (contents.checksum != 0) {
        problem = Format("the package checksum is 0x%08llX, not 0", contents.checksum);
        if (trailing) {
            problem += " (it was signed after it was sealed: \"ktl seal\" seals it again)";
        }
        return false;
    }
    ArchiveDirectory directory;
    ArchiveFault fault =
        ReadArchiveDirectory(file, contents.overlayOffset, directory, contents.archiveLimit);
    if (fault != ArchiveFault::None) {
        problem = DescribeArchiveFault(fault);
        if (directory.faultEntry != 0) {
            problem += Format(" (entry %llu)", directory.faultEntry);
        }
        return false;
    }
    const EndOfCentralDirectory& end = directory.end;
    uint64_t recordAt = directory.endRecordAt;
    uint64_t archiveLength = directory.archiveSize;
    if (recordAt + EndOfCentralDirectory::kSize + end.commentLength + 4 > archiveLength) {
        problem = "the end record and its comment run into the checksum word";
        return false;
    }
    for (const PackageMember& member : contents.members) {
        if (!VerifyMember(file, contents, member, end.directoryOffset, problem)) {
            return false;
        }
    }
    return true;
}

}  // namespace package
