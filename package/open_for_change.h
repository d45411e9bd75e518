// The checks that come before the engine writes a package, shared by every change: an
// interrupted earlier change rolled back, the package checksum taken and the damaged-package
// question asked, the image end found, the member archive's directory read and checked.
#pragma once

#include <cstdint>

#include "package/archive_directory.h"
#include "package/insert_file.h"
#include "platform/file.h"

namespace package {

struct OpenedPackage {
    platform::File file;  // read and write in place, read only otherwise
    bool inPlace = false;
    uint64_t size = 0;
    uint32_t sum = 0;  // the package checksum as found
    uint32_t overlayOffset = 0;
    ArchiveDirectory directory;
};

// In place when there is no output path, it is empty, or it is the package's path text.
bool ChangesInPlace(const char* packagePath, const char* outputPath);

// 0 when the package is open and sound enough to change; otherwise a negative result, with
// the failed step in `detail`. Nothing is written but a rollback of an interrupted change.
InsertResult OpenForChange(const char* packagePath, const char* outputPath,
                           InsertPrompter& prompter, OpenedPackage& opened, InsertDetail* detail);

}  // namespace package
