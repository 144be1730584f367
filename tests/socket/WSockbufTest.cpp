#include "socket/WSockbuf.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Unread(TBuffer& b)
{
    Integer len = -1;
    char* p = b.PeekData(len);
    return p ? std::string(p, static_cast<size_t>(len)) : std::string();
}

TEST(TBufferTest, ConstructionDefaultsNonPositiveSizeTo1514)
{
    TBuffer b0(0), bneg(-5), b10(10);
    EXPECT_EQ(b0.Size(), 1514);
    EXPECT_EQ(bneg.Size(), 1514);
    EXPECT_EQ(b10.Size(), 10);
    EXPECT_EQ(b10.WritePos(), 0);
    EXPECT_EQ(b10.ReadPos(), 0);
}

TEST(TBufferTest, AppendTakesOnlyTheRoomLeft)
{
    TBuffer b(10);
    EXPECT_EQ(b.Append("abcdef", 6), 6);
    EXPECT_EQ(b.Append("ghijkl", 6), 4);
    EXPECT_EQ(b.WritePos(), 10);
    EXPECT_EQ(b.Append("x", 1), 0);
    EXPECT_EQ(Unread(b), "abcdefghij");
}

TEST(TBufferTest, PeekDoesNotConsumeAndConsumeStopsAtUnread)
{
    TBuffer b(16);
    Integer len = 99;
    EXPECT_EQ(b.PeekData(len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(b.Consume(5), 0);

    b.Append("hello world", 11);
    EXPECT_EQ(Unread(b), "hello world");
    EXPECT_EQ(Unread(b), "hello world");

    EXPECT_EQ(b.Consume(6), 6);
    EXPECT_EQ(b.ReadPos(), 6);
    EXPECT_EQ(Unread(b), "world");
    EXPECT_EQ(b.Consume(-3), 0);
    EXPECT_EQ(b.ReadPos(), 6);
}

TEST(TBufferTest, ConsumedFrontIsNotReusedUntilDrained)
{
    TBuffer b(8);
    b.Append("abcdefgh", 8);
    EXPECT_EQ(b.Consume(5), 5);
    // Five bytes at the front are free, but the block still holds unread
    // bytes, so nothing fits.
    EXPECT_EQ(b.Append("x", 1), 0);

    // Draining returns both positions to 0 and the whole block is free.
    EXPECT_EQ(b.Consume(100), 3);
    EXPECT_EQ(b.ReadPos(), 0);
    EXPECT_EQ(b.WritePos(), 0);
    EXPECT_EQ(b.Append("12345678", 8), 8);
    EXPECT_EQ(Unread(b), "12345678");
}

TEST(TBufferTest, ResizeKeepsWrittenBytesAndPositions)
{
    TBuffer b(8);
    b.Append("abcdef", 6);
    b.Consume(2);
    b.Resize(20);
    EXPECT_EQ(b.Size(), 20);
    EXPECT_EQ(b.WritePos(), 6);
    EXPECT_EQ(b.ReadPos(), 2);
    EXPECT_EQ(Unread(b), "cdef");
    EXPECT_EQ(b.Append("0123456789abcdefXYZ", 19), 14);

    b.Resize(0);
    EXPECT_EQ(b.Size(), 1514);
    EXPECT_EQ(Unread(b), "cdef0123456789abcd");
}

// Regression: a size below WritePos used to copy WritePos bytes into the
// smaller storage.
TEST(TBufferTest, ResizeBelowWritePosKeepsEveryWrittenByte)
{
    TBuffer b(10);
    b.Append("abcdefghij", 10);
    b.Resize(3);
    EXPECT_EQ(b.Size(), 10);
    EXPECT_EQ(Unread(b), "abcdefghij");
}

} // namespace
