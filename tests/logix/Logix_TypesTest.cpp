#include "logix/Logix_Types.h"

#include <gtest/gtest.h>

using namespace logix;

namespace {

const std::vector<std::uint8_t> Sample{0x01, 0x02, 0x03, 0x84, 0x05, 0x06, 0x07, 0x88};

// The value of every type at its extremes is read by the truth test; what
// is no value, and a value past the bytes.
TEST(LogixTypes, ConvertValueOfNoValueOrPastTheBytes) {
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
