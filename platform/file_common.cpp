// The parts of File that do not touch the platform's own file calls.
#include <cstring>
#include <utility>

#include "platform/testing/fault_injection.h"
#include "platform/file.h"

namespace platform {

File::~File() {
    Close();
}

File::File(File&& other) noexcept {
    *this = std::move(other);
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = other.handle_;
        std::memcpy(path_, other.path_, sizeof(path_));
        other.handle_ = kClosed;
        other.path_[0] = '\0';
    }
    return *this;
}

bool File::Fail(const File& other) {
    error_ = other.error_ != 0 ? other.error_ : error_;
    return false;
}

bool File::Read(void* buffer, uint32_t size, uint32_t* got) {
    *got = 0;
    if (!IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    while (*got < size) {
        uint32_t moved = 0;
        if (!ReadOnce(bytes + *got, size - *got, &moved)) {
            return Fail();
        }
        if (moved == 0) {
            break;
        }
        *got += moved;
    }
    return true;
}

bool File::Write(const void* data, uint32_t size) {
    if (!IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (uint32_t done = 0; done < size;) {
        uint32_t moved = 0;
        // A write that moves nothing would never finish.
        if (!WriteOnce(bytes + done, size - done, &moved) || moved == 0) {
            return Fail();
        }
        done += moved;
    }
    return true;
}

}  // namespace platform
