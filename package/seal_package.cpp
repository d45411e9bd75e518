#include "package/seal_package.h"

#include <algorithm>
#include <cstring>

#include "package/byte_cursor.h"
#include "package/engine_report.h"
#include "package/journal.h"
#include "package/new_package_file.h"
#include "package/open_for_change.h"
#include "package/open_package.h"
#include "package/package_layout.h"
#include "package/signature_check.h"

namespace package {
namespace {

// The CheckSum field's value that makes a file summing to `sumWithout` (with the field's bytes
// taken as zero) sum to zero: each of its bytes counts at its own offset modulo 4, so the value
// is the needed word turned by the field's misalignment.
uint32_t SealingValue(uint32_t sumWithout, uint64_t fieldAt) {
    const uint32_t needed = 0u - sumWithout;
    const unsigned turn = static_cast<unsigned>(fieldAt % 4) * 8;
    return turn == 0 ? needed : (needed >> turn) | (needed << (32 - turn));
}

class Seal {
  public:
    explicit Seal(SealDetail& detail) : detail_(detail) {}

    InsertResult Run(const char* packagePath, const char* outputPath, SealRefusal& refusal) {
        refusal = SealRefusal::None;
        if (!platform::FitsPathBuffer(packagePath) || !platform::FitsPathBuffer(outputPath)) {
            return Fail(InsertStep::BadArguments);
        }
        opened_.inPlace = ChangesInPlace(packagePath, outputPath);
        PackageOpening how;
        how.access = opened_.inPlace ? platform::Access::ReadWrite : platform::Access::Read;
        how.lock = opened_.inPlace ? LockLevel::Reserved : LockLevel::Shared;
        how.checksum = true;
        how.readDirectory = false;  // only the image's own bytes change
        const OpenFault fault = OpenPackage(packagePath, how, opened_);
        detail_.change.recovery = opened_.recovery;
        if (fault != OpenFault::None) {
            NoteFailedFile(&detail_.change, opened_.file, packagePath);
            return Fail(StepOfOpening(fault));
        }
        if (!FindImageSignature(opened_.file, opened_.signature)) {
            NoteFailedFile(&detail_.change, opened_.file, packagePath);
            return Fail(InsertStep::OpenPackage);
        }
        detail_.change.signature = opened_.signature;
        if (opened_.sum != 0) {
            const SealRefusal refused = CheckSignature();
            if (refused != SealRefusal::None) {
                refusal = refused;
                return Fail(InsertStep::Declined);
            }
        }
        if (opened_.inPlace) {
            return opened_.sum == 0 ? 0 : WriteInPlace(packagePath);
        }
        return WriteNewPackage(outputPath);
    }

  private:
    SealRefusal CheckSignature() {
        const ImageSignature& entry = opened_.signature;
        if (!entry.present || entry.checksumFieldAt == 0) {
            detail_.problem = "it is not signed, and its checksum is not zero";
            return SealRefusal::NotSigned;
        }
        SignatureCheck check;
        if (!CheckImageSignature(opened_.file, entry, check)) {
            detail_.problem = "its signature cannot be read";
            return SealRefusal::NotIntact;
        }
        if (!check.intact) {
            detail_.problem = "its signature is not intact: " + check.problem;
            return SealRefusal::NotIntact;
        }
        uint8_t field[4] = {};
        uint32_t got = 0;
        if (!opened_.file.Seek(static_cast<int64_t>(entry.checksumFieldAt),
                               platform::SeekFrom::Begin) ||
            !opened_.file.Read(field, sizeof(field), &got) || got != sizeof(field)) {
            detail_.problem = "its image header cannot be read";
            return SealRefusal::NotIntact;
        }
        const uint32_t without =
            opened_.sum - AddChecksumBytesAt(0, field, sizeof(field), entry.checksumFieldAt);
        PutU32(field_, SealingValue(without, entry.checksumFieldAt));
        return SealRefusal::None;
    }

    InsertResult WriteInPlace(const char* packagePath) {
        const uint64_t fieldAt = opened_.signature.checksumFieldAt;
        if (opened_.lock.Raise(opened_.file, LockLevel::Exclusive, packagePath) !=
            LockResult::Taken) {
            return Fail(InsertStep::InProgress);
        }
        if (!WriteRangedJournal(opened_.journalPath, opened_.file, opened_.sum,
                                {ChangedRange{fieldAt, sizeof(field_)}})) {
            return Fail(InsertStep::CreateOutput, kInsertCannotCreateOutput);
        }
        const bool written =
            opened_.file.Seek(static_cast<int64_t>(fieldAt), platform::SeekFrom::Begin) &&
            opened_.file.Write(field_, sizeof(field_)) && opened_.file.Flush();
        if (!written) {
            NoteFailedFile(&detail_.change, opened_.file, packagePath);
        }
        const InsertResult result = Committed(
            CommitOrRollBack(opened_.file, opened_.journalPath, written),
            written ? static_cast<InsertResult>(sizeof(field_)) : Fail(InsertStep::Rebuild), 0,
            &detail_.change);
        detail_.changed = result >= 0;
        return result;
    }

    // A copy of the package, its CheckSum field written when it needs sealing.
    InsertResult WriteNewPackage(const char* outputPath) {
        const bool seal = opened_.sum != 0;
        return WriteNewPackageFile(
            opened_.file, outputPath, &detail_.change, [&](platform::File& output) -> InsertResult {
                const uint64_t fieldAt = opened_.signature.checksumFieldAt;
                const bool copied =
                    opened_.file.Seek(0, platform::SeekFrom::Begin) &&
                    opened_.file.CopyTo(output, opened_.size, WorkBuffer(), kWorkBufferSize) &&
                    (!seal ||
                     (output.Seek(static_cast<int64_t>(fieldAt), platform::SeekFrom::Begin) &&
                      output.Write(field_, sizeof(field_)))) &&
                    output.Flush();
                if (!copied) {
                    return Fail(InsertStep::Rebuild);
                }
                detail_.changed = seal;
                return static_cast<InsertResult>(std::min<uint64_t>(opened_.size, kMaxByteCount));
            });
    }

    InsertResult Fail(InsertStep step, InsertResult result = kInsertFailed) {
        return FailedAt(&detail_.change, step, result);
    }

    SealDetail& detail_;
    OpenedPackage opened_;
    uint8_t field_[4] = {};
};

}  // namespace

InsertResult SealSignedPackage(const char* packagePath, const char* outputPath, SealDetail& detail,
                               SealRefusal& refusal) {
    detail = SealDetail{};
    Seal seal(detail);
    return seal.Run(packagePath, outputPath, refusal);
}

}  // namespace package
