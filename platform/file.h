// A file handle over the platform's own file calls. Every operation reports failure
// through its result; a short read is not a failure, a short write is.
#pragma once

#include <cstdint>

namespace platform {

enum class Access { Read, Write, ReadWrite };

enum class Disposition {
    OpenExisting,  // fail when the file is missing
    CreateAlways,  // create, or empty an existing file
    CreateNew,     // create; fail when anything, a link included, stands at the path
};

// Others may read the file while it is open and do nothing more (Windows sharing
// modes); a POSIX system has no such notion and ignores it. ReadWriteDelete also lets others
// delete or rename it, for a file that someone else commits by deleting it.
enum class Sharing { ReadOnly, ReadWrite, ReadWriteDelete };

// A byte-range lock's outcome: Busy when another holder's lock is in the way.
enum class LockState { Taken, Busy, Failed };

enum class SeekFrom { Begin, End };

// Takes the bytes File::ViewBytes shows, one view after another, in file order. Returning
// false stops the walk. A mapped view whose file is cut short under it is left by a jump out of
// View, so View must hold nothing that needs undoing (no lock, no allocation, no object with a
// destructor) while it reads the bytes.
class ByteViewer {
  public:
    virtual bool View(const uint8_t* bytes, uint32_t size) = 0;

  protected:
    ~ByteViewer() = default;
};

class File {
  public:
    static constexpr int kMaxPathBytes = 259;

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
    // Shows the `length` bytes from `offset` to `viewer` in views of at most a few MiB; the
    // file must hold them all. Where the system can map the file (POSIX) the views are its
    // cached pages and nothing is copied; elsewhere `buffer` is read into. The position is left
    // unspecified. False when a byte cannot be read, a file cut short meanwhile included, or
    // when the viewer stops.
    bool ViewBytes(uint64_t offset, uint64_t length, ByteViewer& viewer, uint8_t* buffer,
                   uint32_t bufferSize);
    // Pushes written data to the disk.
    bool Flush();
    // Copies the `length` bytes from `offset` to `to`'s position, advancing it, and shows them
    // to `viewer` on the way, as ViewBytes does: a file is summed while it is copied, and read
    // once. Where the system can, the copy never passes through this process, and the copied
    // bytes are handed to the disk as it goes, so that the Flush to come has less to wait for.
    bool CopyViewing(File& to, uint64_t offset, uint64_t length, ByteViewer& viewer,
                     uint8_t* buffer, uint32_t bufferSize);

    // Advisory byte-range locks held by this open file (POSIX open-file-description locks;
    // on Windows the handle's own, which Windows enforces on reads and writes of those bytes,
    // so callers lock bytes beyond any data). Another open of the same file, even in this
    // process, is another holder. Never waits.
    LockState TryLock(uint64_t at, uint64_t length, bool exclusive);
    bool Unlock(uint64_t at, uint64_t length);

    // The name the system knows the open file by: absolute, with symbolic links, junctions and
    // short names resolved. False when it cannot be had or does not fit a path buffer.
    bool FinalPath(char (&path)[kMaxPathBytes + 1]);
    // Releases the handle even when the platform reports a failure; closing a closed
    // file succeeds.
    bool Close();

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
