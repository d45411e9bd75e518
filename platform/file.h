// A file handle over the platform's own file calls. Every operation reports failure
// through its result; a short read is not a failure, a short write is.
#pragma once

#include <cstdint>

namespace platform {

enum class Access { Read, Write, ReadWrite };

enum class Disposition {
    OpenExisting,  // fail when the file is missing
    CreateAlways,  // create, or empty an existing file
};

// Others may read the file while it is open and do nothing more (Windows sharing
// modes); a POSIX system has no such notion and ignores it.
enum class Sharing { ReadOnly, ReadWrite };

enum class SeekFrom { Begin, End };

class File {
  public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Paths longer than kMaxPathBytes are refused.
    bool Open(const char* path, Access access, Disposition disposition,
              Sharing sharing = Sharing::ReadOnly);
    bool IsOpen() const { return handle_ != kClosed; }
    const char* Path() const { return path_; }

    // Reads up to `size` bytes; `*got` is 0 at the end of the file.
    bool Read(void* buffer, uint32_t size, uint32_t* got);
    // Writes all `size` bytes or fails.
    bool Write(const void* data, uint32_t size);
    bool Seek(int64_t offset, SeekFrom from);
    bool Position(uint64_t* position);
    bool Size(uint64_t* size);
    // Cuts or extends the file at the current position.
    bool SetEnd();
    // Copies `count` bytes from this file's position to `to`'s position, advancing both; the
    // file must hold them all. `buffer` serves where the system cannot copy between files
    // itself (POSIX copy_file_range).
    bool CopyTo(File& to, uint64_t count, uint8_t* buffer, uint32_t bufferSize);
    // Pushes written data to the disk.
    bool Flush();
    // Releases the handle even when the platform reports a failure; closing a closed
    // file succeeds.
    bool Close();

    static constexpr int kMaxPathBytes = 259;

    // The system's error code (errno, or GetLastError on Windows) of the last failed operation,
    // 0 when none failed. Closing keeps it, so a caller can report it afterwards.
    int LastError() const { return error_; }

  private:
    // Records the system's error code and returns false.
    bool Fail();
    // Takes `other`'s code, when it has one: a copy failed on that side.
    bool Fail(const File& other);
    // One call of the system's read or write, retried when a signal interrupts it: false on an
    // error, else the bytes moved in `*moved`, 0 at the end of the file. Read and Write loop
    // over them (file_common.cpp); each backend has its own.
    bool ReadOnce(uint8_t* buffer, uint32_t size, uint32_t* moved);
    bool WriteOnce(const uint8_t* data, uint32_t size, uint32_t* moved);

    // A descriptor on POSIX, a HANDLE on Windows (whose INVALID_HANDLE_VALUE is -1 too).
    using Handle = intptr_t;
    static constexpr Handle kClosed = -1;

#ifdef _WIN32
    void* NativeHandle() const {
        return reinterpret_cast<void*>(handle_);
    }
#else
    int Descriptor() const {
        return static_cast<int>(handle_);
    }
#endif

    Handle handle_ = kClosed;
    char path_[kMaxPathBytes + 1] = {};
    int error_ = 0;
};

}  // namespace platform
