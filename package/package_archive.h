// The member archive: a ZIP archive in a file of its own. It lists the file members and
// appends one deflated member in place, keeping the offsets of the members already there.
// One object serves one insert operation on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/zip_records.h"
#include "platform/filesystem.h"

namespace package {

// Why the last operation of a PackageArchive failed, for callers that explain failures.
enum class ArchiveError {
    None,
    CannotOpenArchive,
    NoEndRecord,
    BadDirectory,
    CannotReadSource,
    TooManyEntries,
    BadMemberName,
    TooLarge,
    CompressorFailed,
    WriteFailed,
};

using PathBuffer = char[platform::kPathBufferSize];

class PackageArchive {
  public:
    static constexpr size_t kArchivePathSize = 300;

    PackageArchive() = default;
    virtual ~PackageArchive() = default;
    PackageArchive(const PackageArchive&) = delete;
    PackageArchive& operator=(const PackageArchive&) = delete;

    // Opens the archive and delivers its first file member: the member's name, every slash
    // turned into a backslash, in `name`, and its target path under the base directory that
    // `path` holds in `path`. 1 when a member was delivered, else 0.
    int FirstEntry(const char* archivePath, PathBuffer& path, PathBuffer& name);
    // The next file member; 0 at the end, and from then on.
    int NextEntry(PathBuffer& path, PathBuffer& name);

    // 0 when found; -1 when not, or when the file cannot be opened. The record is zeroed first.
    int FindEndRecord(const char* archivePath, EndOfCentralDirectory& record);
    // Loads the central directory that the end record names; 0 or -1.
    int LoadDirectory(const char* archivePath);

    // Joins base directory and member name into the target path and makes its directories.
    // Nothing is created outside the base directory: an empty base, or a name that is rooted,
    // names a drive or holds a ".." component, creates nothing and gives 0.
    int MakeTargetPath(const char* baseDirectory, const char* memberName);
    // Makes every directory prefix of `path` that is missing; 1 when all exist, 0 when one
    // could not be made. A path with a ".." component is refused with 0.
    static int MakeDirectories(const char* path);

    // Appends `sourcePath` as a deflated member named `memberName` (or the source path, when
    // null) and rewrites the directory and end record. 0 when added, -1 when not. The object
    // holds no directory afterwards: a further listing takes a fresh object, as every insert
    // makes one.
    int AddFile(const char* archivePath, const char* sourcePath, const char* memberName);
    bool AppendMember(const char* sourcePath, const char* memberName);

    // zlib's allocation callbacks: plain heap blocks.
    static void* DeflateAlloc(void* opaque, unsigned items, unsigned size);
    static void DeflateFree(void* opaque, void* block);

    // Why the last operation failed.
    ArchiveError LastError() const { return lastError_; }

  private:
    void StepOverEntry(uint32_t entrySize);
    bool Fail(ArchiveError error) {
        lastError_ = error;
        return false;
    }

    uint32_t entryIndex_ = 0;
    uint32_t entryCount_ = 0;
    char archivePath_[kArchivePathSize] = {};
    char targetPath_[kArchivePathSize] = {};  // the last delivered member's, from MakeTargetPath
    EndOfCentralDirectory endRecord_;
    uint32_t cursorOffset_ = 0;
    std::vector<uint8_t> directory_;  // empty: no block held
    ArchiveError lastError_ = ArchiveError::None;
};

}  // namespace package
