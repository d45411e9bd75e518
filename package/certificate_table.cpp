#include "package/certificate_table.h"

#include "package/byte_cursor.h"

namespace package {
namespace {

// WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the certificate.
constexpr uint32_t kHeaderSize = 8;
constexpr uint16_t kRevision2 = 0x0200;
constexpr uint16_t kPkcsSignedData = 2;
constexpr uint32_t kTableAlignment = 8;

}  // namespace

bool IsTrailingCertificateTable(platform::File& file, uint64_t fileSize, uint64_t archiveStart,
                                const ImageSignature& entry) {
    if (!entry.present || entry.size < kHeaderSize || entry.offset % kTableAlignment != 0 ||
        entry.offset <= archiveStart || uint64_t{entry.offset} + entry.size != fileSize) {
        return false;
    }
    uint8_t header[kHeaderSize];
    uint32_t got = 0;
    if (!file.Seek(entry.offset, platform::SeekFrom::Begin) ||
        !file.Read(header, sizeof(header), &got) || got != sizeof(header)) {
        return false;
    }
    ByteCursor cursor(header, sizeof(header));
    const uint32_t length = cursor.U32();
    const uint16_t revision = cursor.U16();
    const uint16_t type = cursor.U16();
    return revision == kRevision2 && type == kPkcsSignedData && length >= kHeaderSize &&
           length <= entry.size;
}

bool MustClearSecurityEntry(const ImageSignature& entry, uint64_t archiveStart) {
    return entry.present && entry.entryAt != 0 && entry.offset > archiveStart;
}

void SecurityEntryBytes(const ImageSignature& entry, uint8_t (&bytes)[kSecurityEntrySize]) {
    PutU32(bytes, entry.offset);
    PutU32(bytes + 4, entry.size);
}

uint32_t SecurityEntryShare(const ImageSignature& entry) {
    uint8_t bytes[kSecurityEntrySize];
    SecurityEntryBytes(entry, bytes);
    return AddChecksumBytesAt(0, bytes, sizeof(bytes), entry.entryAt);
}

uint64_t ArchiveLimit(platform::File& file, uint64_t fileSize, uint64_t archiveStart,
                      const ImageSignature& entry) {
    return IsTrailingCertificateTable(file, fileSize, archiveStart, entry) ? entry.offset
                                                                           : fileSize;
}

}  // namespace package
