// The members of the package this program was started from: which one is an install script,
// which names are safe to write below a folder, and extracting one member to a file.
#pragma once

#include <string>
#include <vector>

#include "package/package_inspect.h"

namespace zor_setup {

struct OwnPackage {
    std::string path;
    package::PackageContents contents;
};

// Reads the member directory of this program's own executable file.
bool ReadOwnPackage(OwnPackage& own, std::string& problem);

// Whether the package is as sealed: a length of whole words that sum to zero. Anything else
// was changed afterwards and may be damaged.
bool IsSealed(const OwnPackage& own);

// auto*.ins, without regard to case, at the top or in the folder InstallScript.
bool IsInstallScriptName(const std::string& name);

// The first install script member in directory order, or nullptr.
const package::PackageMember* FindInstallScript(const package::PackageContents& contents);

// Whether the last character is a slash or backslash, not the second byte of a double-byte
// character.
bool EndsWithSeparator(const std::string& text);

// A directory entry's name ends in a separator.
bool IsDirectoryName(const std::string& name);

// The name's path components, split at either separator; empty components are dropped. A
// double-byte character whose second byte looks like a backslash is not split.
std::vector<std::string> NameComponents(const std::string& name);

// True unless the name could reach outside the folder it is extracted into: a drive or
// stream colon, a leading separator, a ".." component, or no component at all.
bool IsSafeMemberName(const std::string& name);

// Writes the member's data, inflated where it was deflated, to a new file at `outputPath`,
// checking its size and CRC-32. On failure no output file is left behind.
bool ExtractMember(const OwnPackage& own, const package::PackageMember& member,
                   const char* outputPath, std::string& problem);

}  // namespace zor_setup
