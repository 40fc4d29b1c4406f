#include "common/Variant.h"
#include "../ExpectThrow.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

using qor::EVariantError;
using qor::Variant;
using qor::VarType;

TEST(VariantTest, TextConvertsToNumbersLikeTheHostWritesThem) {
    EXPECT_EQ(Variant("  -7 ").AsInteger(), -7);
    EXPECT_EQ(Variant("$1F").AsInteger(), 31);
    EXPECT_EQ(Variant("0x0302").AsInteger(), 770);
    // Floats round half to even.
    EXPECT_EQ(Variant("2.5").AsInteger(), 2);
    EXPECT_EQ(Variant("3.5").AsInteger(), 4);
    EXPECT_DOUBLE_EQ(Variant("1.25").AsDouble(), 1.25);
    EXPECT_TRUE(Variant("TRUE").AsBoolean());
    EXPECT_FALSE(Variant("false").AsBoolean());
    EXPECT_TRUE(Variant("2").AsBoolean());
    EXPECT_THROW(Variant("12a").AsInteger(), EVariantError);
    EXPECT_THROW(Variant("").AsInteger(), EVariantError);
    EXPECT_THROW(Variant("maybe").AsBoolean(), EVariantError);
}

TEST(VariantTest, MissingValuesAreZeroFalseAndEmptyTextAndTrueIsMinusOne) {
    for (const Variant& v : {Variant(), Variant::MakeNull()}) {
        EXPECT_TRUE(v.IsEmptyOrNull());
        EXPECT_EQ(v.AsInteger(), 0);
        EXPECT_FALSE(v.AsBoolean());
        EXPECT_EQ(v.AsString(), "");
    }
    EXPECT_EQ(Variant(true).AsInteger(), -1);
    EXPECT_EQ(Variant(false).AsInt64(), 0);
    EXPECT_EQ(Variant(true).AsString(), "True");
}

TEST(VariantTest, OutOfRangeConversionsRaiseOverflow) {
    EXPECT_THROW(Variant(std::numeric_limits<std::uint64_t>::max()).AsInteger(), EVariantError);
    EXPECT_THROW(Variant(std::numeric_limits<std::uint64_t>::max()).AsInt64(), EVariantError);
    EXPECT_THROW(Variant(0x1'0000'0000LL).AsInteger(), EVariantError);
    EXPECT_THROW(Variant(1e300).AsInt64(), EVariantError);
    EXPECT_THROW(Variant(std::int32_t{-1}).AsUInt64(), EVariantError);
    EXPECT_EQ(Variant("18446744073709551615").AsUInt64(), std::numeric_limits<std::uint64_t>::max());
    testsupport::ExpectThrowWhat<EVariantError>(
        [&] { Variant("x").AsInteger(); }, "Could not convert variant of type (String) into type (Int64)");
}

TEST(VariantTest, TextOfNumbersDatesAndCurrency) {
    EXPECT_EQ(Variant(std::int16_t{-770}).AsString(), "-770");
    EXPECT_EQ(Variant(1.5).AsString(), "1.5");
    EXPECT_EQ(Variant(0.1f).AsString(), "0.1");
    EXPECT_EQ(Variant::FromCurrency(12345).AsString(), "1.2345");
    EXPECT_EQ(Variant::FromCurrency(-50000).AsString(), "-5");
    EXPECT_EQ(Variant::FromCurrency(std::numeric_limits<std::int64_t>::min()).AsString(), "-922337203685477.5808");
    EXPECT_EQ(Variant::FromDateTime(45356.5).AsString(), "2024-03-05 12:00:00");
    EXPECT_EQ(Variant::FromDateTime(2.0).AsString(), "1900-01-01");
}

TEST(VariantTest, DateTimeCountsDaysFrom18991230) {
    EXPECT_DOUBLE_EQ(qor::EncodeDateTime({1899, 12, 30}), 0.0);
    EXPECT_DOUBLE_EQ(qor::EncodeDateTime({2000, 1, 1}), 36526.0);
    EXPECT_DOUBLE_EQ(qor::EncodeDateTime({1970, 1, 1, 18}), 25569.75);
    // Before the epoch the time of day still counts forward.
    EXPECT_DOUBLE_EQ(qor::EncodeDateTime({1899, 12, 29, 6}), -1.25);
    const qor::TDateTimeParts p = qor::DecodeDateTime(-1.25);
    EXPECT_EQ(p.Day, 29);
    EXPECT_EQ(p.Hour, 6);
    const qor::TDateTimeParts q = qor::DecodeDateTime(qor::EncodeDateTime({2024, 2, 29, 23, 59, 59, 999}));
    EXPECT_EQ(q.Month, 2);
    EXPECT_EQ(q.Day, 29);
    EXPECT_EQ(q.Second, 59);
    EXPECT_EQ(q.Millisecond, 999);
    EXPECT_EQ(qor::DateTimeToUnixMilliseconds(qor::DateTimeFromUnixMilliseconds(1'700'000'000'123)),
              1'700'000'000'123);
}

TEST(VariantTest, EqualityComparesValuesNotWidths) {
    EXPECT_EQ(Variant(std::int32_t{5}), Variant(std::uint8_t{5}));
    EXPECT_EQ(Variant(std::int32_t{5}), Variant(5.0));
    EXPECT_EQ(Variant("a"), Variant(std::u16string(u"a")));
    EXPECT_EQ(Variant::MakeNull(), Variant::MakeNull());
    EXPECT_NE(Variant(), Variant::MakeNull());
    EXPECT_NE(Variant("5"), Variant(std::int32_t{5}));
    EXPECT_NE(Variant(true), Variant(std::int32_t{-1}));
    EXPECT_NE(Variant(std::numeric_limits<std::uint64_t>::max()), Variant(std::int64_t{-1}));
    const Variant a = Variant::MakeArray({Variant(std::int32_t{1}), Variant("x")});
    EXPECT_EQ(a, Variant::MakeArray({Variant(1.0), Variant("x")}));
    EXPECT_NE(a, Variant::MakeArray({Variant(std::int32_t{1})}));
    EXPECT_EQ(a.Type(), VarType(0x200C));
    EXPECT_THROW(a.AsString(), EVariantError);
}

} // namespace
