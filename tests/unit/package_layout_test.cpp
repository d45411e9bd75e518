#include "package/package_layout.h"

#include <gtest/gtest.h>

#include "package/byte_cursor.h"
#include "platform/testing/fault_injection.h"
#include "unit/test_support.h"

namespace package {
namespace {

using test::Bytes;

platform::File OpenRead(const std::string& path) {
    platform::File file;
    EXPECT_TRUE(
        file.Open(path.c_str(), platform::Access::Read, platform::Disposition::OpenExisting));
    return file;
}

uint32_t ChecksumOf(const test::ScratchDir& scratch, const Bytes& data) {
    std::string path = scratch.File("sum.bin");
    EXPECT_TRUE(test::WriteBytes(path, data));
    platform::File file = OpenRead(path);
    bool complete = false;
    uint32_t sum = ComputePackageChecksum(file, &complete);
    EXPECT_TRUE(complete);
    return sum;
}

uint32_t OverlayOf(const test::ScratchDir& scratch, const Bytes& data) {
    std::string path = scratch.File("image.exe");
    EXPECT_TRUE(test::WriteBytes(path, data));
    platform::File file = OpenRead(path);
    return FindOverlayOffset(file);
}

TEST(PackageChecksum, SumsLittleEndianWordsWithAZeroExtendedTail) {
    test::ScratchDir scratch;
    EXPECT_EQ(ChecksumOf(scratch, test::ToBytes("abc")), 6513249u);
    EXPECT_EQ(ChecksumOf(scratch, {}), 0u);
    EXPECT_EQ(ChecksumOf(scratch, {0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0, 0, 0}), 1u);  // wraps
    // Across the 1 MiB buffer, with a tail that is not a whole word.
    Bytes big = test::PatternBytes((1u << 20) * 2 + 7, 3);
    EXPECT_EQ(ChecksumOf(scratch, big), test::Checksum(big));
    EXPECT_EQ(ChecksumOf(scratch, test::Sealed(big)), 0u);
    // A pass that starts anywhere, and crosses the views a pass is read in, adds each byte at
    // its place in its word.
    Bytes huge = test::PatternBytes((17u << 20) + 3, 5);
    std::string path = scratch.File("huge.bin");
    ASSERT_TRUE(test::WriteBytes(path, huge));
    platform::File file = OpenRead(path);
    for (uint64_t from : {1ull, 2ull, 3ull, (8ull << 20) - 1}) {
        bool complete = false;
        const uint32_t head = AddChecksumBytesAt(0, huge.data(), from, 0);
        EXPECT_EQ(SumPackageFrom(file, from, huge.size() - from, head, &complete),
                  test::Checksum(huge))
            << from;
        EXPECT_TRUE(complete);
    }
}

TEST(OverlayOffset, IsTheLargestRawDataEndInAnyOrder) {
    test::ScratchDir scratch;
    EXPECT_EQ(
        OverlayOf(scratch, test::MakePeImage({{1024, 29184}, {1024, 24576}, {25600, 512}}, 31000)),
        30208u);
    EXPECT_EQ(OverlayOf(scratch, test::MakePeImage({}, 600)), 0u);
    // A section without raw data counts with its pointer.
    EXPECT_EQ(OverlayOf(scratch, test::MakePeImage({{0x400, 0x200}, {0x900, 0}}, 0xA00)), 0x900u);
}

TEST(OverlayOffset, RefusesWhatIsNoImageOrReachesPastWhatWasRead) {
    test::ScratchDir scratch;
    EXPECT_EQ(OverlayOf(scratch, {}), kNoOverlayOffset);
    EXPECT_EQ(OverlayOf(scratch, test::ToBytes("MZ short file")), kNoOverlayOffset);
    EXPECT_EQ(
        OverlayOf(scratch, test::ToBytes("not an executable image at all, just some text here "
                                         "that is long enough to hold the fields")),
        kNoOverlayOffset);

    Bytes image = test::MakePeImage({{0x400, 0x200}}, 0x800);
    Bytes noSignature = image;
    noSignature[0x80] = 'X';
    EXPECT_EQ(OverlayOf(scratch, noSignature), kNoOverlayOffset);

    Bytes farSignature = image;
    PutU32(&farSignature[0x3C], 0xFFFFFFF0u);  // would wrap a 32-bit bound check
    EXPECT_EQ(OverlayOf(scratch, farSignature), kNoOverlayOffset);

    Bytes pastFirstMiB = image;
    PutU32(&pastFirstMiB[0x3C], kWorkBufferSize - 2);
    pastFirstMiB.resize(kWorkBufferSize + 4096, 0);
    pastFirstMiB[kWorkBufferSize - 2] = 'P';
    pastFirstMiB[kWorkBufferSize - 1] = 'E';
    EXPECT_EQ(OverlayOf(scratch, pastFirstMiB), kNoOverlayOffset);

    Bytes tableBeyondFile = image;
    PutU16(&tableBeyondFile[0x80 + 6], 60000);
    EXPECT_EQ(OverlayOf(scratch, tableBeyondFile), kNoOverlayOffset);
}

TEST(CopyOverlay, CopiesEverythingBehindTheImage) {
    test::ScratchDir scratch;
    Bytes image = test::MakePeImage({{0x400, 0x400}}, 0x800);
    Bytes overlay = test::PatternBytes((1u << 20) + 333, 9);
    std::string path = scratch.File("package.exe");
    ASSERT_TRUE(test::WriteBytes(path, test::Concat(image, overlay)));
    std::string archive = scratch.File("overlay.zip");
    platform::File package = OpenRead(path);

    EXPECT_EQ(CopyOverlay(package, archive.c_str(), 0x800), static_cast<int32_t>(overlay.size()));
    EXPECT_EQ(test::ReadBytes(archive), overlay);
    // The overlay may be empty, but never beyond the end of the package.
    EXPECT_EQ(CopyOverlay(package, archive.c_str(), 0x800 + overlay.size()), 0);
    EXPECT_TRUE(test::ReadBytes(archive).empty());
    EXPECT_EQ(CopyOverlay(package, archive.c_str(), 0x801 + overlay.size()), -1);
    EXPECT_EQ(CopyOverlay(package, archive.c_str(), kNoOverlayOffset), -1);
    platform::File closed;
    EXPECT_EQ(CopyOverlay(closed, archive.c_str(), 0), -1);
}

class RebuildPackageTest : public testing::Test {
  protected:
    void SetUp() override {
        image_ = test::MakePeImage({{0x200, 0x1E8}}, 1000);
        archive_ = test::PatternBytes(2001, 5);
        packagePath_ = scratch_.File("package.exe");
        archivePath_ = scratch_.File("archive.zip");
        ASSERT_TRUE(test::WriteBytes(archivePath_, archive_));
    }

    test::ScratchDir scratch_;
    Bytes image_;
    Bytes archive_;
    std::string packagePath_;
    std::string archivePath_;
};

TEST_F(RebuildPackageTest, NewFileHoldsImageArchivePadAndWord) {
    Bytes original = test::Concat(image_, test::ToBytes("old overlay, wrong checksum"));
    ASSERT_TRUE(test::WriteBytes(packagePath_, original));
    std::string output = scratch_.File("new.exe");
    {
        platform::File package = OpenRead(packagePath_);
        EXPECT_EQ(RebuildPackage(package, 1000, archivePath_.c_str(), output.c_str()), 3001);
    }
    Bytes written = test::ReadBytes(output);
    ASSERT_EQ(written.size(), 3008u);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 3001), test::Concat(image_, archive_));
    EXPECT_EQ(Bytes(written.begin() + 3001, written.begin() + 3004), Bytes(3, 0));
    EXPECT_EQ(test::Checksum(written), 0u);
    for (size_t at : {size_t{0}, size_t{999}, size_t{3003}, size_t{3007}}) {
        Bytes changed = written;
        changed[at] ^= 0x01;
        EXPECT_NE(test::Checksum(changed), 0u) << at;
    }
    EXPECT_EQ(test::ReadBytes(packagePath_), original);
}

// Whether the old overlay was shorter or longer than the archive, the package becomes image,
// archive, pad and word.
TEST_F(RebuildPackageTest, InPlaceReturnsTheArchiveBytesAndLeavesNothingBeside) {
    for (size_t oldOverlay : {size_t{1500}, size_t{2500}}) {
        ASSERT_TRUE(test::WriteBytes(packagePath_,
                                     test::Concat(image_, test::PatternBytes(oldOverlay, 8))));
        {
            platform::File package;
            ASSERT_TRUE(package.Open(packagePath_.c_str(), platform::Access::ReadWrite,
                                     platform::Disposition::OpenExisting));
            EXPECT_EQ(RebuildPackage(package, 1000, archivePath_.c_str(), nullptr), 2001);
        }
        EXPECT_EQ(test::ReadBytes(packagePath_), test::Sealed(test::Concat(image_, archive_)))
            << oldOverlay;
        std::vector<std::string> names = scratch_.Entries();
        EXPECT_EQ(names.size(), 2u);  // the package and the archive, no staging file
    }
}

TEST_F(RebuildPackageTest, RefusalsWriteNothing) {
    ASSERT_TRUE(test::WriteBytes(packagePath_, image_));
    std::string output = scratch_.File("new.exe");
    platform::File package = OpenRead(packagePath_);
    EXPECT_EQ(RebuildPackage(package, 1001, archivePath_.c_str(), output.c_str()), -1);
    EXPECT_EQ(RebuildPackage(package, 1000, scratch_.File("missing.zip").c_str(), output.c_str()),
              -1);
    EXPECT_FALSE(test::Exists(output));
    std::string noDirectory = test::Join(scratch_.File("missing"), "new.exe");
    EXPECT_EQ(RebuildPackage(package, 1000, archivePath_.c_str(), noDirectory.c_str()), -4);
#ifdef _WIN32
    // The package is held with read sharing only, so it cannot be created over by another name.
    std::string sameFile = scratch_.Path() + "\\.\\package.exe";
#else
    std::string sameFile = scratch_.Path() + "/./package.exe";
#endif
    EXPECT_EQ(RebuildPackage(package, 1000, archivePath_.c_str(), sameFile.c_str()), -4);
    EXPECT_EQ(test::ReadBytes(packagePath_), image_);
}

// Each file operation fails in turn. A failure leaves no output and the package as it was;
// a success, where the failed operation did not matter, leaves a sound package.
TEST_F(RebuildPackageTest, EveryFailedStepIsReportedAndLeavesNothingHalfWritten) {
    const Bytes original = test::Concat(image_, Bytes(2001, 0x22));
    const Bytes rebuilt = test::Sealed(test::Concat(image_, archive_));
    std::string output = scratch_.File("new.exe");
    for (bool inPlace : {false, true}) {
        const std::string& written = inPlace ? packagePath_ : output;
        int failures = 0;
        for (int64_t step = 1;; ++step) {
            ASSERT_TRUE(test::WriteBytes(packagePath_, original));
            test::DeletePath(output);
            int32_t result;
            {
                platform::File package;
                ASSERT_TRUE(
                    package.Open(packagePath_.c_str(),
                                 inPlace ? platform::Access::ReadWrite : platform::Access::Read,
                                 platform::Disposition::OpenExisting));
                platform::fault::Arm(step);
                result = RebuildPackage(package, 1000, archivePath_.c_str(),
                                        inPlace ? nullptr : output.c_str());
            }
            bool fired = platform::fault::Fired();
            platform::fault::Disarm();
            if (result > 0) {
                EXPECT_EQ(test::ReadBytes(written), rebuilt) << "step " << step;
            } else {
                ++failures;
                EXPECT_EQ(test::ReadBytes(packagePath_), original) << "step " << step;
                EXPECT_FALSE(test::Exists(output)) << "step " << step;
            }
            EXPECT_EQ(scratch_.Entries().size(), result > 0 && !inPlace ? 3u : 2u) << step;
            if (!fired || HasFailure()) {
                break;
            }
        }
        EXPECT_GT(failures, 8) << (inPlace ? "in place" : "new file");
    }
}

}  // namespace
}  // namespace package
