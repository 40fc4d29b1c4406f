// The tag text format and the values it puts into the tag database.
#include "sim/TagFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

using Bytes = std::vector<std::uint8_t>;

class TagFileTest : public ::testing::Test {
protected:
    Bytes TagBytes(const std::string& name) {
        std::optional<sim::SimTag> tag = tags_.Find(name);
        return tag ? tag->Data : Bytes{};
    }
    std::string ErrorOf(const std::string& text) {
        try {
            sim::LoadTagText(text, tags_, files_);
        } catch (const sim::ETagFile& e) {
            return e.what();
        }
        return "";
    }

    sim::TagDatabase tags_;
    sim::DataTable files_;
};

TEST_F(TagFileTest, ValuesBecomeLittleEndianElements) {
    sim::LoadTagText("# a comment\n"
                     "INT    Negative = -2\n"
                     "int    AllOnes  = 0xFFFF   # comment after a value\n"
                     "\n"
                     "REAL   Half[2]  = 1.5, -2\n"
                     "BOOL   Run      = true\n"
                     "ULINT  Max      = 0xFFFFFFFFFFFFFFFF\n"
                     "LINT   Min      = -9223372036854775808\n"
                     "DINT   Ramp[4]  = 3..1\n"
                     "SINT   Cube[2,1,2] = 1 2 3\n"
                     "DWORD  Program:Main.Bits[1] = 0x80000001\n"
                     "DATE   Day = 2024-03-15\nTIME Up = 12:30:05.250\n",
                     tags_, files_);
    EXPECT_EQ(TagBytes("Negative"), Bytes({0xFE, 0xFF}));
    EXPECT_EQ(TagBytes("allones"), Bytes({0xFF, 0xFF}));
    EXPECT_EQ(TagBytes("Half"), Bytes({0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x00, 0xC0}));
    EXPECT_EQ(TagBytes("Run"), Bytes({0x01}));
    EXPECT_EQ(TagBytes("Max"), Bytes(8, 0xFF));
    EXPECT_EQ(TagBytes("Min"), Bytes({0, 0, 0, 0, 0, 0, 0, 0x80}));
    EXPECT_EQ(TagBytes("Ramp"), Bytes({3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(TagBytes("Cube"), Bytes({1, 2, 3, 0}));
    EXPECT_EQ(tags_.Find("Cube")->Dims, std::vector<std::uint32_t>({2, 1, 2}));
    EXPECT_EQ(TagBytes("Program:Main.Bits"), Bytes({0x01, 0x00, 0x00, 0x80}));
    EXPECT_EQ(tags_.Find("Program:Main.Bits")->SymbolType(), 0x20D3);
    EXPECT_EQ(TagBytes("Day"), Bytes({0x7B, 0x4A}));            // day 19067 after 1972-01-01
    EXPECT_EQ(TagBytes("Up"), Bytes({0xC2, 0xB9, 0xAE, 0x02})); // 45,005,250 ms
}

TEST_F(TagFileTest, StructureValuesFollowTheMemberOrder) {
    sim::LoadTagText("TYPE Valve\n"
                     "  BOOL Open\n"
                     "  BOOL Closed\n"
                     "  INT  Pos\n"
                     "END\n"
                     "TYPE Str6   # a custom string\n"
                     "  DINT  LEN\n"
                     "  SINT  DATA[6]\n"
                     "END\n"
                     "TYPE Line\n"
                     "  Str6  Text\n"
                     "  Valve Valves[2]\n"
                     "END\n"
                     "Valve   V[2]  = 1 0 -3   0 1 0x7FFF\n"
                     "TIMER   T     = 10 20 0 0 1\n"
                     "Line    L     = \"a#b\" 1 1 2\n"
                     "BOOL    B[40] = 0 1 0 0 0 0 0 0  0 0 0 0 0 0 0 0  0 0 0 0 0 0 0 0  0 0 0 0 0 0 0 0  1\n"
                     "TIME    Back  = -00:00:01.000\n",
                     tags_, files_);
    EXPECT_EQ(TagBytes("V"), Bytes({0x01, 0x00, 0xFD, 0xFF, 0x02, 0x00, 0xFF, 0x7F}));
    EXPECT_EQ(TagBytes("T"), Bytes({0x00, 0x00, 0x00, 0x20, 0x0A, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00}));
    // LEN 3, "a#b" ('#' inside quotes is no comment), then Valves[0] = Open, Closed, Pos 2.
    EXPECT_EQ(TagBytes("L"), Bytes({0x03, 0x00, 0x00, 0x00, 'a',  '#',  'b',  0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(TagBytes("B"), Bytes({0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(tags_.Find("B")->BitArray);
    EXPECT_EQ(TagBytes("Back"), Bytes({0x18, 0xFC, 0xFF, 0xFF}));
}

TEST_F(TagFileTest, BadTypesAndStructureValuesNameTheirLine) {
    EXPECT_EQ(ErrorOf("TYPE A\n  DINT X\n"), "line 3: type A has no END");
    EXPECT_EQ(ErrorOf("TYPE A\n  Nothing X\nEND\n"), "line 3: type A: unknown member type 'Nothing'");
    EXPECT_EQ(ErrorOf("TYPE A\n  DINT X\n  INT x\nEND\n"), "line 4: type A: bad or repeated member 'x'");
    EXPECT_EQ(ErrorOf("TYPE TIMER\n  DINT X\nEND\n"), "line 3: type TIMER is predefined");
    EXPECT_EQ(ErrorOf("TYPE Huge\n  DINT X[20000]\nEND\n"), "line 3: type Huge is larger than 65528 bytes");
    EXPECT_EQ(ErrorOf("TIMER T = 1 2 1 0 0 1\n"), "line 1: more values than elements");
    EXPECT_EQ(ErrorOf("TIMER T = 1 2 2\n"), "line 1: value '2' does not fit member EN (BOOL)");
    EXPECT_EQ(ErrorOf("STRING S = \"" + std::string(83, 'x') + "\"\n"),
              "line 1: text longer than 82 characters");
    EXPECT_EQ(ErrorOf("STRING S = \"open\n"), "line 1: missing closing '\"'");
    EXPECT_EQ(ErrorOf("Motor M\n"), "line 1: unknown type 'Motor'");
    EXPECT_EQ(ErrorOf("DATE D = 1971-12-31\n"), "line 1: value '1971-12-31' does not fit DATE");
    EXPECT_EQ(ErrorOf("BOOL B[2] = 1 0 1\n"), "line 1: more values than elements");
    EXPECT_EQ(ErrorOf("SHORT_STRING S[2]\n"), "line 1: SHORT_STRING tags are scalars");
    EXPECT_EQ(ErrorOf("SSTRING S = 5\n"), "line 1: a SHORT_STRING takes one \"text\"");
    EXPECT_EQ(ErrorOf("SSTRING S = \"" + std::string(256, 'x') + "\"\n"),
              "line 1: SHORT_STRING S: longer than 255 characters");
}

TEST_F(TagFileTest, ShortStringsBoolArrayMembersAndArraysInsideTypes) {
    sim::LoadTagText(
        "SHORT_STRING Label = \"Pump 7\"\n"
        "sstring      Empty\n"
        "STRING       Names[3] = \"a\" \"bc\"\n"
        "TYPE Zone\n"
        "  INT    Limit\n"
        "  BOOL   Flags[40]\n"
        "  TIMER  Hold\n"
        "END\n"
        "TYPE Line\n"
        "  Zone   Zones[2]\n"
        "  STRING Texts[2]\n"
        "  SINT   Tail\n"
        "END\n"
        "Line L = 5  1 0 0 0 0 0 0 0  0 0 0 0 0 0 0 0  0 0 0 0 0 0 0 0  0 0 0 0 0 0 0 1  0 0 0 0 0 0 0 1"
        "  7 8 1 0 1   -6 0 0 0 0 0 0 0 0  0 0 0 0 0 0 0 0  0 0 0 0 0 0 0 0  0 0 0 0 0 0 0 0"
        "  0 0 0 0 0 0 0 0  0 0 0 0 0  \"x\" \"yz\" -1\n",
        tags_, files_);
    EXPECT_EQ(TagBytes("Label"), Bytes({6, 'P', 'u', 'm', 'p', ' ', '7'}));
    EXPECT_EQ(tags_.Find("Label")->TypeCode, sim::ShortStringType);
    EXPECT_EQ(tags_.Find("Label")->ElementSize(), 7u);
    EXPECT_EQ(TagBytes("Empty"), Bytes({0}));
    const Bytes names = TagBytes("Names");
    ASSERT_EQ(names.size(), 3u * 88u);
    EXPECT_EQ(Bytes(names.begin() + 88, names.begin() + 94), Bytes({2, 0, 0, 0, 'b', 'c'}));

    // Zone: Limit at 0, Flags as DWORD[2] at 4 (bits 0, 31 and 39 set), Hold at 12: 24 bytes.
    const std::optional<sim::SimTemplate> zone = tags_.Types().FindByName("Zone");
    ASSERT_TRUE(zone);
    const sim::TemplateMember* flags = zone->FindMember("Flags");
    ASSERT_NE(flags, nullptr);
    EXPECT_EQ(flags->Type, 0x20D3);
    EXPECT_EQ(flags->Info, 2);
    EXPECT_EQ(flags->Offset, 4u);
    EXPECT_EQ(zone->StructSize, 24u);
    const Bytes line = TagBytes("L");
    ASSERT_EQ(line.size(), 2u * 24u + 2u * 88u + 4u);
    EXPECT_EQ(Bytes(line.begin(), line.begin() + 24),
              Bytes({5, 0, 0, 0, 1, 0, 0, 0x80, 0x80, 0, 0, 0, 0, 0, 0, 0xA0, 7, 0, 0, 0, 8, 0, 0, 0}));
    EXPECT_EQ(Bytes(line.begin() + 24, line.begin() + 26), Bytes({0xFA, 0xFF}));
    EXPECT_EQ(Bytes(line.begin() + 48 + 88, line.begin() + 48 + 88 + 6), Bytes({2, 0, 0, 0, 'y', 'z'}));
    EXPECT_EQ(line[48 + 176], 0xFF);
}

TEST_F(TagFileTest, TheSampleFileIsTheBuiltInSample) {
    std::ifstream in(QOR_SOURCE_DIR "/sim/sample-tags.txt");
    ASSERT_TRUE(in);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), sim::SampleTagText());
    sim::LoadTagText(text.str(), tags_, files_);
    EXPECT_TRUE(files_.Find(11).has_value());
    EXPECT_EQ(TagBytes("Counter"), Bytes({0x40, 0xE2, 0x01, 0x00}));
}

} // namespace
