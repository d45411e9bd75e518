#include "cli/listing_commands.h"

#include <cstdio>
#include <string>

#include "cli/command_report.h"
#include "cli/failure_text.h"
#include "cli/json_member.h"
#include "cli/usage_text.h"
#include "package/package_archive.h"
#include "package/package_inspect.h"

namespace cli {
namespace {

const char* MethodLabel(uint16_t method, char (&number)[8]) {
    switch (method) {
        case package::kStoredMethod:
            return "stored";
        case package::kDeflateMethod:
            return "deflated";
    }
    std::snprintf(number, sizeof(number), "%u", static_cast<unsigned>(method));
    return number;
}

void ReportMembers(CommandReport& report, const package::PackageContents& contents) {
    JsonWriter& json = report.Fields();
    json.Key("members");
    json.BeginArray();
    for (const package::PackageMember& member : contents.members) {
        WriteMemberOf(json, member);
    }
    json.EndArray();
}

}  // namespace

int ListCommand(int argc, char** argv) {
    Arguments args;
    if (int usage = ParseOrRefuse(argc, argv, kListSyntax, args)) {
        return usage;
    }
    const char* packagePath = args.operands[0];
    CommandReport report("list", args.json);
    report.Text("package", packagePath);
    package::PackageContents contents;
    std::string problem;
    const bool read = package::ReadPackageContents(packagePath, contents, problem);
    TellRecovery(contents.recovery, packagePath);
    if (!read) {
        return report.Fail(
            1, "cannot list " + Quoted(packagePath) + ": " + InspectFailure(contents, problem));
    }
    if (report.Json()) {
        ReportMembers(report, contents);
        return report.Succeed();
    }
    for (const package::PackageMember& member : contents.members) {
        if (args.longList) {
            // Fixed widths: the name always begins in column 41, whatever it holds.
            char number[8];
            std::printf("%-8s %10lu %10lu %08lx ", MethodLabel(member.method, number),
                        static_cast<unsigned long>(member.compressedSize),
                        static_cast<unsigned long>(member.uncompressedSize),
                        static_cast<unsigned long>(member.crc32));
        }
        std::fwrite(member.name.data(), 1, member.name.size(), stdout);
        std::fputc('\n', stdout);
    }
    return 0;
}

int VerifyCommand(int argc, char** argv) {
    Arguments args;
    if (int usage = ParseOrRefuse(argc, argv, kVerifySyntax, args)) {
        return usage;
    }
    const char* packagePath = args.operands[0];
    CommandReport report("verify", args.json);
    report.Text("package", packagePath);
    package::PackageContents contents;
    std::string problem;
    const bool sound = package::VerifyPackage(packagePath, contents, problem);
    TellRecovery(contents.recovery, packagePath);
    if (!sound) {
        return report.Fail(1, Quoted(packagePath) +
                                  " is not a sound package: " + InspectFailure(contents, problem));
    }
    if (report.Json()) {
        report.Fields().Field("size", contents.size);
        report.Fields().Field("image_end", uint64_t{contents.overlayOffset});
        ReportMembers(report, contents);
        return report.Succeed();
    }
    std::printf("%s: sealed; image of %u bytes; %zu members; all intact\n", packagePath,
                contents.overlayOffset, contents.members.size());
    return 0;
}

}  // namespace cli
