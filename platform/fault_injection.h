// Lets tests make the N-th file operation fail, or end the process there, to prove that
// no failure goes unnoticed and none leaves a damaged file. Disarmed, it costs one load.
#pragma once

#include <cstdint>

namespace platform::fault {

enum class Action { Fail, ExitProcess };

// Arms the counter: the `countdown`-th operation from now takes `action`.
void Arm(int64_t countdown, Action action = Action::Fail, int exitCode = 77);
void Disarm();
// Whether the armed operation was reached since the last Arm.
bool Fired();
// How many operations ran since the last Arm, up to the armed one.
int64_t OperationsSinceArm();

// Called by each file operation that may fail; true when it must fail.
bool ShouldFail();

}  // namespace platform::fault
