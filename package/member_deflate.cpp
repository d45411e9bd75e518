#include "package/member_deflate.h"

#include <memory>

#include "package/engine_report.h"
#include "package/package_layout.h"

namespace package {

void WrittenSum::Add(const uint8_t* data, uint32_t size) {
    sum = AddChecksumBytesAt(sum, data, size, position);
    position += size;
}

namespace {

constexpr uint32_t kChunkSize = 40960;

// Compresses the whole source, handing the compressed bytes to `put` (false when they cannot
// be written), no more than `room` of them: the size limit is checked before each hand-over.
template <typename Put>
ArchiveError Deflate(platform::File& source, Put&& put, DeflateStream& deflater, uint64_t room,
                     uint32_t* crc, uint64_t* read, uint64_t* written, WrittenSum* sum) {
    auto input = std::make_unique<uint8_t[]>(kChunkSize);
    auto output = std::make_unique<uint8_t[]>(kChunkSize);
    z_stream& stream = deflater.Stream();
    *crc = 0;
    *read = 0;
    *written = 0;
    auto drain = [&]() {
        uint32_t pending = kChunkSize - stream.avail_out;
        if (*written + pending > room) {
            return ArchiveError::TooLarge;
        }
        if (pending != 0 && !put(output.get(), pending)) {
            return ArchiveError::WriteFailed;
        }
        if (sum != nullptr) {
            sum->Add(output.get(), pending);
        }
        *written += pending;
        stream.next_out = output.get();
        stream.avail_out = kChunkSize;
        return ArchiveError::None;
    };
    stream.next_out = output.get();
    stream.avail_out = kChunkSize;
    for (;;) {
        uint32_t got = 0;
        if (!source.Read(input.get(), kChunkSize, &got)) {
            return ArchiveError::CannotReadSource;
        }
        if (got == 0) {
            break;
        }
        if (*read + got >= kPackageSizeLimit) {
            return ArchiveError::TooLarge;  // the size field is 32 bits
        }
        *crc = static_cast<uint32_t>(crc32(*crc, input.get(), got));
        *read += got;
        AddWorkDone(got);
        stream.next_in = input.get();
        stream.avail_in = got;
        while (stream.avail_in != 0) {
            ArchiveError drained = stream.avail_out == 0 ? drain() : ArchiveError::None;
            if (drained != ArchiveError::None) {
                return drained;
            }
            if (deflate(&stream, Z_NO_FLUSH) == Z_STREAM_ERROR) {
                return ArchiveError::CompressorFailed;
            }
        }
    }
    int status = Z_OK;
    while (status == Z_OK) {
        ArchiveError drained = stream.avail_out == 0 ? drain() : ArchiveError::None;
        if (drained != ArchiveError::None) {
            return drained;
        }
        status = deflate(&stream, Z_FINISH);
    }
    if (status != Z_STREAM_END) {
        return ArchiveError::CompressorFailed;
    }
    return drain();
}

}  // namespace

ArchiveError DeflateSource(platform::File& source, platform::File& archive, DeflateStream& deflater,
                           uint64_t room, uint32_t* crc, uint64_t* read, uint64_t* written,
                           WrittenSum* sum) {
    return Deflate(
        source, [&](const uint8_t* data, uint32_t size) { return archive.Write(data, size); },
        deflater, room, crc, read, written, sum);
}

ArchiveError MeasureDeflatedSource(platform::File& source, DeflateStream& deflater, uint64_t room,
                                   uint32_t* crc, uint64_t* read, uint64_t* written) {
    return Deflate(
        source, [](const uint8_t*, uint32_t) { return true; }, deflater, room, crc, read, written,
        nullptr);
}

DeflatedMemberRecords MakeDeflatedMemberRecords(uint32_t nameLength, uint32_t crc,
                                                uint32_t compressedSize, uint32_t size,
                                                uint32_t localHeaderOffset) {
    MemberFields member;
    member.versionNeeded = kZipVersion20;
    member.method = kDeflateMethod;
    member.crc32 = crc;
    member.compressedSize = compressedSize;
    member.uncompressedSize = size;
    member.nameLength = static_cast<uint16_t>(nameLength);

    LocalFileHeader local;
    static_cast<MemberFields&>(local) = member;
    local.signature = LocalFileHeader::kSignature;

    CentralFileHeader central;
    static_cast<MemberFields&>(central) = member;
    central.signature = CentralFileHeader::kSignature;
    central.versionMadeBy = kZipVersion20;
    central.localHeaderOffset = localHeaderOffset;

    return DeflatedMemberRecords{RecordBytes(local), RecordBytes(central)};
}

EndOfCentralDirectory EndAfterAppending(const EndOfCentralDirectory& old, uint32_t nameLength,
                                        uint32_t compressedSize) {
    EndOfCentralDirectory end = old;
    end.entriesOnDisk = static_cast<uint16_t>(old.entriesOnDisk + 1);
    end.totalEntries = static_cast<uint16_t>(old.totalEntries + 1);
    end.directorySize = old.directorySize + CentralFileHeader::kSize + nameLength;
    end.directoryOffset =
        old.directoryOffset + LocalFileHeader::kSize + nameLength + compressedSize;
    end.commentLength = 0;
    return end;
}

}  // namespace package
