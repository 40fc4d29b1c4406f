#include "logix/Logix_Types.h"

#include <gtest/gtest.h>

using namespace logix;

namespace {

const std::vector<std::uint8_t> Sample{0x01, 0x02, 0x03, 0x84, 0x05, 0x06, 0x07, 0x88};

TEST(LogixTypes, ConvertValueReadsLittleEndianOfEachKind) {
    EXPECT_EQ(ConvertValue(Sample, 3, cipType::SINT).AsInteger(), -124);
    EXPECT_EQ(ConvertValue(Sample, 3, cipType::USINT).AsInteger(), 0x84);
    EXPECT_EQ(ConvertValue(Sample, 0, cipType::INT).AsInteger(), 0x0201);
    EXPECT_EQ(ConvertValue(Sample, 2, cipType::INT).AsInteger(), static_cast<std::int16_t>(0x8403));
    EXPECT_EQ(ConvertValue(Sample, 2, cipType::UINT).AsInteger(), 0x8403);
    EXPECT_EQ(ConvertValue(Sample, 4, cipType::DINT).AsInteger(), static_cast<std::int32_t>(0x88070605));
    EXPECT_EQ(ConvertValue(Sample, 4, cipType::UDINT).AsInt64(), 0x88070605LL);
    // Unsigned to the top: a ULINT above 2^63 is no negative number.
    EXPECT_EQ(ConvertValue(Sample, 0, cipType::ULINT).AsUInt64(), 0x8807060584030201ULL);
    EXPECT_EQ(ConvertValue(Sample, 0, cipType::LINT).AsInt64(), static_cast<std::int64_t>(0x8807060584030201ULL));
    EXPECT_TRUE(ConvertValue(Sample, 0, cipType::BOOL).IsEmpty());
    EXPECT_TRUE(ConvertValue(Sample, 0, cipType::STRING).IsEmpty());
    EXPECT_THROW(ConvertValue(Sample, 6, cipType::DINT), eip::EListError);
}

TEST(LogixTypes, ConvertArrayTakesWholeElementsAndChecksTheRange) {
    const Variant ints = ConvertArray(Sample, 2, 6, cipType::INT);
    ASSERT_EQ(ints.AsArray().size(), 3u);
    EXPECT_EQ(ints.AsArray()[0].AsInteger(), static_cast<std::int16_t>(0x8403));
    EXPECT_EQ(ints.AsArray()[2].AsInteger(), static_cast<std::int16_t>(0x8807));
    EXPECT_TRUE(ConvertArray(Sample, 8, 0, cipType::DINT).AsArray().empty());
    try {
        ConvertArray(Sample, 6, 4, cipType::INT);
        FAIL();
    } catch (const eip::EListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (10)");
    }
}

} // namespace
