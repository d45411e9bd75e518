#include "package/insert_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "package/byte_cursor.h"
#include "package/engine_report.h"
#include "package/journal.h"
#include "platform/filesystem.h"
#include "res/message_ids.h"
#include "unit/fault_sweeps.h"
#include "unit/test_support.h"

namespace package {
namespace {

using test::Bytes;

constexpr uint32_t kImageEnd = test::kPackageImageEnd;

class RecordingPrompter : public InsertPrompter {
  public:
    bool AskYesNo(int messageId) override {
        asked.push_back(messageId);
        return answer;
    }
    void ShowStop(int messageId) override { stopped.push_back(messageId); }
    void ShowProgress(uint64_t done, uint64_t toDo) override { progress.push_back({done, toDo}); }

    bool answer = true;
    std::vector<int> asked;
    std::vector<int> stopped;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
};

class InsertTest : public testing::Test {
  protected:
    void SetUp() override {
        archive_ = test::MakeZip({{"Zor/", {}},
                                  {"Zor/readme.txt", test::ToBytes("read me")},
                                  {"AUTO1.INS", test::ToBytes("[Setup]\r\nold=1\r\n")},
                                  {"InstallScript/auto2.ins", test::ToBytes("[Setup]\r\n")},
                                  {"setup.cfg/", {}}});
        original_ = test::MakePackage(archive_);
        ASSERT_TRUE(test::WriteBytes(package_, original_));
        ASSERT_TRUE(test::WriteBytes(script_, script));
    }

    InsertResult Insert(const char* member, const char* output) {
        return InsertFileIntoPackage(package_.c_str(), script_.c_str(), member, output, prompter_);
    }

    // Members of the archive behind the image of a written package.
    std::vector<test::ReadMember> MembersOf(const std::string& path) {
        return test::ReadPackageMembers(path, original_);
    }

    void ExpectNothingChanged() {
        EXPECT_EQ(test::ReadBytes(package_), original_);
        EXPECT_TRUE(scratch_.TempEntries().empty());
        std::vector<std::string> names = scratch_.Entries();
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"auto1.ins", "package.exe"}));
    }

    const Bytes script = test::ToBytes("[Setup]\r\ninstallpath=C:\\Zor\r\nSilence=1\r\n");
    test::ScratchDir scratch_;
    std::string package_ = scratch_.File("package.exe");
    std::string script_ = scratch_.File("auto1.ins");
    std::string output_ = scratch_.File("custom.exe");
    Bytes archive_;
    Bytes original_;
    RecordingPrompter prompter_;
};

TEST_F(InsertTest, NewPackageFileLeavesThePackageAndCountsImageAndArchive) {
    InsertResult result = Insert("custom.ins", output_.c_str());
    const size_t archiveLength = archive_.size() + 30 + 46 + 2 * 10;
    EXPECT_GT(result, static_cast<InsertResult>(kImageEnd + archiveLength));
    EXPECT_EQ(test::ReadBytes(package_), original_);
    Bytes written = test::ReadBytes(output_);
    EXPECT_EQ(written.size(), (static_cast<size_t>(result) + 3) / 4 * 4 + 4);
    std::vector<test::ReadMember> members = MembersOf(output_);
    ASSERT_EQ(members.size(), 6u);
    EXPECT_EQ(members[5].name, "custom.ins");
    EXPECT_EQ(members[5].data, script);
    EXPECT_TRUE(scratch_.TempEntries().empty());
    EXPECT_TRUE(prompter_.asked.empty());
}

TEST_F(InsertTest, InPlaceWhenTheOutputIsMissingEmptyOrThePackageItself) {
#ifdef _WIN32
    std::string samePackage = package_;
    std::transform(samePackage.begin(), samePackage.end(), samePackage.begin(), ::toupper);
#else
    std::string samePackage = package_;
#endif
    const char* outputs[] = {nullptr, "", samePackage.c_str()};
    const char* names[] = {"one.ins", "two.ins", "three.ins"};
    size_t expectedMembers = 5;
    for (int i = 0; i < 3; ++i) {
        size_t before = test::ReadBytes(package_).size();
        InsertResult result = Insert(names[i], outputs[i]);
        ASSERT_GT(result, 0) << i;
        // In place the count is the archive alone.
        EXPECT_LT(static_cast<size_t>(result), before - kImageEnd + 200) << i;
        EXPECT_GT(static_cast<size_t>(result), before - kImageEnd - 8) << i;
        std::vector<test::ReadMember> members = MembersOf(package_);
        ASSERT_EQ(members.size(), ++expectedMembers);
        EXPECT_EQ(members.back().name, names[i]);
    }
    EXPECT_TRUE(scratch_.TempEntries().empty());
    EXPECT_EQ(scratch_.Entries().size(), 2u);
}

TEST_F(InsertTest, SameNameInAnyCaseOrSlashFormIsRefused) {
    EXPECT_EQ(Insert(nullptr, output_.c_str()), kInsertDuplicate);  // auto1.ins vs AUTO1.INS
    EXPECT_EQ(Insert("InstallScript\\auto2.ins", output_.c_str()), kInsertDuplicate);
    EXPECT_EQ(Insert("installscript\\AUTO2.ins", nullptr), kInsertDuplicate);
    EXPECT_EQ(Insert("INSTALLSCRIPT/auto2.INS", nullptr), kInsertDuplicate);
    EXPECT_EQ(prompter_.stopped, std::vector<int>(4, IDS_SAME_NAME_EXISTS));
    ExpectNothingChanged();
}

TEST_F(InsertTest, DirectoryMembersAreNoDuplicatesButEarlierInsertsAre) {
    ASSERT_GT(Insert("setup.cfg", output_.c_str()), 0);
    ASSERT_GT(Insert("InstallScript\\auto1.ins", nullptr), 0);
    EXPECT_EQ(Insert("InstallScript\\auto1.ins", nullptr), kInsertDuplicate);
    std::string second = scratch_.File("second.exe");
    EXPECT_EQ(InsertFileIntoPackage(output_.c_str(), script_.c_str(), "SETUP.CFG", second.c_str(),
                                    prompter_),
              kInsertDuplicate);
    EXPECT_FALSE(test::Exists(second));
    std::vector<test::ReadMember> members = MembersOf(package_);
    EXPECT_EQ(members.back().name, "InstallScript\\auto1.ins");
}

TEST_F(InsertTest, DamagedPackageAsksFirst) {
    original_[100] ^= 0x40;
    ASSERT_TRUE(test::WriteBytes(package_, original_));
    prompter_.answer = false;
    EXPECT_EQ(Insert("new.ins", output_.c_str()), kInsertDeclined);
    EXPECT_EQ(Insert("new.ins", nullptr), kInsertDeclined);
    EXPECT_EQ(prompter_.asked, std::vector<int>(2, IDS_PACKAGE_DAMAGED_CONTINUE));
    ExpectNothingChanged();

    // A new package is summed as it is copied; a refusal before the copy still comes after
    // the question, as in place.
    EXPECT_EQ(Insert("AUTO1.INS", output_.c_str()), kInsertDeclined);
    EXPECT_TRUE(prompter_.stopped.empty());
    ExpectNothingChanged();
    prompter_.answer = true;
    EXPECT_EQ(Insert("AUTO1.INS", output_.c_str()), kInsertDuplicate);
    EXPECT_EQ(prompter_.asked, std::vector<int>(4, IDS_PACKAGE_DAMAGED_CONTINUE));
    ASSERT_GT(Insert("new.ins", output_.c_str()), 0);
    EXPECT_EQ(MembersOf(output_).back().name, "new.ins");
}

TEST_F(InsertTest, WhatIsNoPackageIsRefusedAndLeftAlone) {
    auto expectRefused = [&](const Bytes& content, InsertResult expected, const char* what) {
        original_ = content;
        ASSERT_TRUE(test::WriteBytes(package_, original_));
        EXPECT_EQ(Insert("new.ins", output_.c_str()), expected) << what;
        EXPECT_EQ(Insert("new.ins", nullptr), expected) << what;
        ExpectNothingChanged();
    };
    expectRefused(test::Sealed(test::ToBytes("plain text, no image")), kInsertFailed, "text");
    expectRefused({}, kInsertFailed, "empty file");
    expectRefused(test::Sealed(test::MakePeImage({{0x400, 0x3FC}}, 0x7FC)), kInsertFailed,
                  "image ending at the end of the file");
    expectRefused(test::MakePackage(test::PatternBytes(5000, 1)), kInsertFailed, "no end record");
    // A directory whose entries claim more than the file holds.
    Bytes lying = archive_;
    PutU32(&lying[lying.size() - 22 + 12], 0x00FFFFFF);
    expectRefused(test::MakePackage(lying), kInsertFailed, "directory past the end");
    EXPECT_EQ(InsertFileIntoPackage(scratch_.File("missing.exe").c_str(), script_.c_str(), nullptr,
                                    output_.c_str(), prompter_),
              kInsertFailed);
    EXPECT_TRUE(prompter_.asked.empty());
}

// Archives whose claims do not add up are refused before anything grows from them, and what
// is accepted never grows beyond the new member and its directory entry.
TEST_F(InsertTest, InconsistentArchivesAreRefusedBeforeAnythingGrows) {
    const size_t endAt = archive_.size() - 22;
    auto patched = [&](size_t at, uint32_t value) {
        Bytes copy = archive_;
        PutU32(&copy[at], value);
        return copy;
    };
    Bytes empty = test::MakeZip({});
    PutU32(&empty[16], 0x10000000);  // an empty directory claimed far behind the file
    const Bytes cases[] = {
        empty, patched(endAt + 12, GetU32(&archive_[endAt + 12]) + 1),  // runs into the end record
        patched(endAt + 16, GetU32(&archive_[endAt + 16]) - 1),         // starts a byte early
        patched(GetU32(&archive_[endAt + 16]) + 42, endAt),             // a local header past it
    };
    for (const Bytes& archive : cases) {
        original_ = test::MakePackage(archive);
        ASSERT_TRUE(test::WriteBytes(package_, original_));
        EXPECT_EQ(Insert("new.ins", output_.c_str()), kInsertFailed);
        EXPECT_EQ(Insert("new.ins", nullptr), kInsertFailed);
        ExpectNothingChanged();
    }
    // The sound empty archive takes the member, and the package grows by just that.
    original_ = test::MakePackage(test::MakeZip({}));
    ASSERT_TRUE(test::WriteBytes(package_, original_));
    ASSERT_GT(Insert("new.ins", output_.c_str()), 0);
    EXPECT_EQ(MembersOf(output_).size(), 1u);
    EXPECT_LE(test::ReadBytes(output_).size(),
              original_.size() + 30 + 46 + 2 * 7 + script.size() + 16 + 3 + 4);
}

// One rule names a member after its file, whichever separator the path uses; names that
// would reach outside the unpacking folder are refused.
TEST_F(InsertTest, MemberNamesFromEitherSeparatorAndUnsafeNamesRefused) {
    std::string sub = scratch_.File("scripts");
    ASSERT_TRUE(platform::MakeDirectory(sub.c_str()));
    ASSERT_TRUE(test::WriteBytes(sub + "/auto7.ins", script));
    std::string slashed = scratch_.Path() + "/scripts/auto7.ins";
    ASSERT_GT(InsertFileIntoPackage(package_.c_str(), slashed.c_str(), nullptr, output_.c_str(),
                                    prompter_),
              0);
    EXPECT_EQ(MembersOf(output_).back().name, "auto7.ins");
    test::RemoveTree(sub);
    for (const char* unsafe :
         {"..\\up.ins", "a/../../up.ins", "\\rooted.ins", "/rooted.ins", "C:drive.ins"}) {
        EXPECT_EQ(Insert(unsafe, output_.c_str()), kInsertFailed) << unsafe;
    }
    test::DeletePath(output_);
    ExpectNothingChanged();
}

// Progress never claims more than there is to do and ends with all of it done: the copy of the
// package's kept part into the new file, which sums it too, so the package is read once.
TEST_F(InsertTest, ProgressEndsWithEverythingDone) {
    ASSERT_GT(Insert("new.ins", output_.c_str()), 0);
    ASSERT_FALSE(prompter_.progress.empty());
    for (auto [done, toDo] : prompter_.progress) {
        EXPECT_LE(done, toDo);
    }
    EXPECT_EQ(prompter_.progress.back().first, prompter_.progress.back().second);
    EXPECT_GT(prompter_.progress.back().second, uint64_t{kImageEnd});
    EXPECT_LE(prompter_.progress.back().second,
              test::ReadBytes(package_).size() + test::ReadBytes(script_).size());
}

// Work found on the way holds the bar still instead of moving it back.
TEST(ProgressMeterTest, TheShareShownNeverGoesBack) {
    RecordingPrompter prompter;
    {
        ProgressMeter meter(prompter);
        AddWorkToDo(100);
        AddWorkDone(90);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));  // past the report interval
        AddWorkToDo(100);
        AddWorkDone(10);
    }
    using Shown = std::pair<uint64_t, uint64_t>;
    EXPECT_EQ(prompter.progress, (std::vector<Shown>{{90, 100}, {180, 200}, {200, 200}}));
}

TEST_F(InsertTest, UnwritableOutputAndOverlongNames) {
    std::string nowhere = test::Join(scratch_.File("missing"), "custom.exe");
    EXPECT_EQ(Insert("new.ins", nowhere.c_str()), kInsertCannotCreateOutput);
    std::string longName(260, 'n');
    EXPECT_EQ(Insert(longName.c_str(), output_.c_str()), kInsertFailed);
    EXPECT_EQ(Insert("", output_.c_str()), kInsertFailed);
    EXPECT_EQ(InsertFileIntoPackage(package_.c_str(), scratch_.File("missing.ins").c_str(), nullptr,
                                    output_.c_str(), prompter_),
              kInsertFailed);
    ExpectNothingChanged();
}

#ifndef _WIN32
TEST_F(InsertTest, PackagesOfFourGiBOrMoreAreRefusedBeforeAnyRead) {
    // A sparse file: nothing is read, since the size alone refuses it.
    ASSERT_EQ(truncate(package_.c_str(), (int64_t{1} << 32) + 4), 0);
    EXPECT_EQ(Insert("new.ins", output_.c_str()), kInsertFailed);
    EXPECT_EQ(Insert("new.ins", nullptr), kInsertFailed);
    EXPECT_FALSE(test::Exists(output_));
    EXPECT_TRUE(scratch_.TempEntries().empty());
    EXPECT_TRUE(prompter_.asked.empty());
}
#endif

TEST_F(InsertTest, FileNameWithoutDirectoryIsTheMemberName) {
    std::string bare = "bare.ins";
    std::string relative = scratch_.File(bare);
    ASSERT_TRUE(test::WriteBytes(relative, script));
    ASSERT_GT(InsertFileIntoPackage(package_.c_str(), relative.c_str(), nullptr, output_.c_str(),
                                    prompter_),
              0);
    EXPECT_EQ(MembersOf(output_).back().name, bare);
}

// Every file operation of an insert fails in turn. A failure gives a negative result and
// leaves the package as it was, no output, no temporary file and nothing beside the package;
// a success, where the failed operation did not matter, leaves a sound package.
TEST_F(InsertTest, NoFailureGoesUnnoticedOrLeavesAnything) {
    for (bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "in place" : "new file");
        int failures = test::SweepFailures(
            package_, original_, output_,
            [&] { return Insert("new.ins", inPlace ? nullptr : output_.c_str()); },
            [&](int64_t, int result) {
                if (result <= 0) {
                    return ExpectNothingChanged();
                }
                EXPECT_EQ(MembersOf(inPlace ? package_ : output_).back().data, script);
                EXPECT_TRUE(scratch_.TempEntries().empty());
                EXPECT_EQ(scratch_.Entries().size(), inPlace ? 2u : 3u);
            });
        EXPECT_GT(failures, 20);
    }
}

// Ending the process at any operation of an in-place insert, then opening the package again,
// leaves it either as it was or completely rebuilt, never in between, and nothing beside it.
TEST_F(InsertTest, DyingMidwayNeverLeavesAHalfWrittenPackage) {
    const int64_t operations = test::CountOperations([&] { return Insert("new.ins", nullptr); });
    const Bytes rebuilt = test::ReadBytes(package_);
    ASSERT_GT(operations, 10);
    test::SetEnvironmentOnce("KTL_DYING_PACKAGE", package_);
    test::SetEnvironmentOnce("KTL_DYING_SCRIPT", script_);
    const int rolledBack = test::SweepDeaths(
        operations, package_, original_, rebuilt,
        [&] {
            InsertFileIntoPackage(std::getenv("KTL_DYING_PACKAGE"), std::getenv("KTL_DYING_SCRIPT"),
                                  "new.ins", nullptr, prompter_);
        },
        [&](int64_t step) {
            std::vector<std::string> names = scratch_.Entries();
            std::sort(names.begin(), names.end());
            EXPECT_EQ(names, (std::vector<std::string>{"auto1.ins", "package.exe"}))
                << "step " << step;
            // The re-run test process makes its own scratch folder ("ktltest...") here and dies.
            for (const std::string& name : scratch_.TempEntries()) {
                EXPECT_EQ(name.rfind("ktltest", 0), 0u) << "step " << step << ": " << name;
            }
        });
    EXPECT_GT(rolledBack, 0);
}

// Ending the process at any operation of an insert into a new package leaves the output whole
// or absent, never a truncated package under its name; the next insert into that output clears
// what the dead one left beside it.
TEST_F(InsertTest, DyingMidwayNeverLeavesAHalfWrittenNewPackage) {
    const int64_t operations =
        test::CountOperations([&] { return Insert("new.ins", output_.c_str()); });
    const Bytes written = test::ReadBytes(output_);
    test::SetEnvironmentOnce("KTL_DYING_PACKAGE", package_);
    test::SetEnvironmentOnce("KTL_DYING_SCRIPT", script_);
    test::SetEnvironmentOnce("KTL_DYING_OUTPUT", output_);
    test::SweepDeaths(
        operations, package_, original_, original_,
        [&] {
            test::DeletePath(std::getenv("KTL_DYING_OUTPUT"));
            InsertFileIntoPackage(std::getenv("KTL_DYING_PACKAGE"), std::getenv("KTL_DYING_SCRIPT"),
                                  "new.ins", std::getenv("KTL_DYING_OUTPUT"), prompter_);
        },
        [&](int64_t step) {
            EXPECT_TRUE(!test::Exists(output_) || test::ReadBytes(output_) == written)
                << "step " << step;
            ASSERT_GT(Insert("new.ins", output_.c_str()), 0);
            EXPECT_EQ(test::ReadBytes(output_), written);
            std::vector<std::string> names = scratch_.Entries();
            std::sort(names.begin(), names.end());
            EXPECT_EQ(names, (std::vector<std::string>{"auto1.ins", "custom.exe", "package.exe"}))
                << "step " << step;
            test::DeletePath(output_);
        });
}

#ifndef _WIN32
// In place the package is written through its own handle: a link stays a link and every
// name of the file sees the new package; its mode stays.
TEST_F(InsertTest, InPlaceKeepsLinksAndMode) {
    ASSERT_EQ(chmod(package_.c_str(), 0751), 0);
    std::string symbolic = scratch_.File("link.exe");
    std::string hard = scratch_.File("hard.exe");
    ASSERT_EQ(symlink(package_.c_str(), symbolic.c_str()), 0);
    ASSERT_EQ(link(package_.c_str(), hard.c_str()), 0);
    ASSERT_GT(
        InsertFileIntoPackage(symbolic.c_str(), script_.c_str(), "new.ins", nullptr, prompter_), 0);
    struct stat info;
    ASSERT_EQ(lstat(symbolic.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(stat(package_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0751u);
    EXPECT_EQ(MembersOf(package_).back().name, "new.ins");
    EXPECT_EQ(test::ReadBytes(hard), test::ReadBytes(package_));
}
#else
TEST_F(InsertTest, InPlaceRefusesReadOnlyAndKeepsHidden) {
    ASSERT_TRUE(SetFileAttributesA(package_.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_LT(Insert("new.ins", nullptr), 0);
    ASSERT_TRUE(SetFileAttributesA(package_.c_str(), FILE_ATTRIBUTE_NORMAL));
    ExpectNothingChanged();
    ASSERT_TRUE(SetFileAttributesA(package_.c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_GT(Insert("new.ins", nullptr), 0);
    EXPECT_TRUE(GetFileAttributesA(package_.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesA(package_.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(MembersOf(package_).back().name, "new.ins");
}
#endif

// Run under a double-byte ANSI code page (Wine with LANG=zh_CN.UTF-8); skipped elsewhere.
class DoubleByteInsert : public InsertTest {
  protected:
    void SetUp() override {
#ifdef _WIN32
        if (GetACP() != 936) {
            GTEST_SKIP() << "needs the ANSI code page 936, have " << GetACP();
        }
#else
        GTEST_SKIP() << "POSIX text is walked by bytes";
#endif
        InsertTest::SetUp();
    }
};

TEST_F(DoubleByteInsert, TrailByteBackslashStaysInTheMemberName) {
    // 0x81 0x5C is one character in code page 936; its second byte is the backslash.
    const std::string name =
        "\x81\x5C"
        "auto.ins";
    std::string path = scratch_.File(name);
    ASSERT_TRUE(test::WriteBytes(path, script));
    ASSERT_GT(
        InsertFileIntoPackage(package_.c_str(), path.c_str(), nullptr, output_.c_str(), prompter_),
        0);
    EXPECT_EQ(MembersOf(output_).back().name, name);
}

TEST_F(DoubleByteInsert, TrailByteBackslashDoesNotMakeADirectory) {
    // A stored file member whose last character ends in the byte 0x5C is no directory, so it
    // still counts as a duplicate.
    const std::string name = "\x81\x5C";
    original_ = test::MakePackage(test::MakeZip({{name, test::ToBytes("x")}}));
    ASSERT_TRUE(test::WriteBytes(package_, original_));
    EXPECT_EQ(Insert(name.c_str(), output_.c_str()), kInsertDuplicate);
}

}  // namespace
}  // namespace package
