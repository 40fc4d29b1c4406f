// The tag text format and the values it puts into the tag database.
#include "sim/TagFile.h"

#include <gtest/gtest.h>

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

TEST_F(TagFileTest, BadLinesNameTheirLine) {
    EXPECT_EQ(ErrorOf("DINT A = 1\nDINT B = 1 2\n"), "line 2: more values than elements");
    EXPECT_EQ(ErrorOf("STRUCT C = 1"), "line 1: unknown type 'STRUCT'");
    EXPECT_EQ(ErrorOf("SINT D = 300"), "line 1: value '300' does not fit SINT");
    EXPECT_EQ(ErrorOf("INT E[0]"), "line 1: bad dimension '0'");
    EXPECT_EQ(ErrorOf("INT F[1,2,3,4]"), "line 1: more than three dimensions");
    EXPECT_EQ(ErrorOf("INT G[2"), "line 1: missing ']' in 'G[2'");
    EXPECT_EQ(ErrorOf("REAL H = x"), "line 1: bad number 'x'");
    EXPECT_EQ(ErrorOf("X1[2] = 1"), "line 1: bad data file 'X1'");
    EXPECT_EQ(ErrorOf("N300 = 1"), "line 1: bad data file 'N300'");
    EXPECT_EQ(ErrorOf("N7 = 70000"), "line 1: value '70000' is not a 16-bit word");
    EXPECT_EQ(ErrorOf("BOOL I = 2"), "line 1: value '2' does not fit BOOL");
    EXPECT_EQ(ErrorOf("INT J K L"),
              "line 1: expected 'TYPE NAME[DIMS] = VALUES' or 'FILE[ELEMENTS] = VALUES'");
    EXPECT_EQ(ErrorOf("DINT K[2000000] = 0..2000000"), "line 1: bad range '0..2000000'");
}

} // namespace
