#include "tests/fuzz/image_walk.h"

#include <algorithm>

#include "tests/fuzz/fuzz_support.h"

namespace fuzzcheck {
namespace {

constexpr uint64_t kHeaderSpan = 1u << 20;
constexpr uint64_t kDosHeaderEnd = 0x40;   // e_lfanew is its last field
constexpr uint64_t kOptionalMagicAt = 24;  // from the PE signature
constexpr uint64_t kSectionTableAt = 4 + 20 + 224;
constexpr uint64_t kPe32PlusSectionTableAt = 4 + 20 + 240;
constexpr uint64_t kSectionHeaderSize = 40;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;

ImageWalk Refuse(const char* code, const std::string& why) {
    ImageWalk walk;
    walk.code = code;
    walk.why = why;
    return walk;
}

}  // namespace

ImageWalk WalkImageHeaders(const uint8_t* file, size_t size) {
    const uint64_t span = std::min<uint64_t>(size, kHeaderSpan);
    if (span < kDosHeaderEnd) {
        return Refuse("short", "shorter than a DOS header");
    }
    if (file[0] != 'M' || file[1] != 'Z') {
        return Refuse("no-mz", "no MZ");
    }
    const uint64_t pe = Get32(file + 0x3C);
    if (pe + kSectionTableAt > span) {
        return Refuse("headers-past-span",
                      "the PE headers at " + Hex(pe) + " reach past " + Hex(span));
    }
    if (Get32(file + pe) != 0x00004550) {
        return Refuse("no-pe", "no PE signature at " + Hex(pe));
    }
    const uint16_t sections = Get16(file + pe + 6);
    // A 64-bit image's optional header is 16 bytes longer: its section table lies further on.
    const uint16_t magic = Get16(file + pe + kOptionalMagicAt);
    const uint64_t table =
        pe + (magic == kMagicPe32Plus ? kPe32PlusSectionTableAt : kSectionTableAt);
    if (table + sections * kSectionHeaderSize > span) {
        return Refuse("table-past-span", "the table of " + std::to_string(sections) +
                                             " sections reaches past " + Hex(span));
    }
    uint64_t end = 0;
    for (uint64_t i = 0; i < sections; ++i) {
        const uint8_t* header = file + table + i * kSectionHeaderSize;
        uint64_t sectionEnd = uint64_t{Get32(header + 20)} + Get32(header + 16);
        if (sectionEnd > 0xFFFFFFFFu) {
            return Refuse("section-wraps", "section " + std::to_string(i + 1) + " ends past 4 GiB");
        }
        end = std::max(end, sectionEnd);
    }
    ImageWalk walk;
    walk.overlayOffset = static_cast<uint32_t>(end);
    walk.verdict = ImageWalk::Verdict::Image;
    if (magic != kMagicPe32 && magic != kMagicPe32Plus) {
        walk.verdict = ImageWalk::Verdict::EitherWay;
        walk.code = "other-magic";
        walk.why = "optional header magic " + Hex(magic);
    } else if (end == 0xFFFFFFFFu) {
        walk.verdict = ImageWalk::Verdict::EitherWay;
        walk.code = "ends-at-4gib";
        walk.why = "the image ends at 0xFFFFFFFF";
    }
    return walk;
}

}  // namespace fuzzcheck
