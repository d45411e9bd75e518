// Built into the test variant of the platform library only (see fault_injection.h).
#include "platform/testing/fault_injection.h"
#include "platform/testing/power_loss.h"

#ifndef KTL_FAULT_INJECTION
#error "fault_injection.cpp belongs to ktl_platform_testing, which defines KTL_FAULT_INJECTION"
#endif

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace platform::fault {
namespace {
std::atomic<int64_t> g_countdown{0};  // 0: disarmed
std::atomic<int64_t> g_armedWith{0};
std::atomic<bool> g_fired{false};
Action g_action = Action::Fail;
int g_exitCode = 77;
std::string g_pauseFolder;

bool FileExists(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    std::fclose(file);
    return true;
}

void SleepBriefly() {
#ifdef _WIN32
    Sleep(5);
#else
    const timespec pause{0, 5'000'000};
    nanosleep(&pause, nullptr);
#endif
}

// The C library's own files, not the platform layer's: those would count as operations again.
// A test that sees no `paused` file in time fails on its own, so a failure here only ends the
// process, which no test takes for success.
void PauseUntilResumed() {
    const int savedErrno = errno;
#ifdef _WIN32
    const DWORD savedError = GetLastError();
#endif
    std::FILE* paused = std::fopen((g_pauseFolder + "/paused").c_str(), "wb");
    if (paused == nullptr || std::fclose(paused) != 0) {
        std::_Exit(g_exitCode);
    }
    const std::string resume = g_pauseFolder + "/resume";
    while (!FileExists(resume)) {
        SleepBriefly();
    }
    // The operation that goes on must not find the error state of the wait.
#ifdef _WIN32
    SetLastError(savedError);
#endif
    errno = savedErrno;
}
}  // namespace

void Arm(int64_t countdown, Action action, int exitCode) {
    g_action = action;
    g_exitCode = exitCode;
    g_fired = false;
    g_armedWith = countdown;
    g_countdown = countdown;
}

void ArmPause(int64_t countdown, const char* folder) {
    g_pauseFolder = folder;
    Arm(countdown, Action::Pause);
}

void Disarm() {
    g_countdown = 0;
}

bool Fired() {
    return g_fired;
}

int64_t OperationsSinceArm() {
    return g_armedWith - std::max<int64_t>(g_countdown, 0);
}

bool ShouldFail() {
    if (g_countdown.load(std::memory_order_relaxed) <= 0) {
        return false;
    }
    if (--g_countdown != 0) {
        return false;
    }
    g_fired = true;
    if (g_action == Action::ExitProcess) {
        std::_Exit(g_exitCode);
    }
    if (g_action == Action::Pause) {
        PauseUntilResumed();
        return false;
    }
#ifndef _WIN32
    if (g_action == Action::PowerCut) {
        CutPower();
    }
#endif
    // The failure carries a system error like a real one, for the callers that report it.
#ifdef _WIN32
    SetLastError(ERROR_IO_DEVICE);
#else
    errno = EIO;
#endif
    return true;
}

}  // namespace platform::fault
