#include "cli/seal_command.h"

#include <cstdio>
#include <string>

#include "cli/command_report.h"
#include "cli/failure_text.h"
#include "cli/usage_text.h"
#include "package/open_for_change.h"
#include "package/seal_package.h"
#include "platform/crypto.h"

namespace cli {

int SealCommand(int argc, char** argv) {
    Arguments args;
    if (int usage = ParseOrRefuse(argc, argv, kSealSyntax, args)) {
        return usage;
    }
    const char* packagePath = args.operands[0];
    const bool inPlace = package::ChangesInPlace(packagePath, args.output);
    const char* written = inPlace ? packagePath : args.output;
    CommandReport report("seal", args.json);
    report.Text("package", packagePath);
    report.Text("output", written);
    report.Fields().Field("in_place", inPlace);

    package::SealDetail detail;
    package::SealRefusal refusal = package::SealRefusal::None;
    const package::InsertResult result =
        package::SealSignedPackage(packagePath, args.output, detail, refusal);
    TellRecovery(detail.change.recovery, packagePath);
    if (result < 0) {
        const std::string reason = refusal != package::SealRefusal::None
                                       ? detail.problem + "; nothing was written"
                                       : InsertFailure(detail.change, std::string(), packagePath,
                                                       packagePath, args.output, false);
        return report.Fail(-result == 2 ? 1 : -result,
                           "cannot seal " + Quoted(packagePath) + ": " + reason);
    }
    if (!report.Json()) {
        if (!detail.changed) {
            std::printf("%s is sealed already: nothing was changed%s\n",
                        Quoted(packagePath).c_str(),
                        inPlace ? "" : ("; copied to " + Quoted(written)).c_str());
        } else {
            std::printf("sealed %s: its checksum is zero again, and no signed byte changed\n",
                        Quoted(written).c_str());
        }
        return 0;
    }
    JsonWriter& json = report.Fields();
    json.Field("changed", detail.changed);
    uint64_t size = 0;
    std::string sha256;
    if (platform::HashFile(written, platform::DigestAlgorithm::Sha256, &size, &sha256)) {
        json.Field("size", size);
        json.Field("sha256", sha256);
    }
    return report.Succeed();
}

}  // namespace cli
