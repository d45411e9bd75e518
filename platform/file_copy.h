#pragma once

#include <cstdint>

#include "platform/file.h"

namespace platform {

bool CopyThroughBuffer(File& from, File& to, uint64_t count, uint8_t* buffer, uint32_t bufferSize);

}  // namespace platform
