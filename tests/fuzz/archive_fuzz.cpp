// libFuzzer target: arbitrary bytes as a member archive. The archive is listed and a member is
// added through one PackageArchive, the archive on its own (the package insert writes through
// its own path, which package_fuzz.cpp drives); the targets' own ZIP reader then judges the
// listing, the archive after the member was added, and the archive after a refusal.
//
// Input: the archive itself, so that plain ZIP files serve as seeds. Its length modulo 4 picks
// the file that is added and the member's name.
#include <cstdint>
#include <string>
#include <vector>

#include "package/package_archive.h"
#include "tests/fuzz/append_check.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/zip_reader.h"

namespace {

using fuzzcheck::Bytes;
using fuzzcheck::Finding;
using fuzzcheck::Hex;

// The added member's name, by source: one with a backslash as the insert-script action forms.
const char* const kMemberNames[] = {"auto1.ins", "InstallScript\\auto1.ins", "Setup.ini",
                                    "data.bin"};

std::string g_archivePath;
std::vector<fuzzcheck::SourceFile> g_sources;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string folder = fuzzcheck::MakeWorkFolder("ktl-archive-fuzz");
    g_archivePath = folder + "/archive.zip";
    g_sources = fuzzcheck::MakeSourceFiles(folder, "auto1.ins");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzcheck::ArmFileSizeCap();
    fuzzcheck::ClearFileSizeCapHit();
    const Bytes before(data, data + size);
    const fuzzcheck::SourceFile& source = g_sources[size % g_sources.size()];
    const std::string name = kMemberNames[size % g_sources.size()];
    if (!fuzzcheck::WriteWholeFile(g_archivePath, before)) {
        return 0;
    }
    const std::vector<fuzzcheck::ArchiveView> views = fuzzcheck::ReadArchiveViews(before);
    // One end record that takes a member: the engine has no choice to make and must add it.
    const bool clear = views.size() == 1 && views[0].soundness.Sound();

    package::PackageArchive archive;
    std::vector<std::string> listed;
    package::PathBuffer path = {};
    package::PathBuffer listedName = {};
    for (int more = archive.FirstEntry(g_archivePath.c_str(), path, listedName); more == 1;
         more = archive.NextEntry(path, listedName)) {
        listed.push_back(listedName);
        path[0] = '\0';
    }
    if (clear && listed != fuzzcheck::ListedNames(views[0].walk)) {
        Finding("archive.listing",
                "listed " + fuzzcheck::JoinNames(listed) + ", the directory holds " +
                    fuzzcheck::JoinNames(fuzzcheck::ListedNames(views[0].walk)),
                data, size);
    }

    const int added = archive.AddFile(g_archivePath.c_str(), source.path.c_str(), name.c_str());
    if (fuzzcheck::FileSizeCapHit()) {
        Finding("write-past-cap",
                "adding to an archive of " + Hex(size) + " bytes wrote past " +
                    Hex(fuzzcheck::kFileSizeCap),
                data, size);
        return 0;
    }
    Bytes after;
    const uint64_t reasonable = size + source.content.size() + (1u << 20);
    const bool read = fuzzcheck::ReadWholeFile(g_archivePath, after, reasonable);
    const std::string grownTo =
        "the archive grew from " + Hex(size) + " to " + Hex(fuzzcheck::FileLength(g_archivePath));
    if (added != 0) {
        if (!read || after != before) {
            Finding("archive.changed-on-refusal",
                    "AddFile failed and changed the archive" + (read ? "" : ": " + grownTo), data,
                    size);
        }
        if (clear) {
            Finding("archive.refused-sound",
                    "AddFile refused a sound archive (error " +
                        std::to_string(static_cast<int>(archive.LastError())) + ")",
                    data, size);
        }
        return 0;
    }

    const fuzzcheck::ArchiveView* used = fuzzcheck::ViewAppendedTo(views, before, after);
    if (used == nullptr || !used->soundness.Sound()) {
        Finding("archive.accepted-unsound/" +
                    (used == nullptr ? std::string("no-end-record") : used->soundness.code),
                "AddFile succeeded on an archive that cannot take a member: " +
                    (used == nullptr ? std::string("no end record") : used->soundness.text) +
                    (read ? "" : "; " + grownTo),
                data, size);
        return 0;
    }
    if (!read) {
        Finding("archive.wrong-result", grownTo, data, size);
        return 0;
    }
    std::string problem =
        fuzzcheck::CheckBehindAnySoundView(views, used, [&](const fuzzcheck::ArchiveView& view) {
            uint64_t length = 0;
            std::string found = fuzzcheck::CheckAppended(before, view.end, view.walk, name,
                                                         source.content, after, &length);
            if (found.empty() && after.size() != length) {
                found = "the archive is " + Hex(after.size()) + " bytes, not " + Hex(length);
            }
            return found;
        });
    if (!problem.empty()) {
        Finding("archive.wrong-result", problem, data, size);
    }
    return 0;
}
