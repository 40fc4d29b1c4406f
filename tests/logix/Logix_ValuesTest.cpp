// Named values out of decoded tags: every value under a name of its own, with
// its full range, for each kind of tag the Logix layer decodes.
#include "logix/Logix_Factory.h"
#include "logix/Logix_Read.h"
#include "logix/Logix_Struct.h"
#include "logix/Logix_Values.h"

#include "TemplateBuild.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace {

using namespace logix;
using logixtest::Bytes;
using logixtest::Reply;
using logixtest::Template;

Bytes Typed(std::uint16_t type, Bytes values) {
    Bytes data{static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(type >> 8)};
    data.insert(data.end(), values.begin(), values.end());
    return data;
}

std::unique_ptr<TLogixTag> Atomic(std::uint16_t type, std::uint16_t count, Bytes values) {
    auto tag = TLogixTagFactory::CreateByType(type, "T", count);
    tag->SetData(Typed(type, std::move(values)), 0);
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

TEST(LogixValues, AtomicValuesKeepTheirFullRange) {
    auto ulint = ByName(FlattenTag(*Atomic(cipType::ULINT, 1, Bytes(8, 0xFF)), Named("U")));
    EXPECT_EQ(ulint.at("U").AsUInt64(), 18446744073709551615ULL);
    EXPECT_EQ(ulint.at("U").AsString(), "18446744073709551615");
    auto lint = ByName(FlattenTag(*Atomic(cipType::LINT, 1, {0, 0, 0, 0, 0, 0, 0, 0x80}), Named("L")));
    EXPECT_EQ(lint.at("L").AsInt64(), INT64_MIN);
    auto udint = ByName(FlattenTag(*Atomic(cipType::UDINT, 1, {0x00, 0x28, 0x6B, 0xEE}), Named("D")));
    EXPECT_EQ(udint.at("D").AsInt64(), 4000000000LL);
    auto sint = ByName(FlattenTag(*Atomic(cipType::SINT, 2, {0x80, 0x7F}), Named("S", 2)));
    EXPECT_EQ(sint.at("S1").AsInteger(), -128);
    EXPECT_EQ(sint.at("S2").AsInteger(), 127);
    auto lword = ByName(FlattenTag(*Atomic(cipType::LWORD, 1, {0, 0, 0, 0, 0, 0, 0, 0x80}), Named("W")));
    EXPECT_EQ(lword.size(), 64u);
    EXPECT_TRUE(lword.at("W63").AsBoolean());
    EXPECT_FALSE(lword.at("W62").AsBoolean());
}

TEST(LogixValues, EachElementOfABitStringGivesItsOwnBitsUnderNamesOfTheirOwn) {
    // Two DWORDs 0x00000001 and 0x80000000: element 2's bit 31 is not element
    // 1's, and 64 bits land on 64 names.
    auto two = ByName(FlattenTag(*Atomic(cipType::DWORD, 2, {1, 0, 0, 0, 0, 0, 0, 0x80}), Named("W", 2)));
    ASSERT_EQ(two.size(), 64u);
    EXPECT_TRUE(two.at("W10").AsBoolean());
    EXPECT_FALSE(two.at("W131").AsBoolean());
    EXPECT_FALSE(two.at("W20").AsBoolean());
    EXPECT_TRUE(two.at("W231").AsBoolean());
    // Twelve elements: element 1 bit 10 and element 11 bit 0 no longer meet.
    Bytes words(48, 0);
    words[1] = 0x04;  // element 1, bit 10
    words[40] = 0x01; // element 11, bit 0
    auto twelve = ByName(FlattenTag(*Atomic(cipType::DWORD, 12, words), Named("W", 12)));
    ASSERT_EQ(twelve.size(), 384u);
    EXPECT_TRUE(twelve.at("W1_10").AsBoolean());
    EXPECT_TRUE(twelve.at("W11_0").AsBoolean());
    EXPECT_FALSE(twelve.at("W11_10").AsBoolean());
    // A selected range, element by element.
    TLogixNaming some = Named("W", 2);
    some.BitPart = "0:1";
    EXPECT_EQ(ByName(FlattenTag(*Atomic(cipType::DWORD, 2, {3, 0, 0, 0, 2, 0, 0, 0}), some)),
              (std::map<std::string, Variant>{{"W10", true}, {"W11", true}, {"W20", false}, {"W21", true}}));
}

TEST(LogixValues, IntegerBitsCoverTheWholeWidthOfTheType) {
    TLogixNaming bits = Named("L");
    bits.IntegerBits = true;
    bits.BitPart = "39:40";
    auto lint = ByName(FlattenTag(*Atomic(cipType::LINT, 1, {0, 0, 0, 0, 0, 0x01, 0, 0}), bits));
    EXPECT_EQ(lint, (std::map<std::string, Variant>{{"L39", false}, {"L40", true}}));
    bits.BitPart.clear();
    EXPECT_EQ(FlattenTag(*Atomic(cipType::INT, 1, {0, 0}), bits).size(), 16u);
}

TEST(LogixValues, ScaleAppliesToTheTagsOwnNumbers) {
    TLogixNaming scaled = Named("R");
    scaled.Scale = 2;
    EXPECT_DOUBLE_EQ(FlattenTag(*Atomic(cipType::REAL, 1, {0x00, 0x00, 0xAC, 0x41}), scaled).at(0).Value.AsDouble(),
                     43.0); // 21.5 x 2
    scaled.Scale = 0.1;
    const Variant tenth = FlattenTag(*Atomic(cipType::DINT, 1, {25, 0, 0, 0}), scaled).at(0).Value;
    EXPECT_EQ(qor::VarElementType(tenth.Type()), qor::VarType::Double);
    EXPECT_DOUBLE_EQ(tenth.AsDouble(), 2.5);
    scaled.IntegerBits = true;
    EXPECT_TRUE(FlattenTag(*Atomic(cipType::DINT, 1, {1, 0, 0, 0}), scaled).at(0).Value.AsBoolean());
}

TEST(LogixValues, TimeIsADurationAndDatesAreDates) {
    auto time = FlattenTag(*Atomic(cipType::TIME, 1, {0xC2, 0xB9, 0xAE, 0x02}), Named("Up"));
    EXPECT_EQ(time.at(0).Value.AsInteger(), 45005250); // 12:30:05.250 as milliseconds
    auto date = FlattenTag(*Atomic(cipType::DATE, 1, {0x7B, 0x4A}), Named("D"));
    EXPECT_EQ(date.at(0).Value.Type(), qor::VarType::Date);
    EXPECT_DOUBLE_EQ(date.at(0).Value.AsDateTime(), qor::EncodeDateTime({2024, 3, 15}));
}

// Leaf {A INT, B REAL}; Mid {L Leaf, Ls Leaf[2], N DINT}; Top {M Mid, S Str6}
// with Str6 a custom string (LEN DINT, DATA SINT[6]).
class NestedStructures : public ::testing::Test {
protected:
    void SetUp() override {
        cache_.Add(Template("Leaf", 8, 0x1001, {{"A", 0xC3, 0}, {"B", 0xCA, 4}}, 0x101));
        cache_.Add(Template("Mid", 28, 0x1002, {{"L", 0x8101, 0}, {"Ls", 0xA101, 8, 2}, {"N", 0xC4, 24}}, 0x102));
        cache_.Add(Template("Str6", 12, 0x1003, {{"LEN", 0xC4, 0}, {"DATA", 0x20C2, 4, 6}}, 0x103));
    }
    std::unique_ptr<TLogixUDT> Top(std::uint16_t count, const Bytes& elements) {
        auto tag = TLogixUDT::Create("Top", nullptr, Template("Top", 40, 0x1004, {{"M", 0x8102, 0}, {"S", 0x8103, 28}}),
                                     count);
        tag->NestedTemplates = &cache_;
        tag->SetData(Reply(0x1004, elements), 0);
        return tag;
    }
    static Bytes Element(std::uint8_t seed, const char* text) {
        Bytes e(40, 0);
        for (int leaf = 0; leaf < 3; ++leaf) {
            e[8 * leaf] = static_cast<std::uint8_t>(seed + leaf); // A
            e[8 * leaf + 7] = 0x3F;                               // B = 0.5 (00 00 00 3F)
        }
        e[24] = seed;
        const std::size_t n = std::strlen(text);
        e[28] = static_cast<std::uint8_t>(n);
        std::copy(text, text + n, e.begin() + 32);
        return e;
    }
    TTemplateInfoList cache_;
};

TEST_F(NestedStructures, MembersGetFullDottedNamesAtEveryDepth) {
    const auto values = ByName(FlattenTag(*Top(1, Element(10, "Pump")), Named("T")));
    EXPECT_EQ(values, (std::map<std::string, Variant>{{"T.M.L.A", std::int16_t{10}},
                                                     {"T.M.L.B", 0.5},
                                                     {"T.M.Ls[0].A", std::int16_t{11}},
                                                     {"T.M.Ls[0].B", 0.5},
                                                     {"T.M.Ls[1].A", std::int16_t{12}},
                                                     {"T.M.Ls[1].B", 0.5},
                                                     {"T.M.N", 10},
                                                     {"T.S", "Pump"}}));
}

TEST_F(NestedStructures, EveryElementOfAnArrayOfStructuresIsExported) {
    Bytes two = Element(10, "A");
    const Bytes second = Element(20, "Second");
    two.insert(two.end(), second.begin(), second.end());
    const auto values = ByName(FlattenTag(*Top(2, two), Named("T", 2)));
    EXPECT_EQ(values.size(), 16u);
    EXPECT_EQ(values.at("T1.M.N").AsInteger(), 10);
    EXPECT_EQ(values.at("T2.M.N").AsInteger(), 20);
    EXPECT_EQ(values.at("T2.M.Ls[1].A").AsInteger(), 22);
    EXPECT_EQ(values.at("T2.S").AsString(), "Second");
    // One of several addresses of a request: its first element only.
    TLogixNaming first = Named("T", 2);
    first.AllElements = false;
    EXPECT_EQ(ByName(FlattenTag(*Top(2, two), first)).count("T2.M.N"), 0u);
}

TEST(LogixValues, ATimerCountsAsItsAccumulatorUnlessItsMembersAreAsked) {
    // As controllers list it: the DWORD CTL hosting EN/TT/DN at byte 3.
    auto layout = Template("TIMER", 12, 0x0F83,
                           {{"CTL", 0xD3, 0}, {"PRE", 0xC4, 4}, {"ACC", 0xC4, 8}, {"EN", 0xC1, 3, 7}, {"TT", 0xC1, 3, 6},
                            {"DN", 0xC1, 3, 5}});
    layout->FindMember("CTL")->Hidden = true;
    auto timers = TLogixTagFactory::CreateStructTag("D", nullptr, std::move(layout), 2);
    ASSERT_EQ(timers->LogixType(), TLogixType::TIMER);
    timers->SetData(Reply(0x0F83, Bytes{0, 0, 0, 0xA0, 0x88, 0x13, 0, 0, 0xD2, 0x04, 0, 0, //
                                        0, 0, 0, 0x20, 0x64, 0, 0, 0, 0x64, 0, 0, 0}),
                    0);
    EXPECT_EQ(ByName(FlattenTag(*timers, Named("D", 2))),
              (std::map<std::string, Variant>{{"D1", 1234}, {"D2", 100}}));
    TLogixNaming members = Named("D", 2);
    members.StructureMembers = true;
    const auto all = ByName(FlattenTag(*timers, members));
    EXPECT_EQ(all.size(), 10u);
    EXPECT_EQ(all.at("D1.PRE").AsInteger(), 5000);
    EXPECT_TRUE(all.at("D1.EN").AsBoolean());
    EXPECT_FALSE(all.at("D1.TT").AsBoolean());
    EXPECT_TRUE(all.at("D2.DN").AsBoolean());
    EXPECT_EQ(all.count("D1.CTL"), 0u);
}

TEST(LogixValues, BitsTakenOutOfWordsAreOneValueEach) {
    auto one = MakeBitTag("Alarms[33]", {true});
    EXPECT_EQ(ByName(FlattenTag(*one, Named("Alarms33"))), (std::map<std::string, Variant>{{"Alarms33", true}}));
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

} // namespace
