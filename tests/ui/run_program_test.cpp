#include "recording/run_program.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "unit/test_support.h"

namespace recording {
namespace {

std::string Derived(const char* source) {
    char directory[kWorkingDirectorySize];
    if (!DeriveWorkingDirectory(source, directory)) {
        return "<refused>";
    }
    return directory;
}

TEST(DeriveWorkingDirectory, KeepsTheFolderWithItsClosingBackslash) {
    EXPECT_EQ(Derived("C:\\Kits\\setup.exe"), "C:\\Kits\\");
    EXPECT_EQ(Derived("C:\\setup.exe"), "C:\\");
    EXPECT_EQ(Derived("setup.exe"), "");
    EXPECT_EQ(Derived("   \"C:\\a b\\setup.exe\""), "C:\\a b\\");
    // The whole command line is searched, and only blanks and one quote are skipped.
    EXPECT_EQ(Derived("  \"C:\\a\\setup.exe\" /log C:\\tmp\\x.log"),
              "C:\\a\\setup.exe\" /log C:\\tmp\\");
    EXPECT_EQ(Derived("\tC:\\x\\y.exe"), "\tC:\\x\\");
    EXPECT_EQ(Derived("\"\"C:\\x\\y.exe"), "\"C:\\x\\");
    EXPECT_EQ(Derived(std::string(300, 'a').c_str()), "<refused>");
}

// Runs test_child.exe, which lies beside the test program.
class RunProgramTest : public testing::Test {
  protected:
    void SetUp() override {
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, sizeof(self));
        std::string folder(self, std::strrchr(self, '\\'));
        child_ = folder + "\\test_child.exe";
        ASSERT_TRUE(CreateDirectoryA(programFolder_.c_str(), nullptr));
        ASSERT_TRUE(CopyFileA(child_.c_str(), program_.c_str(), FALSE));
    }

    int Run(const std::string& arguments, const char* workingDirectory, bool derive, bool wait,
            DWORD timeoutMs) {
        std::string commandLine = "\"" + program_ + "\" " + arguments;
        return RunProgram(program_.c_str(), commandLine.data(), workingDirectory, derive, 0, 0,
                          wait, timeoutMs);
    }

    bool WaitForFile(const std::string& path) {
        for (int i = 0; i < 300 && !test::Exists(path); ++i) {
            Sleep(50);
        }
        return test::Exists(path);
    }

    std::string Read(const std::string& path) {
        test::Bytes bytes = test::ReadBytes(path);
        return std::string(bytes.begin(), bytes.end());
    }

    test::ScratchDir scratch_;
    std::string child_;
    std::string programFolder_ = scratch_.File("kits");
    std::string program_ = programFolder_ + "\\setup.exe";
    std::string report_ = scratch_.File("cwd.txt");
};

TEST_F(RunProgramTest, StartsInTheProgramsFolderAndWaits) {
    EXPECT_EQ(Run("--sleep 0 --cwd-to " + report_, nullptr, true, true, INFINITE), 1);
    ASSERT_TRUE(test::Exists(report_));  // written before the wait ended
    EXPECT_EQ(lstrcmpiA(Read(report_).c_str(), programFolder_.c_str()), 0) << Read(report_);
}

TEST_F(RunProgramTest, AGivenFolderWinsOverDerivation) {
    std::string other = scratch_.File("other");
    ASSERT_TRUE(CreateDirectoryA(other.c_str(), nullptr));
    EXPECT_EQ(Run("--sleep 0 --cwd-to " + report_, other.c_str(), true, true, INFINITE), 1);
    EXPECT_EQ(lstrcmpiA(Read(report_).c_str(), other.c_str()), 0) << Read(report_);
}

TEST_F(RunProgramTest, AZeroTimeOutLeavesTheProgramRunning) {
    EXPECT_EQ(Run("--sleep 1500 --cwd-to " + report_, nullptr, true, true, 0), -1);
    EXPECT_FALSE(test::Exists(report_));
    EXPECT_TRUE(WaitForFile(report_));
}

TEST_F(RunProgramTest, WithoutWaitingItReturnsOnceStarted) {
    EXPECT_EQ(Run("--sleep 1500 --cwd-to " + report_, nullptr, false, false, 0), 1);
    EXPECT_FALSE(test::Exists(report_));
    EXPECT_TRUE(WaitForFile(report_));
}

TEST_F(RunProgramTest, NothingStartedIsZero) {
    std::string missing = scratch_.File("missing.exe");
    EXPECT_EQ(RunProgram(missing.c_str(), nullptr, nullptr, true, 0, 0, true, INFINITE), 0);
    EXPECT_EQ(RunProgram(nullptr, nullptr, nullptr, true, 0, 0, true, INFINITE), 0);
    std::string notAProgram = scratch_.File("text.exe");
    ASSERT_TRUE(test::WriteBytes(notAProgram, test::ToBytes("not a program")));
    EXPECT_EQ(RunProgram(notAProgram.c_str(), nullptr, nullptr, true, 0, 0, true, INFINITE), 0);
    std::string longFolder(300, 'd');
    EXPECT_EQ(Run("--cwd-to " + report_, longFolder.c_str(), false, true, INFINITE), 0);
    EXPECT_FALSE(test::Exists(report_));
}

}  // namespace
}  // namespace recording
