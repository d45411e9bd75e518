#include "package/package_archive.h"

#include <cstdio>
#include <cstring>

#include "package/byte_cursor.h"
#include "package/end_record_search.h"
#include "package/member_name.h"
#include "platform/file.h"
#include "platform/multibyte.h"

namespace package {
namespace {

bool CopyText(char* to, size_t capacity, const char* from) {
    size_t length = std::strlen(from);
    if (length >= capacity) {
        return false;
    }
    std::memcpy(to, from, length + 1);
    return true;
}

}  // namespace

int PackageArchive::FindEndRecord(const char* archivePath, EndOfCentralDirectory& record) {
    record = EndOfCentralDirectory{};
    platform::File file;
    if (!file.Open(archivePath, platform::Access::Read, platform::Disposition::OpenExisting,
                   platform::Sharing::ReadWrite)) {
        Fail(ArchiveError::CannotOpenArchive);
        return -1;
    }
    uint64_t recordAt = 0;
    if (!ReadEndRecord(file, 0, record, &recordAt)) {
        record = EndOfCentralDirectory{};
        Fail(ArchiveError::NoEndRecord);
        return -1;
    }
    return 0;
}

int PackageArchive::LoadDirectory(const char* archivePath) {
    directory_.clear();
    directory_.shrink_to_fit();
    platform::File file;
    uint64_t length = 0;
    if (!file.Open(archivePath, platform::Access::Read, platform::Disposition::OpenExisting,
                   platform::Sharing::ReadWrite) ||
        !file.Size(&length)) {
        Fail(ArchiveError::CannotOpenArchive);
        return -1;
    }
    uint64_t offset = endRecord_.directoryOffset;
    uint32_t size = endRecord_.directorySize;
    if (size == 0) {
        return -1;
    }
    // A directory that reaches past the end of the file is not read at all.
    if (offset + size > length ||
        !file.Seek(static_cast<int64_t>(offset), platform::SeekFrom::Begin)) {
        Fail(ArchiveError::BadDirectory);
        return -1;
    }
    directory_.resize(size);
    uint32_t got = 0;
    bool read = file.Read(directory_.data(), size, &got) && got == size;
    // Only the first entry's signature is looked at here; the listing checks each entry whole.
    ByteCursor first(directory_.data(), got);
    if (!read || first.U32() != CentralFileHeader::kSignature || !first.Ok()) {
        directory_.clear();
        directory_.shrink_to_fit();
        Fail(ArchiveError::BadDirectory);
        return -1;
    }
    return 0;
}

int PackageArchive::FirstEntry(const char* archivePath, PathBuffer& path, PathBuffer& name) {
    if (!CopyText(archivePath_, sizeof(archivePath_), archivePath)) {
        Fail(ArchiveError::CannotOpenArchive);
        return 0;
    }
    if (FindEndRecord(archivePath_, endRecord_) != 0) {
        return 0;
    }
    entryCount_ = endRecord_.entriesOnDisk;
    if (LoadDirectory(archivePath_) < 0) {
        return 0;
    }
    return NextEntry(path, name);
}

void PackageArchive::StepOverEntry(uint32_t entrySize) {
    cursorOffset_ += entrySize;
    ++entryIndex_;
}

int PackageArchive::NextEntry(PathBuffer& path, PathBuffer& name) {
    while (entryIndex_ < entryCount_ && !directory_.empty()) {
        // Every part of the entry must lie within the block, or the enumeration ends here.
        ByteCursor cursor(directory_.data(), directory_.size());
        cursor.SeekTo(cursorOffset_);
        CentralFileHeader entry;
        if (!ReadRecord(cursor, entry)) {
            return 0;
        }
        const uint32_t nameLength = entry.nameLength;
        const uint8_t* stored = cursor.Bytes(nameLength);
        cursor.Skip(entry.Length() - CentralFileHeader::kSize - nameLength);
        if (!cursor.Ok()) {
            return 0;
        }
        const uint32_t entrySize = entry.Length();
        // A nameless entry, or one whose name no buffer here can hold, cannot be any member
        // this tool names; it is stepped over like a directory.
        if (nameLength == 0 || nameLength >= sizeof(name)) {
            StepOverEntry(entrySize);
            continue;
        }
        std::memcpy(name, stored, nameLength);
        name[nameLength] = '\0';
        // A name with a zero byte in it is no text any member of this tool is named by.
        if (std::strlen(name) != nameLength || NamesDirectory(name)) {
            std::memset(name, 0, nameLength);
            StepOverEntry(entrySize);
            continue;
        }
        for (char* p = name; *p != '\0'; ++p) {
            if (*p == '/') {
                *p = '\\';
            }
        }
        MakeTargetPath(path, name);
        if (!CopyText(path, sizeof(path), targetPath_)) {
            path[0] = '\0';
        }
        StepOverEntry(entrySize);
        return 1;
    }
    return 0;
}

int PackageArchive::MakeTargetPath(const char* baseDirectory, const char* memberName) {
    int written = std::snprintf(targetPath_, sizeof(targetPath_), "%s%c%s", baseDirectory,
                                platform::kPathSeparator, memberName);
    if (written < 0 || static_cast<size_t>(written) >= sizeof(targetPath_)) {
        targetPath_[0] = '\0';
        return 0;
    }
    if (platform::kPathSeparator != '\\') {
        for (char* p = targetPath_ + std::strlen(baseDirectory); *p != '\0'; ++p) {
            if (*p == '\\') {
                *p = platform::kPathSeparator;
            }
        }
    }
    if (baseDirectory[0] == '\0' || EscapesBase(memberName)) {
        return 0;
    }
    return MakeDirectories(targetPath_);
}

int PackageArchive::MakeDirectories(const char* path) {
    char prefix[kArchivePathSize];
    if (!CopyText(prefix, sizeof(prefix), path) || HasParentComponent(prefix)) {
        return 0;
    }
    for (char* separator =
             const_cast<char*>(platform::FindFirstChar(prefix, platform::kPathSeparator));
         separator != nullptr; separator = const_cast<char*>(platform::FindFirstChar(
                                   separator + 1, platform::kPathSeparator))) {
        if (separator == prefix && platform::kPathSeparator == '/') {
            continue;  // the POSIX root
        }
        *separator = '\0';
        bool exists = prefix[0] != '\0' && platform::PathHasAttributes(prefix);
        if (!exists && (prefix[0] == '\0' || !platform::MakeDirectory(prefix))) {
            return 0;
        }
        *separator = platform::kPathSeparator;
    }
    return 1;
}

}  // namespace package
