// The install package: an executable image, the member archive behind it (the overlay), zero
// pad bytes and a closing word that brings the sum of all 32-bit words to zero. These
// routines stream whole files through one static 1 MiB work buffer, so they are not
// reentrant: only one may run at a time in a process.
#pragma once

#include <cstdint>

#include "platform/file.h"

namespace package {

constexpr uint32_t kWorkBufferSize = 1u << 20;
// Sizes and offsets are 32-bit fields: a package, and everything in it, stays below 4 GiB.
constexpr uint64_t kPackageSizeLimit = 1ull << 32;
// The most bytes a package may hold before its pad (up to 3 bytes) and checksum word.
constexpr uint64_t kMaxUnsealedSize = kPackageSizeLimit - 1 - 3 - 4;
// The byte counts the routines return are signed 32-bit.
constexpr uint64_t kMaxByteCount = 0x7FFFFFFF;
// The most bytes a change may write before the pad: it must seal below 4 GiB, and the length
// it returns must fit a byte count.
constexpr uint64_t kMaxRewrittenSize =
    kMaxUnsealedSize < kMaxByteCount ? kMaxUnsealedSize : kMaxByteCount;
constexpr uint32_t kNoOverlayOffset = 0xFFFFFFFFu;

// The one static work buffer of kWorkBufferSize bytes that every whole-file pass goes through.
uint8_t* WorkBuffer();

// Adds bytes that lie at `position` in the file: each byte counts in the word it falls in,
// at the place its offset modulo 4 gives, so blocks may start anywhere.
uint32_t AddChecksumBytesAt(uint32_t sum, const uint8_t* data, uint64_t size, uint64_t position);

// The 32-bit wrap-around sum of every word of the file; 0 for an intact package. `complete`,
// when given, tells whether the whole file could be read.
uint32_t ComputePackageChecksum(platform::File& package, bool* complete = nullptr);

// Adds the `length` bytes from `offset` on to `sum`, each at its place in its word, and tells
// them done; `complete` tells whether they could all be read. Where the system maps files
// nothing is copied: the pass reads the cached pages where they lie.
uint32_t SumPackageFrom(platform::File& package, uint64_t offset, uint64_t length, uint32_t sum,
                        bool* complete);

// Copies the `length` bytes from `offset` of `from` to `to`'s position, adding them to `*sum`
// at the places they lie in `from`, and tells them done: a new package is summed while it is
// copied. The written bytes are handed to the disk as the copy goes, so that the flush at the
// end has less to wait for.
bool CopySummed(platform::File& from, uint64_t offset, uint64_t length, platform::File& to,
                uint32_t* sum);

// The first MiB of the package, or the whole of a smaller file, as read into the work buffer:
// every image header the engine reads lies there, so one read serves them all. Valid until the
// work buffer's next use.
struct PackageHead {
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
};
bool ReadPackageHead(platform::File& package, PackageHead* head);

// Where the executable image ends: the largest end of a section's raw data. kNoOverlayOffset
// when the file is no PE image, or its headers do not lie within the first MiB of the file.
uint32_t FindOverlayOffset(platform::File& package);
uint32_t OverlayOffsetIn(const PackageHead& head);

// The certificate table of a signed image (Authenticode), as the image's security data
// directory (entry 4 of the optional header's data directories) gives it. Unlike every other
// data directory it holds a file offset, not an address in memory. A signing tool puts the
// table at the end of the file it signs: behind the member archive when the whole package was
// signed, which changes its checksum, or between the sections and the archive when the image was
// signed before the archive was appended, which moves the archive away from the image end.
struct ImageSignature {
    bool present = false;  // the entry is there and not zero
    uint32_t offset = 0;   // the table's first byte in the file
    uint32_t size = 0;
    // Where the optional header's CheckSum field and the security directory entry lie in the
    // file, 0 when the image has no such field or entry; the image digest leaves both out.
    uint64_t checksumFieldAt = 0;
    uint64_t entryAt = 0;
};

// Reads the security data directory of the image in the first MiB of `package`. An image
// without the entry, and a file that is no PE image, count as unsigned. False only when the file
// cannot be read.
bool FindImageSignature(platform::File& package, ImageSignature& signature);
void ImageSignatureIn(const PackageHead& head, ImageSignature& signature);

// Copies everything from `overlayOffset` to the end of the package into a file of its own,
// created or emptied. Returns the byte count, or -1.
int32_t CopyOverlay(platform::File& package, const char* archivePath, uint32_t overlayOffset);

// Writes the package's first `overlayOffset` bytes and the archive, pads and seals them.
// With `outputPath` it makes a new file there and returns image plus archive bytes; with
// nullptr it rewrites the package and returns the archive bytes alone; either way the result
// ends with the archive, the pad and the checksum word. In place, the new
// package is written and flushed beside the old one and then takes its name in one step,
// closing `package` first, so the old package is never half-written. Returns -1 on failure,
// -4 when the output file cannot be created; a failure leaves no output behind.
int32_t RebuildPackage(platform::File& package, uint32_t overlayOffset, const char* archivePath,
                       const char* outputPath);

}  // namespace package
