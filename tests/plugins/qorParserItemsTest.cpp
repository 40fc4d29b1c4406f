#include "plugins/qorParserItems.h"
#include "plugins/qorPluginData.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace qor;

TEST(ParserItemsTextTest, LinesOfAnyEndingUntilOneWithASingleField) {
    const std::vector<TParserItem> items = ParseParserItemsText(
        "Stamp|T|datetime|\r\n\r\nCount|C|INTEGER|x|ignored\rNo type|N\nbroken\nAfter|A|");
    ASSERT_EQ(items.size(), 3u); // nothing left behind for the broken line or after it
    EXPECT_EQ(items[0].Type, TParserItemType::DateTime);
    EXPECT_EQ(items[1].Name, "C");
    EXPECT_EQ(items[1].Type, TParserItemType::Integer);
    EXPECT_EQ(items[1].Extra, "x");
    EXPECT_EQ(items[2].Desc, "No type");
    EXPECT_EQ(items[2].Type, TParserItemType::NoType);
    EXPECT_TRUE(ParseParserItemsText("broken first\r\nA|a|").empty());
}

TEST(PacketTest, StandardValuesDependOnPacketsAndClient) {
    TParsedDataList plain;
    EXPECT_EQ(AddStandardValues(plain, "", "", 3, "Long", 0, "Client", "Short"), 4);
    EXPECT_EQ(plain.GetItem(0)->Name, "DATE_TIME_STAMP");
    EXPECT_EQ(plain.GetValue("DATA_SOURCE_NAME").AsString(), "Short");
    TParsedDataList full;
    EXPECT_EQ(AddStandardValues(full, "F", "D", 3, "Long", 8, "Client", "Short"), 7);
    EXPECT_EQ(full.GetItem(1)->Name, "DATA_PACKET");
    EXPECT_EQ(full.GetItem(5)->Name, "CLIENTID");
    EXPECT_EQ(full.GetItem(6)->Value.AsString(), "Client");
}

} // namespace
