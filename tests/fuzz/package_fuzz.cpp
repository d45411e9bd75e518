// libFuzzer target: the insert operation on a whole package, to a new package file and in
// place, with a prompter that answers as the input says. A success must leave a sealed package
// whose image is unchanged and whose member archive holds the old members and the new one; a
// failure must leave the package byte for byte as it was, no file beside it and no temporary
// file behind.
//
// Input: a flags byte, then the body.
//   bit 0     the body is the whole package (image headers fuzzed too); clear: a fixed image
//             followed by the body
//   bit 1     in place; clear: to a new package file beside the package
//   bit 2     answer Yes when asked whether to go on with a damaged package
//   bit 3     seal the package first (pad bytes and checksum word), so it is not damaged
//   bits 4-5  member name: none (the file's own name), "AUTO1.INS", "InstallScript\auto1.ins",
//             "Setup.ini"
//   bits 6-7  the file inserted (see MakeSourceFiles)
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "package/insert_file.h"
#include "res/message_ids.h"
#include "tests/fuzz/append_check.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/image_walk.h"
#include "tests/fuzz/package_input.h"
#include "tests/fuzz/zip_reader.h"

namespace {

using fuzzcheck::Bytes;
using fuzzcheck::Hex;
using fuzzcheck::ImageWalk;

constexpr const char* kSourceName = "auto1.ins";
const char* const kMemberNames[] = {nullptr, "AUTO1.INS", "InstallScript\\auto1.ins", "Setup.ini"};

std::string g_packageFolder;
std::string g_tempFolder;
std::string g_packagePath;
std::string g_outputPath;
std::vector<fuzzcheck::SourceFile> g_sources;
Bytes g_image;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string folder = fuzzcheck::MakeWorkFolder("ktl-package-fuzz");
    g_packageFolder = fuzzcheck::MakeSubfolder(folder, "package");
    g_tempFolder = fuzzcheck::MakeSubfolder(folder, "temp");
    g_packagePath = g_packageFolder + "/ZorSetup.exe";
    g_outputPath = g_packageFolder + "/Custom.exe";
    g_sources = fuzzcheck::MakeSourceFiles(folder, kSourceName);
    g_image = fuzzcheck::MakeFixedImage();
    // The engine makes its temporary archive here, where a leftover can be seen.
    setenv("TMPDIR", g_tempFolder.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
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
    const char* memberName = kMemberNames[(flags >> 4) & 3];
    const fuzzcheck::SourceFile& source = g_sources[(flags >> 6) & 3];
    const std::string name = memberName != nullptr ? memberName : kSourceName;

    const Bytes package = fuzzcheck::MakePackage(g_image, data + 1, size - 1, wholePackage, seal);
    if (!fuzzcheck::WriteWholeFile(g_packagePath, package)) {
        return 0;
    }
    const fuzzcheck::PackageView seen = fuzzcheck::ViewPackage(package);
    const bool damaged = seen.damaged;
    const ImageWalk& image = seen.image;
    const uint32_t n = seen.OverlayOffset();
    const bool hasOverlay = seen.hasOverlay;
    const Bytes& overlay = seen.overlay;
    const std::vector<fuzzcheck::ArchiveView>& views = seen.views;

    fuzzcheck::ScriptedPrompter prompter(answerYes);
    package::InsertDetail detail;
    const package::InsertResult result =
        package::InsertFileIntoPackage(g_packagePath.c_str(), source.path.c_str(), memberName,
                                       inPlace ? nullptr : g_outputPath.c_str(), prompter, &detail);
    const std::string outcome = "result " + std::to_string(result) + " (step " +
                                std::to_string(static_cast<int>(detail.step)) + ", archive error " +
                                std::to_string(detail.archiveError) + ")";

    if (fuzzcheck::FileSizeCapHit()) {
        judge.Find("write-past-cap", "inserting into a package of " + Hex(package.size()) +
                                         " bytes wrote past " + Hex(fuzzcheck::kFileSizeCap));
        return 0;
    }
    if (!fuzzcheck::ListFolder(g_tempFolder).empty()) {
        judge.Find("package.temp-file-left",
                   outcome + " left " + fuzzcheck::JoinNames(fuzzcheck::ListFolder(g_tempFolder)));
    }
    const std::vector<int> expectedQuestions =
        damaged ? std::vector<int>{IDS_PACKAGE_DAMAGED_CONTINUE} : std::vector<int>{};
    if (prompter.questions != expectedQuestions) {
        judge.Find("package.question", std::to_string(prompter.questions.size()) +
                                           " questions for a package that " +
                                           (damaged ? "does not sum to 0" : "sums to 0"));
    }
    const bool declined = damaged && !answerYes;
    if ((result == package::kInsertDeclined) != declined) {
        judge.Find("package.declined", outcome + (declined ? " after No" : " without a No"));
    }
    const std::vector<int> expectedStops = result == package::kInsertDuplicate
                                               ? std::vector<int>{IDS_SAME_NAME_EXISTS}
                                               : std::vector<int>{};
    if (prompter.stops != expectedStops) {
        judge.Find("package.stop-message",
                   outcome + " with " + std::to_string(prompter.stops.size()) + " stop messages");
    }
    const bool succeeded = result >= 0;
    const std::vector<std::string> expectedFiles =
        succeeded && !inPlace ? std::vector<std::string>{"Custom.exe", "ZorSetup.exe"}
                              : std::vector<std::string>{"ZorSetup.exe"};
    const std::vector<std::string> files = fuzzcheck::ListFolder(g_packageFolder);
    if (files != expectedFiles) {
        judge.Find(succeeded ? "package.files-after-success" : "package.file-left",
                   outcome + " left " + fuzzcheck::JoinNames(files) + " beside the package");
    }

    Bytes now;
    const uint64_t reasonable = package.size() + source.content.size() + (1u << 20);
    const bool packageRead = fuzzcheck::ReadWholeFile(g_packagePath, now, reasonable);
    if (!succeeded) {
        if (!packageRead || now != package) {
            judge.Find("package.changed-on-failure", outcome + " changed the package");
        }
        const bool clear =
            seen.Clear() && !fuzzcheck::ListsMember(views[0].walk, name) && !declined;
        if (clear) {
            judge.Find("package.refused-sound", outcome + " for a sound package");
        }
        if (result == package::kInsertDuplicate) {
            bool listed = false;
            for (const fuzzcheck::ArchiveView& view : views) {
                listed = listed || fuzzcheck::ListsMember(view.walk, name);
            }
            if (!listed) {
                judge.Find("package.false-duplicate", "\"" + name + "\" is not in the archive");
            }
        }
        return 0;
    }

    if (!inPlace && (!packageRead || now != package)) {
        judge.Find("package.changed-input", "a new package was written and the old one changed");
    }
    if (image.verdict == ImageWalk::Verdict::NotAnImage) {
        judge.Find("package.accepted-non-image/" + image.code, outcome + ": " + image.why);
        return 0;
    }
    if (!hasOverlay) {
        judge.Find("package.accepted-no-overlay",
                   outcome + ": the image ends at " + Hex(n) + " of " + Hex(package.size()));
        return 0;
    }
    Bytes out;
    const std::string outPath = inPlace ? g_packagePath : g_outputPath;
    const bool outRead = fuzzcheck::ReadWholeFile(outPath, out, reasonable);
    const std::string grownTo = "the package grew from " + Hex(package.size()) + " to " +
                                Hex(fuzzcheck::FileLength(outPath)) + " bytes";
    const Bytes region = out.size() >= n + 4 ? Bytes(out.begin() + n, out.end() - 4) : Bytes();
    const fuzzcheck::ArchiveView* used = fuzzcheck::ViewAppendedTo(views, overlay, region);
    if (used == nullptr || !used->soundness.Sound()) {
        judge.Find("package.accepted-unsound/" +
                       (used == nullptr ? std::string("no-end-record") : used->soundness.code),
                   outcome + " for a member archive that cannot take a member: " +
                       (used == nullptr ? std::string("no end record") : used->soundness.text) +
                       (outRead ? "" : "; " + grownTo));
        return 0;
    }
    if (!outRead) {
        judge.Find("package.wrong-output", grownTo);
        return 0;
    }
    if (out.size() % 4 != 0 || fuzzcheck::WordSum(out.data(), out.size()) != 0) {
        judge.Find("package.not-sealed", "the written package of " + Hex(out.size()) +
                                             " bytes sums to " +
                                             Hex(fuzzcheck::WordSum(out.data(), out.size())));
    }
    if (out.size() < n + 4 || !std::equal(package.begin(), package.begin() + n, out.begin())) {
        judge.Find("package.image-changed", "the image's " + Hex(n) + " bytes changed");
        return 0;
    }
    if (fuzzcheck::ListsMember(used->walk, name)) {
        judge.Find("package.duplicate-accepted", "\"" + name + "\" was already a member");
        return 0;
    }
    uint64_t fitLength = 0;
    std::string problem =
        fuzzcheck::CheckBehindAnySoundView(views, used, [&](const fuzzcheck::ArchiveView& view) {
            std::string found = fuzzcheck::CheckAppended(overlay, view.end, view.walk, name,
                                                         source.content, region, &fitLength);
            if (found.empty()) {
                uint64_t pad = region.size() - fitLength;
                bool zeros = std::all_of(region.begin() + fitLength, region.end(),
                                         [](uint8_t b) { return b == 0; });
                if (pad > 3 || (n + region.size()) % 4 != 0 || !zeros) {
                    found = Hex(pad) + " bytes lie between the archive and the checksum word";
                }
            }
            return found;
        });
    if (!problem.empty()) {
        judge.Find("package.wrong-output", problem);
        return 0;
    }
    const int64_t count = inPlace ? fitLength : n + fitLength;
    if (result != count) {
        judge.Find("package.result-count",
                   outcome + ", " + std::to_string(count) + " bytes were written");
    }
    return 0;
}
