// A change written into a new package rather than in place: the one place that creates the
// output. The new package is written under a partial name of its own beside the output, created
// exclusively and locked while its writer lives, flushed, and then takes the output's name in
// one step, so the output is always whole or absent (or the file that stood there before). A
// journal beside the output's name is dealt with under the output's lock before that step, so
// that the new package never inherits it. On any failure the partial file is deleted again.
#pragma once

#include <functional>

#include "package/insert_file.h"
#include "platform/file.h"
#include "platform/filesystem.h"

namespace package {

// A fresh partial name for the output: its own path with ".ktl-partial-" and eight hex digits
// added. False when it does not fit.
bool StagingPathFor(const char* outputPath, char (&stagingPath)[platform::kPathBufferSize]);

// Refuses an output that is the package's own file under another name, lets `write` fill the
// partial file from `package` (flushed before it returns), settles any journal beside the
// output, and moves the partial file into place, durably. Returns what `write` returned; on any
// failure nothing new is left, the first failing file is noted in `detail` and the result is
// negative. Partial files of this output whose writers are gone are removed first.
InsertResult WriteNewPackageFile(platform::File& package, const char* outputPath,
                                 InsertDetail* detail,
                                 const std::function<InsertResult(platform::File&)>& write);

// What WriteNewPackageFile checks before it creates anything, for a dry run: the same refusals
// of the package's own file, and whether the partial file and the output could be created.
// 0, or the negative result the write would fail with.
InsertResult CheckNewPackageFile(platform::File& package, const char* outputPath,
                                 InsertDetail* detail);

}  // namespace package
