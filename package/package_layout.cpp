#include "package/package_layout.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "package/byte_cursor.h"
#include "package/engine_report.h"
#include "platform/file_copy.h"
#include "platform/filesystem.h"

namespace package {
namespace {

alignas(4) uint8_t g_workBuffer[kWorkBufferSize];

constexpr uint32_t kDosMagic = 0x5A4D;         // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint32_t kLfanewAt = 0x3C;
constexpr uint32_t kSectionCountAt = 6;    // from the PE signature
constexpr uint32_t kOptionalMagicAt = 24;  // from the PE signature
constexpr uint32_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kPe32PlusSectionTableAt = 264;  // its optional header is 16 bytes longer
constexpr uint32_t kSectionTableAt = 248;          // signature, file header, 32-bit optional header
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kRawSizeAt = 16;  // within a section header
constexpr uint32_t kRawPointerAt = 20;
// From the optional header's first byte (PE32, PE32+): the count of data directories, and the
// directories themselves, 8 bytes (address or offset, size) each.
constexpr uint32_t kDirectoryCountAt = 92;
constexpr uint32_t kPe32PlusDirectoryCountAt = 108;
constexpr uint32_t kDirectoriesAt = 96;
constexpr uint32_t kPe32PlusDirectoriesAt = 112;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint32_t kDirectorySize = 8;
constexpr uint32_t kOptionalHeaderSizeAt = 20;  // from the PE signature
constexpr uint32_t kChecksumFieldAt = 64;       // within the optional header, PE32 and PE32+

// Copies exactly `count` bytes from the current positions; a file that ends early fails.
bool CopyBytes(platform::File& from, platform::File& to, uint64_t count) {
    return platform::CopyThroughBuffer(from, to, count, g_workBuffer, kWorkBufferSize);
}

// Pads the file to a multiple of four bytes and appends the word that makes its sum zero.
bool SealPackage(platform::File& output) {
    bool complete = false;
    uint32_t sum = ComputePackageChecksum(output, &complete);
    uint64_t length = 0;
    if (!complete || !output.Size(&length)) {
        return false;
    }
    uint32_t pad = static_cast<uint32_t>((4 - length % 4) % 4);
    if (pad != 0 && !(output.Seek(pad, platform::SeekFrom::End) && output.SetEnd())) {
        return false;
    }
    uint8_t word[4];
    PutU32(word, 0u - sum);
    return output.Seek(0, platform::SeekFrom::End) && output.Write(word, sizeof(word));
}

bool CreateStagingBeside(const char* packagePath, char (&stagingPath)[platform::kPathBufferSize]) {
    char directory[platform::kPathBufferSize];
    platform::DirectoryOf(packagePath, directory);
    return platform::CreateTempFile(directory, "KtlPkg", stagingPath);
}

// Adds the little-endian 32-bit words of `data` to `sum`; a last partial word counts its
// missing high bytes as zero. Sixteen words at a time go into four vector lanes of their own:
// a wrap-around sum comes out the same in any order, and the pass runs at the speed of memory.
uint32_t AddChecksumWords(uint32_t sum, const uint8_t* data, uint32_t size) {
    uint32_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        using Lanes = uint32_t __attribute__((vector_size(16)));
        Lanes a = {}, b = {}, c = {}, d = {};
        for (; size - i >= 64; i += 64) {
            Lanes words[4];
            std::memcpy(words, data + i, sizeof(words));
            a += words[0];
            b += words[1];
            c += words[2];
            d += words[3];
        }
        const Lanes all = a + b + c + d;
        sum += all[0] + all[1] + all[2] + all[3];
    }
    const uint32_t whole = size & ~3u;
    for (; i < whole; i += 4) {
        sum += GetU32(data + i);
    }
    uint32_t last = 0;
    for (; i < size; ++i) {
        last |= static_cast<uint32_t>(data[i]) << (8 * (i - whole));
    }
    return sum + last;
}

// Sums the bytes it is shown, which lie at `position` on, and tells the work done.
class ChecksumViewer final : public platform::ByteViewer {
  public:
    ChecksumViewer(uint32_t sum, uint64_t position) : sum_(sum), position_(position) {}

    bool View(const uint8_t* bytes, uint32_t size) override {
        sum_ = AddChecksumBytesAt(sum_, bytes, size, position_);
        position_ += size;
        AddWorkDone(size);
        return true;
    }

    uint32_t Sum() const { return sum_; }

  private:
    uint32_t sum_;
    uint64_t position_;
};

// Where the PE signature stands in the head, found through the DOS
// header, with at least `needed` bytes from it on: headers must lie within what was read (the
// first MiB, and the file itself).
bool FindPeSignature(const PackageHead& head, uint64_t needed, uint64_t* signatureAt) {
    if (head.size < kLfanewAt + 4 || GetU16(head.bytes) != kDosMagic) {
        return false;
    }
    *signatureAt = GetU32(head.bytes + kLfanewAt);
    return *signatureAt + needed <= head.size && GetU32(head.bytes + *signatureAt) == kPeSignature;
}

}  // namespace

bool CopySummed(platform::File& from, uint64_t offset, uint64_t length, platform::File& to,
                uint32_t* sum) {
    ChecksumViewer viewer(*sum, offset);
    const bool copied = from.CopyViewing(to, offset, length, viewer, g_workBuffer, kWorkBufferSize);
    *sum = viewer.Sum();
    return copied;
}

uint8_t* WorkBuffer() {
    return g_workBuffer;
}

uint32_t AddChecksumBytesAt(uint32_t sum, const uint8_t* data, uint64_t size, uint64_t position) {
    while (size > 0 && position % 4 != 0) {
        sum += static_cast<uint32_t>(*data++) << (8 * (position++ % 4));
        --size;
    }
    while (size > 0) {
        uint32_t block = static_cast<uint32_t>(std::min<uint64_t>(size, kWorkBufferSize));
        sum = AddChecksumWords(sum, data, block);
        data += block;
        size -= block;
    }
    return sum;
}

uint32_t ComputePackageChecksum(platform::File& package, bool* complete) {
    uint64_t size = 0;
    bool readAll = package.Size(&size);
    const uint32_t sum = readAll ? SumPackageFrom(package, 0, size, 0, &readAll) : 0;
    if (complete != nullptr) {
        *complete = readAll;
    }
    return sum;
}

uint32_t SumPackageFrom(platform::File& package, uint64_t offset, uint64_t length, uint32_t sum,
                        bool* complete) {
    ChecksumViewer viewer(sum, offset);
    *complete = package.ViewBytes(offset, length, viewer, g_workBuffer, kWorkBufferSize);
    return viewer.Sum();
}

bool ReadPackageHead(platform::File& package, PackageHead* head) {
    *head = PackageHead{g_workBuffer, 0};
    return package.Seek(0, platform::SeekFrom::Begin) &&
           package.Read(g_workBuffer, kWorkBufferSize, &head->size);
}

uint32_t FindOverlayOffset(platform::File& package) {
    PackageHead head;
    return ReadPackageHead(package, &head) ? OverlayOffsetIn(head) : kNoOverlayOffset;
}

uint32_t OverlayOffsetIn(const PackageHead& head) {
    uint64_t signatureAt = 0;
    if (!FindPeSignature(head, kSectionCountAt + 2, &signatureAt)) {
        return kNoOverlayOffset;
    }
    uint32_t sections = GetU16(head.bytes + signatureAt + kSectionCountAt);
    // A 64-bit image's section table lies further on; read at the 32-bit place, its
    // headers would yield a wrong image end.
    bool pe32Plus = signatureAt + kOptionalMagicAt + 2 <= head.size &&
                    GetU16(head.bytes + signatureAt + kOptionalMagicAt) == kPe32PlusMagic;
    uint64_t tableAt = signatureAt + (pe32Plus ? kPe32PlusSectionTableAt : kSectionTableAt);
    if (tableAt + uint64_t{sections} * kSectionHeaderSize > head.size) {
        return kNoOverlayOffset;
    }
    // A section whose raw data would end past 4 GiB is no section of a real file; its end
    // wrapped round to a small number would cut the image short.
    uint64_t imageEnd = 0;
    for (uint32_t i = 0; i < sections; ++i) {
        const uint8_t* header = head.bytes + tableAt + i * kSectionHeaderSize;
        uint64_t end = uint64_t{GetU32(header + kRawPointerAt)} + GetU32(header + kRawSizeAt);
        if (end >= kNoOverlayOffset) {
            return kNoOverlayOffset;
        }
        imageEnd = std::max(imageEnd, end);
    }
    return static_cast<uint32_t>(imageEnd);
}

bool FindImageSignature(platform::File& package, ImageSignature& signature) {
    signature = ImageSignature{};
    PackageHead head;
    if (!ReadPackageHead(package, &head)) {
        return false;
    }
    ImageSignatureIn(head, signature);
    return true;
}

void ImageSignatureIn(const PackageHead& head, ImageSignature& signature) {
    signature = ImageSignature{};
    uint64_t signatureAt = 0;
    if (!FindPeSignature(head, kOptionalMagicAt + 2, &signatureAt)) {
        return;
    }
    const uint64_t optionalAt = signatureAt + kOptionalMagicAt;
    const bool pe32Plus = GetU16(head.bytes + optionalAt) == kPe32PlusMagic;
    const uint64_t countAt =
        optionalAt + (pe32Plus ? kPe32PlusDirectoryCountAt : kDirectoryCountAt);
    const uint64_t entryAt = optionalAt + (pe32Plus ? kPe32PlusDirectoriesAt : kDirectoriesAt) +
                             kSecurityDirectory * kDirectorySize;
    // The entry counts only where the header says it has it: within the optional header's
    // stated size and among its stated number of directories.
    const uint32_t optionalSize = GetU16(head.bytes + signatureAt + kOptionalHeaderSizeAt);
    if (optionalSize >= kChecksumFieldAt + 4 && optionalAt + kChecksumFieldAt + 4 <= head.size) {
        signature.checksumFieldAt = optionalAt + kChecksumFieldAt;
    }
    if (entryAt + kDirectorySize > head.size || countAt + 4 > head.size ||
        entryAt + kDirectorySize > optionalAt + optionalSize ||
        GetU32(head.bytes + countAt) <= kSecurityDirectory) {
        return;
    }
    signature.entryAt = entryAt;
    signature.offset = GetU32(head.bytes + entryAt);
    signature.size = GetU32(head.bytes + entryAt + 4);
    signature.present = signature.offset != 0 || signature.size != 0;
}

int32_t CopyOverlay(platform::File& package, const char* archivePath, uint32_t overlayOffset) {
    if (!package.IsOpen()) {
        return -1;
    }
    platform::File archive;
    if (!archive.Open(archivePath, platform::Access::Write, platform::Disposition::CreateAlways)) {
        return -1;
    }
    uint64_t size = 0;
    if (!package.Size(&size) || size >= kPackageSizeLimit || overlayOffset > size ||
        size - overlayOffset > kMaxByteCount) {
        return -1;
    }
    uint64_t count = size - overlayOffset;
    if (!package.Seek(overlayOffset, platform::SeekFrom::Begin) ||
        !CopyBytes(package, archive, count) || !archive.Close()) {
        return -1;
    }
    return static_cast<int32_t>(count);
}

int32_t RebuildPackage(platform::File& package, uint32_t overlayOffset, const char* archivePath,
                       const char* outputPath) {
    const bool inPlace = outputPath == nullptr;
    platform::File archive;
    if (!package.IsOpen() ||
        !archive.Open(archivePath, platform::Access::Read, platform::Disposition::OpenExisting)) {
        return -1;
    }
    uint64_t packageSize = 0;
    uint64_t archiveSize = 0;
    if (!package.Size(&packageSize) || !archive.Size(&archiveSize) ||
        packageSize >= kPackageSizeLimit || overlayOffset > packageSize) {
        return -1;
    }
    uint64_t body = overlayOffset + archiveSize;
    uint64_t count = inPlace ? archiveSize : body;
    if (body > kMaxUnsealedSize || count > kMaxByteCount) {
        return -1;
    }

    char stagingPath[platform::kPathBufferSize];
    const char* target = outputPath;
    if (inPlace) {
        if (!CreateStagingBeside(package.Path(), stagingPath)) {
            return -4;
        }
        target = stagingPath;
    } else if (platform::NamesSameFile(package, outputPath)) {
        return -4;
    }
    platform::File output;
    if (!output.Open(target, platform::Access::ReadWrite, platform::Disposition::CreateAlways)) {
        if (inPlace) {
            platform::DeletePath(stagingPath);
        }
        return -4;
    }

    bool ok = package.Seek(0, platform::SeekFrom::Begin) &&
              CopyBytes(package, output, overlayOffset) &&
              CopyBytes(archive, output, archiveSize) && SealPackage(output) && output.Flush();
    ok = output.Close() && ok;
    archive.Close();
    if (ok && inPlace) {
        char packagePath[platform::kPathBufferSize];
        std::strcpy(packagePath, package.Path());
        ok = package.Close() && platform::ReplaceWith(stagingPath, packagePath);
    }
    if (!ok) {
        platform::DeletePath(target);
        return -1;
    }
    return static_cast<int32_t>(count);
}

}  // namespace package
