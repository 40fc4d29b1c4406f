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
                     "DWORD  Program:Main.Bits[1] = 0x80000001\n",
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
    EXPECT_EQ(ErrorOf("TYPE A\n  BOOL X[32]\nEND\n"), "line 3: type A: BOOL arrays are tags, not members");
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
}

TEST_F(TagFileTest, TheSampleFileIsTheBuiltInSample) {
    std::ifstream in(std::string(QOR_SOURCE_DIR) + "/sim/sample-tags.txt");
    ASSERT_TRUE(in);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), sim::SampleTagText());
    sim::LoadTagText(text.str(), tags_, files_);
    EXPECT_TRUE(files_.Find(11).has_value());
    EXPECT_EQ(TagBytes("Counter"), Bytes({0x40, 0xE2, 0x01, 0x00}));
}

} // namespace
