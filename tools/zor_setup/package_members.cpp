#include <windows.h>

#include "tools/zor_setup/package_members.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>

namespace zor_setup {
namespace {

// The ZIP records, as far as this reader looks at them: signatures, fixed lengths and the
// offsets of the fields it reads.
constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kEndSignature = 0x06054B50;
constexpr size_t kLocalSize = 30;
constexpr size_t kCentralSize = 46;
constexpr size_t kEndSize = 22;
constexpr size_t kLongestComment = 0xFFFF;

constexpr size_t kLocalNameLengthAt = 26;
constexpr size_t kLocalExtraLengthAt = 28;
constexpr size_t kCentralFlagsAt = 8;
constexpr size_t kCentralMethodAt = 10;
constexpr size_t kCentralCrcAt = 16;
constexpr size_t kCentralCompressedSizeAt = 20;
constexpr size_t kCentralSizeAt = 24;
constexpr size_t kCentralNameLengthAt = 28;
constexpr size_t kCentralExtraLengthAt = 30;
constexpr size_t kCentralCommentLengthAt = 32;
constexpr size_t kCentralLocalHeaderAt = 42;
constexpr size_t kEndEntriesAt = 10;
constexpr size_t kEndDirectorySizeAt = 12;
constexpr size_t kEndDirectoryOffsetAt = 16;

// The image headers, as far as it takes to find a certificate table at the end of the file:
// an organisation's signer appends one behind everything else, the archive included.
constexpr size_t kNewHeaderOffsetAt = 0x3C;
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr size_t kFileHeaderAt = 4;
constexpr size_t kSectionCountAt = kFileHeaderAt + 2;
constexpr size_t kOptionalSizeAt = kFileHeaderAt + 16;
constexpr size_t kOptionalAt = kFileHeaderAt + 20;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr size_t kPe32DirectoriesAt = 96;  // within the optional header
constexpr size_t kPe32PlusDirectoriesAt = 112;
constexpr size_t kSecurityDirectoryAt = 4 * 8;  // entry 4: file offset, size
constexpr size_t kSectionSize = 40;
constexpr size_t kSectionRawSizeAt = 16;
constexpr size_t kSectionRawOffsetAt = 20;
constexpr size_t kCertificateHeaderSize = 8;
constexpr size_t kCertificateRevisionAt = 4;
constexpr size_t kCertificateTypeAt = 6;
constexpr uint16_t kCertificateRevision = 0x0200;
constexpr uint16_t kPkcsSignedData = 2;

constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;
constexpr uint16_t kEncryptedFlag = 0x0001;

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// Little-endian fields; the callers have checked that the bytes are there.
uint16_t Le16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

uint32_t Le32(const uint8_t* at) {
    return uint32_t{at[0]} | (uint32_t{at[1]} << 8) | (uint32_t{at[2]} << 16) |
           (uint32_t{at[3]} << 24);
}

bool ReadWholeFile(const char* path, std::vector<uint8_t>& bytes) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "rb"), &std::fclose);
    if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) {
        return false;
    }
    long length = std::ftell(file.get());
    if (length < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
        return false;
    }
    bytes.resize(static_cast<size_t>(length));
    return std::fread(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
}

// A field that lies wholly inside the bytes; false when it does not.
bool Field16(const std::vector<uint8_t>& bytes, uint64_t at, uint16_t& value) {
    if (at > bytes.size() || bytes.size() - at < 2) {
        return false;
    }
    value = Le16(bytes.data() + at);
    return true;
}

bool Field32(const std::vector<uint8_t>& bytes, uint64_t at, uint32_t& value) {
    if (at > bytes.size() || bytes.size() - at < 4) {
        return false;
    }
    value = Le32(bytes.data() + at);
    return true;
}

// Where the archive's bytes end: at a signer's certificate table when the image's security
// directory names one that closes the file and lies behind the image's sections, else at the
// end of the file. A table between the image and the archive is left to the search as before.
size_t ArchiveLimit(const std::vector<uint8_t>& bytes) {
    uint32_t peAt = 0, signature = 0, tableAt = 0, tableSize = 0, certificateLength = 0;
    uint16_t sectionCount = 0, optionalSize = 0, magic = 0, revision = 0, type = 0;
    if (!Field32(bytes, kNewHeaderOffsetAt, peAt) || !Field32(bytes, peAt, signature) ||
        signature != kPeSignature ||
        !Field16(bytes, uint64_t{peAt} + kSectionCountAt, sectionCount) ||
        !Field16(bytes, uint64_t{peAt} + kOptionalSizeAt, optionalSize) ||
        !Field16(bytes, uint64_t{peAt} + kOptionalAt, magic)) {
        return bytes.size();
    }
    const uint64_t optionalAt = uint64_t{peAt} + kOptionalAt;
    const size_t directoriesAt = magic == kPe32Magic       ? kPe32DirectoriesAt
                                 : magic == kPe32PlusMagic ? kPe32PlusDirectoriesAt
                                                           : 0;
    const size_t entryAt = directoriesAt + kSecurityDirectoryAt;
    if (directoriesAt == 0 || entryAt + 8 > optionalSize ||
        !Field32(bytes, optionalAt + entryAt, tableAt) ||
        !Field32(bytes, optionalAt + entryAt + 4, tableSize) ||
        tableSize < kCertificateHeaderSize || uint64_t{tableAt} + tableSize != bytes.size() ||
        tableAt % 8 != 0 || !Field32(bytes, tableAt, certificateLength) ||
        !Field16(bytes, uint64_t{tableAt} + kCertificateRevisionAt, revision) ||
        !Field16(bytes, uint64_t{tableAt} + kCertificateTypeAt, type) ||
        certificateLength < kCertificateHeaderSize || certificateLength > tableSize ||
        revision != kCertificateRevision || type != kPkcsSignedData) {
        return bytes.size();
    }
    const uint64_t sectionsAt = optionalAt + optionalSize;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        uint32_t rawSize = 0, rawAt = 0;
        if (!Field32(bytes, sectionsAt + i * kSectionSize + kSectionRawSizeAt, rawSize) ||
            !Field32(bytes, sectionsAt + i * kSectionSize + kSectionRawOffsetAt, rawAt) ||
            (rawSize != 0 && uint64_t{rawAt} + rawSize > tableAt)) {
            return bytes.size();
        }
    }
    return tableAt;
}

// The end record nearest the end of the archive's bytes whose directory fits below it; the
// position of that record, or false.
bool FindEndRecord(const std::vector<uint8_t>& bytes, size_t& recordAt) {
    const size_t limit = ArchiveLimit(bytes);
    if (limit < kEndSize) {
        return false;
    }
    size_t lowest =
        limit - kEndSize > kLongestComment + 8 ? limit - kEndSize - kLongestComment - 8 : 0;
    for (size_t at = limit - kEndSize + 1; at-- > lowest;) {
        const uint8_t* record = bytes.data() + at;
        if (Le32(record) == kEndSignature &&
            uint64_t{Le32(record + kEndDirectorySizeAt)} + Le32(record + kEndDirectoryOffsetAt) <=
                at) {
            recordAt = at;
            return true;
        }
    }
    return false;
}

// Walks the central directory, which must hold exactly the entries the end record counts.
bool ReadDirectory(OwnPackage& own, size_t recordAt, std::string& problem) {
    const uint8_t* record = own.bytes.data() + recordAt;
    const uint16_t count = Le16(record + kEndEntriesAt);
    const size_t directoryAt = recordAt - Le32(record + kEndDirectorySizeAt);
    own.archiveStart = directoryAt - Le32(record + kEndDirectoryOffsetAt);
    size_t at = directoryAt;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* entry = own.bytes.data() + at;
        if (recordAt - at < kCentralSize || Le32(entry) != kCentralSignature ||
            recordAt - at < kCentralSize + Le16(entry + kCentralNameLengthAt) +
                                Le16(entry + kCentralExtraLengthAt) +
                                Le16(entry + kCentralCommentLengthAt)) {
            problem = "central directory entry " + std::to_string(i + 1) + " is damaged";
            return false;
        }
        const size_t nameLength = Le16(entry + kCentralNameLengthAt);
        own.members.push_back(Member{
            std::string(reinterpret_cast<const char*>(entry + kCentralSize), nameLength), at});
        at += kCentralSize + nameLength + Le16(entry + kCentralExtraLengthAt) +
              Le16(entry + kCentralCommentLengthAt);
    }
    if (at != recordAt) {
        problem = "the central directory holds more than its end record counts";
        return false;
    }
    return true;
}

// The member's bytes as stored or inflated, checked against its size and CRC-32.
bool MemberBytes(const OwnPackage& own, const Member& member, std::vector<uint8_t>& data,
                 std::string& problem) {
    const std::string where = "member \"" + member.name + "\": ";
    const uint8_t* entry = own.bytes.data() + member.entryAt;
    const uint16_t method = Le16(entry + kCentralMethodAt);
    const uint32_t compressedSize = Le32(entry + kCentralCompressedSizeAt);
    const uint32_t size = Le32(entry + kCentralSizeAt);
    if ((Le16(entry + kCentralFlagsAt) & kEncryptedFlag) != 0) {
        problem = where + "it is encrypted";
        return false;
    }
    if (method != kStored && method != kDeflated) {
        problem = where + "compression method " + std::to_string(method) + " is not supported";
        return false;
    }
    // Deflate packs at most 1032 bytes into one; a size beyond that is a damaged entry, not
    // a reason to ask for gigabytes.
    if (uint64_t{size} > uint64_t{compressedSize} * 1032 + 1024) {
        problem = where + "its size does not fit its compressed size";
        return false;
    }
    const uint64_t headerAt = own.archiveStart + Le32(entry + kCentralLocalHeaderAt);
    if (headerAt + kLocalSize + member.name.size() > own.bytes.size()) {
        problem = where + "its local header lies outside the package";
        return false;
    }
    const uint8_t* header = own.bytes.data() + headerAt;
    const std::string localName(reinterpret_cast<const char*>(header + kLocalSize),
                                member.name.size());
    if (Le32(header) != kLocalSignature ||
        Le16(header + kLocalNameLengthAt) != member.name.size() || localName != member.name) {
        problem = where + "its local header is missing or does not match";
        return false;
    }
    const uint64_t dataAt = headerAt + kLocalSize + Le16(header + kLocalNameLengthAt) +
                            Le16(header + kLocalExtraLengthAt);
    if (dataAt + compressedSize > own.bytes.size()) {
        problem = where + "its data reaches past the end of the package";
        return false;
    }
    const uint8_t* stored = own.bytes.data() + dataAt;
    bool complete = false;
    if (method == kStored) {
        complete = compressedSize == size;
        data.assign(stored, stored + (complete ? compressedSize : 0));
    } else {
        z_stream stream{};
        if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
            problem = where + "no memory to inflate it";
            return false;
        }
        // One call inflates it all: the whole input, and room for the size it claims and one
        // byte more, which must stay unused.
        data.assign(size_t{size} + 1, 0);
        stream.next_in = const_cast<Bytef*>(stored);
        stream.avail_in = compressedSize;
        stream.next_out = data.data();
        stream.avail_out = static_cast<uInt>(data.size());
        complete = inflate(&stream, Z_FINISH) == Z_STREAM_END && stream.total_out == size;
        inflateEnd(&stream);
        data.resize(size);
    }
    if (!complete ||
        crc32(0, data.data(), static_cast<uInt>(data.size())) != Le32(entry + kCentralCrcAt)) {
        problem = where + "its data does not match its size or CRC-32";
        return false;
    }
    return true;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t length = std::char_traits<char>::length(prefix);
    if (text.size() < length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

bool EndsWithNoCase(const std::string& text, const char* suffix) {
    size_t length = std::char_traits<char>::length(suffix);
    return text.size() >= length && StartsWithNoCase(text.substr(text.size() - length), suffix);
}

}  // namespace

bool ReadPackageFile(const char* path, OwnPackage& own, std::string& problem) {
    own = OwnPackage{};
    own.path = path;
    if (!ReadWholeFile(path, own.bytes)) {
        problem = "cannot read " + own.path;
        return false;
    }
    size_t recordAt = 0;
    if (!FindEndRecord(own.bytes, recordAt)) {
        problem = "no ZIP end record behind the executable image";
        return false;
    }
    return ReadDirectory(own, recordAt, problem);
}

bool ReadOwnPackage(OwnPackage& own, std::string& problem) {
    char path[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    if (length == 0 || length >= sizeof(path)) {
        problem = "cannot find this program's own file";
        return false;
    }
    return ReadPackageFile(path, own, problem);
}

uint32_t MemberSize(const OwnPackage& own, const Member& member) {
    return Le32(own.bytes.data() + member.entryAt + kCentralSizeAt);
}

bool IsSealed(const OwnPackage& own) {
    if (own.bytes.size() % 4 != 0) {
        return false;
    }
    uint32_t sum = 0;
    for (size_t at = 0; at < own.bytes.size(); at += 4) {
        sum += Le32(own.bytes.data() + at);
    }
    return sum == 0;
}

bool IsInstallScriptName(const std::string& name) {
    std::string leaf = name;
    if (StartsWithNoCase(name, "InstallScript") && name.size() > 13 && IsSeparator(name[13])) {
        leaf = name.substr(14);
    }
    // "auto.ins" is the shortest name the pattern takes.
    return leaf.size() >= 8 && StartsWithNoCase(leaf, "auto") && EndsWithNoCase(leaf, ".ins") &&
           NameComponents(leaf).size() == 1;
}

const Member* FindInstallScript(const OwnPackage& own) {
    for (const Member& member : own.members) {
        if (IsInstallScriptName(member.name)) {
            return &member;
        }
    }
    return nullptr;
}

bool EndsWithSeparator(const std::string& text) {
    bool separatorLast = false;
    for (size_t i = 0; i < text.size(); ++i) {
        separatorLast = IsSeparator(text[i]);
        if (IsDBCSLeadByte(static_cast<BYTE>(text[i]))) {
            ++i;
        }
    }
    return separatorLast;
}

bool IsDirectoryName(const std::string& name) {
    return EndsWithSeparator(name);
}

std::vector<std::string> NameComponents(const std::string& name) {
    std::vector<std::string> components(1);
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (IsDBCSLeadByte(static_cast<BYTE>(c)) && i + 1 < name.size()) {
            components.back() += c;
            components.back() += name[++i];
        } else if (IsSeparator(c)) {
            components.emplace_back();
        } else {
            components.back() += c;
        }
    }
    std::erase_if(components, [](const std::string& part) { return part.empty(); });
    return components;
}

bool IsSafeMemberName(const std::string& name) {
    std::vector<std::string> components = NameComponents(name);
    if (components.empty() || IsSeparator(name.front()) || name.find(':') != std::string::npos) {
        return false;
    }
    return std::none_of(components.begin(), components.end(),
                        [](const std::string& part) { return part == ".."; });
}

bool ExtractMember(const OwnPackage& own, const Member& member, const char* outputPath,
                   std::string& problem) {
    std::vector<uint8_t> data;
    if (!MemberBytes(own, member, data, problem)) {
        return false;
    }
    std::FILE* output = std::fopen(outputPath, "wb");
    if (output == nullptr) {
        problem = "member \"" + member.name + "\": cannot create " + outputPath;
        return false;
    }
    bool written = std::fwrite(data.data(), 1, data.size(), output) == data.size();
    if (std::fclose(output) != 0 || !written) {
        DeleteFileA(outputPath);
        problem = "member \"" + member.name + "\": cannot write " + outputPath;
        return false;
    }
    return true;
}

}  // namespace zor_setup
