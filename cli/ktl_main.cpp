// ktl: the package engine on the command line, for scripted use.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "cli/message_text.h"
#include "cli/record_command.h"
#include "cli/system_error.h"
#include "ktl_version.h"
#include "package/insert_file.h"
#include "package/member_extract.h"
#include "package/member_name.h"
#include "package/member_rewrite.h"
#include "package/open_for_change.h"
#include "package/package_archive.h"
#include "package/package_inspect.h"
#include "platform/filesystem.h"
#include "platform/multibyte.h"

namespace {

constexpr int kExitUsage = 64;
constexpr const char* kVersion = "ktl " KTL_VERSION_TEXT;

constexpr const char* kUsage =
    "usage: ktl insert PACKAGE FILE [-o NEW_PACKAGE] [-n MEMBER_NAME] [--yes | --no] "
    "[--replace] [--quiet]\n"
    "       ktl remove PACKAGE MEMBER [-o NEW_PACKAGE] [--yes | --no] [--quiet]\n"
    "       ktl extract PACKAGE MEMBER [-o FILE]\n"
    "       ktl list PACKAGE [--long]\n"
    "       ktl verify PACKAGE\n"
    "       ktl record PACKAGE SCRIPT [--silent | --no-silent]    (Windows)\n"
    "       ktl --help | --version\n"
    "\n"
    "insert  adds FILE to the install package as a new deflated member and seals the\n"
    "        package again: in place, or as NEW_PACKAGE with -o. The member takes the\n"
    "        file's own name unless -n names it. --yes or --no answers the question asked\n"
    "        of a damaged package; without them ktl asks, or takes No when standard input\n"
    "        is not a terminal. --replace puts the file in the place of a member of the\n"
    "        same name instead of refusing it.\n"
    "remove  takes MEMBER out of the package and seals it again, in place or as\n"
    "        NEW_PACKAGE; the other members' records stay byte for byte.\n"
    "extract writes the bytes of MEMBER to FILE, or to standard output, checking its CRC.\n"
    "list    prints every member of the package's member archive, one a line, as stored;\n"
    "        with --long also its method, compressed size, size and CRC-32.\n"
    "verify  checks the package checksum, the image end, the end record and every member.\n"
    "record  runs the package's installer to record SCRIPT (\".ins\" added when missing),\n"
    "        as the dialog records it, and marks it for a silent installation unless\n"
    "        --no-silent; it needs administrator rights and a computer without Zor.\n"
    "\n"
    "insert and remove show their progress on standard error when it is a terminal;\n"
    "--quiet keeps it silent.\n"
    "\n"
    "MEMBER matches without regard to case, with / and \\ alike.\n"
    "Exit status: 0 success; 1 failed; 2 damaged package not continued; 3 a member of that\n"
    "name exists; 4 the output cannot be created; 5 no member of that name; record: 6 Zor\n"
    "is installed; 7 the installer cannot be started; 8 the package or the script is\n"
    "unusable; 9 the recording request cannot be written; 64 usage error.\n";

constexpr const char* kNameTooLongOrEmpty =
    "a path or the member name is too long (259 bytes at most), or the member name is empty";

enum class StandardStream { Input, Error };

// Whether someone can answer a question on standard input, or watch progress on standard error.
// On Windows the NUL device passes _isatty, so only a real console counts.
bool IsTerminal(StandardStream stream) {
#ifdef _WIN32
    DWORD mode = 0;
    return GetConsoleMode(
               GetStdHandle(stream == StandardStream::Input ? STD_INPUT_HANDLE : STD_ERROR_HANDLE),
               &mode) != 0;
#else
    return isatty(stream == StandardStream::Input ? 0 : 2) != 0;
#endif
}

int Usage(const char* problem) {
    std::fprintf(stderr, "ktl: %s\n%s", problem, kUsage);
    return kExitUsage;
}

enum class Answer { Ask, Yes, No };

class TerminalPrompter : public package::InsertPrompter {
  public:
    TerminalPrompter(Answer answer, bool quiet)
        : answer_(answer), showProgress_(!quiet && IsTerminal(StandardStream::Error)) {}

    // One line on a terminal, rewritten in place, and cleared when the work is done.
    void ShowProgress(uint64_t done, uint64_t toDo) override {
        if (!showProgress_ || toDo == 0) {
            return;
        }
        if (done >= toDo) {
            std::fprintf(stderr, "\r%40s\r", "");
        } else {
            std::fprintf(stderr, "\rktl: %3u%% of %llu MiB",
                         static_cast<unsigned>(done * 100 / toDo),
                         static_cast<unsigned long long>((toDo + (1u << 20) - 1) >> 20));
        }
        std::fflush(stderr);
    }

    bool AskYesNo(int messageId) override {
        if (answer_ != Answer::Ask) {
            return answer_ == Answer::Yes;
        }
        if (!IsTerminal(StandardStream::Input)) {
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
    bool showProgress_;
    std::string refusal_;
};

std::string Quoted(const char* text) {
    return std::string("\"") + text + "\"";
}

// `written` is the file the change was writing: the output, or the package in place.
std::string ArchiveFailure(int error, const char* package, const char* file, const char* written) {
    switch (static_cast<package::ArchiveError>(error)) {
        case package::ArchiveError::CannotReadSource:
            return "cannot read " + Quoted(file);
        case package::ArchiveError::NoEndRecord:
            return Quoted(package) + " holds no ZIP end record behind its image";
        case package::ArchiveError::BadDirectory:
            return "the member archive directory of " + Quoted(package) + " is damaged";
        case package::ArchiveError::TooManyEntries:
            return Quoted(package) + " already holds " +
                   std::to_string(package::kMostArchiveEntries) + " members, the most it can take";
        case package::ArchiveError::TooLarge:
            return "adding " + Quoted(file) + " would make the package 4 GiB or larger";
        case package::ArchiveError::CompressorFailed:
            return "the compressor failed on " + Quoted(file);
        default:
            return "cannot write " + Quoted(written);
    }
}

// What became of an interrupted earlier change, told whatever the command: one line on standard
// error, before the command's own outcome.
void TellRecovery(const package::RecoveryReport& report, const char* package) {
    switch (report.outcome) {
        case package::Recovery::RolledBack:
            std::fprintf(stderr,
                         "ktl: %s: an interrupted change was rolled back: the package is as it "
                         "was before it\n",
                         Quoted(package).c_str());
            break;
        case package::Recovery::Discarded:
            std::fprintf(stderr,
                         "ktl: %s: the journal of an interrupted change was never finished and was "
                         "discarded: the package was not touched\n",
                         Quoted(package).c_str());
            break;
        default:
            break;
    }
}

// A journal set aside: it names both files, so that the user can tell which is which.
std::string StaleJournalRefusal(const package::RecoveryReport& report) {
    return "the journal " + Quoted(report.journalPath) +
           " beside it was written for another package: nothing was rolled back, and the "
           "journal is kept as " +
           Quoted(report.setAsidePath);
}

// The refusals every command that opens a package shares; the insert and the extract name
// these steps alike. Nothing when `step` is another.
template <class Step>
std::optional<std::string> PackageRefusal(Step step, const char* package,
                                          package::ArchiveFault fault,
                                          const package::RecoveryReport& recovery) {
    switch (step) {
        case Step::Recover:
            return "an earlier change to " + Quoted(package) +
                   " was interrupted and cannot be rolled back (is it read-only?)";
        case Step::StaleJournal:
            return StaleJournalRefusal(recovery);
        case Step::OpenPackage:
            return "cannot open or read " + Quoted(package);
        case Step::NotAnImage:
            return Quoted(package) + " is not a PE executable image, or its headers are damaged";
        case Step::NoOverlay:
            return Quoted(package) + " holds no member archive behind its image";
        case Step::BadArchive:
            return Quoted(package) + " is refused: " + package::DescribeArchiveFault(fault);
        case Step::NoSuchMember:
            return "no member of that name";
        case Step::OutOfMemory:
            return "not enough memory";
        default:
            return std::nullopt;
    }
}

std::string InsertStepFailure(const package::InsertDetail& detail, const TerminalPrompter& prompter,
                              const char* package, const char* file, const char* output) {
    using package::InsertStep;
    const char* written = detail.path[0] != '\0' ? detail.path
                          : output != nullptr    ? output
                                                 : package;
    if (auto refusal = PackageRefusal(detail.step, package, detail.archiveFault, detail.recovery)) {
        return *refusal;
    }
    switch (detail.step) {
        case InsertStep::BadArguments:
            return std::string(kNameTooLongOrEmpty) +
                   ", rooted, names a drive or holds a \"..\" component";
        case InsertStep::Declined:
            return Quoted(package) + " is damaged (its checksum is not zero); not continued";
        case InsertStep::Duplicate:
            return prompter.Refusal();
        case InsertStep::AddMember:
            return ArchiveFailure(detail.archiveError, package, file, written);
        case InsertStep::Rebuild:
            return "cannot write " + Quoted(written);
        case InsertStep::CreateOutput:
            return output != nullptr ? "cannot create " + Quoted(output)
                                     : "cannot create a new file beside " + Quoted(package);
        default:
            break;
    }
    return "failed";
}

// The step that failed and, where a system call failed, the system's reason.
std::string InsertFailure(const package::InsertDetail& detail, const TerminalPrompter& prompter,
                          const char* package, const char* file, const char* output) {
    std::string text = InsertStepFailure(detail, prompter, package, file, output);
    if (detail.systemError != 0) {
        text += ": " + cli::SystemErrorText(detail.systemError);
    }
    return text;
}

// The arguments of a command; which options it takes is the command's to say.
struct Arguments {
    const char* positional[2] = {};
    int positionalCount = 0;
    const char* output = nullptr;
    const char* member = nullptr;
    Answer answer = Answer::Ask;
    bool replace = false;
    bool longList = false;
    bool quiet = false;
};

enum Option : unsigned {
    kOutput = 1,
    kMemberName = 2,
    kAnswer = 4,
    kReplace = 8,
    kLong = 16,
    kQuiet = 32,
};

// 0 when the arguments fit the command's options and count, else the usage status.
int ParseArguments(int argc, char** argv, unsigned options, int positionalCount, const char* needs,
                   Arguments& args) {
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        const bool output = std::strcmp(arg, "-o") == 0;
        if ((output && (options & kOutput)) ||
            (std::strcmp(arg, "-n") == 0 && (options & kMemberName))) {
            if (i + 1 >= argc) {
                return Usage("an option lacks its value");
            }
            (output ? args.output : args.member) = argv[++i];
        } else if ((std::strcmp(arg, "--yes") == 0 || std::strcmp(arg, "--no") == 0) &&
                   (options & kAnswer)) {
            Answer given = arg[2] == 'y' ? Answer::Yes : Answer::No;
            if (args.answer != Answer::Ask && args.answer != given) {
                return Usage("--yes and --no exclude each other");
            }
            args.answer = given;
        } else if (std::strcmp(arg, "--replace") == 0 && (options & kReplace)) {
            args.replace = true;
        } else if (std::strcmp(arg, "--long") == 0 && (options & kLong)) {
            args.longList = true;
        } else if (std::strcmp(arg, "--quiet") == 0 && (options & kQuiet)) {
            args.quiet = true;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return Usage("unknown option");
        } else if (args.positionalCount < positionalCount) {
            args.positional[args.positionalCount++] = arg;
        } else {
            return Usage("too many arguments");
        }
    }
    return args.positionalCount == positionalCount ? 0 : Usage(needs);
}

int Insert(int argc, char** argv) {
    Arguments args;
    if (int usage = ParseArguments(argc, argv, kOutput | kMemberName | kAnswer | kReplace | kQuiet,
                                   2, "insert needs PACKAGE and FILE", args)) {
        return usage;
    }
    const char* packagePath = args.positional[0];
    const char* filePath = args.positional[1];
    const char* output = args.output;
    const char* member =
        args.member != nullptr ? args.member : package::MemberNameFromPath(filePath);
    TerminalPrompter prompter(args.answer, args.quiet);
    package::InsertDetail detail;
    package::InsertResult result = package::InsertFileIntoPackage(
        packagePath, filePath, member, output, prompter, &detail,
        args.replace ? package::SameName::Replace : package::SameName::Refuse);
    TellRecovery(detail.recovery, packagePath);
    if (result < 0) {
        std::fprintf(stderr, "ktl: cannot insert %s into %s: %s\n", Quoted(filePath).c_str(),
                     Quoted(packagePath).c_str(),
                     InsertFailure(detail, prompter, packagePath, filePath, output).c_str());
        return -result;
    }
    std::printf(
        "inserted %s as member \"%s\" into %s", Quoted(filePath).c_str(), member,
        Quoted(package::ChangesInPlace(packagePath, output) ? packagePath : output).c_str());
    if (detail.replaced != 0) {
        std::printf(", replacing %u member%s of that name", static_cast<unsigned>(detail.replaced),
                    detail.replaced == 1 ? "" : "s");
    }
    std::printf(" (%d bytes rebuilt)\n", result);
    return 0;
}

int Remove(int argc, char** argv) {
    Arguments args;
    if (int usage = ParseArguments(argc, argv, kOutput | kAnswer | kQuiet, 2,
                                   "remove needs PACKAGE and MEMBER", args)) {
        return usage;
    }
    const char* packagePath = args.positional[0];
    const char* member = args.positional[1];
    TerminalPrompter prompter(args.answer, args.quiet);
    package::InsertDetail detail;
    package::InsertResult result =
        package::RemoveMemberFromPackage(packagePath, member, args.output, prompter, &detail);
    TellRecovery(detail.recovery, packagePath);
    if (result < 0) {
        // Remove checks no more of the name than that it fits and is not empty.
        const std::string reason =
            detail.step == package::InsertStep::BadArguments
                ? kNameTooLongOrEmpty
                : InsertFailure(detail, prompter, packagePath, member, args.output);
        std::fprintf(stderr, "ktl: cannot remove member %s from %s: %s\n", Quoted(member).c_str(),
                     Quoted(packagePath).c_str(), reason.c_str());
        return -result;
    }
    std::printf(
        "removed member %s from %s (%d bytes rebuilt)\n", Quoted(member).c_str(),
        Quoted(package::ChangesInPlace(packagePath, args.output) ? packagePath : args.output)
            .c_str(),
        result);
    return 0;
}

std::string ExtractFailure(const package::ExtractDetail& detail, const char* package,
                           const char* output) {
    using package::ExtractStep;
    if (auto refusal = PackageRefusal(detail.step, package, detail.archiveFault, detail.recovery)) {
        return *refusal;
    }
    switch (detail.step) {
        case ExtractStep::BadArguments:
            return kNameTooLongOrEmpty;
        case ExtractStep::DirectoryMember:
            return "it is a directory member, which holds no bytes";
        case ExtractStep::Encrypted:
            return "the member is encrypted";
        case ExtractStep::UnsupportedMethod:
            return "its compression method " + std::to_string(detail.method) +
                   " is neither stored (0) nor deflated (8)";
        case ExtractStep::DamagedMember:
            return "its local header or its compressed data is damaged";
        case ExtractStep::CrcMismatch:
            return "its bytes do not match its CRC-32 or size";
        case ExtractStep::CreateOutput:
            return "cannot create " + Quoted(output != nullptr ? output : "") +
                   " (it must not be the package)";
        case ExtractStep::WriteOutput:
            return output != nullptr ? "cannot write " + Quoted(output)
                                     : std::string("cannot write to standard output");
        default:
            break;
    }
    return "failed";
}

class StandardOutputSink : public package::MemberSink {
  public:
    bool Write(const uint8_t* data, uint32_t size) override {
        return std::fwrite(data, 1, size, stdout) == size;
    }
};

int Extract(int argc, char** argv) {
    Arguments args;
    if (int usage =
            ParseArguments(argc, argv, kOutput, 2, "extract needs PACKAGE and MEMBER", args)) {
        return usage;
    }
    const char* packagePath = args.positional[0];
    const char* member = args.positional[1];
    package::ExtractDetail detail;
    package::ExtractResult result;
    if (args.output != nullptr) {
        result = package::ExtractMemberToFile(packagePath, member, args.output, &detail);
    } else {
#ifdef _WIN32
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        StandardOutputSink sink;
        result = package::ExtractMember(packagePath, member, sink, &detail);
        if (result == 0 && std::fflush(stdout) != 0) {
            detail.step = package::ExtractStep::WriteOutput;
            result = package::kInsertFailed;
        }
    }
    TellRecovery(detail.recovery, packagePath);
    if (result < 0) {
        std::fprintf(stderr, "ktl: cannot extract member %s from %s: %s\n", Quoted(member).c_str(),
                     Quoted(packagePath).c_str(),
                     ExtractFailure(detail, packagePath, args.output).c_str());
        return -result;
    }
    if (args.output != nullptr) {
        std::printf("extracted member %s from %s to %s\n", Quoted(member).c_str(),
                    Quoted(packagePath).c_str(), Quoted(args.output).c_str());
    }
    return 0;
}

const char* MethodLabel(uint16_t method, char (&number)[8]) {
    switch (method) {
        case package::kStoredMethod:
            return "stored";
        case package::kDeflateMethod:
            return "deflated";
    }
    std::snprintf(number, sizeof(number), "%u", static_cast<unsigned>(method));
    return number;
}

std::string InspectProblem(const package::PackageContents& contents, const std::string& problem) {
    return contents.recovery.outcome == package::Recovery::SetAside
               ? StaleJournalRefusal(contents.recovery)
               : problem;
}

int List(int argc, char** argv) {
    Arguments args;
    if (int usage = ParseArguments(argc, argv, kLong, 1, "list needs exactly one PACKAGE", args)) {
        return usage;
    }
    const char* packagePath = args.positional[0];
    package::PackageContents contents;
    std::string problem;
    const bool read = package::ReadPackageContents(packagePath, contents, problem);
    TellRecovery(contents.recovery, packagePath);
    if (!read) {
        std::fprintf(stderr, "ktl: cannot list %s: %s\n", Quoted(packagePath).c_str(),
                     InspectProblem(contents, problem).c_str());
        return 1;
    }
    for (const package::PackageMember& member : contents.members) {
        if (args.longList) {
            // Fixed widths: the name always begins in column 41, whatever it holds.
            char number[8];
            std::printf("%-8s %10lu %10lu %08lx ", MethodLabel(member.method, number),
                        static_cast<unsigned long>(member.compressedSize),
                        static_cast<unsigned long>(member.uncompressedSize),
                        static_cast<unsigned long>(member.crc32));
        }
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
    const bool sound = package::VerifyPackage(argv[0], contents, problem);
    TellRecovery(contents.recovery, argv[0]);
    if (!sound) {
        std::fprintf(stderr, "ktl: %s is not a sound package: %s\n", Quoted(argv[0]).c_str(),
                     InspectProblem(contents, problem).c_str());
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
    } else if (std::strcmp(command, "remove") == 0) {
        status = Remove(argc - 2, argv + 2);
    } else if (std::strcmp(command, "extract") == 0) {
        status = Extract(argc - 2, argv + 2);
    } else if (std::strcmp(command, "list") == 0) {
        status = List(argc - 2, argv + 2);
    } else if (std::strcmp(command, "verify") == 0) {
        status = Verify(argc - 2, argv + 2);
    } else if (std::strcmp(command, "record") == 0) {
        status = cli::RecordCommand(argc - 2, argv + 2);
    } else {
        return Usage("unknown command");
    }
    if (std::fflush(stdout) != 0 && status == 0) {
        std::fprintf(stderr, "ktl: cannot write to standard output\n");
        return 1;
    }
    return status;
}
