// Judges an archive rewritten without some of its members, and with one deflated member
// appended when replacing, against the archive it started from: the bytes before the first
// removed member's local record untouched; behind them every other kept record byte for byte,
// closed up without gap or overlap; then the new member, the kept directory entries in their
// order, unchanged but for their local header offsets, the new member's entry, and an end record
// that counts them, keeping its comment only when nothing was added. Then it reads the result as
// any ZIP reader would: every kept member that read before reads the same, and the new one
// inflates to its source.
//
// A member's local record runs from its local header to the next local header above it, or to
// the directory, so that whatever lies between members travels with the member in front.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/zip_reader.h"

namespace fuzzcheck {

// Why the members of a sound archive cannot move as whole blocks: two entries name one local
// record, or a member's local header, name, extra field and data do not fit its record. Empty
// when they can.
std::string JudgeLocalRecords(const Bytes& archive, const ArchiveView& view);

struct AddedMember {
    const std::string& name;
    const Bytes& source;
};

// `view` describes `before` and is sound; `removed` holds the indices of the entries taken out,
// at least one. Returns the first difference, or an empty text. `*length` receives the length
// the archive must now have; `after` may go on behind it (a package's pad bytes), and those
// bytes are not judged here.
std::string CheckRewritten(const Bytes& before, const ArchiveView& view,
                           const std::vector<size_t>& removed, const AddedMember* added,
                           const Bytes& after, uint64_t* length);

}  // namespace fuzzcheck
