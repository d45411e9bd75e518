#include "cli/usage_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cli/command_report.h"

namespace cli {

const CommandSyntax kInsertSyntax = {
    "insert", kOutput | kMemberName | kAnswer | kReplace | kQuiet | kDryRun | kJson, 2,
    "PACKAGE and FILE",
    "ktl insert PACKAGE FILE [-o NEW_PACKAGE] [-n MEMBER_NAME] [--yes | --no] [--replace]\n"
    "                  [--dry-run] [--quiet] [--json]"};
const CommandSyntax kRemoveSyntax = {
    "remove", kOutput | kAnswer | kQuiet | kDryRun | kJson, 2, "PACKAGE and MEMBER",
    "ktl remove PACKAGE MEMBER [-o NEW_PACKAGE] [--yes | --no] [--dry-run] [--quiet]\n"
    "                  [--json]"};
const CommandSyntax kExtractSyntax = {"extract", kOutput | kJson, 2, "PACKAGE and MEMBER",
                                      "ktl extract PACKAGE MEMBER [-o FILE] [--json]"};
const CommandSyntax kListSyntax = {"list", kLong | kJson, 1, "one PACKAGE",
                                   "ktl list PACKAGE [--long] [--json]"};
const CommandSyntax kVerifySyntax = {"verify", kJson, 1, "one PACKAGE",
                                     "ktl verify PACKAGE [--json]"};
const CommandSyntax kInfoSyntax = {"info", kJson, 1, "one PACKAGE", "ktl info PACKAGE [--json]"};
const CommandSyntax kSealSyntax = {"seal", kOutput | kJson, 1, "one PACKAGE",
                                   "ktl seal PACKAGE [-o NEW_PACKAGE] [--json]"};

namespace {

constexpr const char* kHelpText =
    "usage: ktl insert PACKAGE FILE [-o NEW_PACKAGE] [-n MEMBER_NAME] [--yes | --no] "
    "[--replace]\n"
    "                  [--dry-run] [--quiet] [--json]\n"
    "       ktl remove PACKAGE MEMBER [-o NEW_PACKAGE] [--yes | --no] [--dry-run] [--quiet]\n"
    "                  [--json]\n"
    "       ktl extract PACKAGE MEMBER [-o FILE] [--json]\n"
    "       ktl list PACKAGE [--long] [--json]\n"
    "       ktl verify PACKAGE [--json]\n"
    "       ktl info PACKAGE [--json]\n"
    "       ktl seal PACKAGE [-o NEW_PACKAGE] [--json]\n"
    "       ktl record PACKAGE SCRIPT [--silent | --no-silent]    (Windows)\n"
    "       ktl --help | --version\n"
    "\n"
    "insert  adds FILE to the install package as a new deflated member and seals the\n"
    "        package again: in place, or as NEW_PACKAGE with -o. The member takes the\n"
    "        file's own name unless -n names it. --yes or --no answers the question asked\n"
    "        of a damaged package; without them ktl asks, or takes No when standard input\n"
    "        is not a terminal. --replace puts the file in the place of a member of the\n"
    "        same name instead of refusing it. A signed package is changed with a warning:\n"
    "        the new package cannot keep the signature.\n"
    "remove  takes MEMBER out of the package and seals it again, in place or as\n"
    "        NEW_PACKAGE; the other members' records stay byte for byte.\n"
    "extract writes the bytes of MEMBER to FILE, or to standard output, checking its CRC.\n"
    "list    prints every member of the package's member archive, one a line, as stored;\n"
    "        with --long also its method, compressed size, size and CRC-32.\n"
    "verify  checks the package checksum, the image end, the end record and every member.\n"
    "info    tells the seal, the image end, the archive's span, the member count, the\n"
    "        install scripts (auto*.ins) with their Silence setting, and warns of more\n"
    "        than one script and of a digital signature.\n"
    "seal    makes a signed package's checksum zero again without touching a signed\n"
    "        byte (through the CheckSum field, which the signature leaves out), in place\n"
    "        or as NEW_PACKAGE; only while the signature is intact.\n"
    "record  runs the package's installer to record SCRIPT (\".ins\" added when missing),\n"
    "        as the dialog records it, and marks it for a silent installation unless\n"
    "        --no-silent; it needs administrator rights and a computer without Zor.\n"
    "\n"
    "--dry-run  makes every check of insert or remove and tells what would be written\n"
    "           (output, bytes written, new size, the member added or removed), writing\n"
    "           nothing: no journal, no partial file, no output. It exits as the change\n"
    "           would for every refusal found before writing; a journal left beside the\n"
    "           package by an interrupted change is not rolled back but refused (1).\n"
    "--json     prints exactly one JSON object on standard output, for success and failure\n"
    "           alike, with \"status\" and, on failure, \"error\"; extract needs -o FILE with it.\n"
    "           Notices and progress stay on standard error.\n"
    "--quiet    keeps the progress of insert and remove silent; it is shown on standard\n"
    "           error when that is a terminal.\n"
    "\n"
    "MEMBER matches without regard to case, with / and \\ alike.\n"
    "Exit status: 0 success; 1 failed; 2 damaged package not continued; 3 a member of that\n"
    "name exists; 4 the output cannot be created; 5 no member of that name; record: 6 Zor\n"
    "is installed; 7 the installer cannot be started; 8 the package or the script is\n"
    "unusable; 9 the recording request cannot be written; 64 usage error.\n";

}  // namespace

const char* HelpText() {
    return kHelpText;
}

int RefuseCommandLine(const std::string& problem) {
    std::fprintf(stderr, "ktl: %s\n%s", problem.c_str(), kHelpText);
    return kExitUsage;
}

namespace {

// Edits (insertions, deletions, changes and swaps of neighbours) that turn `a` into `b`.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

int RefuseUnknownCommand(const char* command, const char* const* known, size_t count, bool json) {
    const std::string typed = command;
    const char* nearest = nullptr;
    size_t best = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t distance = EditDistance(typed, known[i]);
        // Close: a slip or two of the fingers, not another word.
        if (distance <= 2 && distance * 2 < std::strlen(known[i]) &&
            (nearest == nullptr || distance < best)) {
            nearest = known[i];
            best = distance;
        }
    }
    std::string problem = "unknown command \"" + typed + "\"";
    if (nearest != nullptr) {
        problem += ": did you mean \"" + std::string(nearest) + "\"?";
    } else {
        problem += "; the commands are";
        for (size_t i = 0; i < count; ++i) {
            problem += std::string(i == 0 ? " " : ", ") + known[i];
        }
        problem += " (ktl --help tells more)";
    }
    if (json) {
        CommandReport report(command, true);
        return report.Fail(kExitUsage, problem);
    }
    std::fprintf(stderr, "ktl: %s\n", problem.c_str());
    return kExitUsage;
}

int RefuseArguments(const CommandSyntax& syntax, const std::string& problem, bool json) {
    if (json) {
        CommandReport report(syntax.name, true);
        return report.Fail(kExitUsage, problem);
    }
    std::fprintf(stderr, "ktl: %s\nusage: %s\n(ktl --help tells every command and option)\n",
                 problem.c_str(), syntax.synopsis);
    return kExitUsage;
}

int ParseOrRefuse(int argc, char** argv, const CommandSyntax& syntax, Arguments& args) {
    const std::string problem = ParseArguments(argc, argv, syntax, args);
    return problem.empty() ? 0 : RefuseArguments(syntax, problem, AsksForJson(argc, argv, syntax));
}

}  // namespace cli
