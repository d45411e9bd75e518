// The fuzz targets' own walk of an executable image's headers to the end of its last
// section's raw data, written apart from the engine's. The DOS header, the PE signature, the
// file and optional headers and the whole section table must lie within the first MiB and
// within the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzcheck {

struct ImageWalk {
    enum class Verdict {
        NotAnImage,  // must be refused
        Image,       // the image ends at `overlayOffset`
        EitherWay,   // refusing and ending at `overlayOffset` are both right
    };
    Verdict verdict = Verdict::NotAnImage;
    uint32_t overlayOffset = 0;
    std::string code;  // short, for telling findings apart
    std::string why;   // for a refusal, or for the doubt
};

// The section table is read 248 bytes after the PE signature in a 32-bit image, and 264 bytes
// after it in a 64-bit (PE32+) image, whose optional header is longer. A section whose raw data
// would end past 4 GiB is refused. An optional header of neither kind may be taken either way,
// and so may an image that ends exactly at 0xFFFFFFFF, which cannot be told from a refusal.
ImageWalk WalkImageHeaders(const uint8_t* file, size_t size);

}  // namespace fuzzcheck
