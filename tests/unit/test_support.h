// Building blocks for the engine tests: scratch directories, PE images, ZIP archives built
// by hand, and an independent package checksum.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace test {

using Bytes = std::vector<uint8_t>;

// A fresh directory, removed with its contents at the end of the test. It also becomes the
// process's temporary directory, so tests can prove that nothing temporary is left.
class ScratchDir {
  public:
    // `base` (POSIX) puts it elsewhere than the temporary directory.
    explicit ScratchDir(const char* base = nullptr);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const;
    // Names in the temporary directory (a subdirectory "tmp").
    std::vector<std::string> TempEntries() const;
    // Names directly in the scratch directory, "tmp" excluded.
    std::vector<std::string> Entries() const;

  private:
    std::string path_;
    std::string savedTemp_;
};

std::string Join(const std::string& directory, const std::string& name);
bool WriteBytes(const std::string& path, const Bytes& data);
Bytes ReadBytes(const std::string& path);
bool Exists(const std::string& path);
void DeletePath(const std::string& path);
std::vector<std::string> ListDirectory(const std::string& path);
void RemoveTree(const std::string& path);

Bytes ToBytes(const std::string& text);
Bytes PatternBytes(size_t size, uint32_t seed);

// An image with the given (PointerToRawData, SizeOfRawData) sections, `length` bytes long.
Bytes MakePeImage(const std::vector<std::pair<uint32_t, uint32_t>>& sections, size_t length);

struct ZipMember {
    std::string name;
    Bytes data;  // stored, uncompressed
};
// A stored ZIP archive whose offsets count from its own first byte.
Bytes MakeZip(const std::vector<ZipMember>& members, const std::string& comment = "");

// Independent of the engine: sums the words, pads, appends the closing word.
uint32_t Checksum(const Bytes& data);
Bytes Sealed(Bytes data);
Bytes Concat(const Bytes& a, const Bytes& b);

// A sealed package: a two-section image of kPackageImageEnd bytes and the given archive.
constexpr uint32_t kPackageImageEnd = 0x1800;
Bytes MakePackage(const Bytes& archive);

// A sealed package whose image a signing tool takes: MakePackage's two sections and
// kPackageImageEnd bytes, with all sixteen data directories (the security entry among them) in
// a PE32 or, with `pe32Plus`, a PE32+ optional header.
Bytes MakeSignablePackage(const Bytes& archive, bool pe32Plus);

// Raw inflate; empty with ok=false on a broken stream.
Bytes Inflate(const uint8_t* data, size_t size, bool* ok);

// Members of an archive as a ZIP reader sees them: central entries decoded and each local
// header's data inflated (deflate) or copied (stored). Fails the test on any inconsistency.
struct ReadMember {
    std::string name;
    uint16_t method = 0;
    uint32_t crc = 0;
    Bytes data;
};
std::vector<ReadMember> ReadArchive(const Bytes& archive);

// The members of a package written from `original` (one of MakePackage's): the package must be
// sealed and keep the original's image.
std::vector<ReadMember> ReadPackageMembers(const std::string& path, const Bytes& original);

}  // namespace test
