#include "cli/extract_command.h"

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "cli/command_report.h"
#include "cli/failure_text.h"
#include "cli/json_member.h"
#include "cli/reading_command.h"
#include "cli/usage_text.h"
#include "package/insert_file.h"
#include "package/member_extract.h"
#include "platform/crypto.h"

namespace cli {
namespace {

class StandardOutputSink : public package::MemberSink {
  public:
    bool Write(const uint8_t* data, uint32_t size) override {
        return std::fwrite(data, 1, size, stdout) == size;
    }
};

package::ExtractResult ExtractToStandardOutput(const char* packagePath, const char* member,
                                               package::ExtractDetail& detail) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    StandardOutputSink sink;
    package::ExtractResult result = package::ExtractMember(packagePath, member, sink, &detail);
    if (result == 0 && std::fflush(stdout) != 0) {
        detail.step = package::ExtractStep::WriteOutput;
        result = package::kInsertFailed;
    }
    return result;
}

// The file written, read back, and the member it came from.
int SucceedWithFile(CommandReport& report, const char* output,
                    const package::ExtractDetail& detail) {
    uint64_t size = 0;
    std::string sha256;
    if (!platform::HashFile(output, platform::DigestAlgorithm::Sha256, &size, &sha256)) {
        return report.Fail(1, "cannot read back " + Quoted(output) + " for its SHA-256");
    }
    report.Fields().Field("size", size);
    report.Fields().Field("sha256", sha256);
    report.Fields().Key("extracted");
    WriteMemberOf(report.Fields(), detail.member);
    return report.Succeed();
}

// Standard output carries the JSON object, so the bytes need a file of their own.
const char* JsonWithoutFile(const Arguments& args) {
    return args.json && args.output == nullptr ? "extract --json needs -o FILE for the bytes"
                                               : nullptr;
}

}  // namespace

int ExtractCommand(int argc, char** argv) {
    ReadingCommand command(kExtractSyntax);
    if (int usage = command.Begin(argc, argv, JsonWithoutFile)) {
        return usage;
    }
    const char* packagePath = command.Package();
    const Arguments& args = command.Args();
    const char* member = args.operands[1];
    CommandReport& report = command.Report();
    report.Text("member", member);
    report.Text("output", args.output);
    package::ExtractDetail detail;
    const std::string failing =
        "cannot extract member " + Quoted(member) + " from " + Quoted(packagePath);
    if (int failed = command.Read(failing, detail.recovery, [&](std::string& reason) {
            const package::ExtractResult result =
                args.output != nullptr
                    ? package::ExtractMemberToFile(packagePath, member, args.output, &detail)
                    : ExtractToStandardOutput(packagePath, member, detail);
            if (result >= 0) {
                return 0;
            }
            reason = ExtractFailure(detail, packagePath, args.output);
            return -result;
        })) {
        return failed;
    }
    if (report.Json()) {
        return SucceedWithFile(report, args.output, detail);
    }
    if (args.output != nullptr) {
        std::printf("extracted member %s from %s to %s\n", Quoted(member).c_str(),
                    Quoted(packagePath).c_str(), Quoted(args.output).c_str());
    }
    return 0;
}

}  // namespace cli
