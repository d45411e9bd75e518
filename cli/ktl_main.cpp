// ktl: the package engine on the command line, for scripted use.
#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "cli/message_text.h"
#include "package/insert_file.h"
#include "package/member_name.h"
#include "package/package_archive.h"
#include "package/package_inspect.h"
#include "platform/filesystem.h"
#include "platform/multibyte.h"

namespace {

constexpr int kExitUsage = 64;
constexpr const char* kVersion = "ktl 1.0.0";

constexpr const char* kUsage =
    "usage: ktl insert PACKAGE FILE [-o NEW_PACKAGE] [-n MEMBER_NAME] [--yes | --no]\n"
    "       ktl list PACKAGE\n"
    "       ktl verify PACKAGE\n"
    "       ktl --help | --version\n"
    "\n"
    "insert  adds FILE to the install package as a new deflated member and seals the\n"
    "        package again: in place, or as NEW_PACKAGE with -o. The member takes the\n"
    "        file's own name unless -n names it. --yes or --no answers the question asked\n"
    "        of a damaged package; without them ktl asks, or takes No when standard input\n"
    "        is not a terminal.\n"
    "list    prints every member of the package's member archive, one a line, as stored.\n"
    "verify  checks the package checksum, the image end, the end record and every member.\n"
    "\n"
    "Exit status: 0 success; 1 failed; 2 damaged package not continued; 3 a member of that\n"
    "name exists; 4 the output package cannot be created; 64 usage error.\n";

// Whether someone can answer a question on standard input. On Windows the NUL device passes
// _isatty, so only a real console counts.
bool StandardInputIsTerminal() {
#ifdef _WIN32
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
#else
    return isatty(0) != 0;
#endif
}

int Usage(const char* problem) {
    std::fprintf(stderr, "ktl: %s\n%s", problem, kUsage);
    return kExitUsage;
}

enum class Answer { Ask, Yes, No };

class TerminalPrompter : public package::InsertPrompter {
  public:
    explicit TerminalPrompter(Answer answer) : answer_(answer) {}

    bool AskYesNo(int messageId) override {
        if (answer_ != Answer::Ask) {
            return answer_ == Answer::Yes;
        }
        if (!StandardInputIsTerminal()) {
            return false;
        }
        std::fprintf(stderr, "%s [y/N] ", cli::EnglishMessage(messageId));
        std::fflush(stderr);
        char line[16] = {};
        if (std::fgets(line, sizeof(line), stdin) == nullptr) {
            return false;
        }
        return line[0] == 'y' || line[0] == 'Y';
    }

    // The refusal is reported in the single failure line that follows.
    void ShowStop(int messageId) override { refusal_ = cli::EnglishMessage(messageId); }

    const std::string& Refusal() const { return refusal_; }

  private:
    Answer answer_;
    std::string refusal_;
};

std::string Quoted(const char* text) {
    return std::string("\"") + text + "\"";
}

std::string ArchiveFailure(int error, const char* package, const char* file) {
    switch (static_cast<package::ArchiveError>(error)) {
        case package::ArchiveError::CannotReadSource:
            return "cannot read " + Quoted(file);
        case package::ArchiveError::NoEndRecord:
            return Quoted(package) + " holds no ZIP end record behind its image";
        case package::ArchiveError::BadDirectory:
            return "the member archive directory of " + Quoted(package) + " is damaged";
        case package::ArchiveError::TooManyEntries:
            return Quoted(package) + " already holds 65535 members";
        case package::ArchiveError::TooLarge:
            return "adding " + Quoted(file) + " would make the package 4 GiB or larger";
        case package::ArchiveError::CompressorFailed:
            return "the compressor failed on " + Quoted(file);
        default:
            return "cannot write the temporary copy of the member archive of " + Quoted(package);
    }
}

std::string InsertFailure(const package::InsertDetail& detail, const TerminalPrompter& prompter,
                          const char* package, const char* file, const char* output) {
    using package::InsertStep;
    const char* written = output != nullptr ? output : package;
    switch (detail.step) {
        case InsertStep::BadArguments:
            return "a path or the member name is too long (259 bytes at most), or the member "
                   "name is empty, rooted, names a drive or holds a \"..\" component";
        case InsertStep::OpenPackage:
            return "cannot open or read " + Quoted(package);
        case InsertStep::Declined:
            return Quoted(package) + " is damaged (its checksum is not zero); not continued";
        case InsertStep::Recover:
            return "an earlier change to " + Quoted(package) +
                   " was interrupted and cannot be rolled back (is it read-only?)";
        case InsertStep::NotAnImage:
            return Quoted(package) +
                   " is not a 32-bit PE executable image, or its headers are "
                   "damaged";
        case InsertStep::NoOverlay:
            return Quoted(package) + " holds no member archive behind its image";
        case InsertStep::BadArchive:
            return Quoted(package) +
                   " is refused: " + package::DescribeArchiveFault(detail.archiveFault);
        case InsertStep::OutOfMemory:
            return "not enough memory";
        case InsertStep::Duplicate:
            return prompter.Refusal();
        case InsertStep::AddMember:
            return ArchiveFailure(detail.archiveError, package, file);
        case InsertStep::Rebuild:
            return "cannot write " + Quoted(written);
        case InsertStep::CreateOutput:
            return output != nullptr ? "cannot create " + Quoted(output)
                                     : "cannot create a new file beside " + Quoted(package);
        case InsertStep::None:
            break;
    }
    return "failed";
}

int Insert(int argc, char** argv) {
    const char* positional[2] = {};
    int positionalCount = 0;
    const char* output = nullptr;
    const char* member = nullptr;
    Answer answer = Answer::Ask;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-o") == 0 || std::strcmp(arg, "-n") == 0) {
            if (i + 1 >= argc) {
                return Usage("an option lacks its value");
            }
            (arg[1] == 'o' ? output : member) = argv[++i];
        } else if (std::strcmp(arg, "--yes") == 0 || std::strcmp(arg, "--no") == 0) {
            Answer given = arg[2] == 'y' ? Answer::Yes : Answer::No;
            if (answer != Answer::Ask && answer != given) {
                return Usage("--yes and --no exclude each other");
            }
            answer = given;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return Usage("unknown option");
        } else if (positionalCount < 2) {
            positional[positionalCount++] = arg;
        } else {
            return Usage("too many arguments");
        }
    }
    if (positionalCount != 2) {
        return Usage("insert needs PACKAGE and FILE");
    }
    const char* packagePath = positional[0];
    const char* filePath = positional[1];
    if (member == nullptr) {
        member = package::MemberNameFromPath(filePath);
    }
    TerminalPrompter prompter(answer);
    package::InsertDetail detail;
    package::InsertResult result =
        package::InsertFileIntoPackage(packagePath, filePath, member, output, prompter, &detail);
    if (result < 0) {
        std::fprintf(stderr, "ktl: cannot insert %s into %s: %s\n", Quoted(filePath).c_str(),
                     Quoted(packagePath).c_str(),
                     InsertFailure(detail, prompter, packagePath, filePath, output).c_str());
        return -result;
    }
    const bool inPlace =
        output == nullptr || output[0] == '\0' || platform::SamePathText(output, packagePath);
    std::printf("inserted %s as member \"%s\" into %s (%d bytes rebuilt)\n",
                Quoted(filePath).c_str(), member, Quoted(inPlace ? packagePath : output).c_str(),
                result);
    return 0;
}

int List(int argc, char** argv) {
    if (argc != 1) {
        return Usage("list needs exactly one PACKAGE");
    }
    package::PackageContents contents;
    std::string problem;
    if (!package::ReadPackageContents(argv[0], contents, problem)) {
        std::fprintf(stderr, "ktl: cannot list %s: %s\n", Quoted(argv[0]).c_str(), problem.c_str());
        return 1;
    }
    for (const package::PackageMember& member : contents.members) {
        std::fwrite(member.name.data(), 1, member.name.size(), stdout);
        std::fputc('\n', stdout);
    }
    return 0;
}

int Verify(int argc, char** argv) {
    if (argc != 1) {
        return Usage("verify needs exactly one PACKAGE");
    }
    package::PackageContents contents;
    std::string problem;
    if (!package::VerifyPackage(argv[0], contents, problem)) {
        std::fprintf(stderr, "ktl: %s is not a sound package: %s\n", Quoted(argv[0]).c_str(),
                     problem.c_str());
        return 1;
    }
    std::printf("%s: sealed; image of %u bytes; %zu members; all intact\n", argv[0],
                contents.overlayOffset, contents.members.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    platform::InitMultibyteText();
    if (argc < 2) {
        return Usage("no command given");
    }
    const char* command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (std::strcmp(command, "--version") == 0) {
        std::puts(kVersion);
        return 0;
    }
    int status = 0;
    if (std::strcmp(command, "insert") == 0) {
        status = Insert(argc - 2, argv + 2);
    } else if (std::strcmp(command, "list") == 0) {
        status = List(argc - 2, argv + 2);
    } else if (std::strcmp(command, "verify") == 0) {
        status = Verify(argc - 2, argv + 2);
    } else {
        return Usage("unknown command");
    }
    if (std::fflush(stdout) != 0 && status == 0) {
        std::fprintf(stderr, "ktl: cannot write to standard output\n");
        return 1;
    }
    return status;
}
