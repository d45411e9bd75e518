#include "package/package_member.h"

namespace package {

PackageMember DescribeMember(const CentralFileHeader& header, const uint8_t* name) {
    PackageMember member;
    member.name.assign(reinterpret_cast<const char*>(name), header.nameLength);
    member.flags = header.flags;
    member.method = header.method;
    member.crc32 = header.crc32;
    member.compressedSize = header.compressedSize;
    member.uncompressedSize = header.uncompressedSize;
    member.localHeaderOffset = header.localHeaderOffset;
    return member;
}

}  // namespace package
