#include "package/member_data.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

#include "package/zip_records.h"
#include "package/zlib_stream.h"

namespace package {
namespace {

constexpr uint32_t kChunk = 65536;

class InflateStream : public ZlibStream<inflateEnd> {
  public:
    InflateStream() { ready_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
};

}  // namespace

DataCheck StreamMemberData(platform::File& file, const MemberData& member, MemberSink* sink) {
    const bool deflated = member.method == kDeflateMethod;
    InflateStream inflater;
    if (deflated && !inflater.Ready()) {
        return DataCheck::OutOfMemory;
    }
    z_stream& stream = inflater.Stream();
    // Not zeroed: verify makes these for every member, and a package may hold tens of thousands.
    auto input = std::make_unique_for_overwrite<uint8_t[]>(kChunk);
    auto output = std::make_unique_for_overwrite<uint8_t[]>(kChunk);
    uint32_t crc = 0;
    uint64_t produced = 0;
    // A stream that yields more than the size is refused before those bytes go out.
    auto deliver = [&](const uint8_t* data, uint32_t count) {
        if (produced + count > member.size) {
            return DataCheck::Damaged;
        }
        crc = static_cast<uint32_t>(crc32(crc, data, count));
        produced += count;
        return sink == nullptr || count == 0 || sink->Write(data, count) ? DataCheck::Ok
                                                                         : DataCheck::SinkFailed;
    };
    if (!file.Seek(static_cast<int64_t>(member.at), platform::SeekFrom::Begin)) {
        return DataCheck::Unreadable;
    }
    int status = Z_OK;
    for (uint64_t left = member.compressedSize; left > 0 && status != Z_STREAM_END;) {
        uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(left, kChunk));
        uint32_t got = 0;
        if (!file.Read(input.get(), want, &got) || got != want) {
            return DataCheck::Unreadable;
        }
        left -= got;
        if (!deflated) {
            DataCheck delivered = deliver(input.get(), got);
            if (delivered != DataCheck::Ok) {
                return delivered;
            }
            continue;
        }
        stream.next_in = input.get();
        stream.avail_in = got;
        do {
            stream.next_out = output.get();
            stream.avail_out = kChunk;
            status = inflate(&stream, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
                return DataCheck::Damaged;
            }
            DataCheck delivered = deliver(output.get(), kChunk - stream.avail_out);
            if (delivered != DataCheck::Ok) {
                return delivered;
            }
        } while (stream.avail_out == 0 && status != Z_STREAM_END);
    }
    if (deflated && status != Z_STREAM_END) {
        return DataCheck::Damaged;
    }
    return crc == member.crc32 && produced == member.size ? DataCheck::Ok : DataCheck::Mismatch;
}

}  // namespace package
