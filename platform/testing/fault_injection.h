// Lets tests make the N-th file operation fail, or end the process there, to prove that
// no failure goes unnoticed and none leaves a damaged file. Only the test build of the
// platform library (ktl_platform_testing, which defines KTL_FAULT_INJECTION) carries it; in
// the programs we ship ShouldFail is a constant false and every check folds away.
#pragma once

#include <cstdint>

namespace platform::fault {

#ifdef KTL_FAULT_INJECTION

// PowerCut: see power_loss.h, which arms it. Pause: see ArmPause.
enum class Action { Fail, ExitProcess, PowerCut, Pause };

// Arms the counter: the `countdown`-th operation from now takes `action`.
void Arm(int64_t countdown, Action action = Action::Fail, int exitCode = 77);
// Arms a pause, for tests that run other processes against a change caught in the middle:
// the `countdown`-th operation creates `<folder>/paused`, waits until `<folder>/resume`
// exists, and then goes on as if nothing had happened.
void ArmPause(int64_t countdown, const char* folder);
void Disarm();
// Whether the armed operation was reached since the last Arm.
bool Fired();
// How many operations ran since the last Arm, up to the armed one.
int64_t OperationsSinceArm();

// Called by each file operation that may fail; true when it must fail, with the system's
// error code set as a real failure would set it.
bool ShouldFail();

#else

// Inlined even where nothing else is (a debug build), so that no trace of it is left.
[[gnu::always_inline]] constexpr bool ShouldFail() {
    return false;
}

#endif

}  // namespace platform::fault
