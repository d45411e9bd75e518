// Reading a member's data back: stored data copied, deflated data inflated, and both checked
// against the CRC-32 and size that the directory gives.
#pragma once

#include <cstdint>

#include "platform/file.h"

namespace package {

constexpr uint16_t kStoredMethod = 0;

// Where a member's bytes go, as they come.
class MemberSink {
  public:
    virtual ~MemberSink() = default;
    virtual bool Write(const uint8_t* data, uint32_t size) = 0;
};

struct MemberData {
    uint64_t at = 0;  // where the data begins in the file
    uint16_t method = 0;
    uint32_t compressedSize = 0;
    uint32_t size = 0;
    uint32_t crc32 = 0;
};

enum class DataCheck {
    Ok,
    Unreadable,  // the file cannot be read, or ends early
    Damaged,     // the deflate stream is broken, or yields more than the size
    Mismatch,    // the bytes do not match the CRC-32 or the size
    SinkFailed,
    OutOfMemory,
};

// Streams the data of a stored or deflated member to `sink`, or only checks it when `sink` is
// null. Bytes go out before the CRC-32 can be known: on Mismatch they are out already.
DataCheck StreamMemberData(platform::File& file, const MemberData& member, MemberSink* sink);

}  // namespace package
