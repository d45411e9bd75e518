// Every change that writes a package, cut by a simulated power loss at each of its file
// operations in turn, with several random patterns of what the disk lost each time. After the
// next open's recovery the package is the old one or the new one byte for byte, a new package
// file is whole or absent, and nothing else is left, once the next write of that output ran.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "package/insert_file.h"
#include "package/journal.h"
#include "package/member_rewrite.h"
#include "platform/fault_injection.h"
#include "platform/power_loss.h"
#include "unit/fault_sweeps.h"
#include "unit/test_support.h"

namespace package {
namespace {

using test::Bytes;

constexpr int kCutsPerChange = 1000;
constexpr int kCutExit = 78;

class SilentPrompter : public InsertPrompter {
  public:
    bool AskYesNo(int) override { return true; }
    void ShowStop(int) override {}
};

class PowerLossTest : public testing::Test {
  protected:
    void SetUp() override {
        original_ =
            test::MakePackage(test::MakeZip({{"Zor/", {}},
                                             {"Zor/readme.txt", test::PatternBytes(3000, 7)},
                                             {"AUTO1.INS", test::ToBytes("[Setup]\r\nold=1\r\n")},
                                             {"Setup.ini", test::PatternBytes(1500, 9)}}));
        ASSERT_TRUE(test::WriteBytes(script_, test::PatternBytes(5000, 3)));
    }

    // Cuts `change` at every operation with several loss patterns; returns the cuts made.
    int Sweep(const std::function<int()>& change, bool newFile) {
        EXPECT_TRUE(test::WriteBytes(package_, original_));
        const int64_t operations = test::CountOperations(change);
        const Bytes after = test::ReadBytes(newFile ? output_ : package_);
        const int patterns = static_cast<int>((kCutsPerChange + operations - 1) / operations);
        int cuts = 0;
        for (int64_t step = 1; step <= operations; ++step) {
            for (int seed = 0; seed < patterns; ++seed, ++cuts) {
                SCOPED_TRACE("cut at operation " + std::to_string(step) + ", pattern " +
                             std::to_string(seed));
                test::DeletePath(output_);
                if (!test::WriteBytes(package_, original_)) {
                    ADD_FAILURE() << "cannot restore the package";
                    return cuts;
                }
                CutAt(step, static_cast<uint32_t>(seed), change);
                RecoveryReport report;
                const Recovery recovery = RecoverPackage(package_.c_str(), &report);
                EXPECT_TRUE(recovery != Recovery::Failed && recovery != Recovery::SetAside);
                const Bytes left = test::ReadBytes(package_);
                if (newFile) {
                    EXPECT_EQ(left, original_);
                    EXPECT_TRUE(!test::Exists(output_) || test::ReadBytes(output_) == after);
                    // The next write of the output clears what the cut left beside it.
                    EXPECT_GT(change(), 0);
                    EXPECT_EQ(test::ReadBytes(output_), after);
                } else {
                    EXPECT_TRUE(left == original_ || left == after);
                }
                std::vector<std::string> names = scratch_.Entries();
                std::sort(names.begin(), names.end());
                const std::vector<std::string> expected =
                    newFile ? std::vector<std::string>{"auto1.ins", "custom.exe", "package.exe"}
                            : std::vector<std::string>{"auto1.ins", "package.exe"};
                EXPECT_EQ(names, expected);
                if (testing::Test::HasFailure()) {
                    return cuts;
                }
            }
        }
        return cuts;
    }

    void CutAt(int64_t step, uint32_t seed, const std::function<int()>& change) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            platform::fault::ArmPowerCut(step, seed, kCutExit);
            change();
            std::_Exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kCutExit) << status;
    }

    int Insert(const char* member, const char* output, SameName sameName = SameName::Refuse) {
        return InsertFileIntoPackage(package_.c_str(), script_.c_str(), member, output, prompter_,
                                     nullptr, sameName);
    }

    // Thousands of cuts, each syncing files: a memory file system takes the syncs for nothing.
    test::ScratchDir scratch_{access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr};
    std::string package_ = scratch_.File("package.exe");
    std::string script_ = scratch_.File("auto1.ins");
    std::string output_ = scratch_.File("custom.exe");
    Bytes original_;
    SilentPrompter prompter_;
};

TEST_F(PowerLossTest, InsertInPlace) {
    EXPECT_GE(Sweep([&] { return Insert("new.ins", nullptr); }, false), kCutsPerChange);
}

TEST_F(PowerLossTest, ReplaceInPlace) {
    EXPECT_GE(Sweep([&] { return Insert("auto1.ins", nullptr, SameName::Replace); }, false),
              kCutsPerChange);
}

TEST_F(PowerLossTest, RemoveInPlace) {
    EXPECT_GE(Sweep(
                  [&] {
                      return RemoveMemberFromPackage(package_.c_str(), "zor\\README.txt", nullptr,
                                                     prompter_);
                  },
                  false),
              kCutsPerChange);
}

TEST_F(PowerLossTest, InsertIntoANewPackage) {
    EXPECT_GE(Sweep([&] { return Insert("new.ins", output_.c_str()); }, true), kCutsPerChange);
}

}  // namespace
}  // namespace package
#endif
