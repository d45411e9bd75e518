// Whether a signed package is still as its signer left it: the Authenticode image digest of the
// file, held against the digest the signature vouches for, and the signer's signature over
// that, for the outer signature and every one nested in it. Chain trust is the system's to judge:
// on Windows WinVerifyTrust's verdict comes along in words. The whole file is streamed through
// the engine's one work buffer, so this is not reentrant either (package_layout.h).
#pragma once

#include <cstdint>
#include <string>

#include "package/package_layout.h"
#include "platform/file.h"

namespace package {

struct SignatureCheck {
    bool present = false;  // the security directory entry names a certificate table
    uint32_t tableAt = 0;
    uint32_t tableSize = 0;
    // Why the table is no usable signature, or what keeps it from being intact; empty when
    // intact.
    std::string problem;
    std::string digestAlgorithm;  // the outer signature's: "sha256", "sha1" or another name
    // The image digest equals what the outer signature and every nested one vouch for, each
    // under its own algorithm.
    bool digestMatches = false;
    // The digests match and every signer's signature verifies with its own certificate.
    bool intact = false;
    uint32_t nested = 0;  // signatures nested in the outer one
    std::string signer;   // the outer signer's certificate subject
    std::string trust;    // Windows only: WinVerifyTrust's verdict in words
};

// Checks the certificate table `entry` (FindImageSignature's) of `package`. A table that is no
// usable signature is reported in `out`, not as a failure: false only when the file cannot be
// read.
bool CheckImageSignature(platform::File& package, const ImageSignature& entry, SignatureCheck& out);

}  // namespace package
