// A change written into a new package rather than in place: the one place that creates the
// output, and deletes it again when anything goes wrong, so no change leaves half a package.
#pragma once

#include <functional>

#include "package/insert_file.h"
#include "platform/file.h"

namespace package {

// Creates `outputPath` (refusing the package's own file under another name), lets `write`
// fill it from `package`, and closes it. Returns what `write` returned; on any failure the
// output is deleted, the first failing file is noted in `detail` and the result is negative.
InsertResult WriteNewPackageFile(platform::File& package, const char* outputPath,
                                 InsertDetail* detail,
                                 const std::function<InsertResult(platform::File&)>& write);

}  // namespace package
