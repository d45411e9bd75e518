#include "package/package_archive.h"

#include <gtest/gtest.h>

#include <cstring>

#include "package/byte_cursor.h"
#include "package/end_record_search.h"
#include "unit/test_support.h"

namespace package {
namespace {

using test::Bytes;

std::vector<std::string> ListNames(const std::string& archivePath) {
    PackageArchive archive;
    std::vector<std::string> names;
    PathBuffer path = {};
    PathBuffer name = {};
    for (int more = archive.FirstEntry(archivePath.c_str(), path, name); more == 1;
         more = archive.NextEntry(path, name)) {
        names.push_back(name);
        std::memset(path, 0, sizeof(path));
    }
    // Exhausted stays exhausted.
    EXPECT_EQ(archive.NextEntry(path, name), 0);
    return names;
}

class ArchiveTest : public testing::Test {
  protected:
    std::string Write(const Bytes& data) {
        std::string path = scratch_.File("archive.zip");
        EXPECT_TRUE(test::WriteBytes(path, data));
        return path;
    }
    test::ScratchDir scratch_;
};

TEST_F(ArchiveTest, EndRecordIsFoundAtTheEndBehindTrailingBytesAndBehindAComment) {
    Bytes plain = test::MakeZip({{"a.txt", test::ToBytes("alpha")}});
    PackageArchive archive;
    EndOfCentralDirectory record;
    ASSERT_EQ(archive.FindEndRecord(Write(plain).c_str(), record), 0);
    EXPECT_EQ(record.entriesOnDisk, 1);
    EXPECT_EQ(record.directoryOffset, 40u);

    Bytes padded = plain;
    padded.insert(padded.end(), {0, 0, 0, 0x12, 0x34, 0x56, 0x78});
    ASSERT_EQ(archive.FindEndRecord(Write(padded).c_str(), record), 0);
    EXPECT_EQ(record.directoryOffset, 40u);

    Bytes longComment = test::MakeZip({{"a.txt", test::ToBytes("alpha")}}, std::string(65535, 'c'));
    ASSERT_EQ(archive.FindEndRecord(Write(longComment).c_str(), record), 0);
    EXPECT_EQ(record.commentLength, 65535);
}

TEST_F(ArchiveTest, NoEndRecordLeavesTheRecordWithoutSignature) {
    PackageArchive archive;
    EndOfCentralDirectory record;
    for (const Bytes& data : {Bytes{}, Bytes(21, 0x50), test::PatternBytes(100000, 1)}) {
        EXPECT_EQ(archive.FindEndRecord(Write(data).c_str(), record), -1);
        EXPECT_NE(record.signature, 0x06054B50u);
    }
    EXPECT_EQ(archive.FindEndRecord(scratch_.File("missing.zip").c_str(), record), -1);
}

TEST(EndRecordSearch, EarliestConsistentSignatureWins) {
    // Two records in the window: the earlier one is taken when both are consistent...
    Bytes window(100, 0);
    auto place = [&](size_t at, uint32_t offset, uint32_t size) {
        PutU32(&window[at], 0x06054B50u);
        PutU32(&window[at + 12], size);    // directory size
        PutU32(&window[at + 16], offset);  // directory offset
    };
    place(10, 1000, 10);  // window starts at 1000: a directory ending at 1010
    place(60, 1000, 60);
    EXPECT_EQ(LocateEndRecord(window.data(), window.size(), 1000), 10);
    // ...an inconsistent earlier one is passed over...
    place(10, 0, 0);
    EXPECT_EQ(LocateEndRecord(window.data(), window.size(), 1000), 60);
    // ...and with none consistent the earliest stands.
    place(60, 0, 0);
    EXPECT_EQ(LocateEndRecord(window.data(), window.size(), 1000), 10);
    // A signature with fewer than 22 bytes behind it is not examined.
    Bytes tail(30, 0);
    PutU32(&tail[10], 0x06054B50u);
    EXPECT_EQ(LocateEndRecord(tail.data(), tail.size(), 0), -1);
}

TEST_F(ArchiveTest, StoredZipMemberDoesNotHideTheRealEndRecord) {
    Bytes inner = test::MakeZip({{"inner.txt", test::ToBytes("inside")}});
    Bytes outer = test::MakeZip({{"first.txt", test::ToBytes("one")}, {"inner.zip", inner}});
    outer.insert(outer.end(), {0, 0, 0, 0, 0});
    std::vector<std::string> names = ListNames(Write(outer));
    EXPECT_EQ(names, (std::vector<std::string>{"first.txt", "inner.zip"}));
}

TEST_F(ArchiveTest, ListsFileMembersInBackslashFormAndStepsOverDirectories) {
    Bytes zip = test::MakeZip({{"docs/", {}},
                               {"docs/readme.txt", test::ToBytes("r")},
                               {"InstallScript\\", {}},
                               {"InstallScript/auto1.ins", test::ToBytes("[Setup]")},
                               {"top.bin", test::ToBytes("t")}});
    EXPECT_EQ(
        ListNames(Write(zip)),
        (std::vector<std::string>{"docs\\readme.txt", "InstallScript\\auto1.ins", "top.bin"}));

    Bytes onlyDirectories = test::MakeZip({{"a/", {}}, {"b\\", {}}});
    EXPECT_TRUE(ListNames(Write(onlyDirectories)).empty());
    Bytes empty = test::MakeZip({});
    EXPECT_TRUE(ListNames(Write(empty)).empty());
}

TEST_F(ArchiveTest, EmptyBaseDirectoryCreatesNothing) {
    std::string path = Write(test::MakeZip({{"docs/readme.txt", test::ToBytes("r")}}));
    PackageArchive archive;
    PathBuffer base = {};
    PathBuffer name = {};
    ASSERT_EQ(archive.FirstEntry(path.c_str(), base, name), 1);
    EXPECT_STREQ(name, "docs\\readme.txt");
#ifdef _WIN32
    EXPECT_STREQ(base, "\\docs\\readme.txt");
#else
    EXPECT_STREQ(base, "/docs/readme.txt");
#endif
    EXPECT_FALSE(test::Exists(scratch_.File("docs")));
}

TEST_F(ArchiveTest, TargetPathsAreMadeUnderTheBaseDirectoryOnly) {
    std::string path = Write(test::MakeZip({{"docs/readme.txt", test::ToBytes("r")},
                                            {"../escape/x.txt", test::ToBytes("x")},
                                            {"/rooted/y.txt", test::ToBytes("y")},
                                            {"C:/drive/z.txt", test::ToBytes("z")}}));
    std::string out = scratch_.File("out");
    PackageArchive archive;
    std::vector<std::string> targets;
    PathBuffer base;
    PathBuffer name;
    std::strcpy(base, out.c_str());
    for (int more = archive.FirstEntry(path.c_str(), base, name); more == 1;
         more = archive.NextEntry(base, name)) {
        targets.push_back(base);
        std::strcpy(base, out.c_str());
    }
    ASSERT_EQ(targets.size(), 4u);
    EXPECT_EQ(targets[0], test::Join(test::Join(out, "docs"), "readme.txt"));
    EXPECT_TRUE(test::Exists(test::Join(out, "docs")));
    EXPECT_FALSE(test::Exists(test::Join(out, "readme.txt")));  // the file itself is not made
    EXPECT_FALSE(test::Exists(scratch_.File("escape")));
    EXPECT_FALSE(test::Exists(test::Join(out, "rooted")));
    EXPECT_FALSE(test::Exists(test::Join(out, "C:")));
    EXPECT_EQ(PackageArchive::MakeDirectories(test::Join(test::Join(out, ".."), "up/x").c_str()),
              0);
}

TEST_F(ArchiveTest, DamagedDirectoriesEndTheListingWithoutOverrun) {
    Bytes good = test::MakeZip({{"one.txt", test::ToBytes("1")}, {"two.txt", test::ToBytes("2")}});
    const size_t directoryAt = GetU32(&good[good.size() - 22 + 16]);
    const size_t secondEntry = directoryAt + 46 + 7;

    Bytes badSecondSignature = good;
    badSecondSignature[secondEntry] = 'X';
    EXPECT_EQ(ListNames(Write(badSecondSignature)), std::vector<std::string>{"one.txt"});

    Bytes badFirstSignature = good;
    badFirstSignature[directoryAt] = 'X';
    EXPECT_TRUE(ListNames(Write(badFirstSignature)).empty());

    // The second entry's comment length claims bytes beyond the directory block.
    Bytes longComment = good;
    PutU16(&longComment[secondEntry + 32], 500);  // comment length
    EXPECT_EQ(ListNames(Write(longComment)), std::vector<std::string>{"one.txt"});

    // More entries claimed than the block holds.
    Bytes tooMany = good;
    PutU16(&tooMany[tooMany.size() - 22 + 8], 40);  // entries on this disk
    EXPECT_EQ(ListNames(Write(tooMany)), (std::vector<std::string>{"one.txt", "two.txt"}));

    // A directory that reaches past the end of the file is not loaded.
    Bytes pastEnd = good;
    PutU32(&pastEnd[pastEnd.size() - 22 + 12], 0x7FFFFFF0);  // directory size
    std::string path = Write(pastEnd);
    EXPECT_TRUE(ListNames(path).empty());
    PackageArchive archive;
    PathBuffer base = {};
    PathBuffer name = {};
    EXPECT_EQ(archive.FirstEntry(path.c_str(), base, name), 0);
    EXPECT_EQ(archive.LastError(), ArchiveError::BadDirectory);
}

TEST_F(ArchiveTest, NamesTooLongForTheBufferAreSteppedOver) {
    std::string longName(300, 'n');
    Bytes zip = test::MakeZip({{longName, test::ToBytes("x")}, {"short.txt", test::ToBytes("s")}});
    EXPECT_EQ(ListNames(Write(zip)), std::vector<std::string>{"short.txt"});
}

}  // namespace
}  // namespace package
