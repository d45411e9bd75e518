#include "cli/listing_commands.h"

#include <cstdio>
#include <string>

#include "cli/command_report.h"
#include "cli/failure_text.h"
#include "cli/json_member.h"
#include "cli/reading_command.h"
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
    ReadingCommand command(kListSyntax);
    if (int usage = command.Begin(argc, argv)) {
        return usage;
    }
    const char* packagePath = command.Package();
    package::PackageContents contents;
    if (int failed = command.Inspect(
            "cannot list " + Quoted(packagePath), contents, [&](std::string& problem) {
                return package::ReadPackageContents(packagePath, contents, problem);
            })) {
        return failed;
    }
    CommandReport& report = command.Report();
    if (report.Json()) {
        ReportMembers(report, contents);
        return report.Succeed();
    }
    for (const package::PackageMember& member : contents.members) {
        if (command.Args().longList) {
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
    ReadingCommand command(kVerifySyntax);
    if (int usage = command.Begin(argc, argv)) {
        return usage;
    }
    const char* packagePath = command.Package();
    package::PackageContents contents;
    if (int failed = command.Inspect(
            Quoted(packagePath) + " is not a sound package", contents, [&](std::string& problem) {
                return package::VerifyPackage(packagePath, contents, problem);
            })) {
        return failed;
    }
    CommandReport& report = command.Report();
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
