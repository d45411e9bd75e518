#include <windows.h>

#include "tools/zor_setup/package_members.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>

#include "package/byte_cursor.h"
#include "package/zip_records.h"
#include "platform/file.h"
#include "platform/filesystem.h"

namespace zor_setup {
namespace {

constexpr uint16_t kStoredMethod = 0;
constexpr uint16_t kEncryptedFlag = 0x0001;
constexpr uint32_t kChunkSize = 65536;

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
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

// Copies or inflates `left` bytes from the package's current position into `output`,
// returning the CRC-32 and byte count of what was written.
bool CopyMemberData(platform::File& package, uint16_t method, uint32_t left, platform::File& output,
                    uint32_t& crc, uint64_t& produced) {
    auto input = std::make_unique<uint8_t[]>(kChunkSize);
    auto inflated = std::make_unique<uint8_t[]>(kChunkSize);
    z_stream stream{};
    if (method != kStoredMethod && inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        return false;
    }
    bool ok = true;
    int status = Z_OK;
    while (ok && left > 0 && status != Z_STREAM_END) {
        uint32_t want = std::min(left, kChunkSize);
        uint32_t got = 0;
        ok = package.Read(input.get(), want, &got) && got == want;
        left -= want;
        if (ok && method == kStoredMethod) {
            ok = output.Write(input.get(), got);
            crc = static_cast<uint32_t>(crc32(crc, input.get(), got));
            produced += got;
            continue;
        }
        stream.next_in = input.get();
        stream.avail_in = got;
        while (ok && status != Z_STREAM_END && (stream.avail_in > 0 || stream.avail_out == 0)) {
            stream.next_out = inflated.get();
            stream.avail_out = kChunkSize;
            status = inflate(&stream, Z_NO_FLUSH);
            // Z_BUF_ERROR only says a full output buffer had nothing more behind it.
            bool progressed = status == Z_OK || status == Z_STREAM_END ||
                              (status == Z_BUF_ERROR && stream.avail_in == 0);
            uint32_t count = kChunkSize - stream.avail_out;
            ok = progressed && output.Write(inflated.get(), count);
            crc = static_cast<uint32_t>(crc32(crc, inflated.get(), count));
            produced += count;
        }
    }
    if (method != kStoredMethod) {
        ok = ok && status == Z_STREAM_END;
        inflateEnd(&stream);
    }
    return ok;
}

}  // namespace

bool ReadOwnPackage(OwnPackage& own, std::string& problem) {
    char path[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    if (length == 0 || length >= sizeof(path)) {
        problem = "cannot find this program's own file";
        return false;
    }
    own.path = path;
    return package::ReadPackageContents(path, own.contents, problem);
}

bool IsSealed(const OwnPackage& own) {
    return own.contents.size % 4 == 0 && own.contents.checksum == 0;
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

const package::PackageMember* FindInstallScript(const package::PackageContents& contents) {
    for (const package::PackageMember& member : contents.members) {
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

bool ExtractMember(const OwnPackage& own, const package::PackageMember& member,
                   const char* outputPath, std::string& problem) {
    const std::string where = "member \"" + member.name + "\": ";
    if (member.method != kStoredMethod && member.method != package::kDeflateMethod) {
        problem =
            where + "compression method " + std::to_string(member.method) + " is not supported";
        return false;
    }
    platform::File package;
    if (!package.Open(own.path.c_str(), platform::Access::Read, platform::Disposition::OpenExisting,
                      platform::Sharing::ReadWrite)) {
        problem = "cannot open " + own.path;
        return false;
    }
    uint8_t header[package::local_header::kSize];
    uint64_t headerAt = uint64_t{own.contents.overlayOffset} + member.localHeaderOffset;
    uint32_t got = 0;
    if (headerAt + sizeof(header) > own.contents.size ||
        !package.Seek(static_cast<int64_t>(headerAt), platform::SeekFrom::Begin) ||
        !package.Read(header, sizeof(header), &got) || got != sizeof(header)) {
        problem = where + "its local header lies outside the package";
        return false;
    }
    package::ByteCursor cursor(header, sizeof(header));
    cursor.SeekTo(package::local_header::kFlagsAt);
    uint16_t flags = cursor.U16();
    cursor.SeekTo(package::local_header::kNameLengthAt);
    uint16_t nameLength = cursor.U16();
    uint16_t extraLength = cursor.U16();
    if (package::GetU32(header) != package::local_header::kSignature || !cursor.Ok() ||
        nameLength != member.name.size()) {
        problem = where + "its local header is damaged";
        return false;
    }
    if ((flags & kEncryptedFlag) != 0) {
        problem = where + "it is encrypted";
        return false;
    }
    uint64_t dataAt = headerAt + sizeof(header) + nameLength + extraLength;
    if (dataAt + member.compressedSize > own.contents.size ||
        !package.Seek(static_cast<int64_t>(dataAt), platform::SeekFrom::Begin)) {
        problem = where + "its data reaches past the end of the package";
        return false;
    }
    platform::File output;
    if (!output.Open(outputPath, platform::Access::Write, platform::Disposition::CreateAlways)) {
        problem = where + "cannot create " + outputPath;
        return false;
    }
    uint32_t crc = 0;
    uint64_t produced = 0;
    bool copied =
        CopyMemberData(package, member.method, member.compressedSize, output, crc, produced);
    bool closed = output.Close();
    if (!copied || !closed || crc != member.crc32 || produced != member.uncompressedSize) {
        platform::DeletePath(outputPath);
        problem = where + "its data is damaged or could not be written to " + outputPath;
        return false;
    }
    return true;
}

}  // namespace zor_setup
