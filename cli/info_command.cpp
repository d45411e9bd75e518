#include "cli/info_command.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_report.h"
#include "cli/failure_text.h"
#include "cli/install_script_text.h"
#include "cli/reading_command.h"
#include "cli/usage_text.h"
#include "cli/utf8_text.h"
#include "package/package_inspect.h"

namespace cli {
namespace {

// A script's Silence setting, as its installation would read it.
struct ScriptSilence {
    bool readable = false;
    std::optional<std::string> value;  // of Silence in [Setup]; nothing without the key
    bool silent = false;
};

ScriptSilence SilenceOf(const package::InstallScriptMember& script) {
    ScriptSilence silence;
    if (!script.problem.empty()) {
        return silence;
    }
    silence.readable = true;
    silence.value = ReadSettingsValue(script.text, "Setup", "Silence");
    silence.silent = AsksForSilence(silence.value);
    return silence;
}

std::string SilenceInWords(const package::InstallScriptMember& script,
                           const ScriptSilence& silence) {
    if (!silence.readable) {
        return "cannot be read: " + script.problem;
    }
    if (!silence.value) {
        return "not silent (no Silence in [Setup])";
    }
    return std::string(silence.silent ? "silent" : "not silent") + " (Silence=" + *silence.value +
           ")";
}

std::vector<std::string> Warnings(const package::PackageInfo& info) {
    std::vector<std::string> warnings;
    if (info.scripts.size() > 1) {
        warnings.push_back("the package holds " + std::to_string(info.scripts.size()) +
                           " install scripts (auto*.ins): an installation runs with one script "
                           "only, so the package holds answers that may never be used");
    }
    if (info.signature.present) {
        warnings.push_back(
            "the image carries a digital signature: a change removes it, and the new package is "
            "unsigned; sign it again, then run \"ktl seal\" on it");
    }
    if (info.contents.checksum != 0) {
        warnings.push_back(
            info.signature.present
                ? (info.check.intact
                       ? "the checksum is not zero, as signing a sealed package leaves it: "
                         "\"ktl seal\" seals it again without touching the signature"
                       : "the checksum is not zero, and the signature does not match the "
                         "package: insert and remove ask before they go on (--yes answers)")
                : "the checksum is not zero: the package is damaged or was changed after it "
                  "was sealed; insert and remove ask before they go on (--yes answers)");
    }
    return warnings;
}

void PrintInfo(const char* packagePath, const package::PackageInfo& info,
               const std::vector<std::string>& warnings) {
    const package::PackageContents& contents = info.contents;
    std::printf("package     %s, %llu bytes\n", Quoted(packagePath).c_str(),
                static_cast<unsigned long long>(contents.size));
    if (contents.checksum == 0) {
        std::printf("seal        sealed: the checksum is 0\n");
    } else {
        std::printf("seal        not sealed: the checksum is 0x%08lX, not 0\n",
                    static_cast<unsigned long>(contents.checksum));
    }
    std::printf("image end   byte %lu\n", static_cast<unsigned long>(info.sectionsEnd));
    std::printf("archive     from byte %lu up to byte %llu (%llu bytes)\n",
                static_cast<unsigned long>(contents.overlayOffset),
                static_cast<unsigned long long>(contents.archiveEnd),
                static_cast<unsigned long long>(contents.archiveEnd - contents.overlayOffset));
    std::printf("members     %zu\n", contents.members.size());
    if (info.signature.present) {
        const package::SignatureCheck& check = info.check;
        std::printf("signature   a certificate table of %lu bytes at byte %lu\n",
                    static_cast<unsigned long>(info.signature.size),
                    static_cast<unsigned long>(info.signature.offset));
        std::printf("            %s%s%s, %u nested\n", check.intact ? "intact" : "not intact: ",
                    check.intact ? "" : check.problem.c_str(),
                    check.digestAlgorithm.empty() ? "" : (", " + check.digestAlgorithm).c_str(),
                    static_cast<unsigned>(check.nested));
        if (!check.signer.empty()) {
            std::printf("            signed by %s\n", check.signer.c_str());
        }
        if (!check.trust.empty()) {
            std::printf("            Windows: %s\n", check.trust.c_str());
        }
    } else {
        std::printf("signature   none\n");
    }
    const char* label = "scripts     ";
    if (info.scripts.empty()) {
        std::printf("%snone (no auto*.ins)\n", label);
    }
    for (const package::InstallScriptMember& script : info.scripts) {
        const std::string& name = contents.members[script.member].name;
        std::printf("%s%s: %s\n", label, name.c_str(),
                    SilenceInWords(script, SilenceOf(script)).c_str());
        label = "            ";
    }
    for (const std::string& warning : warnings) {
        std::printf("warning: %s\n", warning.c_str());
    }
}

void ReportScript(JsonWriter& json, const package::PackageInfo& info,
                  const package::InstallScriptMember& script) {
    const package::PackageMember& member = info.contents.members[script.member];
    const Utf8Text name = MemberNameToUtf8(member.name, member.flags);
    const ScriptSilence silence = SilenceOf(script);
    json.BeginObject();
    json.Field("name", name.text);
    json.Field("name_escaped", !name.converted);
    json.Key("silent");
    if (silence.readable) {
        json.Bool(silence.silent);
    } else {
        json.Null();
    }
    json.Key("silence_value");
    if (silence.value) {
        json.String(Utf8FromAnsi(*silence.value));
    } else {
        json.Null();
    }
    json.Key("problem");
    if (silence.readable) {
        json.Null();
    } else {
        json.String(Utf8FromAnsi(script.problem));
    }
    json.EndObject();
}

void ReportInfo(JsonWriter& json, const package::PackageInfo& info,
                const std::vector<std::string>& warnings) {
    const package::PackageContents& contents = info.contents;
    json.Field("size", contents.size);
    json.Field("checksum", uint64_t{contents.checksum});
    json.Field("sealed", contents.checksum == 0);
    json.Field("image_end", uint64_t{info.sectionsEnd});
    json.Field("archive_start", uint64_t{contents.overlayOffset});
    json.Field("archive_end", contents.archiveEnd);
    json.Field("member_count", uint64_t{contents.members.size()});
    json.Field("signed", info.signature.present);
    json.Key("signature");
    if (info.signature.present) {
        json.BeginObject();
        json.Field("offset", uint64_t{info.signature.offset});
        json.Field("size", uint64_t{info.signature.size});
        const package::SignatureCheck& check = info.check;
        json.Field("digest_algorithm", check.digestAlgorithm);
        json.Field("digest_matches", check.digestMatches);
        json.Field("intact", check.intact);
        json.Field("nested", uint64_t{check.nested});
        if (!check.problem.empty()) {
            json.Field("problem", check.problem);
        }
        if (!check.signer.empty()) {
            json.Field("signer", check.signer);
        }
#ifdef _WIN32
        json.Field("trust", check.trust);
#endif
        json.EndObject();
    } else {
        json.Null();
    }
    json.Key("scripts");
    json.BeginArray();
    for (const package::InstallScriptMember& script : info.scripts) {
        ReportScript(json, info, script);
    }
    json.EndArray();
    json.Key("warnings");
    json.BeginArray();
    for (const std::string& warning : warnings) {
        json.String(warning);
    }
    json.EndArray();
}

}  // namespace

int InfoCommand(int argc, char** argv) {
    ReadingCommand command(kInfoSyntax);
    if (int usage = command.Begin(argc, argv)) {
        return usage;
    }
    const char* packagePath = command.Package();
    package::PackageInfo info;
    if (int failed = command.Inspect("cannot read " + Quoted(packagePath), info.contents,
                                     [&](std::string& problem) {
                                         return package::InspectPackage(packagePath, info, problem);
                                     })) {
        return failed;
    }
    CommandReport& report = command.Report();
    const std::vector<std::string> warnings = Warnings(info);
    if (report.Json()) {
        ReportInfo(report.Fields(), info, warnings);
        return report.Succeed();
    }
    PrintInfo(packagePath, info, warnings);
    return 0;
}

}  // namespace cli
