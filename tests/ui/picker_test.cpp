#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "res/resource_ids.h"
#include "tests/ui/dialog_harness.h"
#include "unit/test_support.h"

namespace {

using uitest::DialogHarness;

// Control numbers of the platform's file dialog: file name (edit, or the combo box of the
// Explorer style) and file type.
constexpr int kFileNameEdit = 0x480;
constexpr int kFileNameCombo = 0x47C;
constexpr int kFileTypeCombo = 0x470;

// A top-level window of this process with the given caption, waited for.
HWND WaitForWindow(const std::string& caption, DWORD timeoutMs = 10000) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
        HWND window = FindWindowA(nullptr, caption.c_str());
        if (window != nullptr && IsWindowVisible(window)) {
            return window;
        }
        Sleep(50);
    }
    return nullptr;
}

HWND FileNameControl(HWND picker) {
    HWND edit = GetDlgItem(picker, kFileNameEdit);
    return edit != nullptr ? edit : GetDlgItem(picker, kFileNameCombo);
}

std::string Text(HWND window) {
    char text[MAX_PATH] = {};
    GetWindowTextA(window, text, sizeof(text));
    return text;
}

std::string SelectedFilter(HWND picker) {
    HWND combo = GetDlgItem(picker, kFileTypeCombo);
    LRESULT index = SendMessageA(combo, CB_GETCURSEL, 0, 0);
    char text[128] = {};
    SendMessageA(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
    return text;
}

class PickerTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(test::WriteBytes(scratch_.File("ZorSetup.exe"), test::ToBytes("MZ")));
    }

    // Opens a picker with its Browse button; the click returns once the picker has closed.
    HWND Open(DialogHarness& dialog, int button, const char* title) {
        PostMessageA(dialog.Dialog(), WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(dialog.Item(button)));
        return WaitForWindow(title);
    }

    void Choose(HWND picker, const std::string& name) {
        SetWindowTextA(FileNameControl(picker), name.c_str());
        PostMessageA(picker, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }

    bool WaitUntilClosed(HWND picker) {
        for (int i = 0; i < 200 && IsWindow(picker); ++i) {
            Sleep(50);
        }
        return !IsWindow(picker);
    }

    test::ScratchDir scratch_;
    uitest::CurrentDirectoryScope inScratch_{scratch_.Path()};
};

TEST_F(PickerTest, PackagePickerOpensOnThePackageTypeAndCancelKeepsTheField) {
    DialogHarness dialog;
    dialog.SetText(IDC_PACKAGE, "typed.exe");
    HWND picker = Open(dialog, IDC_BROWSE_PACKAGE, "Please select Zor install package");
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(Text(FileNameControl(picker)), "ZorSetup.exe");
    EXPECT_EQ(SelectedFilter(picker), "ZOR install package(.exe)");
    PostMessageA(picker, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    ASSERT_TRUE(WaitUntilClosed(picker));
    EXPECT_EQ(dialog.Text(IDC_PACKAGE), "typed.exe");

    picker = Open(dialog, IDC_BROWSE_PACKAGE, "Please select Zor install package");
    ASSERT_NE(picker, nullptr);
    Choose(picker, scratch_.File("ZorSetup.exe"));
    ASSERT_TRUE(WaitUntilClosed(picker));
    EXPECT_EQ(lstrcmpiA(dialog.Text(IDC_PACKAGE).c_str(), scratch_.File("ZorSetup.exe").c_str()), 0)
        << dialog.Text(IDC_PACKAGE);
}

TEST_F(PickerTest, ScriptPickerTakesANewNameAndRestoresTheCurrentFolder) {
    std::string sub = scratch_.File("scripts");
    ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
    DialogHarness dialog;
    HWND picker =
        Open(dialog, IDC_BROWSE_SCRIPT, "Please select Zor install script file or other file");
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(Text(FileNameControl(picker)), "");
    EXPECT_EQ(SelectedFilter(picker), "ZOR install script(.ins)");
    Choose(picker, sub + "\\new.ins");
    ASSERT_TRUE(WaitUntilClosed(picker));
    EXPECT_EQ(lstrcmpiA(dialog.Text(IDC_SCRIPT).c_str(), (sub + "\\new.ins").c_str()), 0)
        << dialog.Text(IDC_SCRIPT);
    EXPECT_FALSE(test::Exists(sub + "\\new.ins"));  // a picker creates nothing
    char current[MAX_PATH];
    GetCurrentDirectoryA(sizeof(current), current);
    EXPECT_EQ(lstrcmpiA(current, scratch_.Path().c_str()), 0) << current;
}

TEST_F(PickerTest, OutputPickerWritesANameAsTyped) {
    DialogHarness dialog;
    HWND picker = Open(dialog, IDC_BROWSE_OUTPUT, "Please select output install package file");
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(Text(FileNameControl(picker)), "ZorSetup.exe");
    EXPECT_EQ(SelectedFilter(picker), "ZOR install package(.exe)");
    Choose(picker, scratch_.File("custom"));
    ASSERT_TRUE(WaitUntilClosed(picker));
    EXPECT_EQ(lstrcmpiA(dialog.Text(IDC_OUTPUT).c_str(), scratch_.File("custom").c_str()), 0)
        << dialog.Text(IDC_OUTPUT);
}

TEST_F(PickerTest, AboutBoxOpensForTheAboutCommandsOnly) {
    DialogHarness dialog;
    for (WPARAM command : {WPARAM{0x10}, WPARAM{0x1F}}) {
        PostMessageA(dialog.Dialog(), WM_SYSCOMMAND, command, 0);
        HWND about = WaitForWindow("About KitTailor");
        ASSERT_NE(about, nullptr) << command;
        EXPECT_NE(GetDlgItem(about, IDOK), nullptr);
        PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        ASSERT_TRUE(WaitUntilClosed(about));
    }
    PostMessageA(dialog.Dialog(), WM_SYSCOMMAND, 0x20, 0);
    EXPECT_EQ(WaitForWindow("About KitTailor", 1000), nullptr);
}

}  // namespace
