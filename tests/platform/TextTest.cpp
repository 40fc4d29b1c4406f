#include "platform/Text.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

namespace {

TEST(TextTest, LowerCasingMapsAsciiAndLatin1CapitalsOnly) {
    EXPECT_EQ(platform::AnsiLowerCase("RESULT Result"), "result result");
    // À Þ × ẞ: the first two map, the multiplication sign and the code point
    // outside Latin-1 stay as they are.
    EXPECT_EQ(platform::AnsiLowerCase("\xC3\x80\xC3\x9E\xC3\x97\xE1\xBA\x9E"), "\xC3\xA0\xC3\xBE\xC3\x97\xE1\xBA\x9E");
    EXPECT_EQ(platform::AnsiUpperCase("\xC3\xA0x\xC3\xB7"), "\xC3\x80X\xC3\xB7");
    // A lone lead byte at the end is left alone and nothing is read past it.
    EXPECT_EQ(platform::AnsiLowerCase("A\xC3"), "a\xC3");
}

TEST(TextTest, GuidsAreVersion4TextAndDistinct) {
    const std::regex form("\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::string guid = platform::CreateGuidString();
        ASSERT_TRUE(std::regex_match(guid, form)) << guid;
        seen.insert(guid);
    }
    EXPECT_EQ(seen.size(), 2000u);
}

} // namespace
