// The buffered copy and view that both file backends share: through the caller's buffer,
// exactly the bytes asked for, failing when the source ends early.
#include "platform/file_copy.h"

#include <algorithm>
#include <cstdint>

namespace platform {

bool CopyThroughBuffer(File& from, File& to, uint64_t count, uint8_t* buffer, uint32_t bufferSize) {
    while (count > 0) {
        uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(count, bufferSize));
        uint32_t got = 0;
        if (!from.Read(buffer, want, &got) || got != want || !to.Write(buffer, got)) {
            return false;
        }
        count -= got;
    }
    return true;
}

bool ViewThroughBuffer(File& file, uint64_t offset, uint64_t length, ByteViewer& viewer,
                       uint8_t* buffer, uint32_t bufferSize) {
    if (offset > static_cast<uint64_t>(INT64_MAX) ||
        !file.Seek(static_cast<int64_t>(offset), SeekFrom::Begin)) {
        return false;
    }
    while (length > 0) {
        uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(length, bufferSize));
        uint32_t got = 0;
        if (!file.Read(buffer, want, &got) || got != want || !viewer.View(buffer, got)) {
            return false;
        }
        length -= got;
    }
    return true;
}

namespace {

class WritingViewer final : public ByteViewer {
  public:
    WritingViewer(ByteViewer& inner, File& to) : inner_(inner), to_(to) {}
    bool View(const uint8_t* bytes, uint32_t size) override {
        return inner_.View(bytes, size) && to_.Write(bytes, size);
    }

  private:
    ByteViewer& inner_;
    File& to_;
};

}  // namespace

bool CopyViewingThroughBuffer(File& from, File& to, uint64_t offset, uint64_t length,
                              ByteViewer& viewer, uint8_t* buffer, uint32_t bufferSize) {
    WritingViewer writer(viewer, to);
    return ViewThroughBuffer(from, offset, length, writer, buffer, bufferSize);
}

}  // namespace platform
