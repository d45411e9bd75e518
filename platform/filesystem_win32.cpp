#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/testing/fault_injection.h"
#include "platform/file.h"
#include "platform/filesystem.h"
#include "platform/multibyte.h"
#include "platform/sharing_retry.h"

namespace platform {

bool CreateTempFile(const char* directory, const char* prefix, char (&path)[kPathBufferSize]) {
    // GetTempFileNameA needs room for "\PRE" + four hex digits + ".tmp" behind the directory.
    if (std::strlen(directory) > MAX_PATH - 14 || fault::ShouldFail()) {
        path[0] = '\0';
        return false;
    }
    if (GetTempFileNameA(directory, prefix, 0, path) == 0) {
        path[0] = '\0';
        return false;
    }
    return true;
}

bool DeletePath(const char* path) {
    // A scanner or a reader that holds the file without sharing its deletion lets go soon.
    return RetryWhileShared([&]() { return DeleteFileA(path) != 0; });
}

bool PathHasAttributes(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool MakeDirectory(const char* path) {
    return CreateDirectoryA(path, nullptr) != 0;
}

bool ReplaceWith(const char* replacement, const char* target, bool* durable) {
    if (fault::ShouldFail()) {
        return false;
    }
    // A virus scanner looking at the freshly written target holds it for a moment.
    if (!RetryWhileShared([&]() {
            return MoveFileExA(replacement, target,
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        })) {
        return false;
    }
    const bool synced = FlushDirectoryOf(target);
    if (durable != nullptr) {
        *durable = synced;
    }
    return true;
}

bool MovePathNoReplace(const char* from, const char* to, bool* durable) {
    if (fault::ShouldFail() || MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) == 0) {
        return false;
    }
    const bool synced = FlushDirectoryOf(to);
    if (durable != nullptr) {
        *durable = synced;
    }
    return true;
}

bool ForEachEntryNamed(const char* directory, const char* prefix,
                       void (*visit)(const char* name, void* context), void* context) {
    char pattern[kPathBufferSize];
    const size_t length = std::strlen(directory);
    const char* separator = length == 0 || directory[length - 1] == '\\' ? "" : "\\";
    if (std::snprintf(pattern, sizeof(pattern), "%s%s*", directory, separator) >=
        static_cast<int>(sizeof(pattern))) {
        return false;
    }
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    // Every name, matched here on its long form: a wildcard would match short names too.
    const size_t prefixLength = std::strlen(prefix);
    do {
        if (std::strncmp(found.cFileName, prefix, prefixLength) == 0) {
            visit(found.cFileName, context);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

bool NamesSameFile(const File& file, const char* path) {
    if (!file.IsOpen()) {
        return false;
    }
    // No access asked and every sharing allowed: this open succeeds beside any other.
    HANDLE named = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    HANDLE opened =
        CreateFileA(file.Path(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    const bool same = named != INVALID_HANDLE_VALUE && opened != INVALID_HANDLE_VALUE &&
                      GetFileInformationByHandle(named, &a) &&
                      GetFileInformationByHandle(opened, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                      a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    for (HANDLE handle : {named, opened}) {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    return same;
}

bool CouldCreateFile(const char* path, int* error) {
    char directory[kPathBufferSize];
    DirectoryOf(path, directory);
    const DWORD folder = GetFileAttributesA(directory);
    const DWORD target = GetFileAttributesA(path);
    DWORD reason = ERROR_SUCCESS;
    if (folder == INVALID_FILE_ATTRIBUTES) {
        reason = GetLastError();
    } else if ((folder & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        reason = ERROR_DIRECTORY;
    } else if (target != INVALID_FILE_ATTRIBUTES &&
               (target & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
        reason = ERROR_ACCESS_DENIED;
    }
    *error = static_cast<int>(reason);
    return reason == ERROR_SUCCESS;
}

bool FlushDirectoryOf(const char* path) {
    char directory[kPathBufferSize];
    DirectoryOf(path, directory);
    // A folder opened for writing with backup semantics can be flushed where the file system
    // takes it; NTFS commits the entry through its log anyway. Only a flush the file system
    // took and failed is a failure.
    HANDLE folder = CreateFileA(directory, GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return true;
    }
    bool flushed = FlushFileBuffers(folder) != 0;
    const DWORD error = flushed ? ERROR_SUCCESS : GetLastError();
    CloseHandle(folder);
    if (!flushed && (error == ERROR_INVALID_FUNCTION || error == ERROR_ACCESS_DENIED ||
                     error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_PARAMETER)) {
        flushed = true;
    }
    if (!flushed) {
        SetLastError(error);
    }
    return flushed;
}

size_t DirectoryPartLength(const char* path) {
    // Windows takes both separators; walk whole characters so a trail byte 0x5C is no separator.
    const char* back = FindLastChar(path, '\\');
    const char* forward = FindLastChar(path, '/');
    const char* last = back > forward ? back : forward;
    if (last == nullptr) {
        return 0;
    }
    return static_cast<size_t>(last - path) + 1;
}

}  // namespace platform
