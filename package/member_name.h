// Rules for member names: the name a file takes when none is given, and the names that would
// reach outside the folder a member is unpacked into.
#pragma once

namespace package {

// The file's own name: the text after its last separator (on Windows '\' or '/', found a whole
// character at a time), or the whole path when it has none. Every front end names members so.
const char* MemberNameFromPath(const char* path);

// Whether `name` is rooted, names a drive or a stream (':'), or holds a ".." component.
bool EscapesBase(const char* name);

// Whether `text` holds ".." as a whole component between separators.
bool HasParentComponent(const char* text);

// Whether the name ends in a separator, judged by its last whole character, as directory
// members are named.
bool NamesDirectory(const char* name);

}  // namespace package
