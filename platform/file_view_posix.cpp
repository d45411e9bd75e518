// Whole-file passes over the page cache: the bytes are mapped a window at a time and shown
// where they lie, so a pass costs what reading the memory costs, with no copy into a buffer.
// A mapped page past the file's end (another program cut the file short while it was mapped)
// raises SIGBUS instead of a short read: the guard below turns that into a failed view.
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "platform/file.h"
#include "platform/file_copy.h"
#include "platform/testing/fault_injection.h"
#include "platform/testing/power_loss.h"

namespace platform {
namespace {

// Large enough that mapping costs little per byte, small enough that a pass over a package adds
// only a few MiB to the process's resident pages.
constexpr uint64_t kViewWindow = 4u << 20;
// How much a copy writes before it asks the system to start writing it to the disk: measured on
// a 1 GiB package, 8 MiB beat both larger steps and none.
constexpr uint64_t kWriteBackStep = 8u << 20;

thread_local sigjmp_buf* t_busEscape = nullptr;
struct sigaction g_otherBusAction;
std::once_flag g_busGuardInstalled;

void OnBusError(int, siginfo_t*, void*) {
    if (t_busEscape != nullptr) {
        siglongjmp(*t_busEscape, 1);
    }
    // Not a view's fault: it recurs when this returns, and meets the handler there was before.
    sigaction(SIGBUS, &g_otherBusAction, nullptr);
}

void InstallBusGuard() {
    std::call_once(g_busGuardInstalled, [] {
        struct sigaction action = {};
        action.sa_sigaction = OnBusError;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &g_otherBusAction);
    });
}

// Puts back the escape of any view around this one, however this one ends.
struct EscapeScope {
    sigjmp_buf* outer = t_busEscape;
    ~EscapeScope() { t_busEscape = outer; }
};

// Shows one mapped window; a bus error while the viewer reads it fails the view. The viewer
// holds nothing that needs undoing (ByteViewer says so), so jumping out of it is safe.
bool ViewGuarded(ByteViewer& viewer, const uint8_t* bytes, uint32_t size) {
    EscapeScope scope;
    sigjmp_buf escape;
    if (sigsetjmp(escape, 1) != 0) {
        errno = EIO;
        return false;
    }
    t_busEscape = &escape;
    return viewer.View(bytes, size);
}

}  // namespace

bool File::ViewBytes(uint64_t offset, uint64_t length, ByteViewer& viewer, uint8_t* buffer,
                     uint32_t bufferSize) {
    if (!IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    struct stat info;
    if (::fstat(Descriptor(), &info) != 0) {
        return Fail();
    }
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    if (offset > size || length > size - offset) {
        errno = 0;
        return Fail();  // the file ends before the bytes asked for
    }
    InstallBusGuard();
    const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    while (length > 0) {
        const uint64_t start = offset - offset % page;
        const uint64_t lead = offset - start;
        const uint64_t span = std::min(length + lead, kViewWindow);
        // Not populated up front: the first touch of a page maps its cached neighbours with it,
        // which measured cheaper than MAP_POPULATE's walk.
        void* mapped = ::mmap(nullptr, static_cast<size_t>(span), PROT_READ, MAP_SHARED,
                              Descriptor(), static_cast<off_t>(start));
        if (mapped == MAP_FAILED) {
            // A file system that cannot map (or a descriptor not open for reading) is read.
            return ViewThroughBuffer(*this, offset, length, viewer, buffer, bufferSize);
        }
        const bool viewed = ViewGuarded(viewer, static_cast<const uint8_t*>(mapped) + lead,
                                        static_cast<uint32_t>(span - lead));
        const int viewError = errno;
        ::munmap(mapped, static_cast<size_t>(span));
        if (!viewed) {
            errno = viewError;
            return Fail();
        }
        offset += span - lead;
        length -= span - lead;
    }
    return true;
}

// Each window is shown from its mapping and then copied by the kernel from file to file: the
// bytes are read once by this process and never written from its memory (a write from a mapped
// page of another file can cost several times the copy).
bool File::CopyViewing(File& to, uint64_t offset, uint64_t length, ByteViewer& viewer,
                       uint8_t* buffer, uint32_t bufferSize) {
    if (!IsOpen() || !to.IsOpen() || fault::ShouldFail()) {
        return Fail();
    }
    fault::BeforeWrite(to.Descriptor(), to.path_, length);
    uint64_t handed = 0;  // bytes of `to` from `handedAt` on written but not handed to the disk
    uint64_t handedAt = 0;
    if (!to.Position(&handedAt)) {
        return Fail(to);
    }
    while (length > 0) {
        const uint64_t step = std::min(length, kViewWindow);
        if (!ViewBytes(offset, step, viewer, buffer, bufferSize)) {
            return false;
        }
        for (uint64_t left = step; left > 0;) {
            off_t from = static_cast<off_t>(offset + (step - left));
            ssize_t n = ::copy_file_range(Descriptor(), &from, to.Descriptor(), nullptr,
                                          static_cast<size_t>(left), 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 &&
                (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                if (!Seek(from, SeekFrom::Begin) ||
                    !CopyThroughBuffer(*this, to, left, buffer, bufferSize)) {
                    return Fail(to);
                }
                break;
            }
            if (n <= 0) {
                return Fail();  // an error, or the source ended early
            }
            left -= static_cast<uint64_t>(n);
        }
        offset += step;
        length -= step;
        handed += step;
#ifdef SYNC_FILE_RANGE_WRITE
        // A hint only: its failure changes nothing, and the Flush still waits for every byte.
        if (handed >= kWriteBackStep || length == 0) {
            ::sync_file_range(to.Descriptor(), static_cast<off_t>(handedAt),
                              static_cast<off_t>(handed), SYNC_FILE_RANGE_WRITE);
            handedAt += handed;
            handed = 0;
        }
#endif
    }
    return true;
}

}  // namespace platform
