#pragma once

#include <cstdint>

#include "platform/file.h"

namespace platform {

bool CopyThroughBuffer(File& from, File& to, uint64_t count, uint8_t* buffer, uint32_t bufferSize);

// Reads `length` bytes from `offset` into `buffer`, a part at a time, and shows each part to
// `viewer`; a file that ends early fails.
bool ViewThroughBuffer(File& file, uint64_t offset, uint64_t length, ByteViewer& viewer,
                       uint8_t* buffer, uint32_t bufferSize);

// The same, and each part is written to `to` once `viewer` has seen it.
bool CopyViewingThroughBuffer(File& from, File& to, uint64_t offset, uint64_t length,
                              ByteViewer& viewer, uint8_t* buffer, uint32_t bufferSize);

}  // namespace platform
