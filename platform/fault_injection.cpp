// Built into the test variant of the platform library only (see fault_injection.h).
#include "platform/fault_injection.h"
#include "platform/power_loss.h"

#ifndef KTL_FAULT_INJECTION
#error "fault_injection.cpp belongs to ktl_platform_testing, which defines KTL_FAULT_INJECTION"
#endif

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace platform::fault {
namespace {
std::atomic<int64_t> g_countdown{0};  // 0: disarmed
std::atomic<int64_t> g_armedWith{0};
std::atomic<bool> g_fired{false};
Action g_action = Action::Fail;
int g_exitCode = 77;
}  // namespace

void Arm(int64_t countdown, Action action, int exitCode) {
    g_action = action;
    g_exitCode = exitCode;
    g_fired = false;
    g_armedWith = countdown;
    g_countdown = countdown;
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
