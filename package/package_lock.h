// Locks that keep changes to one package apart, after SQLite's pager: Shared while reading;
// Reserved while a change prepares (one writer at a time, readers still welcome); Exclusive
// from before the journal is written until its deletion is durable. A journal found while
// nobody holds Exclusive was left by a crash; while somebody does, it is a change in progress.
//
// The locks are byte-range locks on the package's own open file, on bytes far beyond any
// package's data: packages stay below 4 GiB, and Windows enforces such locks on reads and
// writes of the bytes they cover.
#pragma once

#include <cstdint>

#include "platform/file.h"

namespace package {

enum class LockLevel { None, Shared, Reserved, Exclusive };

enum class LockResult {
    Taken,
    Busy,    // another process held it for the whole wait
    Failed,  // the system refused the lock (the file's LastError says why)
};

// Told once per wait, when a command finds another process's change in its way.
class LockWaitListener {
  public:
    virtual ~LockWaitListener() = default;
    virtual void WaitingForChange(const char* packagePath) = 0;
};

// The listener for this process's waits (ktl tells its user on standard error); none at first.
void SetLockWaitListener(LockWaitListener* listener);

// How long a command waits for another process's change before it gives up: the seconds in
// KTL_LOCK_WAIT when it holds a number (0: not at all), else kDefaultLockWaitSeconds.
constexpr uint32_t kDefaultLockWaitSeconds = 20;
uint32_t LockWaitMs();

// The lock one command holds on its one open handle of a package. Locks on two opens of the
// same file conflict even within one process, so every step of a command works through the
// handle that holds its lock.
class PackageLock {
  public:
    // Raises the lock held on `file` to `level`, waiting while another process holds what is in
    // the way. On Busy or Failed no lock is held any more.
    LockResult Raise(platform::File& file, LockLevel level, const char* packagePath);
    // Drops every lock held on `file` (closing the file drops them too; call this then).
    void Release(platform::File& file);
    LockLevel Level() const { return level_; }

    // Whether no process holds any lock on `file` at this moment, tried once without waiting;
    // on Taken the caller holds every reader off until it closes the file.
    static LockResult TryExclusiveNow(platform::File& file);
    // Whether no process holds the lock exclusively at this moment, tried once without waiting;
    // on Taken the caller keeps every TryExclusiveNow off until it closes the file.
    static LockResult TrySharedNow(platform::File& file);

  private:
    // One step up from the level held, tried once.
    LockResult StepUp(platform::File& file);

    LockLevel level_ = LockLevel::None;
    bool pendingHeld_ = false;  // on the way to Exclusive: new readers are held off
};

}  // namespace package
