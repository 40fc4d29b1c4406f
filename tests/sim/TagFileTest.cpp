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

// The text forms of values; the element layouts of every type, structures
// and BOOL arrays included, are read back value by value by the truth test
// from tables written in this format.
TEST_F(TagFileTest, TheTextFormsOfValues) {
    sim::LoadTagText("# a comment\n"
                     "int    AllOnes  = 0xFFFF   # comment after a value\n"
                     "\n"
                     "DINT   Ramp[4]  = 3..1\n"
                     "SINT   Cube[2,1,2] = 1 2 3\n"
                     "DATE   Day = 2024-03-15\nTIME Up = 12:30:05.250\nTIME Back = -00:00:01.000\n"
                     "TYPE Str6\n  DINT LEN\n  SINT DATA[6]\nEND\n"
                     "Str6   Text = \"a#b\"\n"
                     "sstring Empty\n",
                     tags_, files_);
    EXPECT_EQ(TagBytes("allones"), Bytes({0xFF, 0xFF}));
    EXPECT_EQ(TagBytes("Ramp"), Bytes({3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(TagBytes("Cube"), Bytes({1, 2, 3, 0}));
    EXPECT_EQ(tags_.Find("Cube")->Dims, std::vector<std::uint32_t>({2, 1, 2}));
    EXPECT_EQ(TagBytes("Day"), Bytes({0x7B, 0x4A}));            // day 19067 after 1972-01-01
    EXPECT_EQ(TagBytes("Up"), Bytes({0xC2, 0xB9, 0xAE, 0x02})); // 45,005,250 ms
    EXPECT_EQ(TagBytes("Back"), Bytes({0x18, 0xFC, 0xFF, 0xFF}));
    // '#' inside quotes is no comment.
    const Bytes text = TagBytes("Text");
    ASSERT_GE(text.size(), 7u);
    EXPECT_EQ(Bytes(text.begin(), text.begin() + 7), Bytes({0x03, 0x00, 0x00, 0x00, 'a', '#', 'b'}));
    EXPECT_EQ(TagBytes("Empty"), Bytes({0}));
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
