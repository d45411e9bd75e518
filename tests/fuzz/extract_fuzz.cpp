// libFuzzer target: taking a member out of a package, into a file and into a sink in memory.
// A success must deliver exactly the bytes our own reader decodes for the first member of that
// name, CRC-32 checked; a failure must leave nothing at the output path. The package is never
// written, whatever the output path names, and no file is left beside it.
//
// Input: a flags byte, then the body.
//   bit 0     the body is the whole package (image headers fuzzed too); clear: a fixed image
//             followed by the body
//   bit 1     seal the package first (pad bytes and checksum word)
//   bit 2     into a file (ExtractMemberToFile); clear: into a sink (ExtractMember)
//   bits 3-4  into a file: a new file beside the package, the package's own path, a symbolic
//             link to the package, a hard link to it; into a sink: one that takes every byte,
//             or one that fails once more than 0, 100 or 4,096 bytes came
//   bits 5-7  the member name (kAskedNames)
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "package/member_extract.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/package_input.h"
#include "tests/fuzz/zip_reader.h"

namespace {

using fuzzcheck::ArchiveView;
using fuzzcheck::Bytes;
using fuzzcheck::Hex;

enum class Output { NewFile, Package, SymbolicLink, HardLink };
constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();
const uint64_t kSinkLimits[] = {kNoLimit, 0, 100, 4096};

std::string g_packageFolder;
std::string g_tempFolder;
std::string g_packagePath;
std::string g_newFilePath;
std::string g_linkPath;
Bytes g_image;

class CollectingSink : public package::MemberSink {
  public:
    explicit CollectingSink(uint64_t limit) : limit_(limit) {}
    bool Write(const uint8_t* data, uint32_t size) override {
        if (size > limit_ - bytes.size()) {
            return false;
        }
        bytes.insert(bytes.end(), data, data + size);
        return true;
    }

    Bytes bytes;

  private:
    uint64_t limit_;
};

// What the first member of the name behind `view` holds, as our reader decodes it from the
// archive `overlay`; `code` is empty when it decodes.
struct Expected {
    std::string code;  // short, for telling findings apart
    std::string text;
    Bytes content;
    bool tooLarge = false;  // larger than our reader reads: not judged
};

Expected ExpectedBehind(const ArchiveView& view, const Bytes& overlay, const std::string& name) {
    const std::vector<size_t> found = fuzzcheck::MatchingEntries(view.walk, name, true);
    if (found.empty()) {
        return {"no-such-member", "no member is named so", {}};
    }
    const fuzzcheck::CentralEntry& entry = view.walk.entries[found.front()];
    const std::string label = "the first member of that name, \"" + entry.name + "\", ";
    if (fuzzcheck::NamesDirectory(entry.name)) {
        return {"directory", label + "is a directory", {}};
    }
    if ((entry.flags & 1) != 0) {
        return {"encrypted", label + "is encrypted", {}};
    }
    if (entry.method != 0 && entry.method != 8) {
        return {"method", label + "has method " + std::to_string(entry.method), {}};
    }
    Expected expected;
    if (entry.uncompressedSize > fuzzcheck::kLargestReadContent) {
        expected.tooLarge = true;
        return expected;
    }
    fuzzcheck::MemberRead read = fuzzcheck::ReadMember(overlay, entry, view.end.directoryOffset,
                                                       fuzzcheck::Reading::Lenient);
    if (!read.ok) {
        return {"damaged", label + "does not read: " + read.problem, {}};
    }
    expected.content = std::move(read.content);
    return expected;
}

// A success: the bytes must be those of the first member of the name behind one of the end
// records that add up.
void JudgeDelivered(const fuzzcheck::Judge& judge, const fuzzcheck::PackageView& seen,
                    const std::string& name, const Bytes& got, const std::string& outcome) {
    std::string kind;
    std::string text;
    for (const ArchiveView& view : seen.views) {
        if (!view.soundness.Sound()) {
            continue;
        }
        const Expected expected = ExpectedBehind(view, seen.overlay, name);
        if (expected.code.empty() && (expected.tooLarge || expected.content == got)) {
            return;
        }
        if (kind.empty()) {
            kind =
                expected.code.empty() ? "extract.wrong-bytes" : "extract.accepted-" + expected.code;
            text = expected.code.empty() ? Hex(got.size()) + " bytes came out, not the member's " +
                                               Hex(expected.content.size())
                                         : expected.text;
        }
    }
    if (kind.empty()) {
        const std::string code =
            seen.views.empty() ? std::string("no-end-record") : seen.views[0].soundness.code;
        kind = "extract.accepted-unsound/" + code;
        text = seen.views.empty() ? std::string("no end record") : seen.views[0].soundness.text;
    }
    judge.Find(kind, outcome + ": " + text);
}

// A failure: judged against what our reader finds, where the engine had no choice to make.
void JudgeFailure(const fuzzcheck::Judge& judge, const fuzzcheck::PackageView& seen,
                  const std::string& name, Output output, uint64_t sinkLimit, const Bytes& sunk,
                  package::ExtractResult result, const std::string& outcome) {
    if (result == package::kNoSuchMember) {
        bool sound = false;
        bool everyOneHasIt = true;
        for (const ArchiveView& view : seen.views) {
            if (view.soundness.Sound()) {
                sound = true;
                everyOneHasIt =
                    everyOneHasIt && !fuzzcheck::MatchingEntries(view.walk, name, true).empty();
            }
        }
        if (!sound) {
            judge.Find("extract.no-such-member-unsound",
                       outcome + ": the member archive does not add up, yet it was searched");
        } else if (everyOneHasIt) {
            judge.Find("extract.false-no-such-member", outcome + ": the archive holds it");
        }
    }
    if (!seen.Clear()) {
        return;
    }
    const Expected expected = ExpectedBehind(seen.views[0], seen.overlay, name);
    if (expected.code == "no-such-member") {
        if (result != package::kNoSuchMember) {
            judge.Find("extract.absent-name", outcome + " for a name no member has");
        }
        return;
    }
    if (!expected.code.empty() || expected.tooLarge) {
        return;
    }
    const Bytes& content = expected.content;
    if (output != Output::NewFile) {
        if (result != package::kInsertCannotCreateOutput) {
            judge.Find("extract.output-is-package", outcome + " for an output that is the package");
        }
    } else if (sinkLimit == kNoLimit || content.size() <= sinkLimit) {
        judge.Find("extract.refused-readable",
                   outcome + " for a member that reads (" + Hex(content.size()) + " bytes)");
    } else if (result != package::kInsertFailed) {
        judge.Find("extract.sink-failure-result", outcome + " when the sink failed");
    }
    if (sunk.size() > content.size() || !std::equal(sunk.begin(), sunk.end(), content.begin())) {
        judge.Find("extract.wrong-partial-bytes", outcome + ": the " + Hex(sunk.size()) +
                                                      " bytes that came out are not the "
                                                      "member's first ones");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string folder = fuzzcheck::MakeWorkFolder("ktl-extract-fuzz");
    g_packageFolder = fuzzcheck::MakeSubfolder(folder, "package");
    g_tempFolder = fuzzcheck::MakeSubfolder(folder, "temp");
    g_packagePath = g_packageFolder + "/ZorSetup.exe";
    g_newFilePath = g_packageFolder + "/auto1.ins";
    g_linkPath = g_packageFolder + "/Linked.exe";
    g_image = fuzzcheck::MakeFixedImage();
    // The engine makes any temporary file here, where a leftover can be seen.
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
    const bool seal = flags & 2;
    const bool toFile = flags & 4;
    const unsigned mode = (flags >> 3) & 3;
    const Output output = toFile ? static_cast<Output>(mode) : Output::NewFile;
    const uint64_t sinkLimit = toFile ? kNoLimit : kSinkLimits[mode];
    const std::string name = fuzzcheck::kAskedNames[flags >> 5];

    const Bytes package = fuzzcheck::MakePackage(g_image, data + 1, size - 1, wholePackage, seal);
    if (!fuzzcheck::WriteWholeFile(g_packagePath, package)) {
        return 0;
    }
    std::string outputPath = g_newFilePath;
    if (output == Output::Package) {
        outputPath = g_packagePath;
    } else if (output == Output::SymbolicLink || output == Output::HardLink) {
        outputPath = g_linkPath;
        const bool linked = output == Output::SymbolicLink
                                ? ::symlink("ZorSetup.exe", g_linkPath.c_str()) == 0
                                : ::link(g_packagePath.c_str(), g_linkPath.c_str()) == 0;
        if (!linked) {
            return 0;
        }
    }
    std::vector<std::string> expectedFiles = fuzzcheck::ListFolder(g_packageFolder);
    const fuzzcheck::PackageView seen = fuzzcheck::ViewPackage(package);

    package::ExtractDetail detail;
    CollectingSink sink(sinkLimit);
    const package::ExtractResult result =
        toFile ? package::ExtractMemberToFile(g_packagePath.c_str(), name.c_str(),
                                              outputPath.c_str(), &detail)
               : package::ExtractMember(g_packagePath.c_str(), name.c_str(), sink, &detail);
    const char* const outputs[] = {"a new file", "the package's path", "a symbolic link to it",
                                   "a hard link to it"};
    const std::string outcome =
        "extracting \"" + name + "\" " +
        (toFile ? std::string("to ") + outputs[mode]
                : "into a sink" +
                      (sinkLimit == kNoLimit ? std::string() : " that takes " + Hex(sinkLimit))) +
        ": result " + std::to_string(result) + " (step " +
        std::to_string(static_cast<int>(detail.step)) + ", archive fault " +
        std::to_string(static_cast<int>(detail.archiveFault)) + ")";

    if (fuzzcheck::FileSizeCapHit()) {
        // Only a member that claims that many bytes may be written out that far.
        for (const ArchiveView& view : seen.views) {
            for (const fuzzcheck::CentralEntry& entry : view.walk.entries) {
                if (entry.uncompressedSize > fuzzcheck::kFileSizeCap) {
                    return 0;
                }
            }
        }
        judge.Find("write-past-cap", outcome + " wrote past " + Hex(fuzzcheck::kFileSizeCap));
        return 0;
    }
    if (!fuzzcheck::ListFolder(g_tempFolder).empty()) {
        judge.Find("extract.temp-file-left",
                   outcome + " left " + fuzzcheck::JoinNames(fuzzcheck::ListFolder(g_tempFolder)));
    }
    Bytes now;
    if (!fuzzcheck::ReadWholeFile(g_packagePath, now, package.size() + (1u << 20)) ||
        now != package) {
        judge.Find("extract.changed-package", outcome + " changed the package");
    }
    if (result == 0 && toFile && output == Output::NewFile) {
        expectedFiles.push_back("auto1.ins");
        std::sort(expectedFiles.begin(), expectedFiles.end());
    }
    const std::vector<std::string> files = fuzzcheck::ListFolder(g_packageFolder);
    if (files != expectedFiles) {
        judge.Find(result == 0 ? "extract.files-after-success" : "extract.file-left",
                   outcome + " left " + fuzzcheck::JoinNames(files) + " beside the package");
    }
    if (result != 0 && result != package::kInsertFailed &&
        result != package::kInsertCannotCreateOutput && result != package::kNoSuchMember) {
        judge.Find("extract.result", outcome);
        return 0;
    }
    if (result != 0) {
        JudgeFailure(judge, seen, name, output, sinkLimit, sink.bytes, result, outcome);
        return 0;
    }
    if (output != Output::NewFile) {
        judge.Find("extract.wrote-over-package", outcome + ": the output was the package");
        return 0;
    }
    Bytes got = std::move(sink.bytes);
    if (toFile && !fuzzcheck::ReadWholeFile(outputPath, got, fuzzcheck::kFileSizeCap)) {
        judge.Find("extract.output-unreadable", outcome + ": the output cannot be read back");
        return 0;
    }
    JudgeDelivered(judge, seen, name, got, outcome);
    return 0;
}
