// The package a package target's input makes, and how the targets' own readers see it: the
// image end found by our header walk, the overlay behind it and the end records in it; and a
// prompter that answers the damaged-package question as the input says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "package/insert_file.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/image_walk.h"
#include "tests/fuzz/zip_reader.h"

namespace fuzzcheck {

// The member names the rewrite and extract targets ask for, as the seeds' members are stored,
// in other letter case, with the other separator, as directory members, and one that no seed
// holds.
inline constexpr const char* kAskedNames[8] = {
    "auto1.ins",      "installscript\\AUTO1.INS",
    "InstallScript/", "installscript\\",
    "SETUP.INI",      "Data\\X.txt",
    "absent.txt",     "readme.txt",
};

// An image with two sections whose raw data ends at 0x400.
Bytes MakeFixedImage();

// The body behind `image`, or the body alone when `whole` (its image headers fuzzed too). With
// `seal`, padded to whole words and closed by the word that makes the package checksum zero.
Bytes MakePackage(const Bytes& image, const uint8_t* body, size_t size, bool whole, bool seal);

struct PackageView {
    bool damaged = false;  // the package checksum is not zero
    ImageWalk image;
    bool hasOverlay = false;
    Bytes overlay;  // from the image end to the end of the file
    std::vector<ArchiveView> views;

    uint32_t OverlayOffset() const { return image.overlayOffset; }
    // A plain image and one end record behind it that adds up: the engine has no choice to
    // make, so a refusal must have a reason beyond the directory.
    bool Clear() const {
        return image.verdict == ImageWalk::Verdict::Image && hasOverlay && views.size() == 1 &&
               views[0].soundness.Sound();
    }
};
PackageView ViewPackage(const Bytes& package);

class ScriptedPrompter : public package::InsertPrompter {
  public:
    explicit ScriptedPrompter(bool yes) : yes_(yes) {}
    bool AskYesNo(int messageId) override {
        questions.push_back(messageId);
        return yes_;
    }
    void ShowStop(int messageId) override { stops.push_back(messageId); }

    std::vector<int> questions;
    std::vector<int> stops;

  private:
    bool yes_;
};

}  // namespace fuzzcheck
