// The checks that come before the engine writes a package, shared by every change: the package
// opened as every command opens it, with the checksum taken and the damaged-package question
// asked.
#pragma once

#include <cstdint>

#include "package/insert_file.h"
#include "package/open_package.h"

namespace package {

// The step of a change that an opening's fault stands for.
InsertStep StepOfOpening(OpenFault fault);

// In place when there is no output path, it is empty, or it is the package's path text.
bool ChangesInPlace(const char* packagePath, const char* outputPath);

// 0 when the package is open and sound enough to change; otherwise a negative result, with
// the failed step in `detail`. Nothing is written but a rollback of an interrupted change, and
// not even that in a dry run. The package is opened as the change would open it (for writing,
// in place) in a dry run too, so that it fails where the change would.
InsertResult OpenForChange(const char* packagePath, const char* outputPath,
                           InsertPrompter& prompter, OpenedPackage& opened, InsertDetail* detail,
                           Writing writing = Writing::Write);

}  // namespace package
