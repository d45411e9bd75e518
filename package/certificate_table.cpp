#include "package/certificate_table.h"

#include "package/byte_cursor.h"

namespace package {
bool IsTrailingCertificateTable(platform::File& file, uint64_t fileSize, uint64_t archiveStart,
                                const ImageSignature& entry) {
    if (!entry.present || entry.size < kCertificateHeaderSize ||
        entry.offset % kCertificateTableAlignment != 0 || entry.offset <= archiveStart ||
        uint64_t{entry.offset} + entry.size != fileSize) {
        return false;
    }
    uint8_t header[kCertificateHeaderSize];
    uint32_t got = 0;
    if (!file.Seek(entry.offset, platform::SeekFrom::Begin) ||
        !file.Read(header, sizeof(header), &got) || got != sizeof(header)) {
        return false;
    }
    ByteCursor cursor(header, sizeof(header));
    const uint32_t length = cursor.U32();
    const uint16_t revision = cursor.U16();
    const uint16_t type = cursor.U16();
    return revision == kCertificateRevision2 && type == kCertificateTypePkcsSignedData &&
           length >= kCertificateHeaderSize && length <= entry.size;
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
