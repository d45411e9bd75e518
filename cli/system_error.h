// The system's own text for an error code (errno, or GetLastError on Windows), in one line.
#pragma once

#include <string>

namespace cli {

std::string SystemErrorText(int code);

}  // namespace cli
