#include "package/journal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "package/insert_file.h"
#include "package/member_extract.h"
#include "package/package_inspect.h"
#include "platform/file.h"
#include "unit/test_support.h"

namespace package {
namespace {

using test::Bytes;

class TellingPrompter : public InsertPrompter {
  public:
    bool AskYesNo(int) override {
        told.push_back("asked");
        return true;
    }
    void ShowStop(int) override { told.push_back("stop"); }
    void TellRecovery(const RecoveryReport& report, const char*) override {
        told.push_back(report.outcome == Recovery::RolledBack ? "rolled back" : "discarded");
    }
    std::vector<std::string> told;
};

class JournalTest : public testing::Test {
  protected:
    void SetUp() override {
        original_ =
            test::MakePackage(test::MakeZip({{"Zor/readme.txt", test::PatternBytes(9000, 1)},
                                             {"AUTO1.INS", test::ToBytes("[Setup]\r\n")}}));
        tailAt_ = original_.size() - 150;
        ASSERT_TRUE(test::WriteBytes(package_, original_));
        ASSERT_TRUE(test::WriteBytes(script_, test::ToBytes("[Setup]\r\nSilence=1\r\n")));
    }

    // The journal an in-place change of the original package writes before it touches the tail.
    void WriteOriginalsJournal() {
        ASSERT_TRUE(test::WriteBytes(package_, original_));
        platform::File file;
        ASSERT_TRUE(file.Open(package_.c_str(), platform::Access::Read,
                              platform::Disposition::OpenExisting));
        ASSERT_TRUE(WriteJournal(journal_.c_str(), file, 0, tailAt_, original_.data() + tailAt_,
                                 static_cast<uint32_t>(original_.size() - tailAt_)));
    }

    // A crash midway: the journal is there and the tail half overwritten.
    void Interrupt() {
        WriteOriginalsJournal();
        Bytes torn = original_;
        torn.resize(tailAt_ + 40, 0xEE);
        torn.insert(torn.end(), 3000, 0xAB);
        ASSERT_TRUE(test::WriteBytes(package_, torn));
    }

    test::ScratchDir scratch_;
    std::string package_ = scratch_.File("package.exe");
    std::string journal_ = package_ + ".ktl-journal";
    std::string script_ = scratch_.File("auto1.ins");
    Bytes original_;
    size_t tailAt_ = 0;
};

TEST_F(JournalTest, RollsBackOnlyThePackageItWasWrittenFor) {
    Interrupt();
    EXPECT_EQ(RecoverPackage(package_.c_str()), Recovery::RolledBack);
    EXPECT_EQ(test::ReadBytes(package_), original_);
    EXPECT_FALSE(test::Exists(journal_));

    // Another package copied in after the crash: a newer release, the same one with a byte
    // changed far from the tail, with two words changed near it so that the sum stays, or one
    // shorter than the kept part.
    Bytes newer =
        test::MakePackage(test::MakeZip({{"Zor/readme.txt", test::PatternBytes(9100, 2)}}));
    Bytes farByte = original_;
    farByte[100] ^= 1;
    Bytes sameSum = original_;
    sameSum[tailAt_ - 8] += 1;
    sameSum[tailAt_ - 4] -= 1;
    Bytes shorter(original_.begin(), original_.begin() + tailAt_ - 1);
    const Bytes others[] = {newer, farByte, sameSum, shorter};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        WriteOriginalsJournal();
        const Bytes journal = test::ReadBytes(journal_);
        ASSERT_TRUE(test::WriteBytes(package_, others[i]));
        RecoveryReport report;
        EXPECT_EQ(RecoverPackage(package_.c_str(), &report), Recovery::SetAside);
        EXPECT_EQ(test::ReadBytes(package_), others[i]);
        EXPECT_FALSE(test::Exists(journal_));
        const std::string kept =
            package_ + ".stale-ktl-journal" + (i == 0 ? "" : "-" + std::to_string(i + 1));
        EXPECT_EQ(report.setAsidePath, kept);
        EXPECT_EQ(report.journalPath, journal_);
        EXPECT_EQ(test::ReadBytes(kept), journal);
        EXPECT_EQ(RecoverPackage(package_.c_str()), Recovery::NothingToDo);
    }
}

TEST_F(JournalTest, EveryCommandTellsTheRollbackAndRefusesAStaleJournal) {
    TellingPrompter prompter;
    InsertDetail detail;
    Interrupt();
    ASSERT_GT(InsertFileIntoPackage(package_.c_str(), script_.c_str(), "new.ins", nullptr, prompter,
                                    &detail),
              0);
    EXPECT_EQ(prompter.told, std::vector<std::string>{"rolled back"});
    EXPECT_EQ(detail.recovery.outcome, Recovery::RolledBack);

    // An unfinished journal: discarded, told, the package not touched.
    ASSERT_TRUE(test::WriteBytes(journal_, test::ToBytes("KTLJRNL2 cut short")));
    const Bytes inserted = test::ReadBytes(package_);
    prompter.told.clear();
    EXPECT_EQ(InsertFileIntoPackage(package_.c_str(), script_.c_str(), "new.ins", nullptr, prompter,
                                    &detail),
              kInsertDuplicate);
    EXPECT_EQ(prompter.told, (std::vector<std::string>{"discarded", "stop"}));
    EXPECT_EQ(test::ReadBytes(package_), inserted);

    ExtractDetail extracted;
    PackageContents contents;
    std::string problem;
    Interrupt();
    ASSERT_EQ(ExtractMemberToFile(package_.c_str(), "auto1.ins", scratch_.File("out").c_str(),
                                  &extracted),
              0);
    EXPECT_EQ(extracted.recovery.outcome, Recovery::RolledBack);
    Interrupt();
    EXPECT_TRUE(VerifyPackage(package_.c_str(), contents, problem)) << problem;
    EXPECT_EQ(contents.recovery.outcome, Recovery::RolledBack);

    // A journal of another package stops every command before it reads or writes anything.
    const Bytes newer = test::MakePackage(test::MakeZip({{"other.txt", test::ToBytes("x")}}));
    WriteOriginalsJournal();
    ASSERT_TRUE(test::WriteBytes(package_, newer));
    EXPECT_EQ(InsertFileIntoPackage(package_.c_str(), script_.c_str(), "new.ins", nullptr, prompter,
                                    &detail),
              kInsertFailed);
    EXPECT_EQ(detail.step, InsertStep::StaleJournal);
    WriteOriginalsJournal();
    ASSERT_TRUE(test::WriteBytes(package_, newer));
    EXPECT_EQ(ExtractMemberToFile(package_.c_str(), "other.txt", scratch_.File("out").c_str(),
                                  &extracted),
              kInsertFailed);
    EXPECT_EQ(extracted.step, ExtractStep::StaleJournal);
    WriteOriginalsJournal();
    ASSERT_TRUE(test::WriteBytes(package_, newer));
    EXPECT_FALSE(ReadPackageContents(package_.c_str(), contents, problem));
    EXPECT_EQ(contents.recovery.outcome, Recovery::SetAside);
    EXPECT_EQ(test::ReadBytes(package_), newer);
    EXPECT_TRUE(ReadPackageContents(package_.c_str(), contents, problem)) << problem;
}

// A journal of several ranges puts each back and the old size, whatever the change wrote into
// them or beyond; a file that differs from the package anywhere outside them is not touched.
TEST_F(JournalTest, ARangedJournalRestoresEveryRangeOfItsOwnPackageOnly) {
    const std::vector<ChangedRange> ranges = {{130, 4}, {152, 8}, {tailAt_, 150}};
    auto changed = [&](size_t keptByte) {
        Bytes bytes = original_;
        for (const ChangedRange& range : ranges) {
            std::fill_n(bytes.begin() + static_cast<long>(range.at), range.length, 0xEE);
        }
        bytes.resize(bytes.size() + 5000, 0xAB);
        if (keptByte != 0) {
            bytes[keptByte] ^= 0x01;
        }
        return bytes;
    };
    for (size_t keptByte : {size_t{0}, size_t{140}, tailAt_ - 1}) {
        SCOPED_TRACE("kept byte changed: " + std::to_string(keptByte));
        ASSERT_TRUE(test::WriteBytes(package_, original_));
        {
            platform::File file;
            ASSERT_TRUE(file.Open(package_.c_str(), platform::Access::Read,
                                  platform::Disposition::OpenExisting));
            ASSERT_TRUE(WriteRangedJournal(journal_.c_str(), file, 0, ranges));
        }
        const Bytes torn = changed(keptByte);
        ASSERT_TRUE(test::WriteBytes(package_, torn));
        RecoveryReport report;
        const Recovery recovery = RecoverPackage(package_.c_str(), &report);
        if (keptByte == 0) {
            EXPECT_EQ(recovery, Recovery::RolledBack);
            EXPECT_EQ(test::ReadBytes(package_), original_);
        } else {
            EXPECT_EQ(recovery, Recovery::SetAside);
            EXPECT_EQ(test::ReadBytes(package_), torn);
            test::DeletePath(report.setAsidePath);
        }
        EXPECT_FALSE(test::Exists(journal_));
    }
}

#ifdef _WIN32
// A reader or a scanner that holds the journal open at the moment of the commit, without
// sharing its deletion, is waited for: the finished change is neither rolled back nor failed.
TEST_F(JournalTest, AJournalHeldAtTheCommitIsWaitedFor) {
    // Deflating it keeps the journal there long enough for the holder to find it.
    ASSERT_TRUE(test::WriteBytes(script_, test::PatternBytes(8u << 20, 5)));
    std::atomic<bool> done{false};
    std::atomic<bool> held{false};
    std::thread holder([&] {
        while (!done && !held) {
            HANDLE journal =
                CreateFileA(journal_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
            if (journal != INVALID_HANDLE_VALUE) {
                held = true;
                Sleep(1000);
                CloseHandle(journal);
            }
        }
    });
    TellingPrompter prompter;
    const InsertResult result =
        InsertFileIntoPackage(package_.c_str(), script_.c_str(), "big.ins", nullptr, prompter);
    done = true;
    holder.join();
    ASSERT_TRUE(held) << "the journal was never seen";
    EXPECT_GT(result, 0);
    EXPECT_FALSE(test::Exists(journal_));
    PackageContents contents;
    std::string problem;
    ASSERT_TRUE(ReadPackageContents(package_.c_str(), contents, problem)) << problem;
    ASSERT_EQ(contents.members.size(), 3u);
    EXPECT_EQ(contents.members.back().name, "big.ins");
}
#endif

}  // namespace
}  // namespace package
