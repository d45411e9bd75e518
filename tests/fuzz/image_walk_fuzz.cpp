// libFuzzer target: the image header walk. The package sum, the end of the image and the
// overlay copy are each compared with the targets' own computation.
//
// Input: a flags byte, then either the file itself (bit 0 clear), or (bit 0 set) a laid-out
// file: 3 bytes of file length and 3 bytes of header position P, little-endian, then 64 bytes
// of DOS header and the bytes to place at P; bit 1 also points e_lfanew at P. Zeros fill the
// rest (up to 1 MiB and 4 KiB), so headers near the end of the first MiB are reachable from a
// small input.
#include <algorithm>
#include <cstdint>
#include <string>

#include "package/package_layout.h"
#include "platform/file.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/image_walk.h"

namespace {

using fuzzcheck::Bytes;
using fuzzcheck::Finding;
using fuzzcheck::Hex;
using fuzzcheck::ImageWalk;

constexpr size_t kLargestLaidOut = (1u << 20) + 4096;
constexpr size_t kDosHeaderSize = 64;

std::string g_imagePath;
std::string g_copyPath;

uint32_t Get24(const uint8_t* at) {
    return at[0] | at[1] << 8 | at[2] << 16;
}

Bytes LayOut(const uint8_t* data, size_t size) {
    if (size == 0) {
        return {};
    }
    if ((data[0] & 1) == 0 || size < 7) {
        return Bytes(data + 1, data + size);
    }
    size_t length = Get24(data + 1) % (kLargestLaidOut + 1);
    size_t at = Get24(data + 4) % (kLargestLaidOut + 1);
    const uint8_t* body = data + 7;
    size_t bodySize = size - 7;
    size_t dos = std::min(bodySize, kDosHeaderSize);
    Bytes file(std::max({length, kDosHeaderSize, at + (bodySize - dos)}), 0);
    std::copy(body, body + dos, file.begin());
    std::copy(body + dos, body + bodySize, file.begin() + at);
    if (data[0] & 2) {
        fuzzcheck::Put32(file.data() + 0x3C, static_cast<uint32_t>(at));
    }
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string folder = fuzzcheck::MakeWorkFolder("ktl-image-fuzz");
    g_imagePath = folder + "/ZorSetup.exe";
    g_copyPath = folder + "/overlay.zip";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzcheck::ArmFileSizeCap();
    fuzzcheck::ClearFileSizeCapHit();
    const Bytes file = LayOut(data, size);
    if (!fuzzcheck::WriteWholeFile(g_imagePath, file)) {
        return 0;
    }
    platform::File image;
    if (!image.Open(g_imagePath.c_str(), platform::Access::Read,
                    platform::Disposition::OpenExisting)) {
        return 0;
    }

    bool complete = false;
    uint32_t sum = package::ComputePackageChecksum(image, &complete);
    uint32_t expectedSum = fuzzcheck::WordSum(file.data(), file.size());
    if (!complete || sum != expectedSum) {
        Finding(
            "image.checksum",
            "sum " + Hex(sum) + " of " + Hex(file.size()) + " bytes, expected " + Hex(expectedSum),
            data, size);
    }

    const uint32_t end = package::FindOverlayOffset(image);
    const ImageWalk walk = fuzzcheck::WalkImageHeaders(file.data(), file.size());
    const bool refused = end == package::kNoOverlayOffset;
    bool right = false;
    switch (walk.verdict) {
        case ImageWalk::Verdict::NotAnImage:
            right = refused;
            break;
        case ImageWalk::Verdict::Image:
            right = end == walk.overlayOffset;
            break;
        case ImageWalk::Verdict::EitherWay:
            right = refused || end == walk.overlayOffset;
            break;
    }
    if (!right) {
        std::string expected = walk.verdict == ImageWalk::Verdict::NotAnImage
                                   ? "a refusal (" + walk.why + ")"
                                   : Hex(walk.overlayOffset);
        std::string kind = walk.verdict == ImageWalk::Verdict::NotAnImage
                               ? "image.not-refused/" + walk.code
                           : refused ? "image.refused"
                                     : "image.wrong-end";
        Finding(kind,
                "the image end is " + (refused ? std::string("a refusal") : Hex(end)) +
                    ", expected " + expected,
                data, size);
    }

    // The copy is judged against the end the engine found, so it stands on its own.
    const int32_t copied = package::CopyOverlay(image, g_copyPath.c_str(), end);
    if (end > file.size()) {
        if (copied != -1) {
            Finding("image.copy-overlay",
                    "copying from " + Hex(end) + " behind a file of " + Hex(file.size()) +
                        " bytes gave " + std::to_string(copied),
                    data, size);
        }
    } else {
        Bytes copy;
        bool read = fuzzcheck::ReadWholeFile(g_copyPath, copy, fuzzcheck::kFileSizeCap);
        if (copied != static_cast<int64_t>(file.size() - end) || !read ||
            !std::equal(copy.begin(), copy.end(), file.begin() + end, file.end()) ||
            copy.size() != file.size() - end) {
            Finding("image.copy-overlay",
                    "copying from " + Hex(end) + " of " + Hex(file.size()) + " bytes gave " +
                        std::to_string(copied) + " and a copy of " + Hex(copy.size()),
                    data, size);
        }
    }
    if (fuzzcheck::FileSizeCapHit()) {
        Finding("write-past-cap", "a file grew past " + Hex(fuzzcheck::kFileSizeCap), data, size);
    }
    return 0;
}
