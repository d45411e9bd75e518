// Sealing a package after it was signed: a signing tool appends its certificate table and
// rewrites the image's CheckSum field, so the file no longer sums to zero. The CheckSum field is
// one of the few bytes the image digest leaves out, so it can take the value that brings the
// whole file, table included, back to a sum of zero without touching a signed byte.
#pragma once

#include <string>

#include "package/insert_file.h"

namespace package {

struct SealDetail {
    InsertDetail change;   // the opening's and the writing's failures, as a change reports them
    bool changed = false;  // the CheckSum field was written
    std::string problem;   // why the signature does not allow it, for NotSigned and NotIntact
};

enum class SealRefusal {
    None,
    NotSigned,  // unsigned and not sealed: nothing to seal without damage
    NotIntact,  // the signature does not match the package: sealing would hide that
};

// Seals the package in place (no output, or the package's own path) under the journal and the
// lock, or into a new package. A package sealed already is left as it is (a new package is
// still written, as a copy). Returns 0 or more on success (the bytes written), a negative
// InsertResult otherwise; `refusal` tells a refusal apart from a failure.
InsertResult SealSignedPackage(const char* packagePath, const char* outputPath, SealDetail& detail,
                               SealRefusal& refusal);

}  // namespace package
