#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

#include "platform/crypto.h"

namespace platform {
namespace {

constexpr const char* kIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";
constexpr const char* kNestedSignatureOid = "1.3.6.1.4.1.311.2.4.1";

const EVP_MD* DigestOf(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::Sha1:
            return EVP_sha1();
        case DigestAlgorithm::Sha256:
            return EVP_sha256();
        case DigestAlgorithm::Sha384:
            return EVP_sha384();
        case DigestAlgorithm::Sha512:
            return EVP_sha512();
        case DigestAlgorithm::Unknown:
            break;
    }
    return nullptr;
}

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using ObjectPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT, ASN1_OBJECT_free>>;
using DigestInfoPtr = std::unique_ptr<X509_SIG, Deleter<X509_SIG, X509_SIG_free>>;

void FreeBio(BIO* bio) {
    BIO_free(bio);
}
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, FreeBio>>;

std::string OidText(const ASN1_OBJECT* object) {
    char text[128] = {};
    if (object == nullptr || OBJ_obj2txt(text, sizeof(text), object, 1) <= 0) {
        return {};
    }
    return text;
}

// The oldest error OpenSSL queued, in words, and the queue emptied.
std::string TakeError(const char* what) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return what;
    }
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof(text));
    return std::string(what) + " (" + text + ")";
}

// Steps into the DER element of type `tag` at `at`: `at` and `left` then span its contents, and
// `next` is where the element after it begins.
bool Enter(const unsigned char*& at, long& left, int tag, const unsigned char** next) {
    long length = 0;
    int foundTag = 0;
    int foundClass = 0;
    const unsigned char* contents = at;
    int flags = ASN1_get_object(&contents, &length, &foundTag, &foundClass, left);
    // 0x80: malformed or longer than what is left; 1: an indefinite length, which DER has not.
    if ((flags & 0x80) != 0 || (flags & 1) != 0 || foundClass != V_ASN1_UNIVERSAL ||
        foundTag != tag) {
        return false;
    }
    if (next != nullptr) {
        *next = contents + length;
    }
    left = length;
    at = contents;
    return true;
}

// The DigestInfo of an SpcIndirectDataContent ::= SEQUENCE { data, messageDigest DigestInfo },
// and the bytes Authenticode signs: the content's value, without its own tag and length.
bool ReadIndirectData(const ASN1_STRING* sequence, AuthenticodeSignature& out,
                      const unsigned char** value, long* valueSize) {
    const unsigned char* at = ASN1_STRING_get0_data(sequence);
    long left = ASN1_STRING_length(sequence);
    if (!Enter(at, left, V_ASN1_SEQUENCE, nullptr)) {
        return false;
    }
    *value = at;
    *valueSize = left;
    const unsigned char* end = at + left;
    const unsigned char* digestInfoAt = nullptr;
    if (!Enter(at, left, V_ASN1_SEQUENCE, &digestInfoAt)) {
        return false;
    }
    const unsigned char* p = digestInfoAt;
    DigestInfoPtr digestInfo(d2i_X509_SIG(nullptr, &p, end - digestInfoAt));
    if (!digestInfo) {
        return false;
    }
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* digest = nullptr;
    X509_SIG_get0(digestInfo.get(), &algorithm, &digest);
    const ASN1_OBJECT* algorithmOid = nullptr;
    X509_ALGOR_get0(&algorithmOid, nullptr, nullptr, algorithm);
    const std::string oid = OidText(algorithmOid);
    out.algorithm = DigestAlgorithmFromOid(oid.c_str());
    const char* name = DigestAlgorithmName(out.algorithm);
    if (name == nullptr) {
        // OpenSSL's own name for one we do not hash ("md5"), else the bare identifier.
        const int nid = OBJ_obj2nid(algorithmOid);
        name = nid != NID_undef ? OBJ_nid2ln(nid) : nullptr;
    }
    out.algorithmName = name != nullptr ? name : oid;
    const unsigned char* bytes = ASN1_STRING_get0_data(digest);
    out.digest.assign(bytes, bytes + ASN1_STRING_length(digest));
    return true;
}

std::string SubjectName(X509* certificate) {
    X509_NAME* subject = X509_get_subject_name(certificate);
    char text[256] = {};
    if (subject == nullptr) {
        return {};
    }
    if (X509_NAME_get_text_by_NID(subject, NID_commonName, text, sizeof(text)) > 0) {
        return text;
    }
    return X509_NAME_oneline(subject, text, sizeof(text)) != nullptr ? text : "";
}

void CollectNested(PKCS7_SIGNER_INFO* signerInfo, AuthenticodeSignature& out) {
    const STACK_OF(X509_ATTRIBUTE)* attributes = signerInfo->unauth_attr;
    ObjectPtr nestedOid(OBJ_txt2obj(kNestedSignatureOid, 1));
    if (attributes == nullptr || !nestedOid) {
        return;
    }
    for (int at = X509at_get_attr_by_OBJ(attributes, nestedOid.get(), -1); at >= 0;
         at = X509at_get_attr_by_OBJ(attributes, nestedOid.get(), at)) {
        X509_ATTRIBUTE* attribute = X509at_get_attr(attributes, at);
        for (int i = 0; i < X509_ATTRIBUTE_count(attribute); ++i) {
            const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, i);
            if (value != nullptr && value->type == V_ASN1_SEQUENCE) {
                const unsigned char* bytes = ASN1_STRING_get0_data(value->value.sequence);
                out.nested.emplace_back(bytes, bytes + ASN1_STRING_length(value->value.sequence));
            }
        }
    }
}

}  // namespace

struct Hasher::State {
    EVP_MD_CTX* context = nullptr;
};

Hasher::~Hasher() {
    Release();
}

void Hasher::Release() {
    if (state_ != nullptr) {
        EVP_MD_CTX_free(state_->context);
        delete state_;
        state_ = nullptr;
    }
}

bool Hasher::Start(DigestAlgorithm algorithm) {
    Release();
    const EVP_MD* digest = DigestOf(algorithm);
    if (digest == nullptr) {
        return false;
    }
    state_ = new State;
    state_->context = EVP_MD_CTX_new();
    if (state_->context == nullptr || EVP_DigestInit_ex(state_->context, digest, nullptr) != 1) {
        Release();
        return false;
    }
    return true;
}

bool Hasher::Update(const void* data, size_t size) {
    return state_ != nullptr && EVP_DigestUpdate(state_->context, data, size) == 1;
}

bool Hasher::Finish(std::vector<uint8_t>& digest) {
    if (state_ == nullptr) {
        return false;
    }
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const bool ok = EVP_DigestFinal_ex(state_->context, bytes, &size) == 1;
    Release();
    if (ok) {
        digest.assign(bytes, bytes + size);
    }
    return ok;
}

bool ReadAuthenticodeSignature(const uint8_t* der, size_t size, AuthenticodeSignature& out) {
    out = AuthenticodeSignature{};
    ERR_clear_error();
    const unsigned char* at = der;
    Pkcs7Ptr message(d2i_PKCS7(nullptr, &at, static_cast<long>(size)));
    if (!message) {
        out.problem = TakeError("no PKCS #7 message");
        return false;
    }
    if (!PKCS7_type_is_signed(message.get()) || message->d.sign == nullptr ||
        message->d.sign->contents == nullptr) {
        out.problem = "no PKCS #7 SignedData";
        return false;
    }
    PKCS7* content = message->d.sign->contents;
    if (OidText(content->type) != kIndirectDataOid || content->d.other == nullptr ||
        content->d.other->type != V_ASN1_SEQUENCE) {
        out.problem = "the signed content is no SpcIndirectDataContent";
        return false;
    }
    const unsigned char* signedBytes = nullptr;
    long signedSize = 0;
    if (!ReadIndirectData(content->d.other->value.sequence, out, &signedBytes, &signedSize)) {
        out.problem = "the SpcIndirectDataContent cannot be read";
        return false;
    }
    STACK_OF(PKCS7_SIGNER_INFO)* signerInfos = PKCS7_get_signer_info(message.get());
    if (signerInfos == nullptr || sk_PKCS7_SIGNER_INFO_num(signerInfos) != 1) {
        out.problem = "an Authenticode signature has exactly one signer";
        return true;
    }
    CollectNested(sk_PKCS7_SIGNER_INFO_value(signerInfos, 0), out);

    STACK_OF(X509)* signers = PKCS7_get0_signers(message.get(), nullptr, 0);
    if (signers == nullptr || sk_X509_num(signers) != 1) {
        sk_X509_free(signers);
        out.problem = TakeError("the signer's certificate is not in the message");
        return true;
    }
    out.signer = SubjectName(sk_X509_value(signers, 0));
    sk_X509_free(signers);

    // Authenticode signs the SpcIndirectDataContent's value, not the whole encoded SEQUENCE
    // that PKCS #7 would hash for a content of its own kind: hand that over as the detached
    // content. Whether anyone trusts the signer is WinVerifyTrust's question, not ours.
    // Behind a buffer: handed a plain memory BIO, OpenSSL (3.0) copies it into one of its own
    // and leaks that copy when the message names a digest it does not know.
    BIO* memory = BIO_new_mem_buf(signedBytes, static_cast<int>(signedSize));
    BIO* buffer = memory != nullptr ? BIO_new(BIO_f_buffer()) : nullptr;
    if (buffer == nullptr) {
        BIO_free(memory);
        out.problem = TakeError("out of memory");
        return true;
    }
    std::unique_ptr<BIO, decltype(&BIO_free_all)> signedContent(BIO_push(buffer, memory),
                                                                &BIO_free_all);
    out.signatureVerifies = PKCS7_verify(message.get(), nullptr, nullptr, signedContent.get(),
                                         nullptr, PKCS7_NOVERIFY | PKCS7_BINARY) == 1;
    if (!out.signatureVerifies) {
        out.problem = TakeError("the signer's signature does not verify");
    }
    ERR_clear_error();
    return true;
}

}  // namespace platform
