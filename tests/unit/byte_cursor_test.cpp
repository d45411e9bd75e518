#include "package/byte_cursor.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace package
