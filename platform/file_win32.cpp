#include <windows.h>

#include <cstring>

#include "platform/fault_injection.h"
#include "platform/file.h"
#include "platform/file_copy.h"
#include "platform/sharing_retry.h"

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
    DWORD share =
        sharing == Sharing::ReadOnly ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
    DWORD create = disposition == Disposition::CreateAlways ? CREATE_ALWAYS : OPEN_EXISTING;
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

bool File::Flush() {
    if (!IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    return FlushFileBuffers(NativeHandle()) != 0 || Fail();
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
