#include "eip/EIP_FIFOStream.h"
#include "../ExpectThrow.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

using namespace eip;

TPacketDataArray Sequence(std::size_t n, std::uint8_t first) {
    TPacketDataArray bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

TPacketDataArray ReadN(TFIFOStream& ring, std::size_t n) {
    TPacketDataArray bytes(n);
    ring.Read(bytes);
    return bytes;
}

TEST(FIFOStreamTest, CountAndOrderSurviveTheWrap) {
    TFIFOStream ring(10, 4, false);
    ring.Write(Sequence(7, 0));
    ReadN(ring, 7); // read position now 7
    ring.Write(Sequence(8, 100));
    EXPECT_EQ(ring.Count(), 8);
    EXPECT_EQ(ring.Free(), 2);
    EXPECT_EQ(ReadN(ring, 8), Sequence(8, 100));
    EXPECT_EQ(ring.Count(), 0);
}

TEST(FIFOStreamTest, AWriteThatFillsTheRingExactlyReadsAsFull) {
    TFIFOStream ring(10, 4, false);
    ring.Write(Sequence(3, 0));
    ReadN(ring, 3);
    ring.Write(Sequence(10, 50)); // head comes round to the tail
    EXPECT_EQ(ring.Count(), 10);
    EXPECT_EQ(ring.Free(), 0);
    EXPECT_THROW(ring.Write(Sequence(1, 0)), EFIFOStream);
    EXPECT_EQ(ring.ReadAll(), Sequence(10, 50));
}

TEST(FIFOStreamTest, OverRunAndUnderRunLeaveTheRingAsItWas) {
    TFIFOStream ring(10, 4, false);
    ring.Write(Sequence(6, 1));
    testsupport::ExpectThrowWhat<EFIFOStream>([&] { ring.Write(Sequence(5, 0)); }, "Buffer over-run.");
    TPacketDataArray tooMany(7);
    testsupport::ExpectThrowWhat<EFIFOStream>([&] { ring.Read(tooMany); }, "Buffer under-run.");
    EXPECT_EQ(ring.ReadAll(), Sequence(6, 1));
    TFIFOStream empty(4, 1, true);
    TPacketDataArray one(1);
    EXPECT_THROW(empty.Read(one), EFIFOStream);
}

TEST(FIFOStreamTest, DiscardOldestDropsAtLeastTheGrowStep) {
    TFIFOStream ring(200, 64, true);
    ring.Write(Sequence(190, 0)); // 10 free
    ring.Write(Sequence(70, 200));
    // max(70 - 10, 64) = 64 oldest bytes go; the 126 kept stay in order.
    EXPECT_EQ(ring.Count(), 196);
    EXPECT_EQ(ring.Dropped(), Sequence(64, 0));
    TPacketDataArray expected = Sequence(126, 64);
    const TPacketDataArray added = Sequence(70, 200);
    expected.insert(expected.end(), added.begin(), added.end());
    EXPECT_EQ(ring.ReadAll(), expected);
    // No more than is held: needs 10, would drop 64, only 40 held.
    ring.Write(Sequence(40, 0));
    ring.Write(Sequence(170, 100));
    EXPECT_EQ(ring.ReadAll(), Sequence(170, 100));
    // A block larger than the ring keeps its newest bytes.
    ring.Write(Sequence(3, 0));
    ring.Write(Sequence(210, 20));
    EXPECT_EQ(ring.ReadAll(), Sequence(200, 30));
}

TEST(FIFOStreamTest, PeekHandlesTheWrapAndRemovesNothing) {
    TFIFOStream ring(6, 1, false);
    ring.Write(Sequence(5, 0));
    ReadN(ring, 4);
    ring.Write(Sequence(4, 10)); // 4, 10, 11 | 12, 13 wrapped
    TPacketDataArray front(5);
    ring.Peek(front);
    EXPECT_EQ(front, (TPacketDataArray{4, 10, 11, 12, 13}));
    EXPECT_EQ(ring.Count(), 5);
    ring.Skip(2);
    EXPECT_EQ(ring.ReadAll(), (TPacketDataArray{11, 12, 13}));
}

// Framing by the second byte of a 2-byte header: the packet is header + that many bytes.
std::int32_t TwoPlusSecondByte(std::span<const std::uint8_t> header) { return 2 + header[1]; }

TEST(FIFOStreamTest, ReadFramedTakesOnlyAWholePacketAcrossTheWrap) {
    TFIFOStream ring(10, 4, false);
    ring.Write(Sequence(7, 0));
    ReadN(ring, 7); // the next packet wraps round the end
    ring.Write(TPacketDataArray{0xAA, 0x04, 1, 2});
    EXPECT_TRUE(ring.ReadFramed(2, TwoPlusSecondByte).empty()); // two bytes still to come
    EXPECT_EQ(ring.Count(), 4);
    ring.Write(TPacketDataArray{3, 4, 0xBB});
    EXPECT_EQ(ring.ReadFramed(2, TwoPlusSecondByte), (TPacketDataArray{0xAA, 0x04, 1, 2, 3, 4}));
    EXPECT_TRUE(ring.ReadFramed(2, TwoPlusSecondByte).empty()); // one byte: no header yet
    EXPECT_EQ(ring.ReadAll(), (TPacketDataArray{0xBB}));
}

} // namespace
