// Reading an install script's settings as the installer reads them: a settings (INI) text whose
// section [Setup] holds the recorded answers and, when the recording was made for silent use,
// the marker Silence=1 that the dialog and `ktl record` write.
#pragma once

#include <optional>
#include <string>

namespace cli {

// The value of `key` in `section`, as GetPrivateProfileString finds it: names without regard
// to case, the first such section and the first such key in it, the value without the blanks
// around it and without one pair of quotes around it. Nothing when either is missing.
std::optional<std::string> ReadSettingsValue(const std::string& text, const char* section,
                                             const char* key);

// Whether a script's Silence value asks for a silent installation: a number other than 0, as
// GetPrivateProfileInt reads it.
bool AsksForSilence(const std::optional<std::string>& value);

}  // namespace cli
