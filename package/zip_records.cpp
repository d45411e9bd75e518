#include "package/zip_records.h"

#include "package/byte_cursor.h"

namespace package {

void LocalFileHeader::Encode(uint8_t (&out)[local_header::kSize]) const {
    using namespace local_header;
    PutU32(out + kSignatureAt, signature);
    PutU16(out + kVersionNeededAt, versionNeeded);
    PutU16(out + kFlagsAt, flags);
    PutU16(out + kMethodAt, method);
    PutU16(out + kTimeAt, time);
    PutU16(out + kDateAt, date);
    PutU32(out + kCrcAt, crc32);
    PutU32(out + kCompressedSizeAt, compressedSize);
    PutU32(out + kUncompressedSizeAt, uncompressedSize);
    PutU16(out + kNameLengthAt, nameLength);
    PutU16(out + kExtraLengthAt, extraLength);
}

void CentralFileHeader::Encode(uint8_t (&out)[central_header::kSize]) const {
    using namespace central_header;
    PutU32(out + kSignatureAt, signature);
    PutU16(out + kVersionMadeByAt, versionMadeBy);
    PutU16(out + kVersionNeededAt, versionNeeded);
    PutU16(out + kFlagsAt, flags);
    PutU16(out + kMethodAt, method);
    PutU16(out + kTimeAt, time);
    PutU16(out + kDateAt, date);
    PutU32(out + kCrcAt, crc32);
    PutU32(out + kCompressedSizeAt, compressedSize);
    PutU32(out + kUncompressedSizeAt, uncompressedSize);
    PutU16(out + kNameLengthAt, nameLength);
    PutU16(out + kExtraLengthAt, extraLength);
    PutU16(out + kCommentLengthAt, commentLength);
    PutU16(out + kDiskStartAt, diskStart);
    PutU16(out + kInternalAttributesAt, internalAttributes);
    PutU32(out + kExternalAttributesAt, externalAttributes);
    PutU32(out + kLocalHeaderOffsetAt, localHeaderOffset);
}

CentralFileHeader CentralFileHeader::Decode(const uint8_t (&in)[central_header::kSize]) {
    using namespace central_header;
    CentralFileHeader h;
    h.signature = GetU32(in + kSignatureAt);
    h.versionMadeBy = GetU16(in + kVersionMadeByAt);
    h.versionNeeded = GetU16(in + kVersionNeededAt);
    h.flags = GetU16(in + kFlagsAt);
    h.method = GetU16(in + kMethodAt);
    h.time = GetU16(in + kTimeAt);
    h.date = GetU16(in + kDateAt);
    h.crc32 = GetU32(in + kCrcAt);
    h.compressedSize = GetU32(in + kCompressedSizeAt);
    h.uncompressedSize = GetU32(in + kUncompressedSizeAt);
    h.nameLength = GetU16(in + kNameLengthAt);
    h.extraLength = GetU16(in + kExtraLengthAt);
    h.commentLength = GetU16(in + kCommentLengthAt);
    h.diskStart = GetU16(in + kDiskStartAt);
    h.internalAttributes = GetU16(in + kInternalAttributesAt);
    h.externalAttributes = GetU32(in + kExternalAttributesAt);
    h.localHeaderOffset = GetU32(in + kLocalHeaderOffsetAt);
    return h;
}

void EndOfCentralDirectory::Encode(uint8_t (&out)[end_record::kSize]) const {
    using namespace end_record;
    PutU32(out + kSignatureAt, signature);
    PutU16(out + kThisDiskAt, thisDisk);
    PutU16(out + kDirectoryDiskAt, directoryDisk);
    PutU16(out + kEntriesOnDiskAt, entriesOnDisk);
    PutU16(out + kTotalEntriesAt, totalEntries);
    PutU32(out + kDirectorySizeAt, directorySize);
    PutU32(out + kDirectoryOffsetAt, directoryOffset);
    PutU16(out + kCommentLengthAt, commentLength);
}

EndOfCentralDirectory EndOfCentralDirectory::Decode(const uint8_t (&in)[end_record::kSize]) {
    using namespace end_record;
    EndOfCentralDirectory e;
    e.signature = GetU32(in + kSignatureAt);
    e.thisDisk = GetU16(in + kThisDiskAt);
    e.directoryDisk = GetU16(in + kDirectoryDiskAt);
    e.entriesOnDisk = GetU16(in + kEntriesOnDiskAt);
    e.totalEntries = GetU16(in + kTotalEntriesAt);
    e.directorySize = GetU32(in + kDirectorySizeAt);
    e.directoryOffset = GetU32(in + kDirectoryOffsetAt);
    e.commentLength = GetU16(in + kCommentLengthAt);
    return e;
}

}  // namespace package
