// The two sweeps that prove a change safe: every file operation failing in turn, and the
// process ended at every file operation in turn.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "unit/test_support.h"

namespace test {

// Death tests may re-run the test in a fresh process with a scratch folder of its own; what
// the dying change works on is handed down through the environment, the outer run's value
// kept there. A later test in the same process sets its own value.
void SetEnvironmentOnce(const char* name, const std::string& value);

// Runs `change` (a result above 0 is a success) with its first, second, ... file operation
// failing, until a run reaches no operation to fail: that run must succeed. Before each run
// `package` gets the `original` bytes back and `output` is deleted; `judge(step, result)`
// checks each outcome. Returns how many runs failed, or -1 when a judge failed (the step is
// reported).
int SweepFailures(const std::string& package, const Bytes& original, const std::string& output,
                  const std::function<int()>& change,
                  const std::function<void(int64_t step, int result)>& judge);

// How many file operations an undisturbed run of `change` takes; it must succeed.
int64_t CountOperations(const std::function<int()>& change);

// Ends a process at each of the first `operations` file operations of `change` in turn, in
// death tests, `package` holding the `before` bytes at the start of each. After each death the
// package is recovered and must hold `before` or `after` byte for byte; `judgeFolder(step)`
// then looks at what else the dead process left. Returns how many recoveries rolled back.
int SweepDeaths(int64_t operations, const std::string& package, const Bytes& before,
                const Bytes& after, const std::function<void()>& change,
                const std::function<void(int64_t step)>& judgeFolder);

}  // namespace test
