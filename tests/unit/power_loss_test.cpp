// Every change that writes a package, cut by a simulated power loss at each of its file
// operations in turn, with several random patterns of what the disk lost each time, and once
// more right after it reported success. After the next open's recovery the package is the old
// one or the new one byte for byte (the new one once it was reported written), a new package
// file is whole or absent, and nothing else is left, once the next write of that output ran.
// A cut that leaves a journal is followed by recoveries cut at each of their operations too.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <utility>

#include "package/insert_file.h"
#include "package/journal.h"
#include "package/member_rewrite.h"
#include "package/seal_package.h"
#include "platform/testing/fault_injection.h"
#include "platform/testing/power_loss.h"
#include "unit/fault_sweeps.h"
#include "unit/test_support.h"

namespace package {
namespace {

using test::Bytes;

constexpr int kCutsPerChange = 1000;
constexpr int kCutExit = 78;
// The work returned before the cut: it reported success, or it failed with nothing cut.
constexpr int kDoneExit = 79;
constexpr int kFailedExit = 80;
// Loss patterns for each operation of a recovery that follows a cut; the recoveries cut are
// those of the states that the first few patterns of cuts of the change left.
constexpr int kRecoveryPatterns = 2;
constexpr int64_t kNever = int64_t{1} << 40;

// Where the change writes: the package itself, a new package file, or a new package over an
// output that an interrupted in-place change left with a journal beside it.
enum class Target { InPlace, NewFile, NewFileOverJournal };

struct Cuts {
    int64_t operations = 0;
    int patterns = 0;
    int cuts = 0;        // at the change's operations
    int durability = 0;  // right after the change reported success
    int recovery = 0;    // at the operations of a recovery after a cut, and right after it
};

std::string JournalOf(const std::string& path) {
    char journal[platform::kPathBufferSize] = {};
    EXPECT_TRUE(JournalPathFor(path.c_str(), journal));
    return journal;
}

class SilentPrompter : public InsertPrompter {
  public:
    bool AskYesNo(int) override { return true; }
    void ShowStop(int) override {}
};

class PowerLossTest : public testing::Test {
  protected:
    void SetUp() override {
        original_ =
            test::MakePackage(test::MakeZip({{"Zor/", {}},
                                             {"Zor/readme.txt", test::PatternBytes(3000, 7)},
                                             {"AUTO1.INS", test::ToBytes("[Setup]\r\nold=1\r\n")},
                                             {"Setup.ini", test::PatternBytes(1500, 9)}}));
        ASSERT_TRUE(test::WriteBytes(script_, test::PatternBytes(5000, 3)));
    }

    // Cuts `change` at every operation and after its success, with several loss patterns.
    Cuts Sweep(const std::function<int()>& change, Target target) {
        Cuts counted;
        const bool newFile = target != Target::InPlace;
        const std::string& changed = newFile ? output_ : package_;
        if (!Prepare(target)) {
            return counted;
        }
        counted.operations = test::CountOperations(change);
        const Bytes after = test::ReadBytes(changed);
        // What the changed file may be after a cut, besides `after`; a new file may be absent.
        const Bytes& before = target == Target::NewFile ? after : original_;
        counted.patterns =
            static_cast<int>((kCutsPerChange + counted.operations - 1) / counted.operations);
        for (int64_t step = 1; step <= counted.operations + 1; ++step) {
            const bool durable = step > counted.operations;
            for (int seed = 0; seed < counted.patterns; ++seed) {
                SCOPED_TRACE((durable ? std::string("cut after success")
                                      : "cut at operation " + std::to_string(step)) +
                             ", pattern " + std::to_string(seed));
                if (!Prepare(target)) {
                    return counted;
                }
                CutAt(step, counted.operations, static_cast<uint32_t>(seed), change);
                ++(durable ? counted.durability : counted.cuts);
                if (seed < kRecoveryPatterns && test::Exists(JournalOf(changed))) {
                    counted.recovery += SweepRecoveryCuts(changed, before, after);
                    if (testing::Test::HasFailure()) {
                        return counted;
                    }
                }
                Recover(package_);
                if (newFile) {
                    Recover(output_);
                }
                const Bytes left = test::ReadBytes(changed);
                if (durable) {
                    EXPECT_TRUE(left == after) << "a change reported done was lost";
                } else if (target == Target::NewFile) {
                    EXPECT_TRUE(!test::Exists(output_) || left == after);
                } else {
                    EXPECT_TRUE(left == before || left == after);
                }
                if (newFile) {
                    EXPECT_TRUE(test::ReadBytes(package_) == original_);
                    // The next write of the output clears what the cut left beside it.
                    EXPECT_GT(change(), 0);
                    EXPECT_TRUE(test::ReadBytes(output_) == after);
                }
                std::vector<std::string> names = scratch_.Entries();
                std::sort(names.begin(), names.end());
                const std::vector<std::string> expected =
                    newFile ? std::vector<std::string>{"auto1.ins", "custom.exe", "package.exe"}
                            : std::vector<std::string>{"auto1.ins", "package.exe"};
                EXPECT_EQ(names, expected);
                if (testing::Test::HasFailure()) {
                    return counted;
                }
            }
        }
        return counted;
    }

    // Cuts the recovery of the journal a cut left beside `path` at each of its operations and
    // right after it, then recovers plainly: `path` must hold `before` or `after`. Puts the
    // state the first cut left back afterwards. Returns the cuts made.
    int SweepRecoveryCuts(const std::string& path, const Bytes& before, const Bytes& after) {
        const std::string journal = JournalOf(path);
        const Bytes leftPackage = test::ReadBytes(path);
        const Bytes leftJournal = test::ReadBytes(journal);
        // Many first cuts leave the same files; their recoveries are cut once.
        if (!recovered_.insert({leftPackage, leftJournal}).second) {
            return 0;
        }
        auto putBack = [&] {
            return test::WriteBytes(path, leftPackage) && test::WriteBytes(journal, leftJournal);
        };
        auto recover = [&] {
            const Recovery recovery = RecoverPackage(path.c_str());
            return recovery != Recovery::Failed && recovery != Recovery::SetAside ? 1 : -1;
        };
        platform::fault::Arm(kNever);
        EXPECT_GT(recover(), 0);
        const int64_t operations = platform::fault::OperationsSinceArm();
        platform::fault::Disarm();
        int cuts = 0;
        for (int64_t step = 1; step <= operations + 1; ++step) {
            for (int seed = 0; seed < kRecoveryPatterns; ++seed, ++cuts) {
                SCOPED_TRACE("recovery cut at operation " + std::to_string(step) + ", pattern " +
                             std::to_string(seed));
                if (!putBack()) {
                    ADD_FAILURE() << "cannot put the cut's state back";
                    return cuts;
                }
                CutAt(step, operations, static_cast<uint32_t>(seed), recover);
                EXPECT_GT(recover(), 0);
                const Bytes left = test::ReadBytes(path);
                EXPECT_TRUE(left == before || left == after);
                EXPECT_FALSE(test::Exists(journal));
                if (testing::Test::HasFailure()) {
                    return cuts;
                }
            }
        }
        EXPECT_TRUE(putBack());
        return cuts;
    }

    // Runs `work` in a child whose power is cut at operation `step`, or right after `work`
    // returned when `step` is past its `operations`.
    void CutAt(int64_t step, int64_t operations, uint32_t seed, const std::function<int()>& work) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            platform::fault::ArmPowerCut(step <= operations ? step : kNever, seed, kCutExit);
            const int result = work();
            platform::fault::CutPowerNow(result > 0 ? kDoneExit : kFailedExit);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) &&
                    WEXITSTATUS(status) == (step <= operations ? kCutExit : kDoneExit))
            << status;
    }

    void Recover(const std::string& path) {
        RecoveryReport report;
        const Recovery recovery = RecoverPackage(path.c_str(), &report);
        EXPECT_TRUE(recovery != Recovery::Failed && recovery != Recovery::SetAside);
    }

    // The files as each run of a sweep begins.
    bool Prepare(Target target) {
        test::DeletePath(output_);
        test::DeletePath(JournalOf(output_));
        const bool ok = test::WriteBytes(package_, original_) &&
                        (target != Target::NewFileOverJournal ||
                         (test::WriteBytes(output_, journaled_) &&
                          test::WriteBytes(JournalOf(output_), journal_)));
        EXPECT_TRUE(ok) << "cannot prepare the files";
        return ok;
    }

    // Leaves in journaled_ and journal_ what a removal from a copy of the package at the output
    // path left when it was ended just before its commit: a journal that rolls it back.
    void JournalTheOutput() {
        auto remove = [&] {
            return RemoveMemberFromPackage(output_.c_str(), "Setup.ini", nullptr, prompter_);
        };
        ASSERT_TRUE(test::WriteBytes(output_, original_));
        const int64_t operations = test::CountOperations(remove);
        for (int64_t step = operations; step > 0 && !test::Exists(JournalOf(output_)); --step) {
            ASSERT_TRUE(test::WriteBytes(output_, original_));
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                platform::fault::Arm(step, platform::fault::Action::ExitProcess, kCutExit);
                remove();
                std::_Exit(0);
            }
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
        }
        journaled_ = test::ReadBytes(output_);
        journal_ = test::ReadBytes(JournalOf(output_));
        ASSERT_FALSE(journal_.empty());
        ASSERT_TRUE(journaled_ != original_);
        // The journal is the genuine one: a recovery would roll the removal back.
        EXPECT_EQ(RecoverPackage(output_.c_str()), Recovery::RolledBack);
        EXPECT_TRUE(test::ReadBytes(output_) == original_);
    }

    void Report(const Cuts& counted) {
        const std::string summary = std::to_string(counted.patterns) + " cuts at each of " +
                                    std::to_string(counted.operations) + " operations (" +
                                    std::to_string(counted.cuts) + "), " +
                                    std::to_string(counted.durability) + " after success, " +
                                    std::to_string(counted.recovery) + " in recoveries";
        RecordProperty("power_cuts", summary);
        std::printf("[ cuts     ] %s\n", summary.c_str());
        if (!HasFailure()) {  // a sweep stops at its first failure
            EXPECT_GE(counted.cuts, kCutsPerChange);
            EXPECT_EQ(counted.durability, counted.patterns);
        }
    }

    // The original package signed by osslsigncode with a certificate made here: its checksum is
    // then not zero, and a change must clear its security entry and cut its table. False (the
    // test skips) where the tools are missing.
    bool SignOriginal() {
        test::ScratchDir keys;
        const std::string in = keys.File("in.exe");
        const std::string out = keys.File("out.exe");
        const std::string dir = keys.Path();
        if (!test::WriteBytes(
                in, test::MakeSignablePackage(
                        test::MakeZip({{"Zor/readme.txt", test::PatternBytes(3000, 7)},
                                       {"AUTO1.INS", test::ToBytes("[Setup]\r\nold=1\r\n")}}),
                        false))) {
            return false;
        }
        const std::string script =
            "cd '" + dir +
            "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem "
            "-out cert.pem -days 1 -subj /CN=ktl >/dev/null 2>&1 && osslsigncode sign -certs "
            "cert.pem -key key.pem -h sha256 -in in.exe -out out.exe >/dev/null 2>&1";
        if (std::system(script.c_str()) != 0) {
            return false;
        }
        original_ = test::ReadBytes(out);
        return !original_.empty();
    }

    int Seal() {
        SealDetail detail;
        SealRefusal refusal = SealRefusal::None;
        return SealSignedPackage(package_.c_str(), nullptr, detail, refusal);
    }

    int Insert(const char* member, const char* output, SameName sameName = SameName::Refuse) {
        return InsertFileIntoPackage(package_.c_str(), script_.c_str(), member, output, prompter_,
                                     nullptr, sameName);
    }

    // Thousands of cuts, each syncing files: a memory file system takes the syncs for nothing.
    test::ScratchDir scratch_{access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr};
    std::string package_ = scratch_.File("package.exe");
    std::string script_ = scratch_.File("auto1.ins");
    std::string output_ = scratch_.File("custom.exe");
    Bytes original_;
    Bytes journaled_;
    Bytes journal_;
    std::set<std::pair<Bytes, Bytes>> recovered_;
    SilentPrompter prompter_;
};

TEST_F(PowerLossTest, InsertInPlace) {
    const Cuts counted = Sweep([&] { return Insert("new.ins", nullptr); }, Target::InPlace);
    Report(counted);
    EXPECT_GT(counted.recovery, 0);
}

TEST_F(PowerLossTest, ReplaceInPlace) {
    const Cuts counted =
        Sweep([&] { return Insert("auto1.ins", nullptr, SameName::Replace); }, Target::InPlace);
    Report(counted);
    EXPECT_GT(counted.recovery, 0);
}

TEST_F(PowerLossTest, RemoveInPlace) {
    const Cuts counted = Sweep(
        [&] {
            return RemoveMemberFromPackage(package_.c_str(), "zor\\README.txt", nullptr, prompter_);
        },
        Target::InPlace);
    Report(counted);
    EXPECT_GT(counted.recovery, 0);
}

TEST_F(PowerLossTest, InsertIntoANewPackage) {
    Report(Sweep([&] { return Insert("new.ins", output_.c_str()); }, Target::NewFile));
}

// The journal an interrupted change left beside the output belongs to the file that stood
// there: once a new package took its place and was reported written, no later recovery may
// roll the old change back over it.
TEST_F(PowerLossTest, InsertIntoANewPackageOverAJournaledOutput) {
    JournalTheOutput();
    ASSERT_FALSE(HasFailure());
    const Cuts counted =
        Sweep([&] { return Insert("new.ins", output_.c_str()); }, Target::NewFileOverJournal);
    Report(counted);
    EXPECT_GT(counted.recovery, 0);
}

// Sealing writes the CheckSum field under a journal of that one range; a change to a signed
// package clears the security entry and cuts the table under a journal of the entry and the
// tail.
TEST_F(PowerLossTest, SealAndChangeASignedPackageInPlace) {
    if (!SignOriginal()) {
        GTEST_SKIP() << "needs openssl and osslsigncode";
    }
    const Cuts sealed = Sweep([&] { return Seal(); }, Target::InPlace);
    Report(sealed);
    EXPECT_GT(sealed.recovery, 0);
    const Cuts changed = Sweep([&] { return Insert("new.ins", nullptr); }, Target::InPlace);
    Report(changed);
    EXPECT_GT(changed.recovery, 0);
}

}  // namespace
}  // namespace package
#endif
