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

} // namespace
