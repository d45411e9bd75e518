// The parts of File that do not touch the platform's own file calls.
#include <cstring>
#include <utility>

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

}  // namespace platform
