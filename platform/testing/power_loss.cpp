// Built into the POSIX test variant of the platform library only (see power_loss.h).
#include "platform/testing/power_loss.h"

#if !defined(KTL_FAULT_INJECTION) || defined(_WIN32)
#error "power_loss.cpp belongs to the POSIX ktl_platform_testing"
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/testing/fault_injection.h"
#include "platform/filesystem.h"

namespace platform::fault {
namespace {

using Bytes = std::vector<uint8_t>;

// What a file held at its last flush, as far as it changed since: its size and the old bytes
// of every sector written or cut away since.
struct Unflushed {
    uint64_t durableSize = 0;
    std::map<uint64_t, Bytes> durableSectors;
};

struct FolderChange {
    enum Kind { Create, Delete, Rename } kind;
    std::string path;  // created or deleted; renamed to
    std::string from;  // renamed from
    bool hadContent = false;
    Bytes content;  // the deleted file, or the one the rename replaced
    Unflushed unflushed;
    bool durable = false;
};

bool g_armed = false;
uint32_t g_seed = 0;
int g_exitCode = 78;
std::map<std::string, Unflushed> g_files;
std::vector<FolderChange> g_changes;

bool ReadAll(const std::string& path, Bytes& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    out.clear();
    uint8_t buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof(buffer))) > 0;) {
        out.insert(out.end(), buffer, buffer + n);
    }
    ::close(fd);
    return true;
}

void WriteAll(const std::string& path, const Bytes& data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return;
    }
    for (size_t done = 0; done < data.size();) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
}

uint64_t SizeOf(int descriptor) {
    struct stat info;
    return ::fstat(descriptor, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

// The record of `path`, begun with its size when it changes for the first time since a flush.
Unflushed& RecordOf(const char* path, uint64_t size) {
    auto [at, added] = g_files.try_emplace(path);
    if (added) {
        at->second.durableSize = size;
    }
    return at->second;
}

// Keeps the old bytes of the sectors in [from, to) that are not kept yet.
void KeepSectors(int descriptor, Unflushed& record, uint64_t from, uint64_t to) {
    for (uint64_t sector = from / kSimulatedSectorSize; sector * kSimulatedSectorSize < to;
         ++sector) {
        if (record.durableSectors.count(sector) != 0) {
            continue;
        }
        Bytes old(kSimulatedSectorSize, 0);
        ssize_t n = ::pread(descriptor, old.data(), old.size(),
                            static_cast<off_t>(sector * kSimulatedSectorSize));
        old.resize(n > 0 ? static_cast<size_t>(n) : 0);
        record.durableSectors.emplace(sector, std::move(old));
    }
}

bool InFolder(const std::string& path, const char* folder) {
    char directory[kPathBufferSize];
    DirectoryOf(path.c_str(), directory);
    return std::string(directory) == folder;
}

// Each unflushed sector is kept or lost on its own; so is a size change.
void LoseData(Bytes& content, const Unflushed& record, std::mt19937& random) {
    if (content.size() != record.durableSize && random() % 2 == 0) {
        content.resize(record.durableSize, 0);
    }
    for (const auto& [sector, old] : record.durableSectors) {
        if (random() % 2 == 0) {
            continue;
        }
        const uint64_t at = sector * kSimulatedSectorSize;
        for (uint64_t i = 0; i < kSimulatedSectorSize && at + i < content.size(); ++i) {
            content[at + i] = i < old.size() ? old[i] : 0;
        }
    }
}

}  // namespace

void ArmPowerCut(int64_t countdown, uint32_t seed, int exitCode) {
    g_files.clear();
    g_changes.clear();
    g_seed = seed;
    g_exitCode = exitCode;
    g_armed = true;
    Arm(countdown, Action::PowerCut, exitCode);
}

bool PowerCutArmed() {
    return g_armed;
}

void BeforeWrite(int descriptor, const char* path, uint64_t length) {
    if (!g_armed || length == 0) {
        return;
    }
    const off_t at = ::lseek(descriptor, 0, SEEK_CUR);
    if (at < 0) {
        return;
    }
    Unflushed& record = RecordOf(path, SizeOf(descriptor));
    KeepSectors(descriptor, record, static_cast<uint64_t>(at), static_cast<uint64_t>(at) + length);
}

void BeforeResize(int descriptor, const char* path, uint64_t newSize) {
    if (!g_armed) {
        return;
    }
    const uint64_t size = SizeOf(descriptor);
    Unflushed& record = RecordOf(path, size);
    if (newSize < size) {
        KeepSectors(descriptor, record, newSize, size);
    }
}

void Flushed(const char* path) {
    if (g_armed) {
        g_files.erase(path);
    }
}

void BeforeCreateAlways(const char* path) {
    if (!g_armed) {
        return;
    }
    int descriptor = ::open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor >= 0) {
        BeforeResize(descriptor, path, 0);
        ::close(descriptor);
        return;
    }
    g_changes.push_back(FolderChange{FolderChange::Create, path});
    g_files[path] = Unflushed{};
}

void BeforeDelete(const char* path) {
    if (!g_armed) {
        return;
    }
    FolderChange change{FolderChange::Delete, path};
    change.hadContent = ReadAll(path, change.content);
    if (auto at = g_files.find(path); at != g_files.end()) {
        change.unflushed = std::move(at->second);
        g_files.erase(at);
    } else {
        change.unflushed.durableSize = change.content.size();
    }
    g_changes.push_back(std::move(change));
}

void BeforeRename(const char* from, const char* to) {
    if (!g_armed) {
        return;
    }
    FolderChange change{FolderChange::Rename, to, from};
    change.hadContent = ReadAll(to, change.content);
    if (auto at = g_files.find(to); at != g_files.end()) {
        change.unflushed = std::move(at->second);
        g_files.erase(at);
    } else {
        change.unflushed.durableSize = change.content.size();
    }
    // What was unflushed under the old name stays unflushed under the new one.
    if (auto at = g_files.find(from); at != g_files.end()) {
        g_files[to] = std::move(at->second);
        g_files.erase(from);
    }
    g_changes.push_back(std::move(change));
}

void FolderFlushed(const char* folder) {
    if (!g_armed) {
        return;
    }
    for (FolderChange& change : g_changes) {
        if (InFolder(change.path, folder) ||
            (!change.from.empty() && InFolder(change.from, folder))) {
            change.durable = true;
        }
    }
}

void CutPower() {
    std::mt19937 random(g_seed);
    for (const auto& [path, record] : g_files) {
        Bytes content;
        if (ReadAll(path, content)) {
            LoseData(content, record, random);
            WriteAll(path, content);
        }
    }
    // The folder changes survive up to some point: never before the last one made durable.
    size_t kept = 0;
    for (size_t i = 0; i < g_changes.size(); ++i) {
        if (g_changes[i].durable) {
            kept = i + 1;
        }
    }
    kept += random() % (g_changes.size() - kept + 1);
    for (size_t i = g_changes.size(); i-- > kept;) {
        FolderChange& change = g_changes[i];
        LoseData(change.content, change.unflushed, random);
        switch (change.kind) {
            case FolderChange::Create:
                ::unlink(change.path.c_str());
                break;
            case FolderChange::Delete:
                if (change.hadContent) {
                    WriteAll(change.path, change.content);
                }
                break;
            case FolderChange::Rename:
                ::rename(change.path.c_str(), change.from.c_str());
                if (change.hadContent) {
                    WriteAll(change.path, change.content);
                }
                break;
        }
    }
    std::_Exit(g_exitCode);
}

void CutPowerNow(int exitCode) {
    g_exitCode = exitCode;
    CutPower();
}

}  // namespace platform::fault
