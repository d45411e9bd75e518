#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/testing/fault_injection.h"
#include "platform/file.h"
#include "platform/file_copy.h"
#include "platform/testing/power_loss.h"

// Packages past 2 GiB, and a 32-bit build on a file system with 64-bit inode numbers, need
// 64-bit offsets: the build defines _FILE_OFFSET_BITS=64 for every POSIX tree.
static_assert(sizeof(off_t) == 8, "the POSIX backend needs 64-bit file offsets");

namespace platform {

bool File::Fail() {
    error_ = errno != 0 ? errno : EIO;
    return false;
}

bool File::Open(const char* path, Access access, Disposition disposition, Sharing) {
    Close();
    size_t length = std::strlen(path);
    errno = length > kMaxPathBytes ? ENAMETOOLONG : 0;
    if (length > kMaxPathBytes || fault::ShouldFail()) {
        return Fail();
    }
    int flags = O_CLOEXEC;
    switch (access) {
        case Access::Read:
            flags |= O_RDONLY;
            break;
        case Access::Write:
            flags |= O_WRONLY;
            break;
        case Access::ReadWrite:
            flags |= O_RDWR;
            break;
    }
    if (disposition == Disposition::CreateAlways) {
        flags |= O_CREAT | O_TRUNC;
        fault::BeforeCreateAlways(path);
    } else if (disposition == Disposition::CreateNew) {
        // O_EXCL also refuses a symbolic link at the path, dangling or not.
        flags |= O_CREAT | O_EXCL | O_NOFOLLOW;
        fault::BeforeCreateAlways(path);
    }
    int fd;
    do {
        fd = ::open(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return Fail();
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        return Fail();
    }
    handle_ = fd;
    std::memcpy(path_, path, length + 1);
    return true;
}

bool File::ReadOnce(uint8_t* buffer, uint32_t size, uint32_t* moved) {
    ssize_t n;
    do {
        n = ::read(Descriptor(), buffer, size);
    } while (n < 0 && errno == EINTR);
    *moved = n > 0 ? static_cast<uint32_t>(n) : 0;
    return n >= 0;
}

bool File::WriteOnce(const uint8_t* data, uint32_t size, uint32_t* moved) {
    fault::BeforeWrite(Descriptor(), path_, size);
    ssize_t n;
    do {
        n = ::write(Descriptor(), data, size);
    } while (n < 0 && errno == EINTR);
    *moved = n > 0 ? static_cast<uint32_t>(n) : 0;
    return n >= 0;
}

bool File::Seek(int64_t offset, SeekFrom from) {
    if (!IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    return ::lseek(Descriptor(), static_cast<off_t>(offset),
                   from == SeekFrom::Begin ? SEEK_SET : SEEK_END) >= 0 ||
           Fail();
}

bool File::Position(uint64_t* position) {
    if (!IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    off_t at = ::lseek(Descriptor(), 0, SEEK_CUR);
    if (at < 0) {
        return Fail();
    }
    *position = static_cast<uint64_t>(at);
    return true;
}

bool File::Size(uint64_t* size) {
    struct stat info;
    if (!IsOpen() || fault::ShouldFail() || ::fstat(Descriptor(), &info) != 0) {
        return Fail();
    }
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool File::SetEnd() {
    uint64_t at;
    if (!Position(&at) || fault::ShouldFail()) {
        return Fail();
    }
    fault::BeforeResize(Descriptor(), path_, at);
    return ::ftruncate(Descriptor(), static_cast<off_t>(at)) == 0 || Fail();
}

bool File::CopyTo(File& to, uint64_t count, uint8_t* buffer, uint32_t bufferSize) {
    if (!IsOpen() || !to.IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    // The kernel copies without the bytes passing through this process, and may share
    // extents where the file system can.
    fault::BeforeWrite(to.Descriptor(), to.path_, count);
    while (count > 0) {
        ssize_t n = ::copy_file_range(Descriptor(), nullptr, to.Descriptor(), nullptr, count, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 &&
            (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
            return CopyThroughBuffer(*this, to, count, buffer, bufferSize) || Fail(to);
        }
        if (n <= 0) {
            return Fail();  // an error, or the source ended early
        }
        count -= static_cast<uint64_t>(n);
    }
    return true;
}

bool File::Flush() {
    if (!IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    if (::fsync(Descriptor()) != 0) {
        return Fail();
    }
    fault::Flushed(path_);
    return true;
}

LockState File::TryLock(uint64_t at, uint64_t length, bool exclusive) {
    if (!IsOpen() || fault::ShouldFail()) {
        Fail();
        return LockState::Failed;
    }
    struct flock lock = {};
    lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(at);
    lock.l_len = static_cast<off_t>(length);
    // Open-file-description locks belong to this open, not to the process: a second open of
    // the file conflicts, and closing some other descriptor of it releases nothing.
    int result;
    do {
        result = ::fcntl(Descriptor(), F_OFD_SETLK, &lock);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        return LockState::Taken;
    }
    if (errno == EAGAIN || errno == EACCES) {
        return LockState::Busy;
    }
    Fail();
    return LockState::Failed;
}

bool File::Unlock(uint64_t at, uint64_t length) {
    if (!IsOpen()) {
        return Fail();
    }
    struct flock lock = {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(at);
    lock.l_len = static_cast<off_t>(length);
    return ::fcntl(Descriptor(), F_OFD_SETLK, &lock) == 0 || Fail();
}

bool File::FinalPath(char (&path)[kMaxPathBytes + 1]) {
    if (!IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    char* resolved = ::realpath(path_, nullptr);
    if (resolved == nullptr) {
        return Fail();
    }
    const size_t length = std::strlen(resolved);
    struct stat opened;
    struct stat named;
    // The name may have been given to another file since this one was opened.
    bool same = ::fstat(Descriptor(), &opened) == 0 && ::stat(resolved, &named) == 0 &&
                opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
    if (same && length <= static_cast<size_t>(kMaxPathBytes)) {
        std::memcpy(path, resolved, length + 1);
    }
    std::free(resolved);
    if (!same) {
        errno = ESTALE;
        return Fail();
    }
    if (length > static_cast<size_t>(kMaxPathBytes)) {
        errno = ENAMETOOLONG;
        return Fail();
    }
    return true;
}

bool File::Close() {
    if (!IsOpen()) {
        return true;
    }
    bool failed = fault::ShouldFail();
    // The descriptor is gone after close() whatever it reports; never retry it.
    if (::close(Descriptor()) != 0) {
        error_ = errno;
        failed = true;
    }
    handle_ = kClosed;
    return !failed;
}

}  // namespace platform
