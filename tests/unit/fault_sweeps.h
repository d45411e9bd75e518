// The two sweeps that prove a change safe: every file operation failing in turn, and the
// process ended at every file operation in turn.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace test {

// Death tests may re-run the test in a fresh process with a scratch folder of its own; what
// the dying change works on is handed down through the environment, the outer run's value
// kept.
void SetEnvironmentOnce(const char* name, const std::string& value);

// Runs `change` (a result above 0 is a success) with its first, second, ... file operation
// failing, `prepare` restoring the files before each run, until a run reaches no operation to
// fail: that run must succeed. `judge(step, result)` checks each outcome. Returns how many
// runs failed, or -1 when a judge failed (the step is reported).
int SweepFailures(const std::function<void()>& prepare, const std::function<int()>& change,
                  const std::function<void(int64_t step, int result)>& judge);

// How many file operations an undisturbed run of `change` takes; it must succeed.
int64_t CountOperations(const std::function<int()>& change);

// Ends a process at each of the first `operations` file operations of `change` in turn, in
// death tests, `prepare` restoring the files before each; `judge(step)` then looks at what
// the dead process left.
void SweepDeaths(int64_t operations, const std::function<void()>& prepare,
                 const std::function<void()>& change, const std::function<void(int64_t)>& judge);

}  // namespace test
