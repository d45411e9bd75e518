// A change written into a new package rather than in place: the one place that creates the
// output. The new package is written under a name of its own beside the output, flushed, and
// then takes the output's name in one step, so the output is always whole or absent (or the
// file that stood there before); on any failure the staging file is deleted again.
#pragma once

#include <functional>

#include "package/insert_file.h"
#include "platform/file.h"
#include "platform/filesystem.h"

namespace package {

// The staging file's path: the output's own with ".ktl-partial" added. A file left there by a
// write that was killed is removed by the next write of that output. False when it does not fit.
bool StagingPathFor(const char* outputPath, char (&stagingPath)[platform::kPathBufferSize]);

// Refuses an output that is the package's own file under another name, lets `write` fill the
// staging file from `package` (flushed before it returns), and moves it into place. Returns
// what `write` returned; on any failure nothing new is left, the first failing file is noted in
// `detail` and the result is negative.
InsertResult WriteNewPackageFile(platform::File& package, const char* outputPath,
                                 InsertDetail* detail,
                                 const std::function<InsertResult(platform::File&)>& write);

// What WriteNewPackageFile checks before it creates anything, for a dry run: the same refusals
// of the package's own file, and whether the staging file and the output could be created.
// 0, or the negative result the write would fail with.
InsertResult CheckNewPackageFile(platform::File& package, const char* outputPath,
                                 InsertDetail* detail);

}  // namespace package
