#include "tests/fuzz/fuzz_support.h"

#include <dirent.h>
#include <ftw.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace fuzzcheck {
namespace {

std::vector<std::string> g_workFolders;
volatile sig_atomic_t g_capHit = 0;
std::map<std::string, uint64_t> g_findings;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

void RemoveWorkFolders() {
    for (const std::string& folder : g_workFolders) {
        ::nftw(folder.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

void PrintFindingCounts() {
    for (const auto& [kind, count] : g_findings) {
        std::fprintf(stderr, "finding %s: %llu inputs\n", kind.c_str(),
                     static_cast<unsigned long long>(count));
    }
}

void OnFileSizeExceeded(int) {
    g_capHit = 1;
}

std::string FileNameFor(const std::string& kind) {
    std::string name = kind;
    std::replace(name.begin(), name.end(), '/', '-');
    return name;
}

}  // namespace

std::string MakeWorkFolder(const char* name) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/" + name + "-XXXXXX";
    std::vector<char> text(pattern.begin(), pattern.end());
    text.push_back('\0');
    if (::mkdtemp(text.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    if (g_workFolders.empty()) {
        std::atexit(RemoveWorkFolders);
    }
    g_workFolders.push_back(text.data());
    return text.data();
}

std::string MakeSubfolder(const std::string& parent, const char* name) {
    std::string path = parent + "/" + name;
    ::mkdir(path.c_str(), 0700);
    return path;
}

bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = size == 0 || std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

bool ReadWholeFile(const std::string& path, Bytes& out, uint64_t limit) {
    out.clear();
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) > limit) {
        return false;
    }
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    out.resize(static_cast<size_t>(info.st_size));
    bool ok = out.empty() || std::fread(out.data(), 1, out.size(), file) == out.size();
    std::fclose(file);
    return ok;
}

uint64_t FileLength(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

std::vector<SourceFile> MakeSourceFiles(const std::string& folder, const char* fileName) {
    const std::string script = "[Setup]\r\nSilence=1\r\nInstallType=Typical\r\n";
    std::vector<Bytes> contents(4);
    contents[0].assign(script.begin(), script.end());
    for (size_t i = 0; contents[2].size() < 40960; ++i) {
        std::string line = "Component" + std::to_string(i) + "=Installed\r\n";
        contents[2].insert(contents[2].end(), line.begin(), line.end());
    }
    contents[2].resize(40960);
    uint32_t state = 0x2545F491;
    for (int i = 0; i < 3000; ++i) {
        state = state * 1664525u + 1013904223u;
        contents[3].push_back(static_cast<uint8_t>(state >> 24));
    }
    std::vector<SourceFile> files;
    for (size_t i = 0; i < contents.size(); ++i) {
        std::string sub = MakeSubfolder(folder, ("source" + std::to_string(i)).c_str());
        SourceFile file{sub + "/" + fileName, contents[i]};
        if (!WriteWholeFile(file.path, file.content)) {
            std::perror(file.path.c_str());
            std::abort();
        }
        files.push_back(std::move(file));
    }
    return files;
}

std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void EmptyFolder(const std::string& folder) {
    for (const std::string& name : ListFolder(folder)) {
        ::unlink((folder + "/" + name).c_str());
    }
}

void ArmFileSizeCap() {
    static bool armed = false;
    if (armed) {
        return;
    }
    armed = true;
    struct sigaction action = {};
    action.sa_handler = OnFileSizeExceeded;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGXFSZ, &action, nullptr);
    struct rlimit limit;
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, kFileSizeCap);
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

void ClearFileSizeCapHit() {
    g_capHit = 0;
}

bool FileSizeCapHit() {
    return g_capHit != 0;
}

void Finding(const std::string& kind, const std::string& message, const uint8_t* input,
             size_t size) {
    const char* folder = std::getenv("KTL_FUZZ_FINDINGS");
    uint64_t& count = g_findings[kind];
    if (g_findings.size() == 1 && count == 0) {
        std::atexit(PrintFindingCounts);
    }
    if (++count > 1) {
        return;
    }
    std::fprintf(stderr, "ERROR: finding %s: %s\n", kind.c_str(), message.c_str());
    if (folder == nullptr || folder[0] == '\0') {
        std::abort();
    }
    std::string path = std::string(folder) + "/" + FileNameFor(kind);
    struct stat info;
    if (::stat(path.c_str(), &info) == 0) {
        return;  // an earlier run of this campaign kept one already
    }
    WriteWholeFile(path, input, size);
    std::string text = kind + ": " + message + "\n";
    WriteWholeFile(path + ".txt", reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

uint32_t WordSum(const uint8_t* data, size_t size) {
    uint32_t sum = 0;
    size_t whole = size & ~size_t{3};
    for (size_t i = 0; i < whole; i += 4) {
        sum += Get32(data + i);
    }
    uint32_t last = 0;
    for (size_t i = whole; i < size; ++i) {
        last |= static_cast<uint32_t>(data[i]) << (8 * (i - whole));
    }
    return sum + last;
}

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "\"" : ", \"") + name + "\"";
    }
    return "[" + text + "]";
}

}  // namespace fuzzcheck
