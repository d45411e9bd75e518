// Why a command failed, in words: one line that names the file (and member) concerned.
#pragma once

#include <string>

#include "package/insert_file.h"
#include "package/journal.h"
#include "package/member_extract.h"
#include "package/package_inspect.h"

namespace cli {

std::string Quoted(const char* text);

// What became of an interrupted earlier change, told whatever the command: one line on
// standard error, before the command's own outcome.
void TellRecovery(const package::RecoveryReport& report, const char* package);

// From now on, a wait for another process's change to a package is told on standard error,
// once per wait, so that a command that seems to hang says why.
void TellLockWaits();

// Why an insert or a removal failed; `file` is the file inserted or the member removed, and a
// dry run refuses a journal it leaves alone.
std::string InsertFailure(const package::InsertDetail& detail, const std::string& refusal,
                          const char* package, const char* file, const char* output, bool dryRun);

// The same for a removal, which checks no more of the member name than that it fits and is not
// empty.
std::string RemoveFailure(const package::InsertDetail& detail, const char* package,
                          const char* member, const char* output, bool dryRun);

std::string ExtractFailure(const package::ExtractDetail& detail, const char* package,
                           const char* output);

// Why a package could not be read by list, verify or info, `problem` as the engine puts it.
std::string InspectFailure(const package::PackageContents& contents, const std::string& problem);

}  // namespace cli
