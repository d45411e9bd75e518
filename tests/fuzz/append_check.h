// Judges an archive after one deflated member was appended to it, against the archive it
// started from: the bytes before the old directory untouched; at the old directory's offset the
// new local header, name and data; the old directory byte for byte; the new central entry; a
// new end record without comment; old bytes further on left as they were. Then it reads the
// result like any ZIP reader would: every member that read before still reads, and the new one
// inflates to the source.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/zip_reader.h"

namespace fuzzcheck {

// The records of a member the engine deflated from `source` under `name`: its local header at
// `at`, or its central entry at `at` with the local header at `localAt`. Each returns the first
// field that differs, or an empty text; the caller has checked that the record and its name
// are there.
std::string CheckNewLocalHeader(const Bytes& after, uint64_t at, const std::string& name,
                                const Bytes& source);
std::string CheckNewCentralEntry(const Bytes& after, uint64_t at, const std::string& name,
                                 const Bytes& source, uint64_t compressedSize, uint64_t localAt);

// `end` and `walk` describe `before`, which must be sound for appending. Returns the first
// difference, or an empty text. `*length` receives the length the archive must now have;
// `after` may go on behind it (a package's pad bytes), and those bytes are not judged here.
std::string CheckAppended(const Bytes& before, const EndRecord& end, const DirectoryWalk& walk,
                          const std::string& name, const Bytes& source, const Bytes& after,
                          uint64_t* length);

// The member may have gone behind any sound end record; there is rarely more than one.
// Returns the empty text when `check` finds nothing wrong behind one of the sound views, else
// the problem it found behind `preferred` (the view the reader settled on) or the first.
std::string CheckBehindAnySoundView(const std::vector<ArchiveView>& views,
                                    const ArchiveView* preferred,
                                    const std::function<std::string(const ArchiveView&)>& check);

}  // namespace fuzzcheck
