#include "unit/test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "package/byte_cursor.h"

namespace test {
namespace {

#ifdef _WIN32
constexpr char kSep = '\\';
const char* kTempVariable = "TMP";
#else
constexpr char kSep = '/';
const char* kTempVariable = "TMPDIR";
#endif

void SetTempVariable(const std::string& value) {
#ifdef _WIN32
    SetEnvironmentVariableA(kTempVariable, value.empty() ? nullptr : value.c_str());
#else
    if (value.empty()) {
        unsetenv(kTempVariable);
    } else {
        setenv(kTempVariable, value.c_str(), 1);
    }
#endif
}

std::string GetTempVariable() {
#ifdef _WIN32
    char value[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableA(kTempVariable, value, sizeof(value));
    return length > 0 && length < sizeof(value) ? value : "";
#else
    const char* value = std::getenv(kTempVariable);
    return value != nullptr ? value : "";
#endif
}

bool IsDirectory(const std::string& path) {
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
#endif
}

}  // namespace

std::string Join(const std::string& directory, const std::string& name) {
    return directory + kSep + name;
}

ScratchDir::ScratchDir([[maybe_unused]] const char* folder) {
    static int counter = 0;
#ifdef _WIN32
    char base[MAX_PATH];
    GetTempPathA(sizeof(base), base);
    std::string root = base;
    for (;;) {
        path_ = root + "ktltest" + std::to_string(GetCurrentProcessId()) + "_" +
                std::to_string(++counter);
        if (CreateDirectoryA(path_.c_str(), nullptr)) {
            break;
        }
    }
#else
    const char* base = folder != nullptr ? folder : std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/ktltestXXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    path_ = mkdtemp(buffer.data());
    ++counter;
#endif
    std::string temp = Join(path_, "tmp");
#ifdef _WIN32
    CreateDirectoryA(temp.c_str(), nullptr);
#else
    mkdir(temp.c_str(), 0777);
#endif
    savedTemp_ = GetTempVariable();
    SetTempVariable(temp);
}

ScratchDir::~ScratchDir() {
    SetTempVariable(savedTemp_);
    RemoveTree(path_);
}

std::string ScratchDir::File(const std::string& name) const {
    return Join(path_, name);
}

std::vector<std::string> ScratchDir::TempEntries() const {
    return ListDirectory(Join(path_, "tmp"));
}

std::vector<std::string> ScratchDir::Entries() const {
    std::vector<std::string> names;
    for (const std::string& name : ListDirectory(path_)) {
        if (name != "tmp") {
            names.push_back(name);
        }
    }
    return names;
}

std::vector<std::string> ListDirectory(const std::string& path) {
    std::vector<std::string> names;
#ifdef _WIN32
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(Join(path, "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
#else
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) {
        return names;
    }
    while (dirent* entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(directory);
#endif
    return names;
}

void RemoveTree(const std::string& path) {
    for (const std::string& name : ListDirectory(path)) {
        std::string child = Join(path, name);
        if (IsDirectory(child)) {
            RemoveTree(child);
        } else {
#ifdef _WIN32
            SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
#endif
            std::remove(child.c_str());
        }
    }
#ifdef _WIN32
    RemoveDirectoryA(path.c_str());
#else
    rmdir(path.c_str());
#endif
}

bool WriteBytes(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
#ifdef _WIN32
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
#endif
}

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes PatternBytes(size_t size, uint32_t seed) {
    Bytes data(size);
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        // Half noise, half text-like runs, so deflate has work of both kinds.
        data[i] = (i / 4096) % 2 ? static_cast<uint8_t>(state >> 16)
                                 : static_cast<uint8_t>("kit tailor "[i % 11]);
    }
    return data;
}

Bytes MakePeImage(const std::vector<std::pair<uint32_t, uint32_t>>& sections, size_t length) {
    Bytes image(length, 0xCC);
    const uint32_t e = 0x80;
    std::memset(image.data(), 0, std::min<size_t>(length, e + 248 + 40 * sections.size()));
    image[0] = 'M';
    image[1] = 'Z';
    package::PutU32(&image[0x3C], e);
    image[e] = 'P';
    image[e + 1] = 'E';
    package::PutU16(&image[e + 4], 0x14C);
    package::PutU16(&image[e + 6], static_cast<uint16_t>(sections.size()));
    package::PutU16(&image[e + 20], 224);
    package::PutU16(&image[e + 24], 0x10B);
    for (size_t i = 0; i < sections.size(); ++i) {
        uint8_t* header = &image[e + 248 + 40 * i];
        std::memcpy(header, ".sect", 5);
        package::PutU32(header + 16, sections[i].second);
        package::PutU32(header + 20, sections[i].first);
    }
    return image;
}

Bytes MakeZip(const std::vector<ZipMember>& members, const std::string& comment) {
    Bytes out;
    Bytes directory;
    auto put16 = [](Bytes& b, uint16_t v) {
        b.push_back(static_cast<uint8_t>(v));
        b.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto put32 = [&](Bytes& b, uint32_t v) {
        put16(b, static_cast<uint16_t>(v));
        put16(b, static_cast<uint16_t>(v >> 16));
    };
    for (const ZipMember& m : members) {
        uint32_t crc =
            static_cast<uint32_t>(crc32(0, m.data.data(), static_cast<uInt>(m.data.size())));
        uint32_t offset = static_cast<uint32_t>(out.size());
        uint32_t size = static_cast<uint32_t>(m.data.size());
        put32(out, 0x04034B50);
        put16(out, 10);
        put16(out, 0);
        put16(out, 0);
        put32(out, 0);
        put32(out, crc);
        put32(out, size);
        put32(out, size);
        put16(out, static_cast<uint16_t>(m.name.size()));
        put16(out, 0);
        out.insert(out.end(), m.name.begin(), m.name.end());
        out.insert(out.end(), m.data.begin(), m.data.end());
        put32(directory, 0x02014B50);
        put16(directory, 20);
        put16(directory, 10);
        put16(directory, 0);
        put16(directory, 0);
        put32(directory, 0);
        put32(directory, crc);
        put32(directory, size);
        put32(directory, size);
        put16(directory, static_cast<uint16_t>(m.name.size()));
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, 0);
        put32(directory, 0);
        put32(directory, offset);
        directory.insert(directory.end(), m.name.begin(), m.name.end());
    }
    uint32_t directoryOffset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), directory.begin(), directory.end());
    put32(out, 0x06054B50);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<uint16_t>(members.size()));
    put16(out, static_cast<uint16_t>(members.size()));
    put32(out, static_cast<uint32_t>(directory.size()));
    put32(out, directoryOffset);
    put16(out, static_cast<uint16_t>(comment.size()));
    out.insert(out.end(), comment.begin(), comment.end());
    return out;
}

uint32_t Checksum(const Bytes& data) {
    uint32_t sum = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        sum += static_cast<uint32_t>(data[i]) << (8 * (i % 4));
    }
    return sum;
}

Bytes Sealed(Bytes data) {
    while (data.size() % 4 != 0) {
        data.push_back(0);
    }
    uint32_t word = 0u - Checksum(data);
    for (int i = 0; i < 4; ++i) {
        data.push_back(static_cast<uint8_t>(word >> (8 * i)));
    }
    return data;
}

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

Bytes MakePackage(const Bytes& archive) {
    return Sealed(
        Concat(MakePeImage({{0x400, 0x1000}, {0x1400, 0x400}}, kPackageImageEnd), archive));
}

Bytes MakeSignablePackage(const Bytes& archive, bool pe32Plus) {
    const std::vector<std::pair<uint32_t, uint32_t>> sections = {{0x400, 0x1000}, {0x1400, 0x400}};
    const uint32_t e = 0x80;
    const uint32_t optionalSize = pe32Plus ? 240 : 224;
    const uint32_t tableAt = e + 24 + optionalSize;
    Bytes image(kPackageImageEnd, 0xCC);
    std::memset(image.data(), 0, tableAt + 40 * sections.size());
    image[0] = 'M';
    image[1] = 'Z';
    package::PutU32(&image[0x3C], e);
    image[e] = 'P';
    image[e + 1] = 'E';
    package::PutU16(&image[e + 4], pe32Plus ? 0x8664 : 0x14C);
    package::PutU16(&image[e + 6], static_cast<uint16_t>(sections.size()));
    package::PutU16(&image[e + 20], static_cast<uint16_t>(optionalSize));
    package::PutU16(&image[e + 22], pe32Plus ? 0x0022 : 0x0102);  // executable; 32-bit words
    uint8_t* optional = &image[e + 24];
    package::PutU16(optional, pe32Plus ? 0x20B : 0x10B);
    package::PutU32(optional + 32, 0x1000);  // SectionAlignment
    package::PutU32(optional + 36, 0x200);   // FileAlignment
    package::PutU32(optional + 56, 0x3000);  // SizeOfImage
    package::PutU32(optional + 60, 0x400);   // SizeOfHeaders
    package::PutU16(optional + 68, 2);       // Subsystem: GUI
    // NumberOfRvaAndSizes: every directory, the security entry (4) among them.
    package::PutU32(optional + (pe32Plus ? 108 : 92), 16);
    for (size_t i = 0; i < sections.size(); ++i) {
        uint8_t* header = &image[tableAt + 40 * i];
        std::memcpy(header, ".sect", 5);
        const uint32_t virtualAddress = 0x1000 * static_cast<uint32_t>(i + 1);
        package::PutU32(header + 8, sections[i].second);  // VirtualSize
        package::PutU32(header + 12, virtualAddress);
        package::PutU32(header + 16, sections[i].second);
        package::PutU32(header + 20, sections[i].first);
    }
    return Sealed(Concat(image, archive));
}

Bytes Inflate(const uint8_t* data, size_t size, bool* ok) {
    Bytes out;
    z_stream stream{};
    *ok = inflateInit2(&stream, -MAX_WBITS) == Z_OK;
    if (!*ok) {
        return out;
    }
    stream.next_in = const_cast<uint8_t*>(data);
    stream.avail_in = static_cast<uInt>(size);
    uint8_t chunk[16384];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = chunk;
        stream.avail_out = sizeof(chunk);
        status = inflate(&stream, Z_NO_FLUSH);
        out.insert(out.end(), chunk, chunk + (sizeof(chunk) - stream.avail_out));
    }
    *ok = status == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    return out;
}

std::vector<ReadMember> ReadArchive(const Bytes& archive) {
    using package::GetU16;
    using package::GetU32;
    std::vector<ReadMember> members;
    // The signature nearest the end: test archives hold no other.
    size_t end = std::string::npos;
    for (size_t back = 22; back <= archive.size(); ++back) {
        if (GetU32(&archive[archive.size() - back]) == 0x06054B50) {
            end = archive.size() - back;
            break;
        }
    }
    EXPECT_NE(end, std::string::npos) << "no end record";
    if (end == std::string::npos) {
        return members;
    }
    uint16_t count = GetU16(&archive[end + 10]);
    EXPECT_EQ(count, GetU16(&archive[end + 8]));
    uint32_t size = GetU32(&archive[end + 12]);
    uint32_t at = GetU32(&archive[end + 16]);
    EXPECT_EQ(uint64_t{at} + size, end) << "directory does not end at the end record";
    for (uint16_t i = 0; i < count; ++i) {
        EXPECT_LE(at + 46u, end);
        if (at + 46u > end) {
            break;
        }
        const uint8_t* c = &archive[at];
        EXPECT_EQ(GetU32(c), 0x02014B50u);
        ReadMember m;
        uint16_t n = GetU16(c + 28);
        m.name.assign(reinterpret_cast<const char*>(c + 46), n);
        m.method = GetU16(c + 10);
        m.crc = GetU32(c + 16);
        uint32_t compressed = GetU32(c + 20);
        uint32_t uncompressed = GetU32(c + 24);
        uint32_t local = GetU32(c + 42);
        const uint8_t* l = &archive[local];
        EXPECT_EQ(GetU32(l), 0x04034B50u);
        EXPECT_EQ(GetU16(l + 26), n);
        EXPECT_EQ(GetU32(l + 14), m.crc);
        EXPECT_EQ(GetU32(l + 18), compressed);
        const uint8_t* data = l + 30 + n + GetU16(l + 28);
        if (m.method == 8) {
            bool ok = false;
            m.data = Inflate(data, compressed, &ok);
            EXPECT_TRUE(ok) << m.name;
        } else {
            m.data.assign(data, data + compressed);
        }
        EXPECT_EQ(m.data.size(), uncompressed) << m.name;
        EXPECT_EQ(static_cast<uint32_t>(crc32(0, m.data.data(), static_cast<uInt>(m.data.size()))),
                  m.crc)
            << m.name;
        members.push_back(std::move(m));
        at += 46u + n + GetU16(c + 30) + GetU16(c + 32);
    }
    return members;
}

}  // namespace test

namespace test {
void DeletePath(const std::string& path) {
    std::remove(path.c_str());
}
std::vector<ReadMember> ReadPackageMembers(const std::string& path, const Bytes& original) {
    Bytes written = ReadBytes(path);
    EXPECT_EQ(written.size() % 4, 0u);
    EXPECT_EQ(Checksum(written), 0u);
    EXPECT_TRUE(written.size() >= kPackageImageEnd &&
                std::equal(original.begin(), original.begin() + kPackageImageEnd, written.begin()));
    if (written.size() < kPackageImageEnd) {
        return {};
    }
    return ReadArchive(Bytes(written.begin() + kPackageImageEnd, written.end()));
}

}  // namespace test
