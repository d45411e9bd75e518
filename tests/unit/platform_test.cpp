#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "platform/file.h"
#include "platform/filesystem.h"
#include "platform/multibyte.h"
#include "platform/testing/fault_injection.h"
#include "unit/test_support.h"

namespace platform {
namespace {

TEST(Multibyte, FindsFirstAndLastSingleByteCharacter) {
    const char* path = "C:\\dir\\sub\\auto1.ins";
    EXPECT_EQ(FindFirstChar(path, '\\'), path + 2);
    EXPECT_EQ(FindLastChar(path, '\\'), path + 10);
    EXPECT_EQ(FindLastChar("auto1.ins", '\\'), nullptr);
    EXPECT_EQ(FindFirstChar("", '\\'), nullptr);
}

TEST(Multibyte, ComparesWithoutRegardToCase) {
    EXPECT_EQ(CompareNoCase("auto1.ins", "AUTO1.INS"), 0);
    EXPECT_EQ(CompareNoCase("InstallScript\\auto1.ins", "installscript\\Auto1.Ins"), 0);
    EXPECT_NE(CompareNoCase("auto1.ins", "auto2.ins"), 0);
    EXPECT_LT(CompareNoCase("auto", "auto1"), 0);
}

TEST(Multibyte, InPlaceDecisionFollowsThePlatformsNames) {
#ifdef _WIN32
    EXPECT_TRUE(SamePathText("C:\\Pkg\\ZorSetup.exe", "c:\\pkg\\zorsetup.EXE"));
#else
    EXPECT_FALSE(SamePathText("/pkg/ZorSetup.exe", "/pkg/zorsetup.exe"));
    EXPECT_TRUE(SamePathText("/pkg/ZorSetup.exe", "/pkg/ZorSetup.exe"));
#endif
}

TEST(Filesystem, DirectoryPartKeepsTheSeparator) {
#ifdef _WIN32
    EXPECT_EQ(DirectoryPartLength("C:\\pkg\\a.exe"), 7u);
    EXPECT_EQ(DirectoryPartLength("C:/pkg/a.exe"), 7u);
#else
    EXPECT_EQ(DirectoryPartLength("/pkg/a.exe"), 5u);
#endif
    EXPECT_EQ(DirectoryPartLength("a.exe"), 0u);
}

TEST(Filesystem, TempFilesAreNewAndNamedFromThePrefix) {
    test::ScratchDir scratch;
    const std::string directory = test::Join(scratch.Path(), "tmp");
    char first[kPathBufferSize];
    char second[kPathBufferSize];
    ASSERT_TRUE(CreateTempFile(directory.c_str(), "KtlZip", first));
    ASSERT_TRUE(CreateTempFile(directory.c_str(), "KtlZip", second));
    EXPECT_STRNE(first, second);
    std::vector<std::string> names = scratch.TempEntries();
    ASSERT_EQ(names.size(), 2u);
    for (const std::string& name : names) {
        EXPECT_EQ(name.rfind("Ktl", 0), 0u) << name;
        EXPECT_TRUE(test::ReadBytes(test::Join(test::Join(scratch.Path(), "tmp"), name)).empty());
    }
    EXPECT_TRUE(DeletePath(first));
    EXPECT_TRUE(DeletePath(second));
    EXPECT_TRUE(scratch.TempEntries().empty());
}

TEST(File, ShortReadsAtTheEndAndFailuresAreReported) {
    test::ScratchDir scratch;
    std::string path = scratch.File("data.bin");
    File file;
    EXPECT_FALSE(file.Open(path.c_str(), Access::Read, Disposition::OpenExisting));
    ASSERT_TRUE(file.Open(path.c_str(), Access::ReadWrite, Disposition::CreateAlways));
    ASSERT_TRUE(file.Write("abcdef", 6));
    ASSERT_TRUE(file.Seek(2, SeekFrom::Begin));
    ASSERT_TRUE(file.SetEnd());
    uint64_t size = 0;
    ASSERT_TRUE(file.Size(&size));
    EXPECT_EQ(size, 2u);
    ASSERT_TRUE(file.Seek(0, SeekFrom::Begin));
    char buffer[8] = {};
    uint32_t got = 0;
    ASSERT_TRUE(file.Read(buffer, sizeof(buffer), &got));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(std::string(buffer, got), "ab");

    fault::Arm(1);
    EXPECT_FALSE(file.Write("x", 1));
    EXPECT_TRUE(fault::Fired());
    fault::Arm(1);
    EXPECT_FALSE(file.Close());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(file.Close());
    fault::Disarm();
}

// Views cover exactly the bytes asked for, in order, across mapping windows; a file cut short
// under a view (a bus error where the pages are mapped) fails it, and nothing worse.
TEST(File, ViewsShowTheBytesAskedForAndFailWhenTheFileIsCutShort) {
    class Collect final : public ByteViewer {
      public:
        bool View(const uint8_t* bytes, uint32_t size) override {
#ifndef _WIN32
            if (cutAt != nullptr && ::truncate(cutAt, 0) == 0) {
                cutAt = nullptr;
                const uint8_t last = static_cast<const volatile uint8_t*>(bytes)[size - 1];
                seen.push_back(last);
            }
#endif
            seen.insert(seen.end(), bytes, bytes + size);
            return true;
        }
        test::Bytes seen;
        const char* cutAt = nullptr;
    };
    test::ScratchDir scratch;
    std::string path = scratch.File("data.bin");
    const test::Bytes data = test::PatternBytes((17u << 20) + 5, 7);
    ASSERT_TRUE(test::WriteBytes(path, data));
    File file;
    ASSERT_TRUE(file.Open(path.c_str(), Access::Read, Disposition::OpenExisting));
    std::vector<uint8_t> buffer(1u << 16);
    Collect all;
    ASSERT_TRUE(file.ViewBytes(3, data.size() - 3, all, buffer.data(), 1u << 16));
    EXPECT_EQ(all.seen.size(), data.size() - 3);
    EXPECT_TRUE(std::equal(all.seen.begin(), all.seen.end(), data.begin() + 3, data.end()));
    Collect pastTheEnd;
    EXPECT_FALSE(file.ViewBytes(data.size() - 2, 3, pastTheEnd, buffer.data(), 1u << 16));
    fault::Arm(1);
    EXPECT_FALSE(file.ViewBytes(0, 4, pastTheEnd, buffer.data(), 1u << 16));
    EXPECT_TRUE(fault::Fired());
    fault::Disarm();
#ifndef _WIN32  // Windows cuts no file that is mapped or being read
    Collect cut;
    cut.cutAt = path.c_str();
    EXPECT_FALSE(file.ViewBytes(0, data.size(), cut, buffer.data(), 1u << 16));
    EXPECT_EQ(cut.cutAt, nullptr);  // it was cut, and the view failed rather than the process
#endif
}

#ifdef _WIN32
TEST(File, ReadSharingRefusesASecondWriter) {
    test::ScratchDir scratch;
    std::string path = scratch.File("package.exe");
    ASSERT_TRUE(test::WriteBytes(path, test::ToBytes("MZ")));
    File reader;
    ASSERT_TRUE(reader.Open(path.c_str(), Access::Read, Disposition::OpenExisting));
    File writer;
    EXPECT_FALSE(writer.Open(path.c_str(), Access::ReadWrite, Disposition::CreateAlways));
    File secondReader;
    EXPECT_TRUE(secondReader.Open(path.c_str(), Access::Read, Disposition::OpenExisting));
}
#else
TEST(Filesystem, RecognisesTheSameFileByAnotherName) {
    test::ScratchDir scratch;
    std::string path = scratch.File("package.exe");
    ASSERT_TRUE(test::WriteBytes(path, test::ToBytes("MZ")));
    File file;
    ASSERT_TRUE(file.Open(path.c_str(), Access::Read, Disposition::OpenExisting));
    std::string other = scratch.Path() + "/./package.exe";
    EXPECT_TRUE(NamesSameFile(file, other.c_str()));
    EXPECT_FALSE(NamesSameFile(file, scratch.File("other.exe").c_str()));
}
#endif

// Run under a double-byte ANSI code page (Wine with LANG=zh_CN.UTF-8); skipped elsewhere.
class DoubleByte : public testing::Test {
  protected:
    void SetUp() override {
#ifdef _WIN32
        if (GetACP() != 936) {
            GTEST_SKIP() << "needs the ANSI code page 936, have " << GetACP();
        }
#else
        GTEST_SKIP() << "POSIX text is walked by bytes";
#endif
    }
};

TEST_F(DoubleByte, TrailByteBackslashIsNoSeparator) {
    // 0x81 0x5C is one character in code page 936; its second byte is the backslash.
    const char path[] =
        "C:\\dir\\\x81\x5C"
        "auto.ins";
    EXPECT_EQ(FindLastChar(path, '\\'), path + 6);
    const char text[] = "\x81\x5C\\x";
    EXPECT_EQ(FindFirstChar(text, '\\'), text + 2);
    EXPECT_EQ(DirectoryPartLength(path), 7u);
}

}  // namespace
}  // namespace platform
