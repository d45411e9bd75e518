// libFuzzer target: removing members from a package, and replacing one with a file, to a new
// package file and in place, with a prompter that answers as the input says. A success must
// leave a sealed package whose image is unchanged and whose member archive holds exactly the
// members it should, the kept ones byte for byte; a failure must leave the package byte for
// byte as it was, no file beside it and no temporary file behind. Removing a name no member has
// must say so and change nothing.
//
// Input: a flags byte, a choice byte, then the body.
//   bit 0     the body is the whole package (image headers fuzzed too); clear: a fixed image
//             followed by the body
//   bit 1     in place; clear: to a new package file beside the package
//   bit 2     answer Yes when asked whether to go on with a damaged package
//   bit 3     seal the package first (pad bytes and checksum word), so it is not damaged
//   bit 4     replace the member with a file (an insert that takes its place); clear: remove it
//   choice bits 0-2  the member name (kAskedNames)
//   choice bits 3-4  the file a replacement inserts (see MakeSourceFiles)
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "package/insert_file.h"
#include "package/member_rewrite.h"
#include "res/message_ids.h"
#include "tests/fuzz/append_check.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/package_input.h"
#include "tests/fuzz/rewrite_check.h"
#include "tests/fuzz/zip_reader.h"

namespace {

using fuzzcheck::ArchiveView;
using fuzzcheck::Bytes;
using fuzzcheck::Hex;
using fuzzcheck::ImageWalk;

std::string g_packageFolder;
std::string g_tempFolder;
std::string g_packagePath;
std::string g_outputPath;
std::vector<fuzzcheck::SourceFile> g_sources;
Bytes g_image;

struct Operation {
    bool replace;
    std::string name;
    const fuzzcheck::SourceFile& source;

    // The entries the operation takes out behind this end record: for a removal every member
    // of the name, directories too; for a replacement the file members of the name.
    std::vector<size_t> Taken(const ArchiveView& view) const {
        return fuzzcheck::MatchingEntries(view.walk, name, !replace);
    }
};

// What a success must have written behind `view`: the old archive rewritten without the taken
// members, or for a replacement with none to take, the new member appended. The pad before the
// checksum word is judged too. `*length` receives the archive's length without the pad.
std::string CheckBehind(const Operation& op, const ArchiveView& view, const Bytes& overlay,
                        const Bytes& region, uint32_t imageEnd, uint64_t* length) {
    const std::vector<size_t> taken = op.Taken(view);
    std::string found;
    if (taken.empty() && !op.replace) {
        return "no member is named \"" + op.name + "\" behind the end record at " +
               Hex(view.end.at);
    }
    if (taken.empty()) {
        found = fuzzcheck::CheckAppended(overlay, view.end, view.walk, op.name, op.source.content,
                                         region, length);
    } else {
        const fuzzcheck::AddedMember added{op.name, op.source.content};
        found = fuzzcheck::CheckRewritten(overlay, view, taken, op.replace ? &added : nullptr,
                                          region, length);
    }
    if (!found.empty()) {
        return found;
    }
    const uint64_t pad = region.size() - *length;
    const bool zeros =
        std::all_of(region.begin() + *length, region.end(), [](uint8_t b) { return b == 0; });
    if (pad > 3 || (imageEnd + region.size()) % 4 != 0 || !zeros) {
        return Hex(pad) + " bytes lie between the archive and the checksum word";
    }
    return {};
}

// A refusal, or a removal that found no member: judged against what our reader finds.
void JudgeFailure(const fuzzcheck::Judge& judge, const Operation& op,
                  const fuzzcheck::PackageView& seen, bool declined, package::InsertResult result,
                  const std::string& outcome) {
    if (result == package::kNoSuchMember) {
        bool sound = false;
        bool everyOneHasIt = true;
        for (const ArchiveView& view : seen.views) {
            if (view.soundness.Sound()) {
                sound = true;
                everyOneHasIt = everyOneHasIt && !op.Taken(view).empty();
            }
        }
        if (op.replace) {
            judge.Find("rewrite.no-such-member-on-replace", outcome);
        } else if (!sound) {
            judge.Find("rewrite.no-such-member-unsound",
                       outcome + ": the member archive does not add up, yet it was searched");
        } else if (everyOneHasIt) {
            judge.Find("rewrite.false-no-such-member",
                       outcome + ": \"" + op.name + "\" is in the archive");
        }
    }
    if (!seen.Clear() || declined) {
        return;
    }
    const std::vector<size_t> taken = op.Taken(seen.views[0]);
    if (taken.empty() && !op.replace) {
        if (result != package::kNoSuchMember) {
            judge.Find("rewrite.absent-name", outcome + ", a name no member has");
        }
        return;
    }
    // Members move only in a rewrite, and only whole records can.
    const std::string records =
        taken.empty() ? std::string() : fuzzcheck::JudgeLocalRecords(seen.overlay, seen.views[0]);
    if (records.empty()) {
        judge.Find("rewrite.refused-sound", outcome + " for a sound package");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string folder = fuzzcheck::MakeWorkFolder("ktl-rewrite-fuzz");
    g_packageFolder = fuzzcheck::MakeSubfolder(folder, "package");
    g_tempFolder = fuzzcheck::MakeSubfolder(folder, "temp");
    g_packagePath = g_packageFolder + "/ZorSetup.exe";
    g_outputPath = g_packageFolder + "/Custom.exe";
    g_sources = fuzzcheck::MakeSourceFiles(folder, "auto1.ins");
    g_image = fuzzcheck::MakeFixedImage();
    // The engine makes any temporary file here, where a leftover can be seen.
    setenv("TMPDIR", g_tempFolder.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    fuzzcheck::ArmFileSizeCap();
    fuzzcheck::ClearFileSizeCapHit();
    fuzzcheck::EmptyFolder(g_packageFolder);
    fuzzcheck::EmptyFolder(g_tempFolder);
    const fuzzcheck::Judge judge(data, size);

    const uint8_t flags = data[0];
    const bool wholePackage = flags & 1;
    const bool inPlace = flags & 2;
    const bool answerYes = flags & 4;
    const bool seal = flags & 8;
    const Operation op{(flags & 16) != 0, fuzzcheck::kAskedNames[data[1] & 7],
                       g_sources[(data[1] >> 3) & 3]};

    const Bytes package = fuzzcheck::MakePackage(g_image, data + 2, size - 2, wholePackage, seal);
    if (!fuzzcheck::WriteWholeFile(g_packagePath, package)) {
        return 0;
    }
    const fuzzcheck::PackageView seen = fuzzcheck::ViewPackage(package);

    fuzzcheck::ScriptedPrompter prompter(answerYes);
    package::InsertDetail detail;
    const char* output = inPlace ? nullptr : g_outputPath.c_str();
    const package::InsertResult result =
        op.replace ? package::InsertFileIntoPackage(g_packagePath.c_str(), op.source.path.c_str(),
                                                    op.name.c_str(), output, prompter, &detail,
                                                    package::SameName::Replace)
                   : package::RemoveMemberFromPackage(g_packagePath.c_str(), op.name.c_str(),
                                                      output, prompter, &detail);
    const std::string outcome = std::string(op.replace ? "replacing" : "removing") + " \"" +
                                op.name + "\": result " + std::to_string(result) + " (step " +
                                std::to_string(static_cast<int>(detail.step)) + ", archive fault " +
                                std::to_string(static_cast<int>(detail.archiveFault)) + ")";

    if (fuzzcheck::FileSizeCapHit()) {
        judge.Find("write-past-cap", outcome + " for a package of " + Hex(package.size()) +
                                         " bytes wrote past " + Hex(fuzzcheck::kFileSizeCap));
        return 0;
    }
    if (!fuzzcheck::ListFolder(g_tempFolder).empty()) {
        judge.Find("rewrite.temp-file-left",
                   outcome + " left " + fuzzcheck::JoinNames(fuzzcheck::ListFolder(g_tempFolder)));
    }
    const std::vector<int> expectedQuestions =
        seen.damaged ? std::vector<int>{IDS_PACKAGE_DAMAGED_CONTINUE} : std::vector<int>{};
    if (prompter.questions != expectedQuestions) {
        judge.Find("rewrite.question", std::to_string(prompter.questions.size()) +
                                           " questions for a package that " +
                                           (seen.damaged ? "does not sum to 0" : "sums to 0"));
    }
    const bool declined = seen.damaged && !answerYes;
    if ((result == package::kInsertDeclined) != declined) {
        judge.Find("rewrite.declined", outcome + (declined ? " after No" : " without a No"));
    }
    if (!prompter.stops.empty()) {
        judge.Find("rewrite.stop-message",
                   outcome + " with " + std::to_string(prompter.stops.size()) + " stop messages");
    }
    const bool succeeded = result >= 0;
    const std::vector<std::string> expectedFiles =
        succeeded && !inPlace ? std::vector<std::string>{"Custom.exe", "ZorSetup.exe"}
                              : std::vector<std::string>{"ZorSetup.exe"};
    const std::vector<std::string> files = fuzzcheck::ListFolder(g_packageFolder);
    if (files != expectedFiles) {
        judge.Find(succeeded ? "rewrite.files-after-success" : "rewrite.file-left",
                   outcome + " left " + fuzzcheck::JoinNames(files) + " beside the package");
    }

    Bytes now;
    const uint64_t reasonable = package.size() + op.source.content.size() + (1u << 20);
    const bool packageRead = fuzzcheck::ReadWholeFile(g_packagePath, now, reasonable);
    if (!succeeded) {
        if (!packageRead || now != package) {
            judge.Find("rewrite.changed-on-failure", outcome + " changed the package");
        }
        JudgeFailure(judge, op, seen, declined, result, outcome);
        return 0;
    }

    if (!inPlace && (!packageRead || now != package)) {
        judge.Find("rewrite.changed-input", outcome +
                                                ": a new package was written and the old "
                                                "one changed");
    }
    if (seen.image.verdict == ImageWalk::Verdict::NotAnImage) {
        judge.Find("rewrite.accepted-non-image/" + seen.image.code,
                   outcome + ": " + seen.image.why);
        return 0;
    }
    const uint32_t n = seen.OverlayOffset();
    if (!seen.hasOverlay) {
        judge.Find("rewrite.accepted-no-overlay",
                   outcome + ": the image ends at " + Hex(n) + " of " + Hex(package.size()));
        return 0;
    }
    const auto sound = std::find_if(seen.views.begin(), seen.views.end(),
                                    [](const ArchiveView& v) { return v.soundness.Sound(); });
    if (sound == seen.views.end()) {
        const std::string code =
            seen.views.empty() ? std::string("no-end-record") : seen.views[0].soundness.code;
        judge.Find(
            "rewrite.accepted-unsound/" + code,
            outcome + " for a member archive that does not add up: " +
                (seen.views.empty() ? std::string("no end record") : seen.views[0].soundness.text));
        return 0;
    }
    Bytes out;
    const std::string outPath = inPlace ? g_packagePath : g_outputPath;
    if (!fuzzcheck::ReadWholeFile(outPath, out, reasonable)) {
        judge.Find("rewrite.wrong-output", outcome + ": the written package of " +
                                               Hex(fuzzcheck::FileLength(outPath)) +
                                               " bytes cannot be read back");
        return 0;
    }
    if (out.size() % 4 != 0 || fuzzcheck::WordSum(out.data(), out.size()) != 0) {
        judge.Find("rewrite.not-sealed", outcome + ": the written package of " + Hex(out.size()) +
                                             " bytes sums to " +
                                             Hex(fuzzcheck::WordSum(out.data(), out.size())));
    }
    if (out.size() < n + 4 || !std::equal(package.begin(), package.begin() + n, out.begin())) {
        judge.Find("rewrite.image-changed", outcome + ": the image's " + Hex(n) + " bytes changed");
        return 0;
    }
    const Bytes region(out.begin() + n, out.end() - 4);
    uint64_t length = 0;
    const std::string problem =
        fuzzcheck::CheckBehindAnySoundView(seen.views, nullptr, [&](const ArchiveView& view) {
            return CheckBehind(op, view, seen.overlay, region, n, &length);
        });
    if (!problem.empty()) {
        judge.Find("rewrite.wrong-output", outcome + ": " + problem);
        return 0;
    }
    const int64_t count = inPlace ? length : n + length;
    if (result != count) {
        judge.Find("rewrite.result-count",
                   outcome + ", " + std::to_string(count) + " bytes were written");
    }
    return 0;
}
