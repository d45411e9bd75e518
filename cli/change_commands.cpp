#include "cli/change_commands.h"

#include <cstdio>
#include <string>

#include "cli/command_report.h"
#include "cli/failure_text.h"
#include "cli/json_member.h"
#include "cli/terminal_prompter.h"
#include "cli/usage_text.h"
#include "package/insert_file.h"
#include "package/member_name.h"
#include "package/member_rewrite.h"
#include "package/open_for_change.h"
#include "platform/crypto.h"

namespace cli {
namespace {

// What the change was asked to do, as the report gives it before the outcome.
void ReportRequest(CommandReport& report, const Arguments& args, const char* written,
                   bool inPlace) {
    report.Text("output", written);
    report.Fields().Field("in_place", inPlace);
    report.Fields().Field("dry_run", args.dryRun);
}

std::string Plural(size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// The new member in words: "(100 bytes, deflated to 60, CRC-32 1a2b3c4d)".
std::string AddedInWords(const package::PackageMember& added) {
    char words[96];
    std::snprintf(words, sizeof(words), "(%lu bytes, deflated to %lu, CRC-32 %08lx)",
                  static_cast<unsigned long>(added.uncompressedSize),
                  static_cast<unsigned long>(added.compressedSize),
                  static_cast<unsigned long>(added.crc32));
    return words;
}

// The sizes of a dry run's package in words, closing its line.
std::string SizesInWords(const package::InsertDetail& detail) {
    return ": " + std::to_string(detail.bytesWritten) + " bytes would be written, " +
           std::to_string(detail.newSize) + " bytes in all; nothing was written";
}

// The JSON of a change done or measured: the package written (read back from the file, never
// taken from the engine's account of it), the bytes written, the members added and removed.
int SucceedWithChange(CommandReport& report, const Arguments& args, const char* written,
                      const package::InsertDetail& detail) {
    if (!report.Json()) {
        return 0;
    }
    JsonWriter& json = report.Fields();
    uint64_t size = detail.newSize;
    std::string sha256;
    if (!args.dryRun &&
        !platform::HashFile(written, platform::DigestAlgorithm::Sha256, &size, &sha256)) {
        std::fprintf(stderr, "ktl: %s was written but cannot be read back for its SHA-256\n",
                     Quoted(written).c_str());
        size = detail.newSize;
    }
    json.Field("size", size);
    json.Key("sha256");
    if (sha256.empty()) {
        json.Null();
    } else {
        json.String(sha256);
    }
    json.Field("bytes_written", detail.bytesWritten);
    json.Key("added");
    if (detail.added.name.empty()) {
        json.Null();
    } else {
        WriteMemberOf(json, detail.added);
    }
    json.Key("removed");
    json.BeginArray();
    for (const package::PackageMember& member : detail.removed) {
        WriteMemberOf(json, member);
    }
    json.EndArray();
    return report.Succeed();
}

package::Writing WritingOf(const Arguments& args) {
    return args.dryRun ? package::Writing::DryRun : package::Writing::Write;
}

}  // namespace

int InsertCommand(int argc, char** argv) {
    Arguments args;
    if (int usage = ParseOrRefuse(argc, argv, kInsertSyntax, args)) {
        return usage;
    }
    const char* packagePath = args.operands[0];
    const char* filePath = args.operands[1];
    const char* output = args.output;
    const char* member =
        args.member != nullptr ? args.member : package::MemberNameFromPath(filePath);
    const bool inPlace = package::ChangesInPlace(packagePath, output);
    const char* written = inPlace ? packagePath : output;
    CommandReport report("insert", args.json);
    report.Text("package", packagePath);
    report.Text("file", filePath);
    report.Text("member", member);
    ReportRequest(report, args, written, inPlace);

    TerminalPrompter prompter(packagePath, args.answer, args.quiet);
    package::InsertDetail detail;
    const package::InsertResult result = package::InsertFileIntoPackage(
        packagePath, filePath, member, output, prompter, &detail,
        args.replace ? package::SameName::Replace : package::SameName::Refuse, WritingOf(args));
    TellRecovery(detail.recovery, packagePath);
    report.Fields().Field("signed", detail.signature.present);
    if (result < 0) {
        return report.Fail(-result, "cannot insert " + Quoted(filePath) + " into " +
                                        Quoted(packagePath) + ": " +
                                        InsertFailure(detail, prompter.Refusal(), packagePath,
                                                      filePath, output, args.dryRun));
    }
    if (!report.Json()) {
        const std::string replacing =
            detail.replaced == 0
                ? std::string()
                : ", replacing " + Plural(detail.replaced, "member") + " of that name";
        if (args.dryRun) {
            std::printf("dry run: would insert %s as member \"%s\" %s into %s%s%s\n",
                        Quoted(filePath).c_str(), member, AddedInWords(detail.added).c_str(),
                        Quoted(written).c_str(), replacing.c_str(), SizesInWords(detail).c_str());
        } else {
            std::printf("inserted %s as member \"%s\" into %s%s (%d bytes rebuilt)\n",
                        Quoted(filePath).c_str(), member, Quoted(written).c_str(),
                        replacing.c_str(), result);
        }
    }
    return SucceedWithChange(report, args, written, detail);
}

int RemoveCommand(int argc, char** argv) {
    Arguments args;
    if (int usage = ParseOrRefuse(argc, argv, kRemoveSyntax, args)) {
        return usage;
    }
    const char* packagePath = args.operands[0];
    const char* member = args.operands[1];
    const bool inPlace = package::ChangesInPlace(packagePath, args.output);
    const char* written = inPlace ? packagePath : args.output;
    CommandReport report("remove", args.json);
    report.Text("package", packagePath);
    report.Text("member", member);
    ReportRequest(report, args, written, inPlace);

    TerminalPrompter prompter(packagePath, args.answer, args.quiet);
    package::InsertDetail detail;
    const package::InsertResult result = package::RemoveMemberFromPackage(
        packagePath, member, args.output, prompter, &detail, WritingOf(args));
    TellRecovery(detail.recovery, packagePath);
    report.Fields().Field("signed", detail.signature.present);
    if (result < 0) {
        return report.Fail(
            -result, "cannot remove member " + Quoted(member) + " from " + Quoted(packagePath) +
                         ": " +
                         RemoveFailure(detail, packagePath, member, args.output, args.dryRun));
    }
    if (!report.Json()) {
        if (args.dryRun) {
            uint64_t bytes = 0;
            for (const package::PackageMember& removed : detail.removed) {
                bytes += removed.uncompressedSize;
            }
            std::printf("dry run: would remove member %s (%s, %llu bytes) from %s%s\n",
                        Quoted(member).c_str(), Plural(detail.removed.size(), "member").c_str(),
                        static_cast<unsigned long long>(bytes), Quoted(written).c_str(),
                        SizesInWords(detail).c_str());
        } else {
            std::printf("removed member %s from %s (%d bytes rebuilt)\n", Quoted(member).c_str(),
                        Quoted(written).c_str(), result);
        }
    }
    return SucceedWithChange(report, args, written, detail);
}

}  // namespace cli
