// SHA-256 (FIPS 180-4), for the sums ktl --json gives of the packages it writes: a script can
// compare them with Get-FileHash or sha256sum without trusting ktl's own account of the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace cli {

class Sha256 {
  public:
    Sha256();
    void Update(const uint8_t* data, size_t size);
    // The digest; the object is spent afterwards.
    std::array<uint8_t, 32> Finish();

  private:
    void Block(const uint8_t* block);

    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> pending_ = {};
    size_t pendingSize_ = 0;
    uint64_t totalBytes_ = 0;
};

// Lowercase hex, as sha256sum prints it.
std::string HexDigest(const std::array<uint8_t, 32>& digest);

// The size and SHA-256 of the file at `path`, read once from start to end. False when it cannot
// be read.
bool HashFile(const char* path, uint64_t* size, std::string* sha256);

}  // namespace cli
