#include "unit/fault_sweeps.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "package/journal.h"
#include "platform/fault_injection.h"

namespace test {

void SetEnvironmentOnce(const char* name, const std::string& value) {
    if (std::getenv(name) != nullptr) {
        return;
    }
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 0);
#endif
}

int SweepFailures(const std::string& package, const Bytes& original, const std::string& output,
                  const std::function<int()>& change,
                  const std::function<void(int64_t step, int result)>& judge) {
    if (::testing::Test::HasFailure()) {
        return -1;  // a later step could not be told from the earlier failure
    }
    int failures = 0;
    for (int64_t step = 1;; ++step) {
        if (!WriteBytes(package, original)) {
            ADD_FAILURE() << "cannot restore " << package;
            return -1;
        }
        DeletePath(output);
        platform::fault::Arm(step);
        int result = change();
        bool fired = platform::fault::Fired();
        platform::fault::Disarm();
        failures += result <= 0;
        judge(step, result);
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "with file operation " << step << " failing";
            return -1;
        }
        if (!fired) {
            EXPECT_GT(result, 0) << "with no file operation failing";
            return failures;
        }
    }
}

int64_t CountOperations(const std::function<int()>& change) {
    platform::fault::Arm(int64_t{1} << 40);
    EXPECT_GT(change(), 0);
    const int64_t operations = platform::fault::OperationsSinceArm();
    platform::fault::Disarm();
    return operations;
}

int SweepDeaths(int64_t operations, const std::string& package, const Bytes& before,
                const Bytes& after, const std::function<void()>& change,
                const std::function<void(int64_t step)>& judgeFolder) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    int rolledBack = 0;
    for (int64_t step = 1; step <= operations; ++step) {
        if (!WriteBytes(package, before)) {
            ADD_FAILURE() << "cannot restore " << package;
            return rolledBack;
        }
        EXPECT_EXIT(
            {
                platform::fault::Arm(step, platform::fault::Action::ExitProcess, 77);
                change();
                std::exit(0);
            },
            ::testing::ExitedWithCode(77), "")
            << "ended at file operation " << step;
        package::Recovery recovery = package::RecoverPackage(package.c_str());
        EXPECT_NE(recovery, package::Recovery::Failed) << "step " << step;
        rolledBack += recovery == package::Recovery::RolledBack;
        const Bytes left = ReadBytes(package);
        EXPECT_TRUE(left == before || left == after) << "step " << step;
        judgeFolder(step);
    }
    return rolledBack;
}

}  // namespace test
