// Paths, directories and temporary files.
#pragma once

#include <cstddef>
#include <cstring>

namespace platform {

class File;

constexpr size_t kPathBufferSize = 260;

// Whether `text` fits a path buffer with its terminating zero; no text (nullptr) fits.
inline bool FitsPathBuffer(const char* text) {
    return text == nullptr || std::strlen(text) < kPathBufferSize;
}

// Creates a new, empty file in `directory` whose name begins with `prefix` (on Windows
// the platform keeps only its first three characters) and writes its path to `path`.
bool CreateTempFile(const char* directory, const char* prefix, char (&path)[kPathBufferSize]);

bool DeletePath(const char* path);

// True when the platform can read attributes for `path`: files and directories alike.
bool PathHasAttributes(const char* path);

bool MakeDirectory(const char* path);

// Replaces `target` by `replacement` in one step; on failure `target` is as it was. The
// replacement takes the target's permission bits where the platform has them. Its folder is
// then synced: `*durable` (when asked) is false when the system did not confirm that, though
// the rename was made.
bool ReplaceWith(const char* replacement, const char* target, bool* durable = nullptr);

// Gives the file at `from` the name `to`, which must be free: an existing `to` is never
// replaced. The move is made durable as ReplaceWith makes its own.
bool MovePathNoReplace(const char* from, const char* to, bool* durable = nullptr);

// Makes the creation, deletion or renaming of `path`'s directory entry durable: on POSIX it
// syncs the directory that holds it; on Windows it flushes the folder where the file system
// takes that (NTFS logs its own metadata, and a file system that refuses counts as done).
bool FlushDirectoryOf(const char* path);

// Calls `visit` with the name (not the path) of each entry of `directory` whose name begins
// with `prefix`; false when the folder cannot be read.
bool ForEachEntryNamed(const char* directory, const char* prefix,
                       void (*visit)(const char* name, void* context), void* context);

// True when `path` names the very file that `file` has open, by whatever text: the same device
// and inode, or on Windows the same volume and file index.
bool NamesSameFile(const File& file, const char* path);

// Whether a file could be created at `path` and later replaced there by a rename, judged
// without creating anything: its folder exists (on POSIX, one this user may write into), and
// `path` is no folder (on Windows, nor a read-only file, which a rename cannot replace). Short
// of creating the file nothing tells for sure (Windows' access lists are not read); this is for
// a change that only checks what it would do. On a refusal `*error` gets the system's code.
bool CouldCreateFile(const char* path, int* error);

// Length of the directory part of `path`, its last separator included; 0 when there is none.
size_t DirectoryPartLength(const char* path);

// The directory part of `path`, its last separator included, or "." when it has none: the
// directory that holds the file. (filesystem_common.cpp, for both backends.)
void DirectoryOf(const char* path, char (&directory)[kPathBufferSize]);

// The separator that joins path components on this platform.
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

}  // namespace platform
