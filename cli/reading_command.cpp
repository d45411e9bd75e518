#include "cli/reading_command.h"

#include "cli/failure_text.h"
#include "cli/usage_text.h"

namespace cli {

int ReadingCommand::Begin(int argc, char** argv, const char* (*refuse)(const Arguments&)) {
    if (int usage = ParseOrRefuse(argc, argv, syntax_, args_)) {
        return usage;
    }
    if (const char* problem = refuse != nullptr ? refuse(args_) : nullptr) {
        return RefuseArguments(syntax_, problem, args_.json);
    }
    report_.emplace(syntax_.name, args_.json);
    report_->Text("package", Package());
    return 0;
}

int ReadingCommand::Read(const std::string& failing, const package::RecoveryReport& recovery,
                         const std::function<int(std::string& reason)>& read) {
    std::string reason;
    const int status = read(reason);
    TellRecovery(recovery, Package());
    return status == 0 ? 0 : report_->Fail(status, failing + ": " + reason);
}

int ReadingCommand::Inspect(const std::string& failing, package::PackageContents& contents,
                            const std::function<bool(std::string& problem)>& look) {
    return Read(failing, contents.recovery, [&](std::string& reason) {
        std::string problem;
        if (look(problem)) {
            return 0;
        }
        reason = InspectFailure(contents, problem);
        return 1;
    });
}

}  // namespace cli
