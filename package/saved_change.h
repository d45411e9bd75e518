// What a journal saved, whichever of its formats it was written in: the changed ranges' old
// bytes and the proof of the bytes the change kept. Shared by the journal's reading, proving
// and restoring (journal.cpp) and the ranged format (ranged_journal.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/file.h"

namespace package {

struct SavedRange {
    uint64_t at = 0;  // in the package
    uint32_t length = 0;
    uint64_t savedAt = 0;  // in the journal
};

struct SavedChange {
    uint64_t packageSize = 0;  // before the change
    // The kept bytes are those before keptEnd outside every range; beyond it the last range
    // runs to the package's end.
    uint64_t keptEnd = 0;
    uint32_t keptCrc = 0;  // of the kept bytes among the last kProofStretch before keptEnd
    uint32_t keptSum = 0;  // their share of the package checksum
    std::vector<SavedRange> ranges;
};

enum class ReadResult { Complete, Incomplete, Unprovable, Unreadable };

// The bytes before `keptEnd` that the stretch proof covers.
constexpr uint32_t kProofStretch = 4096;

// Where the kept bytes end for these ranges of a package of `packageSize` bytes.
uint64_t KeptEnd(const std::vector<SavedRange>& ranges, uint64_t packageSize);

// The CRC-32 of the kept bytes of `package` among the last kProofStretch before `keptEnd`,
// the ranges' bytes left out. False when they cannot be read.
bool KeptStretchCrc(platform::File& package, uint64_t keptEnd,
                    const std::vector<SavedRange>& ranges, uint32_t* crc);

// Reads a journal of the ranged format from `file` (`size` bytes, read from its start).
ReadResult ReadRangedJournal(platform::File& file, uint64_t size, SavedChange& change);

}  // namespace package
