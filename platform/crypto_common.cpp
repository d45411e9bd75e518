#include "platform/crypto.h"

#include <cstring>
#include <memory>

#include "platform/file.h"

namespace platform {
namespace {

struct KnownDigest {
    const char* oid;
    DigestAlgorithm algorithm;
    const char* name;
};

constexpr KnownDigest kKnownDigests[] = {
    {"1.3.14.3.2.26", DigestAlgorithm::Sha1, "sha1"},
    {"2.16.840.1.101.3.4.2.1", DigestAlgorithm::Sha256, "sha256"},
    {"2.16.840.1.101.3.4.2.2", DigestAlgorithm::Sha384, "sha384"},
    {"2.16.840.1.101.3.4.2.3", DigestAlgorithm::Sha512, "sha512"},
};

}  // namespace

DigestAlgorithm DigestAlgorithmFromOid(const char* oid) {
    for (const KnownDigest& known : kKnownDigests) {
        if (oid != nullptr && std::strcmp(oid, known.oid) == 0) {
            return known.algorithm;
        }
    }
    return DigestAlgorithm::Unknown;
}

const char* DigestAlgorithmName(DigestAlgorithm algorithm) {
    for (const KnownDigest& known : kKnownDigests) {
        if (known.algorithm == algorithm) {
            return known.name;
        }
    }
    return nullptr;
}

std::string HexDigest(const std::vector<uint8_t>& digest) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (uint8_t byte : digest) {
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 15]);
    }
    return text;
}

bool HashFile(const char* path, DigestAlgorithm algorithm, uint64_t* size, std::string* hexDigest) {
    constexpr uint32_t kChunk = 1u << 16;
    File file;
    if (!file.Open(path, Access::Read, Disposition::OpenExisting, Sharing::ReadWrite)) {
        return false;
    }
    auto buffer = std::make_unique<uint8_t[]>(kChunk);
    Hasher hash;
    if (!hash.Start(algorithm)) {
        return false;
    }
    uint64_t total = 0;
    for (;;) {
        uint32_t got = 0;
        if (!file.Read(buffer.get(), kChunk, &got)) {
            return false;
        }
        if (got == 0) {
            break;
        }
        if (!hash.Update(buffer.get(), got)) {
            return false;
        }
        total += got;
    }
    std::vector<uint8_t> digest;
    if (!hash.Finish(digest)) {
        return false;
    }
    *size = total;
    *hexDigest = HexDigest(digest);
    return true;
}

}  // namespace platform
