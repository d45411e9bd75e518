// Where a signed package's member archive ends: a signing tool appends its certificate table
// behind everything it signs, so the archive of a package signed after it was customised lies
// in the bytes before that table, however large the table is.
#pragma once

#include <cstdint>

#include "package/package_layout.h"
#include "platform/file.h"

namespace package {

// WIN_CERTIFICATE: dwLength, wRevision, wCertificateType, then the certificate itself; a table
// starts 8-byte aligned.
constexpr uint32_t kCertificateHeaderSize = 8;
constexpr uint16_t kCertificateRevision2 = 0x0200;
constexpr uint16_t kCertificateTypePkcsSignedData = 2;
constexpr uint32_t kCertificateTableAlignment = 8;

// Whether the image's certificate table (`entry`, FindImageSignature's) is the file's last
// bytes, behind the member archive that begins at `archiveStart`: 8-byte aligned, running to
// the end of the file of `fileSize` bytes, with a WIN_CERTIFICATE header of revision 0x0200 and
// type 2 (PKCS #7 SignedData) whose length fits the table.
bool IsTrailingCertificateTable(platform::File& file, uint64_t fileSize, uint64_t archiveStart,
                                const ImageSignature& entry);

// A change to a signed package cannot keep its signature, which no longer matches: the new
// package has no certificate table and a zero security directory entry, so that Windows sees
// an unsigned file rather than a corrupt signature. True when the entry points anywhere behind
// the start of the archive (a trailing table, or one a change by an older version left pointing
// into the archive); a table right behind the image is left to the archive's own checks.
bool MustClearSecurityEntry(const ImageSignature& entry, uint64_t archiveStart);

constexpr uint32_t kSecurityEntrySize = 8;

// The security directory entry's bytes as they stand, and their share of the package checksum.
void SecurityEntryBytes(const ImageSignature& entry, uint8_t (&bytes)[kSecurityEntrySize]);
uint32_t SecurityEntryShare(const ImageSignature& entry);

// The first byte behind the member archive: the trailing table's, or the end of the file.
uint64_t ArchiveLimit(platform::File& file, uint64_t fileSize, uint64_t archiveStart,
                      const ImageSignature& entry);

}  // namespace package
