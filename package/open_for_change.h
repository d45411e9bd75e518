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

// When a change takes the package checksum (and asks the damaged-package question): as the
// package is opened, or as it is copied into a new package, which then reads it only once. A
// change that opens it so must call TakeChecksum or GoesOnWithCopiedSum before it writes the
// output's name.
enum class SumTaking { AtOpening, WhileCopying };

// 0 when the package is open and sound enough to change; otherwise a negative result, with
// the failed step in `detail`. Nothing is written but a rollback of an interrupted change, and
// not even that in a dry run. The package is opened as the change would open it (for writing,
// in place) in a dry run too, so that it fails where the change would.
InsertResult OpenForChange(const char* packagePath, const char* outputPath,
                           InsertPrompter& prompter, OpenedPackage& opened, InsertDetail* detail,
                           Writing writing = Writing::Write,
                           SumTaking sumTaking = SumTaking::AtOpening);

// For a change opened WhileCopying that does not copy after all: the checksum pass and the
// damaged-package question as the opening would have made them. 0, or a negative result.
InsertResult TakeChecksum(OpenedPackage& opened, InsertPrompter& prompter, InsertDetail* detail);

// The damaged-package question for the sum that the copy took (`opened.sum`): 0 to go on, or
// the declined result.
InsertResult GoesOnWithCopiedSum(OpenedPackage& opened, InsertPrompter& prompter,
                                 InsertDetail* detail);

}  // namespace package
