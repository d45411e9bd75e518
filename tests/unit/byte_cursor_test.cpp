#include "package/byte_cursor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "package/zip_records.h"

namespace package {
namespace {

TEST(ByteCursor, ReadsLittleEndianAndStopsAtTheEnd) {
    const uint8_t data[] = {0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xAA};
    ByteCursor cursor(data, sizeof(data));
    EXPECT_EQ(cursor.U16(), 0x1234);
    EXPECT_EQ(cursor.U32(), 0x12345678u);
    EXPECT_TRUE(cursor.Ok());
    EXPECT_EQ(cursor.Remaining(), 1u);
    // Two bytes wanted, one left: the read yields zero and the error sticks.
    EXPECT_EQ(cursor.U16(), 0);
    EXPECT_FALSE(cursor.Ok());
    cursor.SeekTo(0);
    EXPECT_EQ(cursor.U16(), 0);
    EXPECT_FALSE(cursor.Ok());
}

TEST(ByteCursor, HugeLengthsDoNotWrapAround) {
    const uint8_t data[8] = {};
    ByteCursor cursor(data, sizeof(data));
    cursor.Skip(4);
    EXPECT_EQ(cursor.Bytes(SIZE_MAX - 2), nullptr);
    EXPECT_FALSE(cursor.Ok());

    ByteCursor other(data, sizeof(data));
    other.SeekTo(9);
    EXPECT_FALSE(other.Ok());
}

// A record's one description packs it as the ZIP format lays it out, and reads it back; a
// short or foreign record is refused.
TEST(ByteCursor, RecordsReadAndWriteByTheirDescription) {
    EndOfCentralDirectory end;
    end.signature = EndOfCentralDirectory::kSignature;
    end.entriesOnDisk = 3;
    end.totalEntries = 3;
    end.directorySize = 0x11223344;
    end.directoryOffset = 0x55667788;
    end.commentLength = 0x0102;
    const auto bytes = RecordBytes(end);
    const uint8_t expected[22] = {0x50, 0x4B, 0x05, 0x06, 0,    0,    0,    0,    3,    0,    3,
                                  0,    0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55, 0x02, 0x01};
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), std::begin(expected), std::end(expected)));

    ByteCursor cursor(bytes.data(), bytes.size());
    EndOfCentralDirectory read;
    ASSERT_TRUE(ReadRecord(cursor, read));
    EXPECT_EQ(read.directorySize, end.directorySize);
    EXPECT_EQ(read.directoryOffset, end.directoryOffset);
    EXPECT_EQ(read.commentLength, end.commentLength);
    EXPECT_EQ(cursor.Remaining(), 0u);

    ByteCursor shortCursor(bytes.data(), bytes.size() - 1);
    EXPECT_FALSE(ReadRecord(shortCursor, read));
    EXPECT_FALSE(shortCursor.Ok());
    ByteCursor asLocal(bytes.data(), bytes.size());
    LocalFileHeader local;
    EXPECT_FALSE(ReadRecord(asLocal, local));  // another signature, and too short besides

    uint8_t two[2];
    ByteWriter writer(two, sizeof(two));
    writer.U32(1);
    EXPECT_FALSE(writer.Ok());
}

}  // namespace
}  // namespace package
