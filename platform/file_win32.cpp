#include <windows.h>

#include <cstring>
#include <string>

#include "platform/file.h"
#include "platform/file_copy.h"
#include "platform/sharing_retry.h"
#include "platform/testing/fault_injection.h"

namespace platform {
bool File::Fail() {
    DWORD code = GetLastError();
    error_ = static_cast<int>(code != 0 ? code : ERROR_WRITE_FAULT);
    return false;
}

bool File::Open(const char* path, Access access, Disposition disposition, Sharing sharing) {
    Close();
    size_t length = std::strlen(path);
    SetLastError(length > kMaxPathBytes ? ERROR_FILENAME_EXCED_RANGE : 0);
    if (length > kMaxPathBytes || fault::ShouldFail()) {
        return Fail();
    }
    DWORD desired = 0;
    switch (access) {
        case Access::Read:
            desired = GENERIC_READ;
            break;
        case Access::Write:
            desired = GENERIC_WRITE;
            break;
        case Access::ReadWrite:
            desired = GENERIC_READ | GENERIC_WRITE;
            break;
    }
    DWORD share = FILE_SHARE_READ;
    if (sharing != Sharing::ReadOnly) {
        share |= FILE_SHARE_WRITE;
    }
    if (sharing == Sharing::ReadWriteDelete) {
        share |= FILE_SHARE_DELETE;
    }
    DWORD create = OPEN_EXISTING;
    if (disposition == Disposition::CreateAlways) {
        create = CREATE_ALWAYS;
    } else if (disposition == Disposition::CreateNew) {
        create = CREATE_NEW;
    }
    // Windows refuses to write a read-only file. Wine run by root would write it anyway (root
    // passes the Unix permissions that stand for the attribute), so refuse it here as well.
    DWORD attributes = GetFileAttributesA(path);
    if (access != Access::Read && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ==
            FILE_ATTRIBUTE_READONLY) {
        SetLastError(ERROR_ACCESS_DENIED);
        return Fail();
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    RetryWhileShared([&]() {
        handle = CreateFileA(path, desired, share, nullptr, create, FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle != INVALID_HANDLE_VALUE;
    });
    if (handle == INVALID_HANDLE_VALUE) {
        return Fail();
    }
    handle_ = reinterpret_cast<intptr_t>(handle);
    std::memcpy(path_, path, length + 1);
    return true;
}

bool File::ReadOnce(uint8_t* buffer, uint32_t size, uint32_t* moved) {
    DWORD n = 0;
    bool read = ReadFile(NativeHandle(), buffer, size, &n, nullptr) != 0;
    *moved = n;
    return read;
}

bool File::WriteOnce(const uint8_t* data, uint32_t size, uint32_t* moved) {
    DWORD n = 0;
    bool written = WriteFile(NativeHandle(), data, size, &n, nullptr) != 0;
    *moved = n;
    return written;
}

bool File::Seek(int64_t offset, SeekFrom from) {
    if (!IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    return SetFilePointerEx(NativeHandle(), distance, nullptr,
                            from == SeekFrom::Begin ? FILE_BEGIN : FILE_END) != 0 ||
           Fail();
}

bool File::Position(uint64_t* position) {
    if (!IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    LARGE_INTEGER zero{};
    LARGE_INTEGER at;
    if (!SetFilePointerEx(NativeHandle(), zero, &at, FILE_CURRENT)) {
        return Fail();
    }
    *position = static_cast<uint64_t>(at.QuadPart);
    return true;
}

bool File::Size(uint64_t* size) {
    LARGE_INTEGER value;
    if (!IsOpen() || fault::ShouldFail() || !GetFileSizeEx(NativeHandle(), &value)) {
        return Fail();
    }
    *size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

bool File::SetEnd() {
    if (!IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    return SetEndOfFile(NativeHandle()) != 0 || Fail();
}

bool File::CopyTo(File& to, uint64_t count, uint8_t* buffer, uint32_t bufferSize) {
    if (!IsOpen() || !to.IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    return CopyThroughBuffer(*this, to, count, buffer, bufferSize) || Fail(to);
}

// Read, not mapped: a read error in a mapped view is an exception (EXCEPTION_IN_PAGE_ERROR) that
// only structured exception handling could turn into a failure, and the 32-bit compiler has
// none; read through the buffer, every failure stays a return code.
bool File::ViewBytes(uint64_t offset, uint64_t length, ByteViewer& viewer, uint8_t* buffer,
                     uint32_t bufferSize) {
    return ViewThroughBuffer(*this, offset, length, viewer, buffer, bufferSize);
}

bool File::Flush() {
    if (!IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    return FlushFileBuffers(NativeHandle()) != 0 || Fail();
}

bool File::CopyViewing(File& to, uint64_t offset, uint64_t length, ByteViewer& viewer,
                       uint8_t* buffer, uint32_t bufferSize) {
    return CopyViewingThroughBuffer(*this, to, offset, length, viewer, buffer, bufferSize);
}

LockState File::TryLock(uint64_t at, uint64_t length, bool exclusive) {
    if (!IsOpen() || fault::ShouldFail()) {
        Fail();
        return LockState::Failed;
    }
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(at);
    place.OffsetHigh = static_cast<DWORD>(at >> 32);
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(NativeHandle(), flags, 0, static_cast<DWORD>(length),
                   static_cast<DWORD>(length >> 32), &place)) {
        return LockState::Taken;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
        return LockState::Busy;
    }
    Fail();
    return LockState::Failed;
}

bool File::Unlock(uint64_t at, uint64_t length) {
    if (!IsOpen()) {
        return Fail();
    }
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(at);
    place.OffsetHigh = static_cast<DWORD>(at >> 32);
    return UnlockFileEx(NativeHandle(), 0, static_cast<DWORD>(length),
                        static_cast<DWORD>(length >> 32), &place) != 0 ||
           Fail();
}

bool File::FinalPath(char (&path)[kMaxPathBytes + 1]) {
    if (!IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    // Long names, links and junctions resolved, on the drive or share it lies on.
    char final[kMaxPathBytes + 16];
    const DWORD length = GetFinalPathNameByHandleA(NativeHandle(), final, sizeof(final),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) {
        return Fail();
    }
    if (length >= sizeof(final)) {  // the size it would need
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return Fail();
    }
    // \\?\C:\dir\file or \\?\UNC\server\share\file: the plain forms are what the
    // programs' own path buffers take.
    std::string name(final, length);
    if (name.rfind("\\\\?\\UNC\\", 0) == 0) {
        name.erase(2, 6);  // keeps the leading two backslashes
    } else if (name.rfind("\\\\?\\", 0) == 0) {
        name = name.substr(4);
    }
    if (name.size() > static_cast<size_t>(kMaxPathBytes)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return Fail();
    }
    std::memcpy(path, name.c_str(), name.size() + 1);
    return true;
}

bool File::Close() {
    if (!IsOpen()) {
        return true;
    }
    bool failed = fault::ShouldFail();
    if (!CloseHandle(NativeHandle())) {
        error_ = static_cast<int>(GetLastError());
        failed = true;
    }
    handle_ = kClosed;
    return !failed;
}

}  // namespace platform
