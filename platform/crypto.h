// The platform's own cryptography: hashing, and the reading and checking of the PKCS #7 signed
// message that an Authenticode signature is. POSIX builds use OpenSSL's libcrypto, Windows builds
// CNG and CryptoAPI, so a package is judged by the same code that judges every other signed file
// on the machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

enum class DigestAlgorithm { Unknown, Sha1, Sha256, Sha384, Sha512 };

// The algorithm a dotted object identifier names; Unknown for any other.
DigestAlgorithm DigestAlgorithmFromOid(const char* oid);
// "sha1", "sha256", "sha384", "sha512"; nullptr for Unknown.
const char* DigestAlgorithmName(DigestAlgorithm algorithm);

// An incremental hash. Start may be called again to begin anew.
class Hasher {
  public:
    Hasher() = default;
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;
    Hasher(Hasher&& other) noexcept : state_(other.state_) { other.state_ = nullptr; }
    Hasher& operator=(Hasher&& other) noexcept {
        if (this != &other) {
            Release();
            state_ = other.state_;
            other.state_ = nullptr;
        }
        return *this;
    }

    // False for Unknown, or when the system has no such hash.
    bool Start(DigestAlgorithm algorithm);
    bool Update(const void* data, size_t size);
    // The digest; Start must be called before the next Update.
    bool Finish(std::vector<uint8_t>& digest);

  private:
    void Release();

    struct State;
    State* state_ = nullptr;
};

// Lowercase hex, as sha256sum prints it.
std::string HexDigest(const std::vector<uint8_t>& digest);

// The size and the hex digest of the file at `path`, read once from start to end, while others
// may keep writing it open. False when it cannot be read.
bool HashFile(const char* path, DigestAlgorithm algorithm, uint64_t* size, std::string* hexDigest);

// What one Authenticode signature says: the image digest its signer vouched for (the
// SpcIndirectDataContent's DigestInfo), whether the signer's signature over that content checks
// out with the signer's own certificate (whether anyone trusts that certificate is not asked),
// and the signatures nested in its unsigned attributes, each a whole PKCS #7 message of its own.
struct AuthenticodeSignature {
    DigestAlgorithm algorithm = DigestAlgorithm::Unknown;
    std::string algorithmName;  // DigestAlgorithmName, or the identifier of one we do not know
    std::vector<uint8_t> digest;
    bool signatureVerifies = false;
    std::string signer;   // the signing certificate's subject, as the system names it
    std::string problem;  // why the message cannot be read or its signature does not verify
    std::vector<std::vector<uint8_t>> nested;
};

// Reads the DER PKCS #7 SignedData `der`. False when it is no SignedData over an
// SpcIndirectDataContent (problem says why); true otherwise, whether or not the signature
// verifies.
bool ReadAuthenticodeSignature(const uint8_t* der, size_t size, AuthenticodeSignature& out);

#ifdef _WIN32
// The system's verdict on the signed file at `path` (WinVerifyTrust: the Authenticode policy,
// no revocation check, nothing fetched from the network), in words: "trusted" or why not.
// `signer` is the name of the certificate the verdict was reached on, when there is one.
void VerifyFileTrust(const char* path, std::string& verdict, std::string& signer);
#endif

}  // namespace platform
