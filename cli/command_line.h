// The arguments of ktl's package commands: which options a command takes, and what is wrong
// with a command line that does not fit them.
#pragma once

#include <string>

namespace cli {

enum class Answer { Ask, Yes, No };

enum Option : unsigned {
    kOutput = 1,
    kMemberName = 2,
    kAnswer = 4,
    kReplace = 8,
    kLong = 16,
    kQuiet = 32,
    kDryRun = 64,
    kJson = 128,
};

// What a command takes, for parsing and for the line of usage a mistake is answered with.
struct CommandSyntax {
    const char* name;
    unsigned options;
    int operandCount;
    const char* operands;  // as the usage names them: "PACKAGE and FILE"
    const char* synopsis;  // "ktl insert PACKAGE FILE [-o NEW_PACKAGE] ..."
};

struct Arguments {
    const char* operands[2] = {};
    int operandCount = 0;
    const char* output = nullptr;
    const char* member = nullptr;
    Answer answer = Answer::Ask;
    bool replace = false;
    bool longList = false;
    bool quiet = false;
    bool dryRun = false;
    bool json = false;
};

// Whether --json stands among arguments the command takes it in, so that even a usage error
// can be answered in JSON.
bool AsksForJson(int argc, char** argv, const CommandSyntax& syntax);

// Fills `args` from the words after the command. Empty when they fit; else what is wrong, with
// the option or word at fault named.
std::string ParseArguments(int argc, char** argv, const CommandSyntax& syntax, Arguments& args);

}  // namespace cli
