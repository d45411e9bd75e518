// Bounds-checked little-endian reading and writing over a byte range, and records described
// once by their fields. A read or write past the end sets a sticky error (a read yields zero,
// a write writes nothing), so a run of them can be checked once at the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>

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

    uint64_t U64() {
        uint64_t low = U32();
        return low | (uint64_t{U32()} << 32);
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

// The writing counterpart of ByteCursor.
class ByteWriter {
  public:
    ByteWriter(uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Ok() const { return ok_; }
    size_t Offset() const { return offset_; }

    void U16(uint16_t value) { Put(value, 2); }
    void U32(uint32_t value) { Put(value, 4); }
    void U64(uint64_t value) { Put(value, 8); }

  private:
    void Put(uint64_t value, size_t count) {
        if (!ok_ || count > size_ - offset_) {
            ok_ = false;
            return;
        }
        for (size_t i = 0; i < count; ++i) {
            data_[offset_++] = static_cast<uint8_t>(value >> (8 * i));
        }
    }

    uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
    bool ok_ = true;
};

// A record is described once: its signature kSignature, the length kSize of its fixed part,
// and kFields, the pointers to its fields in file order. Reading and writing both follow that
// one list.
namespace record_detail {

template <typename Value>
void ReadField(ByteCursor& cursor, Value& value) {
    static_assert(std::is_unsigned_v<Value>);
    if constexpr (sizeof(Value) == 2) {
        value = cursor.U16();
    } else if constexpr (sizeof(Value) == 4) {
        value = cursor.U32();
    } else {
        static_assert(sizeof(Value) == 8);
        value = cursor.U64();
    }
}

template <typename Value>
void WriteField(ByteWriter& writer, Value value) {
    static_assert(std::is_unsigned_v<Value>);
    if constexpr (sizeof(Value) == 2) {
        writer.U16(value);
    } else if constexpr (sizeof(Value) == 4) {
        writer.U32(value);
    } else {
        static_assert(sizeof(Value) == 8);
        writer.U64(value);
    }
}

template <typename Owner, typename Value>
constexpr size_t FieldSize(Value Owner::*) {
    return sizeof(Value);
}

}  // namespace record_detail

// The bytes that the fields of Record's description add up to; each record checks it against
// its kSize.
template <typename Record>
constexpr size_t DescribedSize() {
    return std::apply(
        [](auto... field) { return (record_detail::FieldSize(field) + ... + size_t{0}); },
        Record::kFields);
}

// Reads a record's fixed part at the cursor, stepping over it. False when its bytes are not
// all there (the cursor's error then sticks) or it does not begin with its signature.
template <typename Record>
bool ReadRecord(ByteCursor& cursor, Record& record) {
    std::apply([&](auto... field) { (record_detail::ReadField(cursor, record.*field), ...); },
               Record::kFields);
    return cursor.Ok() && record.signature == Record::kSignature;
}

// A record's fixed part, packed.
template <typename Record>
std::array<uint8_t, Record::kSize> RecordBytes(const Record& record) {
    std::array<uint8_t, Record::kSize> bytes{};
    ByteWriter writer(bytes.data(), bytes.size());
    std::apply([&](auto... field) { (record_detail::WriteField(writer, record.*field), ...); },
               Record::kFields);
    return bytes;
}

// Little-endian stores into a fixed-size image, and loads from one, at named offsets: for the
// image headers and the checksum words, which are no records of ours.
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
