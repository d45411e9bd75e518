#include "unit/fault_sweeps.h"

#include <gtest/gtest.h>

#include <cstdlib>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "package/journal.h"
#include "platform/testing/fault_injection.h"

namespace test {

void SetEnvironmentOnce(const char* name, const std::string& value) {
    // Each value is signed with the process and the test that set it: a death test's re-run
    // child (another process, the same test) keeps its parent's, while a later test of the same
    // process, or the same test repeated, sets its own.
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    const std::string testName =
        test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "";
    const std::string signatureName = std::string(name) + "_SET_BY";
#ifdef _WIN32
    const std::string process = std::to_string(_getpid());
#else
    const std::string process = std::to_string(getpid());
#endif
    const std::string signature = process + " " + testName;
    const char* signedBy = std::getenv(signatureName.c_str());
    if (std::getenv(name) != nullptr && signedBy != nullptr) {
        const std::string by = signedBy;
        const size_t space = by.find(' ');
        if (space != std::string::npos && by.compare(space + 1, std::string::npos, testName) == 0 &&
            by.compare(0, space, process) != 0) {
            return;
        }
    }
#ifdef _WIN32
    _putenv_s(name, value.c_str());
    _putenv_s(signatureName.c_str(), signature.c_str());
#else
    setenv(name, value.c_str(), 1);
    setenv(signatureName.c_str(), signature.c_str(), 1);
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
