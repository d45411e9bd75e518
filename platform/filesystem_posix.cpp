#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/testing/fault_injection.h"
#include "platform/file.h"
#include "platform/filesystem.h"
#include "platform/testing/power_loss.h"

namespace platform {

bool CreateTempFile(const char* directory, const char* prefix, char (&path)[kPathBufferSize]) {
    size_t length = std::strlen(directory);
    const char* separator = (length == 0 || directory[length - 1] == '/') ? "" : "/";
    int written = std::snprintf(path, sizeof(path), "%s%s%sXXXXXX", directory, separator, prefix);
    if (written <= 0 || static_cast<size_t>(written) >= sizeof(path) || fault::ShouldFail()) {
        path[0] = '\0';
        return false;
    }
    int fd = ::mkstemp(path);
    if (fd < 0) {
        path[0] = '\0';
        return false;
    }
    ::close(fd);
    return true;
}

bool DeletePath(const char* path) {
    fault::BeforeDelete(path);
    return ::unlink(path) == 0;
}

bool PathHasAttributes(const char* path) {
    struct stat info;
    return ::stat(path, &info) == 0;
}

bool MakeDirectory(const char* path) {
    return ::mkdir(path, 0777) == 0;
}

bool ReplaceWith(const char* replacement, const char* target, bool* durable) {
    if (fault::ShouldFail()) {
        return false;
    }
    struct stat info;
    if (::stat(target, &info) == 0) {
        // Keep the package's permission bits; a failure here only costs the old mode.
        ::chmod(replacement, info.st_mode & 07777);
    }
    fault::BeforeRename(replacement, target);
    if (::rename(replacement, target) != 0) {
        return false;
    }
    // Make the rename itself durable: sync the directory that holds both names.
    const bool synced = FlushDirectoryOf(target);
    if (durable != nullptr) {
        *durable = synced;
    }
    return true;
}

bool MovePathNoReplace(const char* from, const char* to, bool* durable) {
    if (fault::ShouldFail()) {
        return false;
    }
    fault::BeforeRename(from, to);
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) != 0) {
        // A file system without the flag: a hard link cannot replace anything either.
        if ((errno != EINVAL && errno != ENOSYS) || ::link(from, to) != 0 || ::unlink(from) != 0) {
            return false;
        }
    }
    const bool synced = FlushDirectoryOf(to);
    if (durable != nullptr) {
        *durable = synced;
    }
    return true;
}

bool FlushDirectoryOf(const char* path) {
    char directory[kPathBufferSize];
    DirectoryOf(path, directory);
    int fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (synced) {
        fault::FolderFlushed(directory);
    }
    return synced;
}

bool ForEachEntryNamed(const char* directory, const char* prefix,
                       void (*visit)(const char* name, void* context), void* context) {
    DIR* folder = ::opendir(directory);
    if (folder == nullptr) {
        return false;
    }
    const size_t prefixLength = std::strlen(prefix);
    while (const dirent* entry = ::readdir(folder)) {
        if (std::strncmp(entry->d_name, prefix, prefixLength) == 0) {
            visit(entry->d_name, context);
        }
    }
    ::closedir(folder);
    return true;
}

bool NamesSameFile(const File& file, const char* path) {
    struct stat opened;
    struct stat named;
    if (!file.IsOpen() || ::stat(file.Path(), &opened) != 0 || ::stat(path, &named) != 0) {
        return false;
    }
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

bool CouldCreateFile(const char* path, int* error) {
    char directory[kPathBufferSize];
    DirectoryOf(path, directory);
    struct stat info;
    int reason = 0;
    if (::stat(directory, &info) != 0) {
        reason = errno;
    } else if (!S_ISDIR(info.st_mode)) {
        reason = ENOTDIR;
    } else if (::access(directory, W_OK | X_OK) != 0) {
        reason = errno;
    } else if (::stat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        reason = EISDIR;
    }
    *error = reason;
    return reason == 0;
}

size_t DirectoryPartLength(const char* path) {
    const char* last = std::strrchr(path, '/');
    return last == nullptr ? 0 : static_cast<size_t>(last - path) + 1;
}

}  // namespace platform
