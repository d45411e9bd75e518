// Compares a record's little-endian fields with what they must hold, in file order, and keeps
// the first mismatch as a text naming the record and the field. The caller has checked that
// the record's bytes are there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "tests/fuzz/fuzz_support.h"

namespace fuzzcheck {

class FieldCheck {
  public:
    FieldCheck(const Bytes& bytes, uint64_t at, const char* record)
        : p_(bytes.data() + at), record_(record) {}

    void U16(size_t offset, uint32_t expected, const char* field) {
        Expect(Get16(p_ + offset), expected, field);
    }
    void U32(size_t offset, uint32_t expected, const char* field) {
        Expect(Get32(p_ + offset), expected, field);
    }
    void Name(size_t offset, const std::string& name) {
        if (problem_.empty() && std::memcmp(p_ + offset, name.data(), name.size()) != 0) {
            problem_ = std::string(record_) + ": the name differs";
        }
    }
    const std::string& Problem() const { return problem_; }

  private:
    void Expect(uint32_t actual, uint32_t expected, const char* field) {
        if (problem_.empty() && actual != expected) {
            problem_ = std::string(record_) + " " + field + " is " + Hex(actual) + ", not " +
                       Hex(expected);
        }
    }

    const uint8_t* p_;
    const char* record_;
    std::string problem_;
};

}  // namespace fuzzcheck
