// ktl_testing: ktl with its file operations under the tests' control, armed from the
// environment before the command runs, so that a test can hold a change in the middle while
// other processes act on the same files, or end it there:
//   KTL_TEST_PAUSE_AT=N, KTL_TEST_PAUSE_DIR=FOLDER  the N-th file operation creates
//                                                   FOLDER/paused and waits for FOLDER/resume
//   KTL_TEST_EXIT_AT=N                              the N-th file operation ends the process
//                                                   with status 77
#include <cstdlib>

#include "platform/testing/fault_injection.h"

// cli/ktl_main.cpp's main, under the name this build gives it.
int KtlEntryPoint(int argc, char** argv);

namespace {

// A positive count from the environment variable `name`, or 0 when it is absent or not one.
long long CountFrom(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char* end = nullptr;
    const long long count = std::strtoll(text, &end, 10);
    return *end == '\0' && count > 0 ? count : 0;
}

}  // namespace

int main(int argc, char** argv) {
    namespace fault = platform::fault;
    const char* pauseFolder = std::getenv("KTL_TEST_PAUSE_DIR");
    if (const long long at = CountFrom("KTL_TEST_PAUSE_AT"); at > 0 && pauseFolder != nullptr) {
        fault::ArmPause(at, pauseFolder);
    } else if (const long long exitAt = CountFrom("KTL_TEST_EXIT_AT"); exitAt > 0) {
        fault::Arm(exitAt, fault::Action::ExitProcess, 77);
    }
    return KtlEntryPoint(argc, argv);
}
