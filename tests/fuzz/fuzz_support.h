// What the fuzz targets share: a private work folder, whole-file reads and writes, a cap on
// the size of any file the process writes, and the reporting of findings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzcheck {

using Bytes = std::vector<uint8_t>;

// A fresh folder under the temporary directory, removed with its files when the process exits.
std::string MakeWorkFolder(const char* name);
// A folder inside a work folder, made when missing.
std::string MakeSubfolder(const std::string& parent, const char* name);

bool WriteWholeFile(const std::string& path, const uint8_t* data, size_t size);
inline bool WriteWholeFile(const std::string& path, const Bytes& data) {
    return WriteWholeFile(path, data.data(), data.size());
}
// False when the file is missing, cannot be read, or is longer than `limit`, so a file that
// a fault made huge is never read into memory.
bool ReadWholeFile(const std::string& path, Bytes& out, uint64_t limit);
// The names in a folder, sorted, without "." and "..".
std::vector<std::string> ListFolder(const std::string& folder);
// Removes every file in a folder (the targets make no subfolders in the folders they empty).
void EmptyFolder(const std::string& folder);

// The length of a file, or 0 when it cannot be read.
uint64_t FileLength(const std::string& path);

// The files the targets insert, one per folder under `folder`, all named `fileName`: a short
// script, an empty file, 40,960 bytes (exactly one read chunk of the engine) of text, and
// 3,000 bytes that do not compress.
struct SourceFile {
    std::string path;
    Bytes content;
};
std::vector<SourceFile> MakeSourceFiles(const std::string& folder, const char* fileName);

// No file the process writes may grow past this; the inputs and sources are a few KiB, so only
// a write at an offset the bytes made up can get there. Such a write fails instead of filling
// the disk, and is recorded.
constexpr uint64_t kFileSizeCap = 8u << 20;
// Call at the first input: libFuzzer installs its own signal handlers after initialisation.
void ArmFileSizeCap();
void ClearFileSizeCapHit();
bool FileSizeCapHit();

// Reports a wrong result found with `input`. `kind` names the check that failed. Normally this
// aborts, so that libFuzzer keeps the input as a crash and a replayed reproducer fails. When
// KTL_FUZZ_FINDINGS names a folder, the first input of each kind is saved there (as the kind,
// and the message beside it as kind.txt) and fuzzing goes on, so one fault found over and over
// does not end a campaign.
void Finding(const std::string& kind, const std::string& message, const uint8_t* input,
             size_t size);

// Reports each finding with the input that led to it.
class Judge {
  public:
    Judge(const uint8_t* input, size_t size) : input_(input), size_(size) {}
    void Find(const std::string& kind, const std::string& message) const {
        Finding(kind, message, input_, size_);
    }

  private:
    const uint8_t* input_;
    size_t size_;
};

// The 32-bit wrap-around sum of the little-endian words of `data`, a last partial word counting
// its missing high bytes as zero.
uint32_t WordSum(const uint8_t* data, size_t size);

// Little-endian reads and writes; the caller has checked the bounds.
inline uint16_t Get16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}
inline uint32_t Get32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}
inline void Put16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}
inline void Put32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::string Hex(uint64_t value);
// The texts in brackets, each quoted, for messages.
std::string JoinNames(const std::vector<std::string>& names);

}  // namespace fuzzcheck
