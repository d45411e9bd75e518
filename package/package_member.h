// A member as its central directory entry describes it: what listings, extractions and changes
// report of the members they read, took or wrote.
#pragma once

#include <cstdint>
#include <string>

#include "package/zip_records.h"

namespace package {

struct PackageMember {
    std::string name;    // as stored, separators unchanged
    uint16_t flags = 0;  // the general purpose bits: bit 11 says the name is UTF-8
    uint16_t method = 0;
    uint32_t crc32 = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint32_t localHeaderOffset = 0;
};

// `name` holds the entry's header.nameLength bytes.
PackageMember DescribeMember(const CentralFileHeader& header, const uint8_t* name);

}  // namespace package
