#include "eip/EIP_Conversion.h"
#include "../ExpectThrow.h"

#include <gtest/gtest.h>

namespace {

using namespace eip;

TEST(ConversionTest, ReadersAreLittleEndianAndRangeChecked) {
    const TPacketDataArray a{0x01, 0x02, 0x03, 0x04, 0x05};
    EXPECT_EQ(ToUInt16(a, 3), 0x0504);
    EXPECT_EQ(ToUInt32(a, 0), 0x04030201u);
    testsupport::ExpectThrowWhat<EListError>([&] { ToUInt16(a, 4); }, "List index out of bounds (4)");
    EXPECT_THROW(ToByte(a, 5), EListError);
    EXPECT_THROW(ToInt64(a, 0), EListError);
    EXPECT_NO_THROW(CheckRange(2, 5, 4, false));
}

TEST(ConversionTest, ArrayCopyClipsToTheWindowAndZeroesWhatTheSourceCannotFill) {
    struct Case {
        TPacketDataArray Src;
        int SrcIndex, Count, DstIndex;
        TPacketDataArray Dst;
    };
    const Case cases[] = {
        {{1, 2, 3, 4, 5}, 0, 5, 2, {9, 9, 1, 2, 3}}, // only 3 bytes of room
        {{1, 2}, 0, 4, 1, {9, 1, 2, 0, 0}},
        {{1, 2}, 7, 2, 0, {0, 0, 9, 9, 9}}, // source index past its end: window zeroed only
        {{}, 0, 2, 0, {9, 9, 9, 9, 9}},     // empty arrays and bad counts change nothing
        {{1}, 0, 0, 0, {9, 9, 9, 9, 9}},
        {{1}, 0, -1, 0, {9, 9, 9, 9, 9}},
        {{1}, 0, 1, 5, {9, 9, 9, 9, 9}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "from " << c.SrcIndex << " count " << c.Count << " to " << c.DstIndex);
        TPacketDataArray dst{9, 9, 9, 9, 9};
        ArrayCopy(c.Src, c.SrcIndex, dst, c.Count, c.DstIndex);
        EXPECT_EQ(dst, c.Dst);
    }
}

} // namespace
