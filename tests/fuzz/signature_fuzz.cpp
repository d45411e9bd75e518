// libFuzzer target: the certificate table of a signed package, and the signature check. The
// table's place and header, the image digest and the digest the signature vouches for are each
// worked out here apart from the engine: a PE walk, a DER walk and one-shot hashes of our own.
//
// Input: the package itself, so that packages signed by osslsigncode serve as seeds.
//
// What is judged:
// - the security directory entry FindImageSignature reads, against our own header walk;
// - IsTrailingCertificateTable and ArchiveLimit, against the table rules (aligned, the file's
//   last bytes, behind the archive's start, a WIN_CERTIFICATE header of revision 0x200 and
//   type 2 whose length fits);
// - CheckImageSignature: a table that breaks those rules (or lies within the image) is never
//   intact, and one that keeps them is not refused for its place; the outer signature's digest
//   matches exactly when our own image digest equals the DigestInfo our DER walk finds;
//   intact implies the digests match; and a signature whose digest matches and whose signer's
//   signature verifies under OpenSSL, with no nested signature, is intact (an unchanged seed is
//   one such).
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "package/certificate_table.h"
#include "package/package_layout.h"
#include "package/signature_check.h"
#include "platform/file.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/image_walk.h"

namespace {

using fuzzcheck::Bytes;
using fuzzcheck::Get16;
using fuzzcheck::Get32;
using fuzzcheck::Hex;
using fuzzcheck::ImageWalk;

constexpr uint64_t kHeaderSpan = 1u << 20;
constexpr uint64_t kDosHeaderEnd = 0x40;
constexpr uint32_t kPeSignature = 0x00004550;
constexpr uint64_t kOptionalFromPe = 24;
constexpr uint64_t kOptionalSizeFromPe = 20;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
// From the optional header: CheckSum, NumberOfRvaAndSizes and the data directories.
constexpr uint64_t kCheckSumAt = 64;
constexpr uint64_t kCountAt = 92;
constexpr uint64_t kPlusCountAt = 108;
constexpr uint64_t kDirectoriesAt = 96;
constexpr uint64_t kPlusDirectoriesAt = 112;
constexpr uint64_t kSecurityIndex = 4;
constexpr uint32_t kTableHeaderSize = 8;
constexpr uint64_t kLargestTable = 64u << 20;

std::string g_packagePath;

// How often each stage was reached, printed at exit, so that a run shows its checks ran.
struct Counts {
    uint64_t inputs = 0;
    uint64_t usable = 0;
    uint64_t parsed = 0;
    uint64_t compared = 0;
    uint64_t matched = 0;
    uint64_t verified = 0;
    uint64_t intact = 0;
};
Counts g_counts;

void PrintCounts() {
    std::fprintf(stderr,
                 "signature_fuzz: %llu inputs, %llu usable tables, %llu digests read here, %llu "
                 "compared with the engine's, %llu matching, %llu verified here, %llu intact\n",
                 static_cast<unsigned long long>(g_counts.inputs),
                 static_cast<unsigned long long>(g_counts.usable),
                 static_cast<unsigned long long>(g_counts.parsed),
                 static_cast<unsigned long long>(g_counts.compared),
                 static_cast<unsigned long long>(g_counts.matched),
                 static_cast<unsigned long long>(g_counts.verified),
                 static_cast<unsigned long long>(g_counts.intact));
}

// The security directory entry as our own walk of the headers in the first MiB finds it.
struct OwnEntry {
    bool judged = true;  // false for an optional header of neither kind
    bool present = false;
    uint32_t offset = 0;
    uint32_t size = 0;
    uint64_t optionalAt = 0;
    uint64_t entryAt = 0;
};

OwnEntry ReadOwnEntry(const Bytes& file) {
    OwnEntry own;
    const uint64_t span = std::min<uint64_t>(file.size(), kHeaderSpan);
    if (span < kDosHeaderEnd || file[0] != 'M' || file[1] != 'Z') {
        return own;
    }
    const uint64_t pe = Get32(&file[0x3C]);
    if (pe + kOptionalFromPe + 2 > span || Get32(&file[pe]) != kPeSignature) {
        return own;
    }
    const uint64_t optional = pe + kOptionalFromPe;
    const uint16_t magic = Get16(&file[optional]);
    if (magic != kMagicPe32 && magic != kMagicPe32Plus) {
        own.judged = false;
        return own;
    }
    const bool plus = magic == kMagicPe32Plus;
    const uint64_t count = optional + (plus ? kPlusCountAt : kCountAt);
    const uint64_t entry =
        optional + (plus ? kPlusDirectoriesAt : kDirectoriesAt) + kSecurityIndex * 8;
    const uint64_t optionalEnd = optional + Get16(&file[pe + kOptionalSizeFromPe]);
    // The entry is there only inside the optional header's stated size and among its stated
    // number of directories.
    if (count + 4 > span || entry + 8 > span || entry + 8 > optionalEnd ||
        Get32(&file[count]) <= kSecurityIndex) {
        return own;
    }
    own.optionalAt = optional;
    own.entryAt = entry;
    own.offset = Get32(&file[entry]);
    own.size = Get32(&file[entry + 4]);
    own.present = own.offset != 0 || own.size != 0;
    return own;
}

enum class Verdict { No, Yes, Unjudged };

struct Placement {
    Verdict usable = Verdict::No;
    std::string why;
};

bool HeaderFits(const Bytes& file, const OwnEntry& own) {
    const uint8_t* header = &file[own.offset];
    const uint32_t length = Get32(header);
    return Get16(header + 4) == 0x0200 && Get16(header + 6) == 2 && length >= kTableHeaderSize &&
           length <= own.size;
}

// Whether the table can hold a signature at all, by its place and header.
Placement JudgePlacement(const Bytes& file, const OwnEntry& own, const ImageWalk& walk) {
    if (!own.judged) {
        return {Verdict::Unjudged, "optional header of neither kind"};
    }
    if (!own.present) {
        return {Verdict::No, "no entry"};
    }
    if (own.size < kTableHeaderSize) {
        return {Verdict::No, "too short"};
    }
    if (own.offset % 8 != 0) {
        return {Verdict::No, "unaligned"};
    }
    if (uint64_t{own.offset} + own.size != file.size()) {
        return {Verdict::No, "not at the end"};
    }
    if (walk.verdict == ImageWalk::Verdict::NotAnImage) {
        return {Verdict::No, "no image: " + walk.why};
    }
    if (own.offset < walk.overlayOffset) {
        return {Verdict::No, "within the image ending at " + Hex(walk.overlayOffset)};
    }
    if (own.size > kLargestTable) {
        return {Verdict::No, "too large"};
    }
    if (own.entryAt + 8 > own.offset) {
        return {Verdict::No, "headers behind the table"};
    }
    if (!HeaderFits(file, own)) {
        return {Verdict::No, "header"};
    }
    if (walk.verdict == ImageWalk::Verdict::EitherWay) {
        return {Verdict::Unjudged, walk.why};
    }
    return {Verdict::Yes, {}};
}

// A DER element of low tag number with a definite length of at most four bytes.
bool Element(const uint8_t*& at, const uint8_t* end, uint8_t tag, const uint8_t** body,
             size_t* length) {
    if (end - at < 2 || at[0] != tag) {
        return false;
    }
    const uint8_t first = at[1];
    const uint8_t* p = at + 2;
    size_t n = first;
    if (first >= 0x80) {
        const size_t count = first - 0x80u;
        if (count == 0 || count > 4 || static_cast<size_t>(end - p) < count) {
            return false;
        }
        n = 0;
        for (size_t i = 0; i < count; ++i) {
            n = (n << 8) | p[i];
        }
        p += count;
    }
    if (n > static_cast<size_t>(end - p)) {
        return false;
    }
    *body = p;
    *length = n;
    at = p + n;
    return true;
}

// What the outer signature vouches for, read by our own DER walk.
struct OwnSignature {
    size_t messageSize = 0;  // the ContentInfo with its tag and length
    Bytes algorithmOid;      // the OID's contents
    Bytes digest;
    const uint8_t* signedContent = nullptr;  // the SpcIndirectDataContent's value
    size_t signedSize = 0;
};

const uint8_t kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const uint8_t kIndirectDataOid[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};

bool OidIs(const uint8_t* body, size_t length, const uint8_t* oid, size_t oidSize) {
    return length == oidSize && std::memcmp(body, oid, oidSize) == 0;
}

// ContentInfo { signedData, [0] SignedData { version, digestAlgorithms, ContentInfo {
// spcIndirectData, [0] SpcIndirectDataContent { data, DigestInfo { AlgorithmIdentifier,
// OCTET STRING } } }, ... } }
bool ReadOwnSignature(const uint8_t* message, size_t size, OwnSignature& out) {
    const uint8_t* at = message;
    const uint8_t* end = message + size;
    const uint8_t* body = nullptr;
    size_t length = 0;
    if (!Element(at, end, 0x30, &body, &length)) {
        return false;
    }
    out.messageSize = static_cast<size_t>(at - message);
    at = body;
    end = body + length;
    if (!Element(at, end, 0x06, &body, &length) ||
        !OidIs(body, length, kSignedDataOid, sizeof(kSignedDataOid)) ||
        !Element(at, end, 0xA0, &body, &length)) {
        return false;
    }
    at = body;
    end = body + length;
    if (!Element(at, end, 0x30, &body, &length)) {  // SignedData
        return false;
    }
    at = body;
    end = body + length;
    if (!Element(at, end, 0x02, &body, &length) || !Element(at, end, 0x31, &body, &length) ||
        !Element(at, end, 0x30, &body, &length)) {  // the content's ContentInfo
        return false;
    }
    at = body;
    end = body + length;
    if (!Element(at, end, 0x06, &body, &length) ||
        !OidIs(body, length, kIndirectDataOid, sizeof(kIndirectDataOid)) ||
        !Element(at, end, 0xA0, &body, &length)) {
        return false;
    }
    at = body;
    end = body + length;
    if (!Element(at, end, 0x30, &body, &length)) {  // SpcIndirectDataContent
        return false;
    }
    out.signedContent = body;
    out.signedSize = length;
    at = body;
    end = body + length;
    if (!Element(at, end, 0x30, &body, &length) ||  // data
        !Element(at, end, 0x30, &body, &length)) {  // DigestInfo
        return false;
    }
    at = body;
    end = body + length;
    const uint8_t* algorithm = nullptr;
    size_t algorithmSize = 0;
    const uint8_t* digest = nullptr;
    size_t digestSize = 0;
    if (!Element(at, end, 0x30, &algorithm, &algorithmSize) ||
        !Element(at, end, 0x04, &digest, &digestSize)) {
        return false;
    }
    const uint8_t* oidAt = algorithm;
    if (!Element(oidAt, algorithm + algorithmSize, 0x06, &body, &length)) {
        return false;
    }
    out.algorithmOid.assign(body, body + length);
    out.digest.assign(digest, digest + digestSize);
    return true;
}

struct Algorithm {
    const char* name;
    Bytes oid;
    unsigned char* (*hash)(const unsigned char*, size_t, unsigned char*);
    size_t size;
};

const std::vector<Algorithm>& Algorithms() {
    static const std::vector<Algorithm> known = {
        {"sha1", {0x2B, 0x0E, 0x03, 0x02, 0x1A}, SHA1, SHA_DIGEST_LENGTH},
        {"sha256",
         {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01},
         SHA256,
         SHA256_DIGEST_LENGTH},
        {"sha384",
         {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02},
         SHA384,
         SHA384_DIGEST_LENGTH},
        {"sha512",
         {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03},
         SHA512,
         SHA512_DIGEST_LENGTH},
    };
    return known;
}

// The image digest: every byte before the table but the CheckSum field and the entry.
Bytes OwnImageDigest(const Bytes& file, const OwnEntry& own, const Algorithm& algorithm) {
    Bytes image(file.begin(), file.begin() + own.offset);
    const uint64_t checkSum = own.optionalAt + kCheckSumAt;
    // The entry lies further on than the CheckSum field: taking it out first leaves the
    // field's place as it was.
    image.erase(image.begin() + static_cast<ptrdiff_t>(own.entryAt),
                image.begin() + static_cast<ptrdiff_t>(own.entryAt + 8));
    image.erase(image.begin() + static_cast<ptrdiff_t>(checkSum),
                image.begin() + static_cast<ptrdiff_t>(checkSum + 4));
    Bytes digest(algorithm.size);
    algorithm.hash(image.data(), image.size(), digest.data());
    return digest;
}

// Whether the outer signer's signature over the SpcIndirectDataContent verifies with the
// certificate the message carries, with exactly one signer, as Authenticode has it.
bool OwnSignerVerifies(const uint8_t* message, const OwnSignature& own) {
    const unsigned char* at = message;
    PKCS7* pkcs7 = d2i_PKCS7(nullptr, &at, static_cast<long>(own.messageSize));
    bool verifies = false;
    if (pkcs7 != nullptr && PKCS7_type_is_signed(pkcs7)) {
        STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(pkcs7);
        // Behind a buffer, so that PKCS7_verify takes the content as it is: OpenSSL 3.0 copies
        // a bare memory BIO into one of its own and loses that copy when the message names a
        // digest it does not know.
        BIO* memory = BIO_new_mem_buf(own.signedContent, static_cast<int>(own.signedSize));
        BIO* content = memory != nullptr ? BIO_new(BIO_f_buffer()) : nullptr;
        if (content != nullptr) {
            BIO_push(content, memory);
        } else {
            BIO_free(memory);
        }
        verifies = signers != nullptr && sk_PKCS7_SIGNER_INFO_num(signers) == 1 &&
                   content != nullptr &&
                   PKCS7_verify(pkcs7, nullptr, nullptr, content, nullptr,
                                PKCS7_NOVERIFY | PKCS7_BINARY) == 1;
        BIO_free_all(content);
    }
    PKCS7_free(pkcs7);
    ERR_clear_error();
    return verifies;
}

bool IsPlacementProblem(const std::string& problem) {
    for (const char* prefix : {"the image is not signed", "the certificate table",
                               "the certificate's", "the image headers do not lie"}) {
        if (problem.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

std::string HexBytes(const Bytes& bytes) {
    std::string text;
    char pair[3];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof(pair), "%02x", byte);
        text += pair;
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_packagePath = fuzzcheck::MakeWorkFolder("ktl-signature-fuzz") + "/ZorSetup.exe";
    std::atexit(PrintCounts);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzcheck::ArmFileSizeCap();
    const Bytes file(data, data + size);
    if (!fuzzcheck::WriteWholeFile(g_packagePath, file)) {
        return 0;
    }
    platform::File package;
    if (!package.Open(g_packagePath.c_str(), platform::Access::Read,
                      platform::Disposition::OpenExisting)) {
        return 0;
    }
    ++g_counts.inputs;
    const fuzzcheck::Judge judge(data, size);

    package::ImageSignature entry;
    if (!package::FindImageSignature(package, entry)) {
        judge.Find("entry.unread", "FindImageSignature could not read the file");
        return 0;
    }
    const OwnEntry own = ReadOwnEntry(file);
    if (own.judged && (entry.present != own.present || entry.offset != own.offset ||
                       entry.size != own.size || entry.entryAt != own.entryAt)) {
        judge.Find("entry.differs", "the engine read an entry at " + Hex(entry.entryAt) + " (" +
                                        Hex(entry.offset) + ", " + Hex(entry.size) +
                                        "), expected one at " + Hex(own.entryAt) + " (" +
                                        Hex(own.offset) + ", " + Hex(own.size) + ")");
        return 0;
    }
    const ImageWalk walk = fuzzcheck::WalkImageHeaders(file.data(), file.size());
    const Placement placement = JudgePlacement(file, own, walk);

    // The member archive starts at the image end: a trailing table lies behind it.
    if (own.judged && walk.verdict == ImageWalk::Verdict::Image) {
        const uint64_t archiveStart = walk.overlayOffset;
        const bool trailing = own.present && own.size >= kTableHeaderSize && own.offset % 8 == 0 &&
                              own.offset > archiveStart &&
                              uint64_t{own.offset} + own.size == file.size() &&
                              HeaderFits(file, own);
        const bool said =
            package::IsTrailingCertificateTable(package, file.size(), archiveStart, entry);
        const uint64_t limit = package::ArchiveLimit(package, file.size(), archiveStart, entry);
        if (said != trailing || limit != (trailing ? own.offset : file.size())) {
            judge.Find("table.trailing", std::string("the table is ") +
                                             (said ? "trailing" : "not trailing") +
                                             " with the archive ending at " + Hex(limit) +
                                             ", expected " + (trailing ? "trailing" : "not") +
                                             " behind an archive from " + Hex(archiveStart));
        }
    }

    package::SignatureCheck check;
    if (!package::CheckImageSignature(package, entry, check)) {
        judge.Find("check.failed", "CheckImageSignature could not read the file");
        return 0;
    }
    if (check.intact) {
        ++g_counts.intact;
    }
    if (check.intact && !check.digestMatches) {
        judge.Find("check.intact-without-digest", "intact, yet the digests do not match");
    }
    if (check.present != entry.present || check.tableAt != entry.offset ||
        check.tableSize != entry.size) {
        judge.Find("check.entry", "the check reports a table at " + Hex(check.tableAt) + " of " +
                                      Hex(check.tableSize) + " bytes");
    }
    if (placement.usable == Verdict::No) {
        if (check.problem.empty() || check.intact || check.digestMatches ||
            !check.digestAlgorithm.empty()) {
            judge.Find("table.accepted", "a table that cannot hold a signature (" + placement.why +
                                             ") was read as one, problem '" + check.problem + "'");
        }
        return 0;
    }
    if (placement.usable == Verdict::Unjudged) {
        return 0;
    }
    ++g_counts.usable;
    if (IsPlacementProblem(check.problem)) {
        judge.Find("table.refused",
                   "a table that keeps every rule was refused: '" + check.problem + "'");
    }

    const uint8_t* message = file.data() + own.offset + kTableHeaderSize;
    OwnSignature signature;
    if (!ReadOwnSignature(message, Get32(&file[own.offset]) - kTableHeaderSize, signature)) {
        return 0;
    }
    ++g_counts.parsed;
    const std::vector<Algorithm>& algorithms = Algorithms();
    const auto algorithm = std::find_if(algorithms.begin(), algorithms.end(), [&](auto& known) {
        return known.oid == signature.algorithmOid;
    });
    Bytes digest;
    if (algorithm != algorithms.end()) {
        digest = OwnImageDigest(file, own, *algorithm);
    }
    const bool matches = algorithm != algorithms.end() && digest == signature.digest;
    if (check.digestAlgorithm.empty()) {
        // OpenSSL refused what our walk reads: a message that is no signature to the engine.
        if (check.digestMatches) {
            judge.Find("digest.unread-match", "the digest matches a signature not read");
        }
        return 0;
    }
    ++g_counts.compared;
    if (algorithm != algorithms.end() && check.digestAlgorithm != algorithm->name) {
        judge.Find("digest.algorithm", "the engine read " + check.digestAlgorithm +
                                           ", the DER says " + algorithm->name);
    }
    // Nested signatures count in digestMatches too: only a mismatch of the outer one decides.
    const bool wrong =
        check.nested == 0 ? check.digestMatches != matches : check.digestMatches && !matches;
    if (wrong) {
        judge.Find("digest.differs", std::string("digestMatches is ") +
                                         (check.digestMatches ? "true" : "false") +
                                         "; the image digest here is " + HexBytes(digest) +
                                         ", the signature's " + HexBytes(signature.digest) + " (" +
                                         std::to_string(check.nested) + " nested)");
    }
    if (!matches) {
        return 0;
    }
    ++g_counts.matched;
    if (!OwnSignerVerifies(message, signature)) {
        return 0;
    }
    ++g_counts.verified;
    if (check.nested == 0 && !check.intact) {
        judge.Find("check.not-intact",
                   "a matching signature that verifies is not intact: '" + check.problem + "'");
    }
    return 0;
}
