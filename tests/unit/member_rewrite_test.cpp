#include "package/member_rewrite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "package/byte_cursor.h"
#include "package/journal.h"
#include "package/package_inspect.h"
#include "unit/fault_sweeps.h"
#include "unit/test_support.h"

namespace package {
namespace {

using test::Bytes;

class Answering : public InsertPrompter {
  public:
    bool AskYesNo(int) override { return true; }
    void ShowStop(int) override {}
};

class MemberRewriteTest : public testing::Test {
  protected:
    void SetUp() override { Use(test::MakeZip(kMembers)); }

    void Use(const Bytes& archive) {
        original_ = test::MakePackage(archive);
        ASSERT_TRUE(test::WriteBytes(package_, original_));
    }

    InsertResult Remove(const char* name, const char* output) {
        return RemoveMemberFromPackage(package_.c_str(), name, output, prompter_);
    }

    // A written package: sealed, its image unchanged, its archive readable.
    std::vector<test::ReadMember> Judge(const std::string& path) {
        PackageContents contents;
        std::string problem;
        EXPECT_TRUE(VerifyPackage(path.c_str(), contents, problem)) << problem;
        return test::ReadPackageMembers(path, original_);
    }

    void ExpectNothingChanged() {
        EXPECT_EQ(test::ReadBytes(package_), original_);
        EXPECT_EQ(scratch_.Entries(), std::vector<std::string>{"package.exe"});
    }

    const std::vector<test::ZipMember> kMembers = {
        {"Zor/", {}},
        {"Zor/readme.txt", test::ToBytes("read me")},
        {"AUTO1.INS", test::PatternBytes(3000, 1)},
        {"InstallScript/auto2.ins", test::ToBytes("[Setup]\r\n")},
        {"setup.cfg", test::ToBytes("cfg")}};
    test::ScratchDir scratch_;
    std::string package_ = scratch_.File("package.exe");
    std::string output_ = scratch_.File("custom.exe");
    Bytes original_;
    Answering prompter_;
};

// Replacing is removing and appending in one rewrite: the same bytes as the two steps.
TEST_F(MemberRewriteTest, ReplaceEqualsRemoveThenInsert) {
    std::string file = scratch_.File("new.ins");
    const Bytes data = test::PatternBytes(70000, 9);
    ASSERT_TRUE(test::WriteBytes(file, data));
    InsertDetail detail;
    ASSERT_GT(InsertFileIntoPackage(package_.c_str(), file.c_str(), "zor/README.TXT",
                                    output_.c_str(), prompter_, &detail, SameName::Replace),
              0);
    EXPECT_EQ(detail.replaced, 1u);
    std::vector<test::ReadMember> members = Judge(output_);
    ASSERT_EQ(members.size(), kMembers.size());
    EXPECT_EQ(members.back().name, "zor/README.TXT");
    EXPECT_EQ(members.back().data, data);

    ASSERT_GT(Remove("Zor/readme.txt", nullptr), 0);
    ASSERT_GT(
        InsertFileIntoPackage(package_.c_str(), file.c_str(), "zor/README.TXT", nullptr, prompter_),
        0);
    EXPECT_EQ(test::ReadBytes(package_), test::ReadBytes(output_));
    // Without Replace it is a duplicate; with no such member, a plain insert.
    EXPECT_EQ(
        InsertFileIntoPackage(package_.c_str(), file.c_str(), "ZOR/readme.txt", nullptr, prompter_),
        kInsertDuplicate);
    ASSERT_GT(InsertFileIntoPackage(package_.c_str(), file.c_str(), "fresh.ins", nullptr, prompter_,
                                    &detail, SameName::Replace),
              0);
    EXPECT_EQ(detail.replaced, 0u);
    EXPECT_EQ(Judge(package_).size(), kMembers.size() + 1);
}

// A block move keeps a member whole only when its record holds it and is its own.
TEST_F(MemberRewriteTest, SharedOrOverrunningLocalRecordsAreRefused) {
    const Bytes archive = test::MakeZip(kMembers);
    const size_t directoryAt = GetU32(&archive[archive.size() - 22 + 16]);
    // The second entry (Zor/readme.txt) is 46 + 4 bytes behind the first.
    const size_t second = directoryAt + 46 + 4;
    Bytes shared = archive;
    PutU32(&shared[second + 42], 0);
    Bytes overrunning = archive;
    PutU32(&overrunning[second + 20], GetU32(&archive[second + 20]) + 5);
    const std::pair<Bytes, ArchiveFault> cases[] = {
        {shared, ArchiveFault::LocalRecordShared}, {overrunning, ArchiveFault::LocalRecordDamaged}};
    for (const auto& [hostile, fault] : cases) {
        Use(hostile);
        InsertDetail detail;
        EXPECT_EQ(RemoveMemberFromPackage(package_.c_str(), "AUTO1.INS", output_.c_str(), prompter_,
                                          &detail),
                  kInsertFailed);
        EXPECT_EQ(detail.step, InsertStep::BadArchive);
        EXPECT_EQ(detail.archiveFault, fault);
        EXPECT_EQ(Remove("AUTO1.INS", nullptr), kInsertFailed);
        ExpectNothingChanged();
    }
}

// Every file operation of a removal fails in turn: a failure leaves everything as it was, a
// success (where the failed operation did not matter) a sound package.
TEST_F(MemberRewriteTest, NoFailureGoesUnnoticedOrLeavesAnything) {
    for (bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "in place" : "new file");
        int failures = test::SweepFailures(
            package_, original_, output_,
            [&] { return Remove("AUTO1.INS", inPlace ? nullptr : output_.c_str()); },
            [&](int64_t, int result) {
                if (result <= 0) {
                    return ExpectNothingChanged();
                }
                EXPECT_EQ(Judge(inPlace ? package_ : output_).size(), kMembers.size() - 1);
            });
        EXPECT_GT(failures, 15);
    }
}

// Ending the process at any operation of an in-place removal, then opening the package again,
// leaves it as it was or with the member removed, never in between.
TEST_F(MemberRewriteTest, DyingMidwayNeverLeavesAHalfWrittenPackage) {
    const int64_t operations =
        test::CountOperations([&] { return Remove("Zor/readme.txt", nullptr); });
    const Bytes removed = test::ReadBytes(package_);
    test::SetEnvironmentOnce("KTL_DYING_REMOVE", package_);
    const int rolledBack = test::SweepDeaths(
        operations, package_, original_, removed,
        [&] {
            RemoveMemberFromPackage(std::getenv("KTL_DYING_REMOVE"), "Zor/readme.txt", nullptr,
                                    prompter_);
        },
        [&](int64_t step) {
            EXPECT_EQ(scratch_.Entries(), std::vector<std::string>{"package.exe"})
                << "step " << step;
        });
    EXPECT_GT(rolledBack, 0);
}

}  // namespace
}  // namespace package
