// Command sequences after a change that was killed at one of its file operations: another
// command runs, then the recovery any next command makes. They are judged by one rule, kept
// in a small model of what the package may hold: every change reported done is in the package
// afterwards, and the package is one of the states the commands allow, byte for byte. What a
// command makes of each allowed state is learnt from an undisturbed run on that state.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "package/insert_file.h"
#include "package/journal.h"
#include "package/member_rewrite.h"
#include "package/package_inspect.h"
#include "platform/testing/fault_injection.h"
#include "unit/fault_sweeps.h"
#include "unit/test_support.h"

namespace package {
namespace {

using test::Bytes;

constexpr int kKilledExit = 77;

enum class Change { InsertInPlace, RemoveInPlace };
// What follows the killed change: a new package written over the package's path from a later
// release of it, a change through a symbolic link to the package, a reader, the change again.
enum class Then { NewPackageOver, ChangeThroughALink, Reader, SameChangeAgain };

class SilentPrompter : public InsertPrompter {
  public:
    bool AskYesNo(int) override { return true; }
    void ShowStop(int) override {}
};

// The states the package may be in, each a package that was reported written or the base.
struct Model {
    std::vector<Bytes> may;

    // A command ran on one of them; `transitions` holds what it makes of each state it was
    // tried on, and whether it reports that done.
    struct Transition {
        Bytes from;
        bool done = false;
        Bytes to;
    };
    void Ran(bool reportedDone, const std::vector<Transition>& transitions) {
        if (!reportedDone) {
            return;  // a command that failed or only read leaves the package as it found it
        }
        std::vector<Bytes> next;
        for (const Transition& transition : transitions) {
            if (transition.done && Allows(transition.from)) {
                next.push_back(transition.to);
            }
        }
        may = std::move(next);
    }
    bool Allows(const Bytes& bytes) const {
        return std::find(may.begin(), may.end(), bytes) != may.end();
    }
};

class CommandSequenceTest : public testing::TestWithParam<std::tuple<Change, Then>> {
  protected:
    void SetUp() override {
        std::vector<test::ZipMember> members = {
            {"Zor/", {}},
            {"Zor/readme.txt", test::PatternBytes(3000, 7)},
            {"AUTO1.INS", test::ToBytes("[Setup]\r\nold=1\r\n")},
            {"Setup.ini", test::PatternBytes(1500, 9)}};
        base_ = test::MakePackage(test::MakeZip(members));
        // A later release keeps every earlier byte of the archive's members: a journal of the
        // base proves against it.
        members.push_back({"Zor/patch.bin", test::PatternBytes(2000, 11)});
        ASSERT_TRUE(test::WriteBytes(release_, test::MakePackage(test::MakeZip(members))));
        ASSERT_TRUE(test::WriteBytes(script_, test::PatternBytes(5000, 3)));
        ASSERT_EQ(symlink("package.exe", link_.c_str()), 0);
    }

    int RunChange() {
        return std::get<Change>(GetParam()) == Change::InsertInPlace
                   ? InsertFileIntoPackage(package_.c_str(), script_.c_str(), "new.ins", nullptr,
                                           prompter_)
                   : RemoveMemberFromPackage(package_.c_str(), "Setup.ini", nullptr, prompter_);
    }

    // Above 0 when the command reports a package written.
    int RunThen() {
        switch (std::get<Then>(GetParam())) {
            case Then::NewPackageOver:
                return InsertFileIntoPackage(release_.c_str(), script_.c_str(), "new.ins",
                                             package_.c_str(), prompter_);
            case Then::ChangeThroughALink:
                return InsertFileIntoPackage(link_.c_str(), script_.c_str(), "linked.ins", nullptr,
                                             prompter_);
            case Then::Reader: {
                PackageContents contents;
                std::string problem;
                EXPECT_TRUE(ReadPackageContents(package_.c_str(), contents, problem)) << problem;
                return 0;
            }
            case Then::SameChangeAgain:
                return RunChange();
        }
        return 0;
    }

    // The package holds `bytes` and nothing stands beside it but the inputs.
    bool Reset(const Bytes& bytes) {
        for (const std::string& name : scratch_.Entries()) {
            const std::string path = scratch_.File(name);
            if (path != script_ && path != release_ && path != link_) {
                test::DeletePath(path);
            }
        }
        return test::WriteBytes(package_, bytes);
    }

    void KillChangeAt(int64_t step) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            platform::fault::Arm(step, platform::fault::Action::ExitProcess, kKilledExit);
            RunChange();
            std::_Exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kKilledExit) << status;
    }

    test::ScratchDir scratch_{access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr};
    std::string package_ = scratch_.File("package.exe");
    std::string release_ = scratch_.File("release.exe");
    std::string link_ = scratch_.File("link.exe");
    std::string script_ = scratch_.File("auto1.ins");
    Bytes base_;
    SilentPrompter prompter_;
};

TEST_P(CommandSequenceTest, EveryReportedChangeSurvives) {
    ASSERT_TRUE(Reset(base_));
    const int64_t operations = test::CountOperations([&] { return RunChange(); });
    const std::vector<Bytes> killed = {base_, test::ReadBytes(package_)};
    std::vector<Model::Transition> transitions;
    for (const Bytes& from : killed) {
        ASSERT_TRUE(Reset(from));
        const bool done = RunThen() > 0;
        transitions.push_back({from, done, test::ReadBytes(package_)});
    }
    ASSERT_TRUE(transitions[0].done || std::get<Then>(GetParam()) == Then::Reader);
    int reportedDone = 0;
    for (int64_t step = 1; step <= operations; ++step) {
        SCOPED_TRACE("change killed at operation " + std::to_string(step));
        ASSERT_TRUE(Reset(base_));
        KillChangeAt(step);
        Model model{killed};
        const bool done = RunThen() > 0;
        reportedDone += done;
        model.Ran(done, transitions);
        RecoveryReport report;
        EXPECT_NE(RecoverPackage(package_.c_str(), &report), Recovery::Failed);
        EXPECT_TRUE(model.Allows(test::ReadBytes(package_)))
            << "the package is none of the " << model.may.size() << " states allowed"
            << (done ? " after the second command reported done" : "");
        if (HasFailure()) {
            return;
        }
    }
    // The sweep tried the second command's writes, not only its refusals.
    EXPECT_TRUE(reportedDone > 0 || std::get<Then>(GetParam()) == Then::Reader);
}

const char* const kChangeNames[] = {"Insert", "Remove"};
const char* const kThenNames[] = {"ThenNewPackageOver", "ThenChangeThroughALink", "ThenReader",
                                  "ThenSameChangeAgain"};

void PrintTo(Change change, std::ostream* out) {
    *out << kChangeNames[static_cast<int>(change)];
}

void PrintTo(Then then, std::ostream* out) {
    *out << kThenNames[static_cast<int>(then)];
}

std::string SequenceName(const testing::TestParamInfo<std::tuple<Change, Then>>& info) {
    return std::string(kChangeNames[static_cast<int>(std::get<Change>(info.param))]) +
           kThenNames[static_cast<int>(std::get<Then>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, CommandSequenceTest,
    testing::Combine(testing::Values(Change::InsertInPlace, Change::RemoveInPlace),
                     testing::Values(Then::NewPackageOver, Then::ChangeThroughALink, Then::Reader,
                                     Then::SameChangeAgain)),
    SequenceName);

}  // namespace
}  // namespace package
#endif
