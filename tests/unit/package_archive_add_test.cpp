#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "package/byte_cursor.h"
#include "package/package_archive.h"
#include "platform/testing/fault_injection.h"
#include "unit/test_support.h"

namespace package {
namespace {

using test::Bytes;

class AddFileTest : public testing::Test {
  protected:
    std::string WriteArchive(const Bytes& data) {
        EXPECT_TRUE(test::WriteBytes(archivePath_, data));
        return archivePath_;
    }
    std::string WriteSource(const Bytes& data, const std::string& name = "source.ins") {
        std::string path = scratch_.File(name);
        EXPECT_TRUE(test::WriteBytes(path, data));
        return path;
    }
    // Opens the archive on a fresh object, as the insert operation does, and adds the file.
    int Add(const std::string& source, const char* memberName) {
        PackageArchive archive;
        PathBuffer path = {};
        PathBuffer name = {};
        archive.FirstEntry(archivePath_.c_str(), path, name);
        return archive.AddFile(archivePath_.c_str(), source.c_str(), memberName);
    }

    test::ScratchDir scratch_;
    std::string archivePath_ = scratch_.File("archive.zip");
};

TEST_F(AddFileTest, AppendsADeflatedMemberWhereTheDirectoryWas) {
    Bytes original = test::MakeZip(
        {{"readme.txt", test::ToBytes("hello")}, {"bin/zor.dll", test::PatternBytes(5000, 2)}});
    const uint32_t oldDirectoryAt = GetU32(&original[original.size() - 22 + 16]);
    WriteArchive(original);
    Bytes source = test::PatternBytes(3 * 40960 + 17, 4);
    ASSERT_EQ(Add(WriteSource(source), "auto1.ins"), 0);

    Bytes result = test::ReadBytes(archivePath_);
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + oldDirectoryAt, result.begin()));
    std::vector<test::ReadMember> members = test::ReadArchive(result);
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[0].data, test::ToBytes("hello"));
    EXPECT_EQ(members[2].name, "auto1.ins");
    EXPECT_EQ(members[2].method, 8);
    EXPECT_EQ(members[2].data, source);

    // The fields at their offsets in the ZIP format, not through the engine's own description.
    const uint8_t* local = &result[oldDirectoryAt];
    EXPECT_EQ(GetU32(local), 0x04034B50u);
    EXPECT_EQ(GetU16(local + 4), 20);  // version needed
    EXPECT_EQ(GetU16(local + 6), 0);   // flags
    EXPECT_EQ(GetU16(local + 10), 0);  // time
    EXPECT_EQ(GetU16(local + 28), 0);  // extra field length
    const uint8_t* end = &result[result.size() - 22];
    EXPECT_EQ(GetU32(end), 0x06054B50u);
    EXPECT_EQ(GetU16(end + 8), 3);   // entries on this disk
    EXPECT_EQ(GetU16(end + 10), 3);  // entries in all
    const uint8_t* central = &result[GetU32(end + 16)] + (original.size() - 22 - oldDirectoryAt);
    EXPECT_EQ(GetU32(central), 0x02014B50u);
    EXPECT_EQ(GetU16(central + 4), 20);               // version made by
    EXPECT_EQ(GetU32(central + 42), oldDirectoryAt);  // local header offset
    EXPECT_EQ(GetU32(central + 38), 0u);              // external attributes
}

TEST_F(AddFileTest, EmptyAndChunkSizedSources) {
    WriteArchive(test::MakeZip({{"a", test::ToBytes("a")}}));
    ASSERT_EQ(Add(WriteSource({}, "empty.ins"), "empty.ins"), 0);
    ASSERT_EQ(Add(WriteSource(test::PatternBytes(2 * 40960, 6), "chunks.bin"), "chunks.bin"), 0);
    std::vector<test::ReadMember> members = test::ReadArchive(test::ReadBytes(archivePath_));
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[1].name, "empty.ins");
    EXPECT_TRUE(members[1].data.empty());
    EXPECT_EQ(members[1].crc, 0u);
    EXPECT_EQ(members[2].data, test::PatternBytes(2 * 40960, 6));
}

TEST_F(AddFileTest, EmptyArchiveBecomesAOneMemberArchive) {
    WriteArchive(test::MakeZip({}));
    ASSERT_EQ(Add(WriteSource(test::ToBytes("[Setup]\r\n")), "InstallScript\\auto1.ins"), 0);
    Bytes result = test::ReadBytes(archivePath_);
    std::vector<test::ReadMember> members = test::ReadArchive(result);
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(members[0].name, "InstallScript\\auto1.ins");  // stored with its backslash
    EXPECT_EQ(GetU32(&result[0]), 0x04034B50u);
}

TEST_F(AddFileTest, WithoutANameTheSourcePathNamesTheMember) {
    WriteArchive(test::MakeZip({{"a", test::ToBytes("a")}}));
    std::string source = WriteSource(test::ToBytes("x"));
    ASSERT_EQ(Add(source, nullptr), 0);
    std::vector<test::ReadMember> members = test::ReadArchive(test::ReadBytes(archivePath_));
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[1].name, source);
}

TEST_F(AddFileTest, TrailingPadAndWordAreOverwrittenAndTheCommentIsDropped) {
    Bytes zip = test::MakeZip({{"a", test::ToBytes("a")}}, "a comment");
    zip.insert(zip.end(), {0, 0, 0xDE, 0xAD, 0xBE, 0xEF});
    WriteArchive(zip);
    ASSERT_EQ(Add(WriteSource(test::ToBytes("script")), "s.ins"), 0);
    Bytes result = test::ReadBytes(archivePath_);
    const uint8_t* end = &result[result.size() - 22];
    ASSERT_EQ(GetU32(end), 0x06054B50u);
    EXPECT_EQ(GetU16(end + 20), 0);  // comment length
    EXPECT_EQ(test::ReadArchive(result).size(), 2u);
}

TEST_F(AddFileTest, RefusalsLeaveTheArchiveUntouched) {
    Bytes noEnd = test::PatternBytes(1000, 3);
    WriteArchive(noEnd);
    std::string source = WriteSource(test::ToBytes("x"));
    EXPECT_EQ(Add(source, "x"), -1);
    EXPECT_EQ(test::ReadBytes(archivePath_), noEnd);

    Bytes good = test::MakeZip({{"a", test::ToBytes("a")}});
    WriteArchive(good);
    EXPECT_EQ(Add(scratch_.File("missing.ins"), "x"), -1);
    EXPECT_EQ(test::ReadBytes(archivePath_), good);

    Bytes full = good;
    PutU16(&full[full.size() - 22 + 8], 0xFFFF);  // entries on this disk, and in all
    PutU16(&full[full.size() - 22 + 10], 0xFFFF);
    WriteArchive(full);
    PackageArchive archive;
    PathBuffer path = {};
    PathBuffer name = {};
    archive.FirstEntry(archivePath_.c_str(), path, name);
    EXPECT_EQ(archive.AddFile(archivePath_.c_str(), source.c_str(), "x"), -1);
    EXPECT_EQ(archive.LastError(), ArchiveError::TooManyEntries);
    EXPECT_EQ(test::ReadBytes(archivePath_), full);
}

TEST_F(AddFileTest, EveryFailedWriteIsReported) {
    Bytes good = test::MakeZip({{"a", test::ToBytes("a")}});
    std::string source = WriteSource(test::PatternBytes(100000, 7));
    int failures = 0;
    for (int64_t step = 1;; ++step) {
        WriteArchive(good);
        PackageArchive archive;
        PathBuffer path = {};
        PathBuffer name = {};
        archive.FirstEntry(archivePath_.c_str(), path, name);
        platform::fault::Arm(step);
        int result = archive.AddFile(archivePath_.c_str(), source.c_str(), "big.bin");
        bool fired = platform::fault::Fired();
        platform::fault::Disarm();
        // Success must mean a sound archive, whichever operation failed; the reload after
        // the rewrite may fail without harm.
        if (result == 0) {
            EXPECT_EQ(test::ReadArchive(test::ReadBytes(archivePath_)).size(), 2u) << step;
        } else {
            EXPECT_EQ(result, -1) << "step " << step;
            ++failures;
        }
        if (!fired) {
            EXPECT_EQ(result, 0);
            break;
        }
    }
    EXPECT_GT(failures, 10);
}

}  // namespace
}  // namespace package
