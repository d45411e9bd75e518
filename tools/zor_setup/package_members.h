// The members of the package this program was started from: which one is an install script,
// which names are safe to write below a folder, and extracting one member to a file.
//
// The reader is the stand-in's own and shares nothing with KitTailor's engine, so that the
// end-to-end test reads what the engine wrote with a second pair of eyes. It goes another way
// than the engine does: the whole file is read into memory (the stand-in's packages are small),
// the end record is searched from the end of the file backwards, and the archive's first byte
// follows from where the directory lies below the end record, as unzip finds an archive behind
// a self-extractor's image. The image headers are read for one thing only: a signer's
// certificate table appended behind the archive, which may be longer than the end record
// search reaches, so the search then ends where that table starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zor_setup {

// A member as listed: its name, and where its central directory entry lies in the package,
// from which its other fields are read at their offsets in the ZIP format.
struct Member {
    std::string name;  // as stored, separators unchanged
    size_t entryAt = 0;
};

struct OwnPackage {
    std::string path;
    std::vector<uint8_t> bytes;  // the whole file
    uint64_t archiveStart = 0;
    std::vector<Member> members;  // in directory order
};

// Reads the member directory of this program's own executable file.
bool ReadOwnPackage(OwnPackage& own, std::string& problem);

// The same for the package at `path`.
bool ReadPackageFile(const char* path, OwnPackage& own, std::string& problem);

// The member's size once extracted, as its entry gives it.
uint32_t MemberSize(const OwnPackage& own, const Member& member);

// Whether the package is as sealed: a length of whole words that sum to zero. Anything else
// was changed afterwards and may be damaged.
bool IsSealed(const OwnPackage& own);

// auto*.ins, without regard to case, at the top or in the folder InstallScript.
bool IsInstallScriptName(const std::string& name);

// The first install script member in directory order, or nullptr.
const Member* FindInstallScript(const OwnPackage& own);

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
bool ExtractMember(const OwnPackage& own, const Member& member, const char* outputPath,
                   std::string& problem);

}  // namespace zor_setup
