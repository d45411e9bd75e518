#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "res/resource_ids.h"
#include "tests/ui/dialog_harness.h"
#include "unit/test_support.h"

namespace {

using uitest::BoxRecord;
using uitest::DialogHarness;

const char kFinished[] = "Recording finished.";
const char kInstalled[] =
    "Already install ZOR.Record install script only on computer that  not installed ZOR.";

std::string HandOverFile() {
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, sizeof(windows));
    return std::string(windows) + "\\Zor.ini";
}

std::string Profile(const std::string& file, const char* key, const char* section = "Setup") {
    char value[MAX_PATH] = {};
    GetPrivateProfileStringA(section, key, "<none>", value, sizeof(value), file.c_str());
    return value;
}

// The product's registry key as a test sets it; null values are left out.
void SetProduct(const char* installPath, const char* type) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessel\\Zor", 0, nullptr, 0,
                              KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (installPath != nullptr) {
        RegSetValueExA(key, "installpath", 0, REG_SZ, reinterpret_cast<const BYTE*>(installPath),
                       static_cast<DWORD>(strlen(installPath) + 1));
    }
    if (type != nullptr) {
        RegSetValueExA(key, "type", 0, REG_SZ, reinterpret_cast<const BYTE*>(type),
                       static_cast<DWORD>(strlen(type) + 1));
    }
    RegCloseKey(key);
}

// In the 32-bit view, where the installer keeps its key, whatever this program's own width.
void RemoveProduct() {
    HKEY software = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                      &software) != ERROR_SUCCESS) {
        return;
    }
    RegDeleteKeyA(software, "Tessel\\Zor");
    RegDeleteKeyA(software, "Tessel");
    RegCloseKey(software);
}

// The package is test_child.exe, which plays an installer asked to record.
class RecordTest : public testing::Test {
  protected:
    void SetUp() override {
        RemoveProduct();
        DeleteFileA(HandOverFile().c_str());
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, sizeof(self));
        std::string child = std::string(self, strrchr(self, '\\')) + "\\test_child.exe";
        ASSERT_TRUE(CopyFileA(child.c_str(), package_.c_str(), FALSE));
    }
    void TearDown() override {
        RemoveProduct();
        DeleteFileA(HandOverFile().c_str());
    }

    std::vector<BoxRecord> Record(DialogHarness& dialog, const std::string& script) {
        return Record(dialog, package_, script);
    }
    std::vector<BoxRecord> Record(DialogHarness& dialog, const std::string& package,
                                  const std::string& script) {
        dialog.SetText(IDC_PACKAGE, package);
        dialog.SetText(IDC_SCRIPT, script);
        dialog.Click(IDC_RECORD);
        return dialog.TakeBoxes();
    }

    test::ScratchDir scratch_;
    uitest::CurrentDirectoryScope inScratch_{scratch_.Path()};
    std::string package_ = scratch_.File("ZorSetup.exe");
    std::string probe_ = scratch_.File("probe.txt");
};

TEST_F(RecordTest, InstalledProductRefusesBeforeAnythingIsWritten) {
    SetProduct("C:\\Zor", "2");
    DialogHarness dialog;
    std::vector<BoxRecord> boxes = Record(dialog, "myscript");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kInstalled);
    EXPECT_EQ(boxes[0].buttons, std::vector<int>{IDOK});
    EXPECT_EQ(dialog.Text(IDC_SCRIPT), "myscript");  // not even validated
    EXPECT_FALSE(test::Exists(HandOverFile()));
    EXPECT_FALSE(test::Exists(probe_));
}

TEST_F(RecordTest, ProductCountsAsInstalledOnlyWithPathAndPositiveType) {
    struct Case {
        const char* installPath;
        const char* type;
    };
    for (const Case& c :
         {Case{"", "1"}, Case{"C:\\Zor", "0"}, Case{"C:\\Zor", "abc"}, Case{"C:\\Zor", nullptr}}) {
        RemoveProduct();
        SetProduct(c.installPath, c.type);
        DeleteFileA(probe_.c_str());
        DialogHarness dialog;
        std::vector<BoxRecord> boxes = Record(dialog, "myscript");
        ASSERT_EQ(boxes.size(), 1u) << c.installPath << "/" << (c.type ? c.type : "none");
        EXPECT_EQ(boxes[0].text, kFinished);
        EXPECT_TRUE(test::Exists(probe_));
    }
}

TEST_F(RecordTest, HandsOverTheRequestRunsTheInstallerAndTakesTheRequestBack) {
    WritePrivateProfileStringA("Setup", "Language", "en", HandOverFile().c_str());
    WritePrivateProfileStringA("Other", "Kept", "yes", HandOverFile().c_str());
    DialogHarness dialog;
    std::vector<BoxRecord> boxes = Record(dialog, "myscript");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kFinished);
    EXPECT_EQ(boxes[0].buttons, std::vector<int>{IDOK});

    // What the installer saw while it ran: the request, the validated script path, its own
    // folder as working directory, and no command line of its own.
    test::Bytes probe = test::ReadBytes(probe_);
    std::string seen(probe.begin(), probe.end());
    const std::string script = scratch_.File("myscript.ins");
    EXPECT_NE(seen.find("AutoScriptRec=1\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("ScriptFile=" + script + "\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("cwd=" + scratch_.Path() + "\n"), std::string::npos) << seen;

    EXPECT_EQ(Profile(HandOverFile(), "AutoScriptRec"), "<none>");
    EXPECT_EQ(Profile(HandOverFile(), "ScriptFile"), "<none>");
    EXPECT_EQ(Profile(HandOverFile(), "Language"), "en");
    EXPECT_EQ(Profile(HandOverFile(), "Kept", "Other"), "yes");
    EXPECT_EQ(Profile(script, "installpath"), "C:\\Probe");
    EXPECT_EQ(Profile(script, "Silence"), "1");  // the box is ticked at start
    EXPECT_FALSE(IsIconic(dialog.Dialog()));
}

TEST_F(RecordTest, UntickedBoxAddsNoSilenceMarker) {
    DialogHarness dialog;
    SendMessageA(dialog.Item(IDC_SILENT), BM_SETCHECK, BST_UNCHECKED, 0);
    Record(dialog, "quiet");
    EXPECT_EQ(Profile(scratch_.File("quiet.ins"), "Silence"), "<none>");
    EXPECT_EQ(Profile(scratch_.File("quiet.ins"), "installpath"), "C:\\Probe");
}

TEST_F(RecordTest, ABarePackageNameFoundInTheCurrentFolderStartsThere) {
    DialogHarness dialog;
    std::vector<BoxRecord> boxes = Record(dialog, "ZorSetup.exe", "myscript");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kFinished);
    test::Bytes probe = test::ReadBytes(probe_);
    std::string seen(probe.begin(), probe.end());
    EXPECT_NE(seen.find("cwd=" + scratch_.Path() + "\n"), std::string::npos) << seen;
    EXPECT_EQ(Profile(scratch_.File("myscript.ins"), "Silence"), "1");
}

TEST_F(RecordTest, AnInstallerThatCannotStartIsReportedWithTheSystemsReason) {
    ASSERT_TRUE(test::WriteBytes(package_, test::ToBytes("not a program")));
    WritePrivateProfileStringA("Setup", "Language", "en", HandOverFile().c_str());
    DialogHarness dialog;
    std::vector<BoxRecord> boxes = Record(dialog, "myscript");
    ASSERT_EQ(boxes.size(), 1u);
    const std::string start = "Cannot start the installer \"" + package_ + "\":\n";
    EXPECT_EQ(boxes[0].text.substr(0, start.size()), start) << boxes[0].text;
    EXPECT_GT(boxes[0].text.size(), start.size()) << "no reason given";
    EXPECT_EQ(boxes[0].text.find("%1"), std::string::npos) << boxes[0].text;
    EXPECT_NE(boxes[0].text.back(), '\n');
    EXPECT_EQ(boxes[0].buttons, std::vector<int>{IDOK});
    // The request is taken back; nothing was recorded, so the script is not marked.
    EXPECT_EQ(Profile(HandOverFile(), "AutoScriptRec"), "<none>");
    EXPECT_EQ(Profile(HandOverFile(), "ScriptFile"), "<none>");
    EXPECT_EQ(Profile(HandOverFile(), "Language"), "en");
    EXPECT_EQ(Profile(scratch_.File("myscript.ins"), "Silence"), "<none>");
    EXPECT_FALSE(IsIconic(dialog.Dialog()));
}

// An installer that broadcasts a setting change before it ends must not wait for the dialog
// while the dialog waits for it; the child gives each window 30 seconds to answer.
TEST_F(RecordTest, AnInstallerThatBroadcastsBeforeItEndsIsAnswered) {
    ASSERT_TRUE(test::WriteBytes(scratch_.File("broadcast"), test::ToBytes("")));
    DialogHarness dialog;
    DWORD start = GetTickCount();
    std::vector<BoxRecord> boxes = Record(dialog, "myscript");
    EXPECT_LT(GetTickCount() - start, 15000u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kFinished);
    test::Bytes probe = test::ReadBytes(probe_);
    std::string seen(probe.begin(), probe.end());
    size_t at = seen.find("broadcast-ms=");
    ASSERT_NE(at, std::string::npos) << seen;
    EXPECT_LT(std::atoi(seen.c_str() + at + 13), 15000) << seen;
    EXPECT_EQ(Profile(scratch_.File("myscript.ins"), "Silence"), "1");
}

}  // namespace
