#include "cli/command_line.h"

#include <cstring>

namespace cli {
namespace {

bool Is(const char* arg, const char* option) {
    return std::strcmp(arg, option) == 0;
}

// The option words each flag stands for; -o and -n take the next word as their value.
struct OptionWord {
    const char* word;
    Option option;
};

constexpr OptionWord kOptionWords[] = {
    {"-o", kOutput},     {"-n", kMemberName},     {"--yes", kAnswer},
    {"--no", kAnswer},   {"--replace", kReplace}, {"--long", kLong},
    {"--quiet", kQuiet}, {"--dry-run", kDryRun},  {"--json", kJson},
};

// The option a word names, when the command takes it; 0 otherwise.
unsigned TakenOption(const char* arg, unsigned options) {
    for (const OptionWord& known : kOptionWords) {
        if (Is(arg, known.word)) {
            return (options & known.option) != 0 ? unsigned{known.option} : 0u;
        }
    }
    return 0;
}

std::string Quoted(const char* text) {
    return std::string("\"") + text + "\"";
}

}  // namespace

bool AsksForJson(int argc, char** argv, const CommandSyntax& syntax) {
    if ((syntax.options & kJson) == 0) {
        return false;
    }
    for (int i = 0; i < argc; ++i) {
        if (Is(argv[i], "--json")) {
            return true;
        }
        // A value of -o or -n spelt "--json" is a file or member name.
        if ((Is(argv[i], "-o") || Is(argv[i], "-n")) && TakenOption(argv[i], syntax.options)) {
            ++i;
        }
    }
    return false;
}

std::string ParseArguments(int argc, char** argv, const CommandSyntax& syntax, Arguments& args) {
    const std::string command = syntax.name;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        const unsigned option = TakenOption(arg, syntax.options);
        switch (option) {
            case kOutput:
            case kMemberName:
                if (i + 1 >= argc) {
                    return std::string(arg) +
                           (option == kOutput ? " needs a file name" : " needs a member name");
                }
                (option == kOutput ? args.output : args.member) = argv[++i];
                continue;
            case kAnswer: {
                const Answer given = Is(arg, "--yes") ? Answer::Yes : Answer::No;
                if (args.answer != Answer::Ask && args.answer != given) {
                    return "--yes and --no exclude each other";
                }
                args.answer = given;
                continue;
            }
            case kReplace:
                args.replace = true;
                continue;
            case kLong:
                args.longList = true;
                continue;
            case kQuiet:
                args.quiet = true;
                continue;
            case kDryRun:
                args.dryRun = true;
                continue;
            case kJson:
                args.json = true;
                continue;
            default:
                break;
        }
        if (arg[0] == '-' && arg[1] != '\0') {
            return "unknown option " + std::string(arg) + " for " + command;
        }
        if (args.operandCount == syntax.operandCount) {
            return command + " takes " + syntax.operands + " only; " + Quoted(arg) +
                   " is one too many";
        }
        args.operands[args.operandCount++] = arg;
    }
    if (args.operandCount != syntax.operandCount) {
        return command + " needs " + syntax.operands;
    }
    return std::string();
}

}  // namespace cli
