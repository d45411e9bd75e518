#include "package/package_lock.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace package {
namespace {

// Far beyond the 4 GiB that a package stays below, and within what every file system takes
// as a lock offset.
constexpr uint64_t kLockBase = uint64_t{1} << 36;
// Taken shared for a moment by each new reader, and held exclusive by a writer waiting for
// the readers to leave, so that a stream of readers cannot keep it waiting for ever.
constexpr uint64_t kPendingByte = kLockBase;
constexpr uint64_t kReservedByte = kLockBase + 1;
// Shared by the readers, exclusive for the writer once they have left.
constexpr uint64_t kSharedByte = kLockBase + 2;

constexpr uint32_t kPollMs = 10;

LockWaitListener* g_listener = nullptr;

LockResult ResultOf(platform::LockState state) {
    switch (state) {
        case platform::LockState::Taken:
            return LockResult::Taken;
        case platform::LockState::Busy:
            return LockResult::Busy;
        case platform::LockState::Failed:
            break;
    }
    return LockResult::Failed;
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

void SetLockWaitListener(LockWaitListener* listener) {
    g_listener = listener;
}

uint32_t LockWaitMs() {
    const char* text = std::getenv("KTL_LOCK_WAIT");
    if (text != nullptr && *text != '\0') {
        char* end = nullptr;
        const unsigned long seconds = std::strtoul(text, &end, 10);
        if (*end == '\0' && seconds <= 24ul * 3600) {
            return static_cast<uint32_t>(seconds * 1000);
        }
    }
    return kDefaultLockWaitSeconds * 1000;
}

LockResult PackageLock::StepUp(platform::File& file) {
    using platform::LockState;
    if (level_ == LockLevel::None) {
        LockState pending = file.TryLock(kPendingByte, 1, false);
        if (pending != LockState::Taken) {
            return ResultOf(pending);
        }
        LockState shared = file.TryLock(kSharedByte, 1, false);
        file.Unlock(kPendingByte, 1);
        if (shared != LockState::Taken) {
            return ResultOf(shared);
        }
        level_ = LockLevel::Shared;
    } else if (level_ == LockLevel::Shared) {
        LockState reserved = file.TryLock(kReservedByte, 1, true);
        if (reserved != LockState::Taken) {
            return ResultOf(reserved);
        }
        level_ = LockLevel::Reserved;
    } else if (level_ == LockLevel::Reserved) {
        if (!pendingHeld_) {
            LockState pending = file.TryLock(kPendingByte, 1, true);
            if (pending != LockState::Taken) {
                return ResultOf(pending);
            }
            pendingHeld_ = true;
            // Windows turns no shared lock into an exclusive one: it goes first. With Pending
            // and Reserved held, nobody else can come in meanwhile.
            file.Unlock(kSharedByte, 1);
        }
        LockState exclusive = file.TryLock(kSharedByte, 1, true);
        if (exclusive != LockState::Taken) {
            return ResultOf(exclusive);
        }
        level_ = LockLevel::Exclusive;
    }
    return LockResult::Taken;
}

LockResult PackageLock::Raise(platform::File& file, LockLevel level, const char* packagePath) {
    const int64_t start = NowMs();
    const uint32_t waitMs = LockWaitMs();
    bool told = false;
    while (level_ < level) {
        const LockResult step = StepUp(file);
        if (step == LockResult::Taken) {
            continue;
        }
        if (step == LockResult::Failed || NowMs() - start >= waitMs) {
            Release(file);
            return step;
        }
        if (!told && g_listener != nullptr) {
            g_listener->WaitingForChange(packagePath);
        }
        told = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    return LockResult::Taken;
}

LockResult PackageLock::TryExclusiveNow(platform::File& file) {
    return ResultOf(file.TryLock(kSharedByte, 1, true));
}

LockResult PackageLock::TrySharedNow(platform::File& file) {
    return ResultOf(file.TryLock(kSharedByte, 1, false));
}

void PackageLock::Release(platform::File& file) {
    if (file.IsOpen()) {
        if (level_ != LockLevel::None && !(level_ == LockLevel::Reserved && pendingHeld_)) {
            file.Unlock(kSharedByte, 1);
        }
        if (level_ >= LockLevel::Reserved) {
            file.Unlock(kReservedByte, 1);
        }
        if (pendingHeld_) {
            file.Unlock(kPendingByte, 1);
        }
    }
    level_ = LockLevel::None;
    pendingHeld_ = false;
}

}  // namespace package
