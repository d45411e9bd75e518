#include "recording/run_program.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "tests/ui/dialog_harness.h"
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

TEST_F(RunProgramTest, ABareNameStartsInTheCurrentFolderWhereItWasFound) {
    uitest::CurrentDirectoryScope inPrograms(programFolder_);
    std::string commandLine = "setup.exe --sleep 0 --cwd-to " + report_;
    EXPECT_EQ(RunProgram("setup.exe", commandLine.data(), nullptr, true, 0, 0, true, INFINITE), 1);
    EXPECT_EQ(lstrcmpiA(Read(report_).c_str(), programFolder_.c_str()), 0) << Read(report_);
}

// A window of the waiting thread that counts the setting changes it is sent.
LRESULT CALLBACK CountingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETTINGCHANGE) {
        ++*reinterpret_cast<int*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(RunProgramTest, WhileWaitingSentMessagesAreServedAndPostedOnesStayQueued) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &CountingWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "KtlCountingWindow";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "", WS_POPUP, 0, 0, 10, 10, nullptr,
                                  nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    int settingChanges = 0;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&settingChanges));
    ASSERT_TRUE(PostMessageA(window, WM_APP, 7, 0));

    // The child waits up to 30 seconds for our window to answer its broadcast.
    DWORD start = GetTickCount();
    EXPECT_EQ(Run("--broadcast 30000 --sleep 0 --cwd-to " + report_, nullptr, true, true, INFINITE),
              1);
    EXPECT_LT(GetTickCount() - start, 15000u);
    EXPECT_GE(settingChanges, 1);
    EXPECT_TRUE(test::Exists(report_));
    MSG posted;
    EXPECT_TRUE(PeekMessageA(&posted, window, WM_APP, WM_APP, PM_REMOVE));
    EXPECT_EQ(posted.wParam, 7u);
    DestroyWindow(window);
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
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));  // why, for the user
    EXPECT_EQ(RunProgram(nullptr, nullptr, nullptr, true, 0, 0, true, INFINITE), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::string notAProgram = scratch_.File("text.exe");
    ASSERT_TRUE(test::WriteBytes(notAProgram, test::ToBytes("not a program")));
    EXPECT_EQ(RunProgram(notAProgram.c_str(), nullptr, nullptr, true, 0, 0, true, INFINITE), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    std::string longFolder(300, 'd');
    EXPECT_EQ(Run("--cwd-to " + report_, longFolder.c_str(), false, true, INFINITE), 0);
    EXPECT_FALSE(test::Exists(report_));
}

}  // namespace
}  // namespace recording
