#include "package/signature_check.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "package/byte_cursor.h"
#include "package/certificate_table.h"
#include "platform/crypto.h"

namespace package {
namespace {

// A signature with its certificates runs to kilobytes, a few hundred with many extra ones; a
// table claiming more than this is no signature worth reading into memory.
constexpr uint32_t kMaxTableSize = 64u << 20;

constexpr uint32_t kLfanewAt = 0x3C;
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint32_t kOptionalHeaderFromPe = 24;
constexpr uint16_t kPe32PlusMagic = 0x20B;
// From the optional header's first byte: the CheckSum field, and the security directory entry
// (data directory 4) of PE32 and PE32+. The image hash leaves both out, since signing changes
// them.
constexpr uint32_t kCheckSumAt = 64;
constexpr uint32_t kCheckSumSize = 4;
constexpr uint32_t kSecurityEntryAt = 128;
constexpr uint32_t kPe32PlusSecurityEntryAt = 144;

struct Excluded {
    uint64_t at;
    uint32_t size;
};

// Where the two fields the image hash leaves out lie; false when the headers are not there.
bool FindExcludedFields(platform::File& package, uint32_t tableAt, Excluded (&excluded)[2]) {
    uint8_t* buffer = WorkBuffer();
    uint32_t got = 0;
    if (!package.Seek(0, platform::SeekFrom::Begin) ||
        !package.Read(buffer, std::min(tableAt, kWorkBufferSize), &got)) {
        return false;
    }
    ByteCursor cursor(buffer, got);
    cursor.SeekTo(kLfanewAt);
    const uint32_t peAt = cursor.U32();
    cursor.SeekTo(peAt);
    const uint32_t signature = cursor.U32();
    const uint64_t optionalAt = uint64_t{peAt} + kOptionalHeaderFromPe;
    cursor.SeekTo(optionalAt);
    const bool pe32Plus = cursor.U16() == kPe32PlusMagic;
    const uint64_t entryAt = optionalAt + (pe32Plus ? kPe32PlusSecurityEntryAt : kSecurityEntryAt);
    if (!cursor.Ok() || signature != kPeSignature || entryAt + kSecurityEntrySize > got) {
        return false;
    }
    excluded[0] = {optionalAt + kCheckSumAt, kCheckSumSize};
    excluded[1] = {entryAt, kSecurityEntrySize};
    return true;
}

// The length of the DER element at the start of `data` with its tag and length, or 0 when it
// is no SEQUENCE that fits. The table pads the message to 8 bytes; the message itself ends here.
size_t SequenceLength(const uint8_t* data, size_t size) {
    ByteCursor cursor(data, size);
    const uint8_t* tag = cursor.Bytes(1);
    const uint8_t* first = cursor.Bytes(1);
    if (tag == nullptr || first == nullptr || *tag != 0x30 || *first == 0x80 || *first > 0x84) {
        return 0;
    }
    uint64_t length = *first;
    if (*first > 0x80) {
        const size_t count = *first - 0x80u;
        const uint8_t* bytes = cursor.Bytes(count);
        if (bytes == nullptr) {
            return 0;
        }
        length = 0;
        for (size_t i = 0; i < count; ++i) {
            length = (length << 8) | bytes[i];
        }
    }
    if (length > cursor.Remaining()) {
        return 0;
    }
    return cursor.Offset() + static_cast<size_t>(length);
}

// Reads exactly `size` bytes at `at`.
bool ReadAt(platform::File& package, uint64_t at, uint8_t* data, uint32_t size) {
    if (!package.Seek(static_cast<int64_t>(at), platform::SeekFrom::Begin)) {
        return false;
    }
    while (size > 0) {
        uint32_t got = 0;
        if (!package.Read(data, size, &got) || got == 0) {
            return false;
        }
        data += got;
        size -= got;
    }
    return true;
}

// One hash of the image per algorithm the signatures use.
struct ImageHash {
    platform::DigestAlgorithm algorithm;
    platform::Hasher hasher;
    std::vector<uint8_t> digest;
};

// Feeds the bytes [from, from + size), which lie at `position` in the file, to every hash, less
// the excluded fields.
bool FeedImageBytes(std::vector<ImageHash>& hashes, const uint8_t* data, uint64_t position,
                    uint32_t size, const Excluded (&excluded)[2]) {
    const uint64_t end = position + size;
    uint64_t at = position;
    auto feed = [&](uint64_t from, uint64_t to) {
        for (ImageHash& hash : hashes) {
            if (!hash.hasher.Update(data + (from - position), static_cast<size_t>(to - from))) {
                return false;
            }
        }
        return true;
    };
    for (const Excluded& field : excluded) {
        const uint64_t fieldEnd = field.at + field.size;
        if (fieldEnd <= at || field.at >= end) {
            continue;
        }
        if (field.at > at && !feed(at, field.at)) {
            return false;
        }
        at = std::max(at, fieldEnd);
    }
    return at >= end || feed(at, end);
}

// Hashes the file up to the table under every algorithm in `hashes`, through the work buffer.
bool HashImage(platform::File& package, uint32_t tableAt, const Excluded (&excluded)[2],
               std::vector<ImageHash>& hashes) {
    for (ImageHash& hash : hashes) {
        if (!hash.hasher.Start(hash.algorithm)) {
            return false;
        }
    }
    uint8_t* buffer = WorkBuffer();
    if (!package.Seek(0, platform::SeekFrom::Begin)) {
        return false;
    }
    uint64_t position = 0;
    while (position < tableAt) {
        const uint32_t want =
            static_cast<uint32_t>(std::min<uint64_t>(tableAt - position, kWorkBufferSize));
        uint32_t got = 0;
        if (!package.Read(buffer, want, &got) || got == 0 ||
            !FeedImageBytes(hashes, buffer, position, got, excluded)) {
            return false;
        }
        position += got;
    }
    for (ImageHash& hash : hashes) {
        if (!hash.hasher.Finish(hash.digest)) {
            return false;
        }
    }
    return true;
}

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

// Why the table at `entry` cannot hold a signature, judged from its place; empty when it can.
std::string PlaceProblem(const ImageSignature& entry, uint64_t fileSize, uint32_t imageEnd) {
    if (entry.size < kCertificateHeaderSize) {
        return "the certificate table is too short for its header";
    }
    if (entry.offset % kCertificateTableAlignment != 0) {
        return "the certificate table at " + Hex32(entry.offset) + " is not 8-byte aligned";
    }
    if (uint64_t{entry.offset} + entry.size != fileSize) {
        return "the certificate table does not end the file";
    }
    if (imageEnd == kNoOverlayOffset || entry.offset < imageEnd) {
        return "the certificate table lies within the image";
    }
    if (entry.size > kMaxTableSize) {
        return "the certificate table is larger than 64 MiB";
    }
    return {};
}

// The first problem met among the signatures, in words, for `out.problem`.
std::string SignatureProblem(const platform::AuthenticodeSignature& signature, bool matches,
                             const std::string& which) {
    if (signature.algorithm == platform::DigestAlgorithm::Unknown) {
        return which + " uses the digest algorithm " + signature.algorithmName +
               ", which is not supported";
    }
    if (!matches) {
        return "the image digest does not match " + which;
    }
    if (!signature.signatureVerifies) {
        return which + ": " + signature.problem;
    }
    return {};
}

}  // namespace

bool CheckImageSignature(platform::File& package, const ImageSignature& entry,
                         SignatureCheck& out) {
    out = SignatureCheck{};
    out.present = entry.present;
    out.tableAt = entry.offset;
    out.tableSize = entry.size;
    if (!entry.present) {
        out.problem = "the image is not signed";
        return true;
    }
    uint64_t fileSize = 0;
    if (!package.Size(&fileSize)) {
        return false;
    }
    out.problem = PlaceProblem(entry, fileSize, FindOverlayOffset(package));
    if (!out.problem.empty()) {
        return true;
    }
    Excluded excluded[2];
    if (!FindExcludedFields(package, entry.offset, excluded)) {
        out.problem = "the image headers do not lie before the certificate table";
        return true;
    }

    std::vector<uint8_t> table(entry.size);
    if (!ReadAt(package, entry.offset, table.data(), entry.size)) {
        return false;
    }
    ByteCursor cursor(table.data(), table.size());
    const uint32_t length = cursor.U32();
    const uint16_t revision = cursor.U16();
    const uint16_t type = cursor.U16();
    if (revision != kCertificateRevision2) {
        out.problem = "the certificate's revision is " + Hex32(revision) + ", not 0x200";
        return true;
    }
    if (type != kCertificateTypePkcsSignedData) {
        out.problem =
            "the certificate's type is " + std::to_string(type) + ", not 2 (PKCS #7 SignedData)";
        return true;
    }
    if (length < kCertificateHeaderSize || length > entry.size) {
        out.problem =
            "the certificate's length " + std::to_string(length) + " does not fit the table";
        return true;
    }
    const uint8_t* message = table.data() + kCertificateHeaderSize;
    const size_t messageSize = SequenceLength(message, length - kCertificateHeaderSize);
    platform::AuthenticodeSignature outer;
    if (messageSize == 0 || !platform::ReadAuthenticodeSignature(message, messageSize, outer)) {
        out.problem = messageSize == 0 ? "the certificate holds no DER message" : outer.problem;
        return true;
    }
    out.digestAlgorithm = outer.algorithmName;
    out.signer = outer.signer;
    out.nested = static_cast<uint32_t>(outer.nested.size());

    std::vector<platform::AuthenticodeSignature> signatures(1 + outer.nested.size());
    std::vector<std::string> unreadable(signatures.size());
    for (size_t i = 0; i < outer.nested.size(); ++i) {
        const std::vector<uint8_t>& der = outer.nested[i];
        if (!platform::ReadAuthenticodeSignature(der.data(), der.size(), signatures[i + 1])) {
            unreadable[i + 1] = signatures[i + 1].problem;
        }
    }
    signatures[0] = std::move(outer);

    std::vector<ImageHash> hashes;
    for (const platform::AuthenticodeSignature& signature : signatures) {
        const bool known = signature.algorithm != platform::DigestAlgorithm::Unknown;
        const bool have = std::any_of(hashes.begin(), hashes.end(), [&](const ImageHash& hash) {
            return hash.algorithm == signature.algorithm;
        });
        if (known && !have) {
            hashes.push_back(ImageHash{signature.algorithm, {}, {}});
        }
    }
    if (!HashImage(package, entry.offset, excluded, hashes)) {
        return false;
    }

    out.digestMatches = true;
    bool verified = true;
    for (size_t i = 0; i < signatures.size(); ++i) {
        const platform::AuthenticodeSignature& signature = signatures[i];
        const std::string which =
            i == 0 ? "the signature" : "nested signature " + std::to_string(i);
        if (!unreadable[i].empty()) {
            out.digestMatches = false;
            if (out.problem.empty()) {
                out.problem = which + ": " + unreadable[i];
            }
            continue;
        }
        const auto hash = std::find_if(hashes.begin(), hashes.end(), [&](const ImageHash& h) {
            return h.algorithm == signature.algorithm;
        });
        const bool matches = hash != hashes.end() && hash->digest == signature.digest;
        out.digestMatches = out.digestMatches && matches;
        verified = verified && signature.signatureVerifies;
        if (out.problem.empty()) {
            out.problem = SignatureProblem(signature, matches, which);
        }
    }
    out.intact = out.digestMatches && verified;

#ifdef _WIN32
    std::string trustedSigner;
    platform::VerifyFileTrust(package.Path(), out.trust, trustedSigner);
    if (out.signer.empty()) {
        out.signer = trustedSigner;
    }
#endif
    return true;
}

}  // namespace package
