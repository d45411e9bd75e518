// Files dropped on the dialog, as the shell hands them over: a WM_DROPFILES message whose
// HDROP is built here, in the dialog's own process.
#include <gtest/gtest.h>
#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "app/main_dialog.h"
#include "res/resource_ids.h"
#include "tests/ui/dialog_harness.h"
#include "unit/test_support.h"

namespace {

using uitest::DialogHarness;

// The shell's drop record: DROPFILES, then the UTF-16 names, each ending in a zero, and one
// more zero.
HDROP MakeDrop(POINT point, const std::vector<std::wstring>& files) {
    size_t characters = 1;
    for (const std::wstring& file : files) {
        characters += file.size() + 1;
    }
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + characters * sizeof(wchar_t));
    auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->pt = point;
    drop->fNC = FALSE;
    drop->fWide = TRUE;
    auto* name = reinterpret_cast<wchar_t*>(drop + 1);
    for (const std::wstring& file : files) {
        file.copy(name, file.size());
        name += file.size() + 1;
    }
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

// The middle of a control, in the dialog's client coordinates, as the drop reports it.
POINT Middle(DialogHarness& dialog, int id) {
    RECT rect;
    GetWindowRect(dialog.Item(id), &rect);
    POINT point{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
    ScreenToClient(dialog.Dialog(), &point);
    return point;
}

// A point of the dialog's own background, on no control.
constexpr POINT kBackground{2, 2};

void Drop(DialogHarness& dialog, POINT point, const std::vector<std::wstring>& files) {
    // The dialog owns the record from here on and frees it.
    SendMessageW(dialog.Dialog(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(point, files)),
                 0);
}

std::wstring WideText(DialogHarness& dialog, int id) {
    wchar_t text[MAX_PATH] = {};
    GetWindowTextW(dialog.Item(id), text, MAX_PATH);
    return text;
}

class DropTest : public testing::Test {
  protected:
    test::ScratchDir scratch_;
    uitest::CurrentDirectoryScope inScratch_{scratch_.Path()};
};

TEST_F(DropTest, DialogAcceptsFilesAndTheFilterLetsDropsThrough) {
    DialogHarness dialog;
    EXPECT_TRUE(GetWindowLongW(dialog.Dialog(), GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
    EXPECT_TRUE(app::AllowDropsFromLowerIntegrity(dialog.Dialog()));
}

TEST_F(DropTest, AFieldTakesTheFirstFileDroppedOnIt) {
    DialogHarness dialog;
    // Names the ANSI code page cannot hold keep their characters in the field.
    const std::wstring script = L"C:\\\u6570\u636e\\\u5b89\u88c5.ins";
    Drop(dialog, Middle(dialog, IDC_SCRIPT), {script});
    EXPECT_EQ(WideText(dialog, IDC_SCRIPT), script);
    Drop(dialog, Middle(dialog, IDC_OUTPUT), {L"C:\\first.txt", L"C:\\second.exe"});
    EXPECT_EQ(WideText(dialog, IDC_OUTPUT), L"C:\\first.txt");
    Drop(dialog, Middle(dialog, IDC_PACKAGE), {L"C:\\notes.txt"});
    EXPECT_EQ(WideText(dialog, IDC_PACKAGE), L"C:\\notes.txt");

    // Validation still judges the field when a button is pressed.
    dialog.Click(IDC_INSERT_FILE);
    std::vector<uitest::BoxRecord> boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text,
              "File \"C:\\notes.txt\" is not a valid ZOR network edition install package.");
}

TEST_F(DropTest, ElsewhereAPackageFillsAnEmptyPackageFieldAndAnythingElseTheScriptField) {
    DialogHarness dialog;
    ASSERT_EQ(WideText(dialog, IDC_PACKAGE), L"");
    Drop(dialog, kBackground, {L"D:\\notes.txt"});
    EXPECT_EQ(WideText(dialog, IDC_SCRIPT), L"D:\\notes.txt");
    EXPECT_EQ(WideText(dialog, IDC_PACKAGE), L"");
    Drop(dialog, kBackground, {L"D:\\kits\\SETUP.EXE"});
    EXPECT_EQ(WideText(dialog, IDC_PACKAGE), L"D:\\kits\\SETUP.EXE");
    Drop(dialog, kBackground, {L"D:\\kits\\other.exe"});
    EXPECT_EQ(WideText(dialog, IDC_PACKAGE), L"D:\\kits\\SETUP.EXE");
    EXPECT_EQ(WideText(dialog, IDC_SCRIPT), L"D:\\kits\\other.exe");
    EXPECT_EQ(WideText(dialog, IDC_OUTPUT), L"");
}

}  // namespace
