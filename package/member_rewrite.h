// Rewriting the member archive without some of its members, and with a new deflated member
// appended in their place when replacing. The bytes before the first removed member stay; the
// members behind it move down whole, in one pass, with their directory entries' offsets
// rewritten; then come the new member, the directory, the end record, the pad and the
// checksum word, and the file is cut there. In place everything from the first removed member
// on is journaled first, so a failure or a crash leaves the package as it was.
#pragma once

#include <cstddef>
#include <vector>

#include "package/insert_file.h"
#include "package/open_for_change.h"
#include "platform/file.h"

namespace package {

struct NewMember {
    platform::File* source;  // open for reading, at its start
    const char* name;        // checked by the caller
};

// Rewrites `package`, which OpenForChange opened for `outputPath`, without the directory
// entries `removed` (indices in directory order, at least one) and with `added` appended when
// given. The archive comment stays when nothing is added; a replacing insert drops it, as
// every insert does.
// Returns what InsertFileIntoPackage returns for the same output; a dry run (insert_file.h)
// only measures it.
InsertResult RewritePackage(OpenedPackage& package, const char* packagePath, const char* outputPath,
                            const std::vector<size_t>& removed, const NewMember* added,
                            InsertDetail* detail, Writing writing = Writing::Write);

// Removes every member whose name equals `memberName` (without regard to case, '/' and '\'
// alike; a directory member by its name with the separator), in place or to a new package.
// kNoSuchMember when there is none; the damaged-package question comes first, as for an insert.
InsertResult RemoveMemberFromPackage(const char* packagePath, const char* memberName,
                                     const char* outputPath, InsertPrompter& prompter,
                                     InsertDetail* detail = nullptr,
                                     Writing writing = Writing::Write);

}  // namespace package
