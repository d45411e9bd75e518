#include "package/member_rewrite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "package/byte_cursor.h"
#include "package/journal.h"
#include "package/member_extract.h"
#include "package/package_inspect.h"
#include "platform/fault_injection.h"
#include "unit/test_support.h"

namespace package {
namespace {

using test::Bytes;

constexpr size_t kImageEnd = 0x1800;  // the image of test::MakePackage

class Answering : public InsertPrompter {
  public:
    bool AskYesNo(int) override {
        ++asked;
        return answer;
    }
    void ShowStop(int) override { ++stopped; }
    bool answer = true;
    int asked = 0;
    int stopped = 0;
};

// Each member's local record as a ZIP reader finds it, read by hand from the central
// directory: from its local header to the next one, or to the directory.
std::map<std::string, Bytes> LocalRecordsOf(const Bytes& package) {
    Bytes archive(package.begin() + kImageEnd, package.end());
    size_t end = archive.size() - end_record::kSize;
    while (end > 0 && GetU32(&archive[end]) != end_record::kSignature) {
        --end;
    }
    const uint32_t directoryAt = GetU32(&archive[end + end_record::kDirectoryOffsetAt]);
    std::map<uint32_t, std::string> byOffset;
    for (size_t at = directoryAt; at < end;) {
        const uint8_t* entry = &archive[at];
        uint16_t n = GetU16(entry + central_header::kNameLengthAt);
        byOffset[GetU32(entry + central_header::kLocalHeaderOffsetAt)] =
            std::string(reinterpret_cast<const char*>(entry + central_header::kSize), n);
        at += central_header::kSize + n + GetU16(entry + central_header::kExtraLengthAt) +
              GetU16(entry + central_header::kCommentLengthAt);
    }
    std::map<std::string, Bytes> records;
    for (auto it = byOffset.begin(); it != byOffset.end(); ++it) {
        auto next = std::next(it);
        uint32_t stop = next == byOffset.end() ? directoryAt : next->first;
        records[it->second] = Bytes(archive.begin() + it->first, archive.begin() + stop);
    }
    return records;
}

class MemberRewriteTest : public testing::Test {
  protected:
    void SetUp() override { Use(test::MakeZip(kMembers, "kept comment")); }

    void Use(const Bytes& archive) {
        original_ = test::MakePackage(archive);
        ASSERT_TRUE(test::WriteBytes(package_, original_));
    }

    InsertResult Remove(const char* name, const char* output) {
        return RemoveMemberFromPackage(package_.c_str(), name, output, prompter_);
    }

    // A written package: sealed, its image unchanged, its archive readable.
    std::vector<test::ReadMember> Judge(const std::string& path) {
        Bytes written = test::ReadBytes(path);
        EXPECT_EQ(written.size() % 4, 0u);
        EXPECT_EQ(test::Checksum(written), 0u);
        EXPECT_TRUE(std::equal(original_.begin(), original_.begin() + kImageEnd, written.begin()));
        PackageContents contents;
        std::string problem;
        EXPECT_TRUE(VerifyPackage(path.c_str(), contents, problem)) << problem;
        return test::ReadArchive(Bytes(written.begin() + kImageEnd, written.end()));
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

TEST_F(MemberRewriteTest, RemovesAMemberAndCopiesTheOthersByteForByte) {
    for (bool inPlace : {false, true}) {
        ASSERT_TRUE(test::WriteBytes(package_, original_));
        const std::string& written = inPlace ? package_ : output_;
        // Found as the duplicate check finds names: any case, either separator.
        ASSERT_GT(Remove("installscript\\AUTO2.INS", inPlace ? nullptr : output_.c_str()), 0);
        std::vector<test::ReadMember> members = Judge(written);
        std::vector<std::string> names;
        for (const test::ReadMember& member : members) {
            names.push_back(member.name);
        }
        EXPECT_EQ(names,
                  (std::vector<std::string>{"Zor/", "Zor/readme.txt", "AUTO1.INS", "setup.cfg"}));
        std::map<std::string, Bytes> before = LocalRecordsOf(original_);
        before.erase("InstallScript/auto2.ins");
        EXPECT_EQ(LocalRecordsOf(test::ReadBytes(written)), before);
        Bytes after = test::ReadBytes(written);
        const std::string comment = "kept comment";
        EXPECT_NE(std::search(after.end() - 8 - comment.size(), after.end(), comment.begin(),
                              comment.end()),
                  after.end());
    }
    EXPECT_EQ(prompter_.asked, 0);
}

TEST_F(MemberRewriteTest, RemovingEveryMemberLeavesAValidEmptyArchive) {
    Use(test::MakeZip({{"only.txt", test::ToBytes("alone")}}));
    ASSERT_GT(Remove("ONLY.TXT", nullptr), 0);
    EXPECT_TRUE(Judge(package_).empty());
    // And it takes a member again.
    std::string file = scratch_.File("again.ins");
    ASSERT_TRUE(test::WriteBytes(file, test::ToBytes("again")));
    ASSERT_GT(InsertFileIntoPackage(package_.c_str(), file.c_str(), nullptr, nullptr, prompter_),
              0);
    ASSERT_EQ(Judge(package_).size(), 1u);
}

// Replacing is removing and appending in one rewrite: the same bytes as the two steps.
TEST_F(MemberRewriteTest, ReplaceEqualsRemoveThenInsert) {
    std::string file = scratch_.File("new.ins");
    const Bytes data = test::PatternBytes(70000, 9);
    ASSERT_TRUE(test::WriteBytes(file, data));
    Use(test::MakeZip(kMembers));  // an insert drops a comment; here there is none
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

TEST_F(MemberRewriteTest, NoSuchMemberOrADeclinedDamagedPackageChangesNothing) {
    EXPECT_EQ(Remove("missing.ins", nullptr), kNoSuchMember);
    EXPECT_EQ(Remove("Zor", output_.c_str()), kNoSuchMember);  // the directory is "Zor/"
    ExpectNothingChanged();
    original_[100] ^= 0x40;
    ASSERT_TRUE(test::WriteBytes(package_, original_));
    prompter_.answer = false;
    EXPECT_EQ(Remove("AUTO1.INS", nullptr), kInsertDeclined);
    EXPECT_EQ(Remove("missing.ins", output_.c_str()), kInsertDeclined);  // the question first
    EXPECT_EQ(prompter_.asked, 2);
    ExpectNothingChanged();
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
        int failures = 0;
        for (int64_t step = 1;; ++step) {
            ASSERT_TRUE(test::WriteBytes(package_, original_));
            test::DeletePath(output_);
            platform::fault::Arm(step);
            InsertResult result = Remove("AUTO1.INS", inPlace ? nullptr : output_.c_str());
            bool fired = platform::fault::Fired();
            platform::fault::Disarm();
            if (result > 0) {
                EXPECT_EQ(Judge(inPlace ? package_ : output_).size(), kMembers.size() - 1) << step;
            } else {
                ++failures;
                ExpectNothingChanged();
            }
            if (HasFailure()) {
                FAIL() << (inPlace ? "in place" : "new file") << ", step " << step;
            }
            if (!fired) {
                ASSERT_GT(result, 0);
                break;
            }
        }
        EXPECT_GT(failures, 15);
    }
}

// Ending the process at any operation of an in-place removal, then opening the package again,
// leaves it as it was or with the member removed, never in between.
TEST_F(MemberRewriteTest, DyingMidwayNeverLeavesAHalfWrittenPackage) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    platform::fault::Arm(int64_t{1} << 40);
    ASSERT_GT(Remove("Zor/readme.txt", nullptr), 0);
    const int64_t operations = platform::fault::OperationsSinceArm();
    platform::fault::Disarm();
    const Bytes removed = test::ReadBytes(package_);
    // A death test may run in a fresh process with a scratch folder of its own.
    if (std::getenv("KTL_DYING_REMOVE") == nullptr) {
#ifdef _WIN32
        _putenv_s("KTL_DYING_REMOVE", package_.c_str());
#else
        setenv("KTL_DYING_REMOVE", package_.c_str(), 0);
#endif
    }
    int rolledBack = 0;
    for (int64_t step = 1; step <= operations; ++step) {
        ASSERT_TRUE(test::WriteBytes(package_, original_));
        EXPECT_EXIT(
            {
                platform::fault::Arm(step, platform::fault::Action::ExitProcess, 77);
                RemoveMemberFromPackage(std::getenv("KTL_DYING_REMOVE"), "Zor/readme.txt", nullptr,
                                        prompter_);
                std::exit(0);
            },
            testing::ExitedWithCode(77), "")
            << "step " << step;
        Recovery recovery = RecoverPackage(package_.c_str());
        EXPECT_NE(recovery, Recovery::Failed) << "step " << step;
        rolledBack += recovery == Recovery::RolledBack;
        Bytes after = test::ReadBytes(package_);
        EXPECT_TRUE(after == original_ || after == removed) << "step " << step;
        EXPECT_EQ(scratch_.Entries(), std::vector<std::string>{"package.exe"}) << "step " << step;
    }
    EXPECT_GT(rolledBack, 0);
}

class Collect : public MemberSink {
  public:
    bool Write(const uint8_t* data, uint32_t size) override {
        bytes.insert(bytes.end(), data, data + size);
        return true;
    }
    Bytes bytes;
};

TEST_F(MemberRewriteTest, ExtractsStoredAndDeflatedMembersAndRefusesTheRest) {
    std::string file = scratch_.File("deflated.ins");
    const Bytes data = test::PatternBytes(100000, 3);
    ASSERT_TRUE(test::WriteBytes(file, data));
    ASSERT_GT(InsertFileIntoPackage(package_.c_str(), file.c_str(), "big.ins", nullptr, prompter_),
              0);
    test::DeletePath(file);
    original_ = test::ReadBytes(package_);
    Collect stored;
    ASSERT_EQ(ExtractMember(package_.c_str(), "auto1.ins", stored), 0);
    EXPECT_EQ(stored.bytes, kMembers[2].data);
    ASSERT_EQ(ExtractMemberToFile(package_.c_str(), "BIG.INS", output_.c_str()), 0);
    EXPECT_EQ(test::ReadBytes(output_), data);
    test::DeletePath(output_);

    ExtractDetail detail;
    EXPECT_EQ(ExtractMemberToFile(package_.c_str(), "zor\\", output_.c_str(), &detail),
              kInsertFailed);
    EXPECT_EQ(detail.step, ExtractStep::DirectoryMember);
    EXPECT_EQ(ExtractMemberToFile(package_.c_str(), "gone", output_.c_str(), &detail),
              kNoSuchMember);
    EXPECT_EQ(ExtractMemberToFile(package_.c_str(), "big.ins", package_.c_str(), &detail),
              kInsertCannotCreateOutput);
    ExpectNothingChanged();
}

TEST_F(MemberRewriteTest, ExtractLeavesNothingWhenTheCrcDoesNotMatch) {
    Bytes archive = test::MakeZip(kMembers);
    const size_t directoryAt = GetU32(&archive[archive.size() - 22 + 16]);
    const size_t third = directoryAt + (46 + 4) + (46 + 14);  // AUTO1.INS
    archive[GetU32(&archive[third + 42]) + 30 + 9 + 100] ^= 1;
    Bytes unknown = test::MakeZip(kMembers);
    PutU16(&unknown[third + 10], 12);
    const std::pair<Bytes, ExtractStep> cases[] = {{archive, ExtractStep::CrcMismatch},
                                                   {unknown, ExtractStep::UnsupportedMethod}};
    for (const auto& [bad, step] : cases) {
        Use(bad);
        ExtractDetail detail;
        EXPECT_EQ(ExtractMemberToFile(package_.c_str(), "AUTO1.INS", output_.c_str(), &detail),
                  kInsertFailed);
        EXPECT_EQ(detail.step, step);
        ExpectNothingChanged();
    }
}

}  // namespace
}  // namespace package
