// ktl: the package engine on the command line, for scripted use.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "cli/change_commands.h"
#include "cli/extract_command.h"
#include "cli/failure_text.h"
#include "cli/info_command.h"
#include "cli/listing_commands.h"
#include "cli/record_command.h"
#include "cli/seal_command.h"
#include "cli/usage_text.h"
#include "cli/utf8_text.h"
#include "ktl_version.h"
#include "platform/multibyte.h"

namespace {

constexpr const char* kVersion = "ktl " KTL_VERSION_TEXT;

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
};

constexpr Command kCommands[] = {
    {"insert", cli::InsertCommand},   {"remove", cli::RemoveCommand},
    {"extract", cli::ExtractCommand}, {"list", cli::ListCommand},
    {"verify", cli::VerifyCommand},   {"info", cli::InfoCommand},
    {"seal", cli::SealCommand},       {"record", cli::RecordCommand},
};

}  // namespace

// The test build (tests/support/ktl_testing_main.cpp) arms its fault seam first and then runs
// the commands under the name it gives here.
#ifndef KTL_ENTRY_POINT
#define KTL_ENTRY_POINT main
#endif

int KTL_ENTRY_POINT(int argc, char** argv) {
    platform::InitMultibyteText();
    cli::InitTextConversion();
    cli::TellLockWaits();
    if (argc < 2) {
        return cli::RefuseCommandLine("no command given");
    }
    const char* command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
        std::fputs(cli::HelpText(), stdout);
        return 0;
    }
    if (std::strcmp(command, "--version") == 0) {
        std::puts(kVersion);
        return 0;
    }
    for (const Command& known : kCommands) {
        if (std::strcmp(command, known.name) == 0) {
            const int status = known.run(argc - 2, argv + 2);
            if (std::fflush(stdout) != 0 && status == 0) {
                std::fprintf(stderr, "ktl: cannot write to standard output\n");
                return 1;
            }
            return status;
        }
    }
    const char* names[std::size(kCommands)];
    bool json = false;
    for (size_t i = 0; i < std::size(kCommands); ++i) {
        names[i] = kCommands[i].name;
    }
    for (int i = 2; i < argc; ++i) {
        json = json || std::strcmp(argv[i], "--json") == 0;
    }
    return cli::RefuseUnknownCommand(command, names, std::size(kCommands), json);
}
