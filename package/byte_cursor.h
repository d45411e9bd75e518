// Bounds-checked little-endian reading over a byte range. A read past the end sets a sticky
// error and yields zero, so a run of reads can be checked once at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace package {

class ByteCursor {
  public:
    ByteCursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Ok() const { return ok_; }
    size_t Offset() const { return offset_; }
    size_t Remaining() const { return size_ - offset_; }

    void SeekTo(size_t offset) {
        if (offset > size_) {
            ok_ = false;
            return;
        }
        offset_ = offset;
    }

    void Skip(size_t count) {
        if (!Need(count)) {
            return;
        }
        offset_ += count;
    }

    uint16_t U16() {
        uint8_t b[2] = {};
        Take(b, sizeof(b));
        return static_cast<uint16_t>(b[0] | (b[1] << 8));
    }

    uint32_t U32() {
        uint8_t b[4] = {};
        Take(b, sizeof(b));
        return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
               (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    }

    // Pointer to `count` bytes at the cursor, stepping over them; nullptr when they are not all
    // there.
    const uint8_t* Bytes(size_t count) {
        if (!Need(count)) {
            return nullptr;
        }
        const uint8_t* at = data_ + offset_;
        offset_ += count;
        return at;
    }

  private:
    bool Need(size_t count) {
        if (!ok_ || count > size_ - offset_) {
            ok_ = false;
            return false;
        }
        return true;
    }

    void Take(uint8_t* out, size_t count) {
        if (Need(count)) {
            std::memcpy(out, data_ + offset_, count);
            offset_ += count;
        }
    }

    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
    bool ok_ = true;
};

// Little-endian stores into a fixed-size record image.
inline void PutU16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

inline void PutU32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline uint16_t GetU16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

inline uint32_t GetU32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

}  // namespace package
