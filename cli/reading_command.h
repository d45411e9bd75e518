// What ktl's reading commands (list, verify, info, extract) do around their one read of the
// package: the arguments, the report begun with the package's path, what became of an
// interrupted earlier change, and the one line a failed read ends with.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "cli/command_line.h"
#include "cli/command_report.h"
#include "package/package_inspect.h"

namespace cli {

class ReadingCommand {
  public:
    explicit ReadingCommand(const CommandSyntax& syntax) : syntax_(syntax) {}

    // Parses the arguments, refusing also what `refuse` finds wrong in them (null when nothing),
    // and begins the report with the package's path: 0, or the usage status.
    int Begin(int argc, char** argv, const char* (*refuse)(const Arguments&) = nullptr);

    const Arguments& Args() const { return args_; }
    const char* Package() const { return args_.operands[0]; }
    CommandReport& Report() { return *report_; }

    // The one place a reading command reads its package and tells what happened. `read` fills
    // what the command needs, `recovery` among it, and returns 0 or the exit status with
    // `reason` set; a failure ends the report with "`failing`: `reason`". Returns that status.
    int Read(const std::string& failing, const package::RecoveryReport& recovery,
             const std::function<int(std::string& reason)>& read);

    // Read through the engine's look of list, verify or info, which fills `contents`.
    int Inspect(const std::string& failing, package::PackageContents& contents,
                const std::function<bool(std::string& problem)>& look);

  private:
    const CommandSyntax& syntax_;
    Arguments args_;
    std::optional<CommandReport> report_;
};

}  // namespace cli
