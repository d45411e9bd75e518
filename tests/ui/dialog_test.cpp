#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/main_dialog.h"
#include "package/journal.h"
#include "package/package_inspect.h"
#include "package/package_lock.h"
#include "platform/file.h"
#include "res/resource_ids.h"
#include "tests/ui/dialog_fixture.h"
#include "unit/test_support.h"

namespace {

using test::Bytes;
using uitest::BoxRecord;
using uitest::Describe;
using uitest::DialogHarness;

const char kTitle[] = "Zor Kit Tailor";

// The width of the dialog's big or small icon, from its mask; 0 when it has none.
int IconWidth(DialogHarness& dialog, WPARAM which) {
    auto icon = reinterpret_cast<HICON>(SendMessageW(dialog.Dialog(), WM_GETICON, which, 0));
    ICONINFO info{};
    if (icon == nullptr || !GetIconInfo(icon, &info)) {
        return 0;
    }
    BITMAP mask{};
    GetObjectW(info.hbmMask, sizeof(mask), &mask);
    DeleteObject(info.hbmMask);
    if (info.hbmColor != nullptr) {
        DeleteObject(info.hbmColor);
    }
    return mask.bmWidth;
}

class DialogTest : public uitest::DialogFixture {
  protected:
    // Expects exactly one stop box with `text`, and the focus on `field` with all selected.
    void ExpectRefusal(DialogHarness& dialog, const std::string& text, int field) {
        std::vector<BoxRecord> boxes = dialog.TakeBoxes();
        ASSERT_EQ(boxes.size(), 1u) << text;
        EXPECT_EQ(boxes[0].text, text);
        EXPECT_EQ(boxes[0].caption, kTitle);
        EXPECT_EQ(boxes[0].buttons, std::vector<int>{IDOK});
        EXPECT_EQ(dialog.FocusedId(), field) << text;
        int length = static_cast<int>(dialog.Text(field).size());
        EXPECT_EQ(dialog.Selection(field), std::make_pair(0, length)) << text;
    }
};

TEST_F(DialogTest, StartsWithTheDefaultsAndTheAboutItem) {
    DialogHarness dialog;
    EXPECT_EQ(dialog.Text(IDC_PACKAGE), scratch_.Path() + "\\ZorSetup.exe");
    EXPECT_EQ(IsDlgButtonChecked(dialog.Dialog(), IDC_SILENT), BST_CHECKED);
    EXPECT_FALSE(IsWindowVisible(dialog.Item(IDC_INSERT_SCRIPT)));
    EXPECT_FALSE(IsWindowEnabled(dialog.Item(IDC_INSERT_SCRIPT)));
    HMENU menu = GetSystemMenu(dialog.Dialog(), FALSE);
    int last = GetMenuItemCount(menu) - 1;
    EXPECT_EQ(GetMenuItemID(menu, last), static_cast<UINT>(IDM_ABOUTBOX));
    char text[64] = {};
    GetMenuStringA(menu, last, text, sizeof(text), MF_BYPOSITION);
    EXPECT_STREQ(text, "About KitTailor(&A)...");
    EXPECT_NE(SendMessageA(dialog.Dialog(), WM_QUERYDRAGICON, 0, 0), 0);
    // Each icon is the image made for its size, the small one not the large one shrunk.
    EXPECT_EQ(IconWidth(dialog, ICON_BIG), GetSystemMetrics(SM_CXICON));
    EXPECT_EQ(IconWidth(dialog, ICON_SMALL), GetSystemMetrics(SM_CXSMICON));
}

TEST_F(DialogTest, WithoutAPackageInTheCurrentFolderThePackageFieldIsEmpty) {
    test::DeletePath(package_);
    DialogHarness dialog;
    EXPECT_EQ(dialog.Text(IDC_PACKAGE), "");
}

TEST_F(DialogTest, RefusesFieldsInOrderAndWritesNormalFormsBack) {
    DialogHarness dialog;
    Fill(dialog, "", "", "");
    dialog.Click(IDC_INSERT_FILE);
    ExpectRefusal(dialog, "Please input file path of ZOR network edition install package.",
                  IDC_PACKAGE);

    Fill(dialog, "  SETUP.EXE ", "", "");
    dialog.Click(IDC_INSERT_FILE);
    ExpectRefusal(dialog, "File \"SETUP.EXE\" is not a valid ZOR network edition install package.",
                  IDC_PACKAGE);
    EXPECT_EQ(dialog.Text(IDC_PACKAGE), "  SETUP.EXE ");  // a refused field keeps its text

    Fill(dialog, "missing.exe", "", "");
    dialog.Click(IDC_INSERT_FILE);
    ExpectRefusal(dialog, "Cann't find file \"missing.exe\",please insure it exist.", IDC_PACKAGE);

    Fill(dialog, "\\\\server\\share\\ZorSetup.exe", "", "");
    dialog.Click(IDC_INSERT_FILE);
    ExpectRefusal(dialog,
                  "Cann't find file \"\\\\server\\share\\ZorSetup.exe\",please insure it exist.",
                  IDC_PACKAGE);

    Fill(dialog, "\t" + package_ + "  ", " ", "");
    dialog.Click(IDC_INSERT_FILE);
    ExpectRefusal(dialog, "Please input install script file.", IDC_SCRIPT);
    EXPECT_EQ(dialog.Text(IDC_PACKAGE), package_);

    Fill(dialog, package_, "readme.txt", "");
    dialog.Click(IDC_INSERT_FILE);
    ExpectRefusal(dialog, "Cann't find file \"readme.txt\",please insure it exist.", IDC_SCRIPT);

    Fill(dialog, package_, "auto1.ins", "  ");
    dialog.Click(IDC_INSERT_FILE);
    ExpectRefusal(dialog, "Please input file path of ZOR network edition install package.",
                  IDC_OUTPUT);
    EXPECT_EQ(dialog.Text(IDC_SCRIPT), script_);  // a bare name is made absolute

    // A script that cannot be opened for writing (here a folder, which exists): the system's
    // text follows the path.
    std::string locked = scratch_.File("locked.ins");
    ASSERT_TRUE(CreateDirectoryA(locked.c_str(), nullptr));
    Fill(dialog, package_, locked, "new");
    dialog.Click(IDC_INSERT_FILE);
    std::vector<BoxRecord> boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 1u) << Describe(boxes);
    std::string start = "File \"" + locked + "\" illegal access error, ";
    EXPECT_EQ(boxes[0].text.substr(0, start.size()), start);
    EXPECT_NE(boxes[0].text.find("Please ensure file existing and is writeable."),
              std::string::npos);
    EXPECT_EQ(dialog.FocusedId(), IDC_SCRIPT);
    EXPECT_EQ(dialog.Text(IDC_OUTPUT), "new");  // not reached
}

// The engine takes ANSI paths: one the code page cannot hold is refused by its own name, not
// turned into look-alike letters that could name another file, and the field keeps it.
TEST_F(DialogTest, APathOutsideTheCodePageIsRefusedAndKept) {
    DialogHarness dialog;
    Fill(dialog, package_, "", output_);
    const std::wstring script = L"C:\\\u6570\u636e\\auto1.ins";
    SetWindowTextW(dialog.Item(IDC_SCRIPT), script.c_str());
    dialog.Click(IDC_INSERT_FILE);
    ExpectRefusal(dialog,
                  "The path \"C:\\??\\auto1.ins\" holds characters that this system's code page "
                  "cannot hold. Please choose a path without them.",
                  IDC_SCRIPT);
    wchar_t kept[MAX_PATH] = {};
    GetWindowTextW(dialog.Item(IDC_SCRIPT), kept, MAX_PATH);
    EXPECT_EQ(std::wstring(kept), script);
}

TEST_F(DialogTest, OutputThatCannotBeWrittenAndScriptNamesForTheScriptAction) {
    // A folder named like a package exists, so the question comes first, then the refusal.
    std::string folder = scratch_.File("folder.exe");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    DialogHarness dialog;
    Fill(dialog, package_, script_, folder);
    dialog.Click(IDC_INSERT_FILE);
    std::vector<BoxRecord> boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 2u) << Describe(boxes);
    EXPECT_EQ(boxes[0].text, "File existing,replace it?");
    std::string start = "File \"" + folder + "\" illegal access error, ";
    EXPECT_EQ(boxes[1].text.substr(0, start.size()), start);
    EXPECT_EQ(dialog.FocusedId(), IDC_OUTPUT);

    // The script action wants an ".ins" name: readme.txt is looked for as readme.txt.ins.
    ASSERT_TRUE(test::WriteBytes(scratch_.File("readme.txt"), test::ToBytes("r")));
    Fill(dialog, package_, "readme.txt", output_);
    dialog.Click(IDC_INSERT_SCRIPT);
    ExpectRefusal(dialog, "Cann't find file \"readme.txt.ins\",please insure it exist.",
                  IDC_SCRIPT);
    EXPECT_EQ(dialog.Text(IDC_SCRIPT), "readme.txt.ins");
}

TEST_F(DialogTest, ExistingOutputIsReplacedOnlyOnYes) {
    ASSERT_TRUE(test::WriteBytes(output_, test::ToBytes("keep")));
    DialogHarness dialog;
    Fill(dialog, package_, script_, "custom");
    dialog.QueueAnswer(IDNO);
    dialog.Click(IDC_INSERT_FILE);
    std::vector<BoxRecord> boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 1u) << Describe(boxes);
    EXPECT_EQ(boxes[0].text, "File existing,replace it?");
    EXPECT_EQ(boxes[0].buttons, (std::vector<int>{IDYES, IDNO}));
    EXPECT_EQ(dialog.Text(IDC_OUTPUT), output_.substr(scratch_.Path().size() + 1));
    EXPECT_EQ(dialog.FocusedId(), IDC_OUTPUT);
    EXPECT_EQ(test::ReadBytes(output_), test::ToBytes("keep"));

    dialog.Click(IDC_INSERT_FILE);  // Yes this time: the insert runs
    ASSERT_TRUE(dialog.WaitUntilIdle());
    boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 2u) << Describe(boxes);
    EXPECT_EQ(boxes[1].text, "Insert file to package success!");
    EXPECT_FALSE(boxes[1].insertButtonEnabled);  // inputs stay off while the result is shown
    EXPECT_TRUE(IsWindowEnabled(dialog.Item(IDC_PACKAGE)));
    package::PackageContents contents;
    std::string problem;
    ASSERT_TRUE(package::VerifyPackage(output_.c_str(), contents, problem)) << problem;
    EXPECT_EQ(contents.members.back().name, "auto1.ins");
}

TEST_F(DialogTest, RecordingValidatesTheScriptNameAndCreatesTheScript) {
    DialogHarness dialog;
    Fill(dialog, package_, "myscript", "");
    dialog.Click(IDC_RECORD);
    std::vector<BoxRecord> boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 1u) << Describe(boxes);
    // The package made for these tests is no program that runs.
    const std::string cannotStart = "Cannot start the installer \"" + package_ + "\":\n";
    EXPECT_EQ(boxes[0].text.substr(0, cannotStart.size()), cannotStart);
    EXPECT_EQ(dialog.Text(IDC_SCRIPT), scratch_.File("myscript.ins"));
    EXPECT_TRUE(test::Exists(scratch_.File("myscript.ins")));

    Fill(dialog, package_, "notes.INS", "");
    dialog.Click(IDC_RECORD);
    EXPECT_EQ(dialog.Text(IDC_SCRIPT), scratch_.File("notes.INS.ins"));
}

TEST_F(DialogTest, DamagedPackageQuestionComesFromTheWorkerWhileInputsAreOff) {
    Bytes damaged = test::ReadBytes(package_);
    damaged[200] ^= 1;
    ASSERT_TRUE(test::WriteBytes(package_, damaged));
    DialogHarness dialog;
    Fill(dialog, package_, script_, output_);
    dialog.Click(IDC_INSERT_FILE);
    EXPECT_FALSE(IsWindowEnabled(dialog.Item(IDC_PACKAGE)));
    EXPECT_TRUE(IsWindowEnabled(dialog.Item(IDC_BROWSE_OUTPUT)));
    EXPECT_NE(dialog.Item(IDC_NOTICE), nullptr);

    // Closing now is deferred until the job has been reported.
    SendMessageA(dialog.Dialog(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_FALSE(dialog.DialogEnded());

    ASSERT_TRUE(dialog.AnswerWorkerBox(IDNO));
    ASSERT_TRUE(dialog.WaitForEnd());
    std::vector<BoxRecord> boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 3u) << Describe(boxes);
    EXPECT_EQ(boxes[0].text,
              "The package is still being written. Zor Kit Tailor will close as soon as it is "
              "done.");
    EXPECT_EQ(boxes[1].text, "Install package check error,it maybe damaged.Continue?");
    EXPECT_FALSE(boxes[1].fromDialogThread);
    EXPECT_EQ(boxes[1].buttons, (std::vector<int>{IDYES, IDNO}));
    EXPECT_EQ(boxes[2].text, "Failed to insert file into package.");
    EXPECT_TRUE(dialog.DialogEnded());
    EXPECT_EQ(test::ReadBytes(output_).size(), 0u);  // made empty by validation, not written
}

// The journal an in-place change of `from` writes before it touches its last 64 bytes.
void WriteJournalOf(const std::string& package, const Bytes& from) {
    ASSERT_TRUE(test::WriteBytes(package, from));
    platform::File file;
    ASSERT_TRUE(
        file.Open(package.c_str(), platform::Access::Read, platform::Disposition::OpenExisting));
    ASSERT_TRUE(package::WriteJournal((package + ".ktl-journal").c_str(), file, 0, from.size() - 64,
                                      from.data() + from.size() - 64, 64));
}

TEST_F(DialogTest, ARollbackIsToldAndAJournalOfAnotherPackageNamed) {
    const Bytes original = test::ReadBytes(package_);
    WriteJournalOf(package_, original);
    Bytes torn = original;
    torn.resize(torn.size() - 30);
    ASSERT_TRUE(test::WriteBytes(package_, torn));
    DialogHarness dialog;
    Fill(dialog, package_, script_, output_);
    dialog.Click(IDC_INSERT_FILE);
    ASSERT_TRUE(dialog.AnswerWorkerBox(IDOK));
    ASSERT_TRUE(dialog.WaitUntilIdle());
    std::vector<BoxRecord> boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 2u) << Describe(boxes);
    EXPECT_EQ(boxes[0].text, "An interrupted change to \"" + package_ +
                                 "\" was rolled back: the package is as it was before it.");
    EXPECT_FALSE(boxes[0].fromDialogThread);
    EXPECT_EQ(boxes[1].text, "Insert file to package success!");
    EXPECT_EQ(test::ReadBytes(package_), original);

    WriteJournalOf(package_, test::MakePackage(test::MakeZip({{"other.txt", test::ToBytes("o")}})));
    ASSERT_TRUE(test::WriteBytes(package_, original));
    Fill(dialog, package_, script_, scratch_.File("again.exe"));
    dialog.Click(IDC_INSERT_FILE);
    ASSERT_TRUE(dialog.WaitUntilIdle());
    boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 1u) << Describe(boxes);
    EXPECT_EQ(boxes[0].text, "Failed to insert file into package.\n\nThe journal \"" + package_ +
                                 ".ktl-journal\" was written for another package than \"" +
                                 package_ +
                                 "\": nothing was rolled back, and the package was not changed. "
                                 "The journal is kept as \"" +
                                 package_ + ".stale-ktl-journal\".");
    EXPECT_EQ(test::ReadBytes(package_), original);
}

// Another process's change holds the package: the insert waits, then says so, and writes
// nothing.
TEST_F(DialogTest, AChangeInProgressIsWaitedForAndNamed) {
    const Bytes original = test::ReadBytes(package_);
    platform::File other;  // another open is another holder, as another process's would be
    ASSERT_TRUE(other.Open(package_.c_str(), platform::Access::Read,
                           platform::Disposition::OpenExisting, platform::Sharing::ReadWrite));
    package::PackageLock lock;
    ASSERT_EQ(lock.Raise(other, package::LockLevel::Exclusive, package_.c_str()),
              package::LockResult::Taken);
    _putenv("KTL_LOCK_WAIT=1");
    DialogHarness dialog;
    Fill(dialog, package_, script_, output_);
    dialog.Click(IDC_INSERT_FILE);
    ASSERT_TRUE(dialog.WaitUntilIdle());
    _putenv("KTL_LOCK_WAIT=");
    std::vector<BoxRecord> boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 1u) << Describe(boxes);
    EXPECT_EQ(boxes[0].text, "Failed to insert file into package.\n\nAnother change to \"" +
                                 package_ + "\" is in progress. Try again when it is done.");
    EXPECT_EQ(test::ReadBytes(package_), original);
    EXPECT_EQ(test::ReadBytes(output_).size(), 0u);  // made empty by validation, not written
}

TEST_F(DialogTest, DuplicateNameIsRefusedByTheWorker) {
    DialogHarness dialog;
    Fill(dialog, package_, script_, output_);
    dialog.Click(IDC_INSERT_FILE);
    ASSERT_TRUE(dialog.WaitUntilIdle());
    dialog.TakeBoxes();
    Fill(dialog, output_, script_, scratch_.File("again.exe"));
    dialog.Click(IDC_INSERT_FILE);
    ASSERT_TRUE(dialog.AnswerWorkerBox(IDOK));
    ASSERT_TRUE(dialog.WaitUntilIdle());
    std::vector<BoxRecord> boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 2u) << Describe(boxes);
    EXPECT_EQ(boxes[0].text, "File with same name already exist in the zor install package.");
    EXPECT_EQ(boxes[1].text, "Failed to insert file into package.");
}

// A failure that a system call explains names the file and gives the system's reason under
// the usual first line; here the package is held open by another program.
TEST_F(DialogTest, FailureNamesTheFileAndTheSystemsReason) {
    DialogHarness dialog;
    Fill(dialog, package_, script_, output_);
    HANDLE held = CreateFileA(package_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    dialog.Click(IDC_INSERT_FILE);
    bool idle = dialog.WaitUntilIdle();
    CloseHandle(held);
    ASSERT_TRUE(idle);
    std::vector<BoxRecord> boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 1u) << Describe(boxes);
    const std::string expected =
        "Failed to insert file into package.\n\nCannot read \"" + package_ + "\": ";
    EXPECT_EQ(boxes[0].text.substr(0, expected.size()), expected);
    EXPECT_GT(boxes[0].text.size(), expected.size() + 10) << boxes[0].text;  // the reason
}

TEST_F(DialogTest, InsertScriptAsksFirstAndNamesTheMemberUnderInstallScript) {
    DialogHarness dialog;
    Fill(dialog, package_, script_, output_);
    const Bytes before = test::ReadBytes(package_);
    dialog.QueueAnswer(IDCANCEL);
    dialog.Click(IDC_INSERT_SCRIPT);
    std::vector<BoxRecord> boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 1u) << Describe(boxes);
    EXPECT_EQ(boxes[0].buttons, (std::vector<int>{IDOK, IDCANCEL}));
    EXPECT_EQ(test::ReadBytes(package_), before);

    dialog.Click(IDC_INSERT_SCRIPT);  // the output made by the first try is replaced: Yes
    boxes = dialog.TakeBoxes();
    ASSERT_EQ(boxes.size(), 3u) << Describe(boxes);
    EXPECT_EQ(boxes[0].text, "File existing,replace it?");
    EXPECT_EQ(boxes[1].text.substr(0, 10), "Warnning: ");
    EXPECT_EQ(boxes[2].text, "Insert file to package success!");
    package::PackageContents contents;
    std::string problem;
    ASSERT_TRUE(package::VerifyPackage(package_.c_str(), contents, problem)) << problem;
    EXPECT_EQ(contents.members.back().name, "InstallScript\\auto1.ins");
}

}  // namespace
