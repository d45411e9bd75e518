// The insert job under trouble: a failure thrown in the engine, insert commands that arrive
// while a job runs, a notice that cannot be made, a question box that cannot be shown.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "app/message_box_prompter.h"
#include "res/message_ids.h"
#include "res/resource_ids.h"
#include "tests/ui/dialog_fixture.h"
#include "tests/ui/failing_allocations.h"
#include "unit/test_support.h"

namespace {

using uitest::BoxRecord;
using uitest::Describe;
using uitest::DialogHarness;

const char kFailed[] = "Failed to insert file into package.";

class InsertWorkerTest : public uitest::DialogFixture {
  protected:
    void Fill(DialogHarness& dialog) { DialogFixture::Fill(dialog, package_, script_, output_); }
};

TEST_F(InsertWorkerTest, MemoryRunningOutInTheEngineIsAFailedInsert) {
    DialogHarness dialog;
    Fill(dialog);
    {
        // Only the worker's allocations fail: the test's and the dialog's threads go on.
        uitest::FailingAllocations outOfMemory({GetCurrentThreadId(), dialog.DialogThreadId()});
        dialog.Click(IDC_INSERT_FILE);
        ASSERT_TRUE(dialog.WaitUntilIdle());
        EXPECT_GT(uitest::FailingAllocations::Refused(), 0);
    }
    std::vector<BoxRecord> boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 1u) << Describe(boxes);
    EXPECT_EQ(boxes[0].text, kFailed);
    EXPECT_EQ(test::ReadBytes(output_).size(), 0u);  // made empty by validation, not written
    EXPECT_TRUE(scratch_.TempEntries().empty());     // the temporary archive went too

    // The program lives on, and the next insert works.
    dialog.SetText(IDC_OUTPUT, scratch_.File("second.exe"));
    dialog.Click(IDC_INSERT_FILE);
    ASSERT_TRUE(dialog.WaitUntilIdle());
    boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 1u) << Describe(boxes);
    EXPECT_EQ(boxes[0].text, "Insert file to package success!");
}

TEST_F(InsertWorkerTest, AJobWithoutItsNoticeStillRunsAloneAndHoldsOffTheClose) {
    // A damaged package holds the worker at its question until the test answers it.
    test::Bytes damaged = test::ReadBytes(package_);
    damaged[200] ^= 1;
    ASSERT_TRUE(test::WriteBytes(package_, damaged));
    DialogHarness dialog;
    dialog.RefuseChildWindow(IDC_NOTICE);
    Fill(dialog);
    dialog.Click(IDC_INSERT_FILE);
    EXPECT_EQ(dialog.Item(IDC_NOTICE), nullptr);
    EXPECT_FALSE(IsWindowEnabled(dialog.Item(IDC_INSERT_FILE)));

    // Disabled buttons do not stop commands that are sent: both insert actions ignore them
    // while the job runs, without a question, a check or a second job.
    dialog.Click(IDC_INSERT_FILE);
    dialog.Click(IDC_INSERT_SCRIPT);
    EXPECT_EQ(Describe(dialog.TakeBoxes()), "");

    // Closing waits for the job, notice or not.
    SendMessageA(dialog.Dialog(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_FALSE(dialog.DialogEnded());
    ASSERT_TRUE(dialog.AnswerWorkerBox(IDNO));
    ASSERT_TRUE(dialog.WaitForEnd());
    std::vector<BoxRecord> boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 3u) << Describe(boxes);
    EXPECT_EQ(boxes[0].text.substr(0, 30), "The package is still being wri");
    EXPECT_EQ(boxes[1].text, "Install package check error,it maybe damaged.Continue?");
    EXPECT_FALSE(boxes[1].fromDialogThread);
    EXPECT_EQ(boxes[2].text, kFailed);
}

// Refuses every window that this thread tries to create, so that no box can be shown.
LRESULT CALLBACK RefuseEveryWindow(int code, WPARAM wParam, LPARAM lParam) {
    return code == HCBT_CREATEWND ? 1 : CallNextHookEx(nullptr, code, wParam, lParam);
}

// A virus scanner holding the fresh package for a moment does not fail the insert; one that
// holds it on fails it after a while with the system's reason, and nothing is changed.
TEST_F(InsertWorkerTest, APackageHeldForAMomentIsWaitedFor) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof(self));
    const std::string child = std::string(self, std::strrchr(self, '\\')) + "\\test_child.exe";
    const test::Bytes original = test::ReadBytes(package_);
    for (DWORD holdMs : {500u, 10000u}) {
        std::string commandLine =
            "\"" + child + "\" --hold \"" + package_ + "\" --sleep " + std::to_string(holdMs);
        STARTUPINFOA startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessA(child.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                   nullptr, nullptr, &startup, &process));
        // Held once a shared read is refused.
        for (int i = 0; i < 200; ++i) {
            HANDLE probe = CreateFileA(package_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
            if (probe == INVALID_HANDLE_VALUE) {
                break;
            }
            CloseHandle(probe);
            Sleep(10);
        }
        app::MessageBoxPrompter prompter(nullptr);
        package::InsertDetail detail;
        const DWORD start = GetTickCount();
        const package::InsertResult result = package::InsertFileIntoPackage(
            package_.c_str(), script_.c_str(), "held.ins", nullptr, prompter, &detail);
        const DWORD took = GetTickCount() - start;
        if (holdMs == 500) {
            EXPECT_GT(result, 0);
        } else {
            EXPECT_EQ(result, package::kInsertFailed);
            EXPECT_EQ(detail.systemError, ERROR_SHARING_VIOLATION);
            EXPECT_GE(took, 1900u);
            EXPECT_LT(took, 5000u);
        }
        TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, 5000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        if (holdMs != 500) {
            EXPECT_EQ(test::ReadBytes(package_), original);
        }
        ASSERT_TRUE(test::WriteBytes(package_, original));
    }
}

TEST(MessageBoxPrompter, AQuestionThatCannotBeShownAnswersNo) {
    HHOOK hook = SetWindowsHookExA(WH_CBT, &RefuseEveryWindow, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    int shown = MessageBoxA(nullptr, "probe", "probe", MB_YESNO);
    app::MessageBoxPrompter prompter(nullptr);
    bool goOn = prompter.AskYesNo(IDS_PACKAGE_DAMAGED_CONTINUE);
    UnhookWindowsHookEx(hook);
    ASSERT_NE(shown, IDYES) << "the box was shown after all";
    ASSERT_NE(shown, IDNO) << "the box was shown after all";
    EXPECT_FALSE(goOn);
}

}  // namespace
