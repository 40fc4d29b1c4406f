// Named values out of decoded tags, where the truth test's tables do not
// reach: a bit range over several elements, integer bits under a scale, bits
// taken out of MicroLogix words, and every character a derived name drops.
// (Every atomic type at its extremes, bit strings, BOOL arrays, dates, timers,
// nested structures and arrays of them are read by the truth test through the
// real programs and compared value by value.)
#include "logix/Logix_Values.h"
#include "logix/Logix_Types.h"
#include "logix/Logix_Factory.h"
#include "logix/Logix_Read.h"
#include "../ExpectThrow.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace logix;
using Bytes = std::vector<std::uint8_t>;

std::unique_ptr<TLogixTag> Atomic(std::uint16_t type, std::uint16_t count, Bytes values) {
    auto tag = TLogixTagFactory::CreateByType(type, "T", count);
    values.insert(values.begin(), {static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(type >> 8)});
    tag->SetData(values, 0);
    return tag;
}

TLogixNaming Named(std::string stem, std::uint16_t number = 1) {
    TLogixNaming naming;
    naming.Stem = std::move(stem);
    naming.Number = number;
    return naming;
}

// The values by name; a name given twice fails the test.
std::map<std::string, Variant> ByName(const std::vector<TLogixValue>& values) {
    std::map<std::string, Variant> out;
    for (const auto& v : values)
        EXPECT_TRUE(out.emplace(v.Name, v.Value).second) << "name given twice: " << v.Name;
    return out;
}

TEST(LogixValues, BitRangesAndIntegerBitsKeepToEachElement) {
    // Bits 0..1 of two DWORDs 3 and 2, element by element.
    TLogixNaming some = Named("W", 2);
    some.BitPart = "0:1";
    EXPECT_EQ(ByName(FlattenTag(*Atomic(cipType::DWORD, 2, {3, 0, 0, 0, 2, 0, 0, 0}), some)),
              (std::map<std::string, Variant>{{"W10", true}, {"W11", true}, {"W20", false}, {"W21", true}}));
    // An integer read as bits stays bits under a scale.
    TLogixNaming bits = Named("D");
    bits.IntegerBits = true;
    bits.Scale = 0.1;
    EXPECT_TRUE(FlattenTag(*Atomic(cipType::DINT, 1, {1, 0, 0, 0}), bits).at(0).Value.AsBoolean());
}

TEST(LogixValues, BitsTakenOutOfWordsAreOneValueEach) {
    auto one = MakeBitTag("Alarms[33]", {true});
    EXPECT_EQ(ByName(FlattenTag(*one, Named("Alarms33"))),
              (std::map<std::string, Variant>{{"Alarms33", true}}));
    auto three = MakeBitTag("B3/0", {true, false, true});
    EXPECT_EQ(ByName(FlattenTag(*three, Named("B", 3))),
              (std::map<std::string, Variant>{{"B1", true}, {"B2", false}, {"B3", true}}));
}

TEST(LogixValues, ExportNamesFromAddresses) {
    EXPECT_EQ(ExportNameFromAddress("Counts[2]"), "Counts2");
    EXPECT_EQ(ExportNameFromAddress("Program:Main.Steps[4]"), "ProgramMain.Steps4");
    EXPECT_EQ(ExportNameFromAddress("X;com1"), "X\r_com1");
    EXPECT_EQ(ExportNameFromAddress("a\"b'c*d+e/f:g<h=i>j?k[l]m\\n|o"), "abcdefghijklmno");
    EXPECT_EQ(ExportNameFromAddress("LPT"), "_LPT");
    EXPECT_EQ(ExportNameFromAddress(""), "");
}

const Bytes Sample{0x01, 0x02, 0x03, 0x84, 0x05, 0x06, 0x07, 0x88};

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
    testsupport::ExpectThrowWhat<eip::EListError>([&] { ConvertArray(Sample, 6, 4, cipType::INT); },
                                                  "List index out of bounds (10)");
}

} // namespace
