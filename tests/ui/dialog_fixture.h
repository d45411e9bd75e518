// The dialog tests' common ground: a scratch folder as the current directory, holding a
// package and a script, and the boxes the dialog showed in words.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "res/resource_ids.h"
#include "tests/ui/dialog_harness.h"
#include "unit/test_support.h"

namespace uitest {

inline std::string Describe(const std::vector<BoxRecord>& boxes) {
    std::string text;
    for (const BoxRecord& box : boxes) {
        text += "[" + box.text + "] ";
    }
    return text;
}

class DialogFixture : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(test::WriteBytes(
            package_, test::MakePackage(test::MakeZip({{"Zor/readme.txt", test::ToBytes("r")}}))));
        ASSERT_TRUE(test::WriteBytes(script_, test::ToBytes("[Setup]\r\ntype=1\r\n")));
    }

    void Fill(DialogHarness& dialog, const std::string& package, const std::string& script,
              const std::string& output) {
        dialog.SetText(IDC_PACKAGE, package);
        dialog.SetText(IDC_SCRIPT, script);
        dialog.SetText(IDC_OUTPUT, output);
    }

    test::ScratchDir scratch_;
    CurrentDirectoryScope inScratch_{scratch_.Path()};
    std::string package_ = scratch_.File("ZorSetup.exe");
    std::string script_ = scratch_.File("auto1.ins");
    std::string output_ = scratch_.File("custom.exe");
};

}  // namespace uitest
