#include <windows.h>
// The CryptoAPI and trust headers after windows.h, which WIN32_LEAN_AND_MEAN keeps them out of.
#include <bcrypt.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/crypto.h"

namespace platform {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr const char* kNestedSignatureOid = "1.3.6.1.4.1.311.2.4.1";

const wchar_t* CngAlgorithm(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::Sha1:
            return BCRYPT_SHA1_ALGORITHM;
        case DigestAlgorithm::Sha256:
            return BCRYPT_SHA256_ALGORITHM;
        case DigestAlgorithm::Sha384:
            return BCRYPT_SHA384_ALGORITHM;
        case DigestAlgorithm::Sha512:
            return BCRYPT_SHA512_ALGORITHM;
        case DigestAlgorithm::Unknown:
            break;
    }
    return nullptr;
}

std::string ErrorText(const char* what, DWORD error) {
    char text[48];
    std::snprintf(text, sizeof(text), " (error 0x%08lX)", static_cast<unsigned long>(error));
    return std::string(what) + text;
}

struct MessageCloser {
    void operator()(void* message) const { CryptMsgClose(message); }
};
using MessagePtr = std::unique_ptr<void, MessageCloser>;

// A message parameter's bytes; empty when the message has none.
std::vector<uint8_t> MessageParameter(HCRYPTMSG message, DWORD parameter, DWORD index) {
    DWORD size = 0;
    std::vector<uint8_t> bytes;
    if (CryptMsgGetParam(message, parameter, index, nullptr, &size) && size > 0) {
        bytes.resize(size);
        if (!CryptMsgGetParam(message, parameter, index, bytes.data(), &size)) {
            bytes.clear();
        } else {
            bytes.resize(size);
        }
    }
    return bytes;
}

std::string CertificateName(PCCERT_CONTEXT certificate) {
    char name[256] = {};
    if (CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name,
                           sizeof(name)) <= 1) {
        return {};
    }
    return name;
}

// The DigestInfo that the SpcIndirectDataContent carries, decoded by wintrust's own decoder.
bool ReadIndirectData(HCRYPTMSG message, AuthenticodeSignature& out) {
    const std::vector<uint8_t> content = MessageParameter(message, CMSG_CONTENT_PARAM, 0);
    SPC_INDIRECT_DATA_CONTENT* indirect = nullptr;
    DWORD size = 0;
    if (content.empty() ||
        !CryptDecodeObjectEx(kEncoding, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.data(),
                             static_cast<DWORD>(content.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr,
                             &indirect, &size)) {
        return false;
    }
    const char* oid = indirect->DigestAlgorithm.pszObjId;
    out.algorithm = DigestAlgorithmFromOid(oid);
    const char* name = DigestAlgorithmName(out.algorithm);
    out.algorithmName = name != nullptr ? name : (oid != nullptr ? oid : "");
    out.digest.assign(indirect->Digest.pbData, indirect->Digest.pbData + indirect->Digest.cbData);
    LocalFree(indirect);
    return true;
}

void CollectNested(HCRYPTMSG message, AuthenticodeSignature& out) {
    std::vector<uint8_t> bytes = MessageParameter(message, CMSG_SIGNER_UNAUTH_ATTR_PARAM, 0);
    if (bytes.empty()) {
        return;
    }
    const auto* attributes = reinterpret_cast<const CRYPT_ATTRIBUTES*>(bytes.data());
    for (DWORD i = 0; i < attributes->cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes->rgAttr[i];
        if (attribute.pszObjId == nullptr ||
            std::strcmp(attribute.pszObjId, kNestedSignatureOid) != 0) {
            continue;
        }
        for (DWORD j = 0; j < attribute.cValue; ++j) {
            const CRYPT_ATTR_BLOB& value = attribute.rgValue[j];
            out.nested.emplace_back(value.pbData, value.pbData + value.cbData);
        }
    }
}

std::string TrustInWords(LONG status) {
    switch (static_cast<HRESULT>(status)) {
        case S_OK:
            return "trusted";
        case TRUST_E_NOSIGNATURE:
            return "not signed";
        case TRUST_E_BAD_DIGEST:
            return "the file does not match its signature";
        case CERT_E_UNTRUSTEDROOT:
            return "the certificate chain ends in a root that is not trusted";
        case CERT_E_CHAINING:
            return "the certificate chain cannot be built to a trusted root";
        case CERT_E_EXPIRED:
            return "a certificate has expired or is not yet valid";
        case CERT_E_WRONG_USAGE:
            return "the certificate is not for code signing";
        case TRUST_E_EXPLICIT_DISTRUST:
            return "the signer is explicitly distrusted";
        case TRUST_E_SUBJECT_NOT_TRUSTED:
            return "the subject is not trusted";
        case TRUST_E_PROVIDER_UNKNOWN:
            return "no trust provider knows this kind of file";
        case TRUST_E_SUBJECT_FORM_UNKNOWN:
            return "the trust provider does not know this kind of file";
        case CRYPT_E_SECURITY_SETTINGS:
            return "the local security settings forbid checking the signature";
        default:
            break;
    }
    return ErrorText("not trusted", static_cast<DWORD>(status));
}

}  // namespace

struct Hasher::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    // Vista wants the hash object's memory from the caller.
    std::unique_ptr<UCHAR[]> object;
    DWORD digestSize = 0;
};

Hasher::~Hasher() {
    Release();
}

void Hasher::Release() {
    if (state_ != nullptr) {
        if (state_->hash != nullptr) {
            BCryptDestroyHash(state_->hash);
        }
        if (state_->algorithm != nullptr) {
            BCryptCloseAlgorithmProvider(state_->algorithm, 0);
        }
        delete state_;
        state_ = nullptr;
    }
}

bool Hasher::Start(DigestAlgorithm algorithm) {
    Release();
    const wchar_t* name = CngAlgorithm(algorithm);
    if (name == nullptr) {
        return false;
    }
    state_ = new State;
    DWORD objectSize = 0;
    ULONG got = 0;
    bool ok = BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&state_->algorithm, name, nullptr, 0)) &&
              BCRYPT_SUCCESS(BCryptGetProperty(state_->algorithm, BCRYPT_OBJECT_LENGTH,
                                               reinterpret_cast<PUCHAR>(&objectSize),
                                               sizeof(objectSize), &got, 0)) &&
              BCRYPT_SUCCESS(BCryptGetProperty(state_->algorithm, BCRYPT_HASH_LENGTH,
                                               reinterpret_cast<PUCHAR>(&state_->digestSize),
                                               sizeof(state_->digestSize), &got, 0));
    if (ok) {
        state_->object = std::make_unique<UCHAR[]>(objectSize);
        ok = BCRYPT_SUCCESS(BCryptCreateHash(state_->algorithm, &state_->hash, state_->object.get(),
                                             objectSize, nullptr, 0, 0));
    }
    if (!ok) {
        Release();
    }
    return ok;
}

bool Hasher::Update(const void* data, size_t size) {
    if (state_ == nullptr) {
        return false;
    }
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (size > 0) {
        const ULONG part = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        if (!BCRYPT_SUCCESS(BCryptHashData(state_->hash, bytes, part, 0))) {
            return false;
        }
        bytes += part;
        size -= part;
    }
    return true;
}

bool Hasher::Finish(std::vector<uint8_t>& digest) {
    if (state_ == nullptr) {
        return false;
    }
    std::vector<uint8_t> bytes(state_->digestSize);
    const bool ok = BCRYPT_SUCCESS(
        BCryptFinishHash(state_->hash, bytes.data(), static_cast<ULONG>(bytes.size()), 0));
    Release();
    if (ok) {
        digest = std::move(bytes);
    }
    return ok;
}

bool ReadAuthenticodeSignature(const uint8_t* der, size_t size, AuthenticodeSignature& out) {
    out = AuthenticodeSignature{};
    MessagePtr message(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!message || !CryptMsgUpdate(message.get(), der, static_cast<DWORD>(size), TRUE)) {
        out.problem = ErrorText("no PKCS #7 message", GetLastError());
        return false;
    }
    DWORD type = 0;
    DWORD typeSize = sizeof(type);
    if (!CryptMsgGetParam(message.get(), CMSG_TYPE_PARAM, 0, &type, &typeSize) ||
        type != CMSG_SIGNED) {
        out.problem = "no PKCS #7 SignedData";
        return false;
    }
    const std::vector<uint8_t> innerType =
        MessageParameter(message.get(), CMSG_INNER_CONTENT_TYPE_PARAM, 0);
    if (innerType.empty() || std::strcmp(reinterpret_cast<const char*>(innerType.data()),
                                         SPC_INDIRECT_DATA_OBJID) != 0) {
        out.problem = "the signed content is no SpcIndirectDataContent";
        return false;
    }
    if (!ReadIndirectData(message.get(), out)) {
        out.problem = ErrorText("the SpcIndirectDataContent cannot be read", GetLastError());
        return false;
    }
    DWORD signers = 0;
    DWORD signersSize = sizeof(signers);
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_COUNT_PARAM, 0, &signers, &signersSize) ||
        signers != 1) {
        out.problem = "an Authenticode signature has exactly one signer";
        return true;
    }
    CollectNested(message.get(), out);

    // The signer's certificate from the message's own, and its signature over the content
    // checked with it; CryptoAPI hashes a content of a type other than data without its outer
    // tag and length, as Authenticode signs it. Whether anyone trusts the signer is
    // WinVerifyTrust's question.
    PCCERT_CONTEXT signer = nullptr;
    DWORD signerIndex = 0;
    out.signatureVerifies =
        CryptMsgGetAndVerifySigner(message.get(), 0, nullptr, 0, &signer, &signerIndex) != FALSE;
    if (!out.signatureVerifies) {
        out.problem = ErrorText("the signer's signature does not verify", GetLastError());
    }
    if (signer != nullptr) {
        out.signer = CertificateName(signer);
        CertFreeCertificateContext(signer);
    }
    return true;
}

void VerifyFileTrust(const char* path, std::string& verdict, std::string& signer) {
    verdict.clear();
    signer.clear();
    const int wideSize = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (wideSize <= 0) {
        verdict = ErrorText("the path cannot be converted", GetLastError());
        return;
    }
    std::vector<wchar_t> widePath(static_cast<size_t>(wideSize));
    MultiByteToWideChar(CP_ACP, 0, path, -1, widePath.data(), wideSize);

    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = widePath.data();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    // Nothing from the network: a check that waits on a server is no check to run offline.
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    verdict = TrustInWords(status);

    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* providerSigner =
        provider != nullptr ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* certificate =
        providerSigner != nullptr ? WTHelperGetProvCertFromChain(providerSigner, 0) : nullptr;
    if (certificate != nullptr && certificate->pCert != nullptr) {
        signer = CertificateName(certificate->pCert);
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
}

}  // namespace platform
