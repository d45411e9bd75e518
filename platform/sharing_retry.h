// Windows: a file another process holds without sharing is usually held only for a moment,
// by a virus scanner looking at a freshly written executable or an indexer. Opening or
// replacing it is tried again for a while before the sharing failure counts.
#pragma once

#include <windows.h>

namespace platform {

constexpr DWORD kSharingRetryMs = 2000;
constexpr DWORD kSharingRetryStepMs = 100;

// Runs `attempt` until it succeeds, fails for another reason than sharing or a lock, or
// kSharingRetryMs have passed; the last failure's code stays for GetLastError.
template <typename Attempt>
bool RetryWhileShared(Attempt&& attempt) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (attempt()) {
            return true;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) ||
            GetTickCount() - start >= kSharingRetryMs) {
            SetLastError(error);
            return false;
        }
        Sleep(kSharingRetryStepMs);
    }
}

}  // namespace platform
