// What ktl says about its own use: the help, and the answer to a command line it cannot take.
#pragma once

#include <string>

#include "cli/command_line.h"

namespace cli {

constexpr int kExitUsage = 64;

extern const CommandSyntax kInsertSyntax;
extern const CommandSyntax kRemoveSyntax;
extern const CommandSyntax kExtractSyntax;
extern const CommandSyntax kListSyntax;
extern const CommandSyntax kVerifySyntax;
extern const CommandSyntax kInfoSyntax;
extern const CommandSyntax kSealSyntax;

// Every command, option and exit status.
const char* HelpText();

// A mistake in the whole command line (no command, an unknown one): the problem and the help
// on standard error. Returns the usage status.
int RefuseCommandLine(const std::string& problem);

// A command that is none of `known` (`count` names): one line naming it and the nearest known
// command when one is close, or else every command; with `json` (`--json` anywhere among the
// arguments) the JSON answer every mistake gets. Returns the usage status.
int RefuseUnknownCommand(const char* command, const char* const* known, size_t count, bool json);

// A mistake in a command's arguments: the problem and the command's usage line on standard
// error, or with `json` the JSON answer on standard output alone. Returns the usage status.
int RefuseArguments(const CommandSyntax& syntax, const std::string& problem, bool json);

// Parses the arguments, refusing them as above when they do not fit: 0 when they do, else the
// usage status.
int ParseOrRefuse(int argc, char** argv, const CommandSyntax& syntax, Arguments& args);

}  // namespace cli
