// A zlib stream held from a successful set-up to its end, on every path.
#pragma once

#include <zlib.h>

namespace package {

template <int (*End)(z_streamp)>
class ZlibStream {
  public:
    ~ZlibStream() {
        if (ready_) {
            End(&stream_);
        }
    }
    ZlibStream(const ZlibStream&) = delete;
    ZlibStream& operator=(const ZlibStream&) = delete;

    bool Ready() const { return ready_; }
    z_stream& Stream() { return stream_; }

  protected:
    ZlibStream() = default;

    z_stream stream_{};
    bool ready_ = false;  // set by the derived class once the set-up succeeded
};

}  // namespace package
