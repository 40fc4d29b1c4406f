#include "plugins/qorParserItems.h"
#include "plugins/qorPluginData.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace qor;

TEST(ParserItemsTextTest, ParsesEveryLineEndingAndTypeNamesInAnyCase) {
    const std::vector<TParserItem> items =
        ParseParserItemsText("Stamp|T|datetime|\r\n\r\nCount|C|INTEGER|x|ignored\rNo type|N||e\nUnknown|U|Double|");
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].Desc, "Stamp");
    EXPECT_EQ(items[0].Name, "T");
    EXPECT_EQ(items[0].Type, TParserItemType::DateTime);
    EXPECT_EQ(items[1].Type, TParserItemType::Integer);
    EXPECT_EQ(items[1].Extra, "x");
    EXPECT_EQ(items[2].Type, TParserItemType::NoType);
    EXPECT_EQ(items[2].Extra, "e");
    EXPECT_EQ(items[3].Type, TParserItemType::NoType);
    // Two fields are enough.
    const std::vector<TParserItem> two = ParseParserItemsText("Desc|Name");
    ASSERT_EQ(two.size(), 1u);
    EXPECT_EQ(two[0].Type, TParserItemType::NoType);
    EXPECT_EQ(two[0].Extra, "");
}

TEST(ParserItemsTextTest, ALineWithOneFieldEndsTheParseWithoutEmptyEntries) {
    const std::vector<TParserItem> items = ParseParserItemsText("A|a|String|\r\nno bar here\r\nB|b|Word|");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].Name, "a");
    EXPECT_TRUE(ParseParserItemsText("first line broken\r\nA|a|").empty());
}

TEST(ParserItemsTextTest, TextAndParseAgree) {
    const std::vector<TParserItem> items = {{"N", "Described", TParserItemType::NoType, "x"},
                                            {"V", "Value", TParserItemType::Currency, ""}};
    const std::string text = ParserItemsText(items);
    EXPECT_EQ(text, "Described|N||x\r\nValue|V|Currency|");
    const std::vector<TParserItem> back = ParseParserItemsText(text);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].Type, TParserItemType::NoType);
    EXPECT_EQ(back[1].Type, TParserItemType::Currency);
}

TEST(PacketTest, StandardValuesDependOnPacketsAndClient) {
    TParsedDataList plain;
    EXPECT_EQ(AddStandardValues(plain, "", "", 3, "Long", 0, "Client", "Short"), 4);
    ASSERT_EQ(plain.Count(), 4);
    EXPECT_EQ(plain.GetItem(0)->Name, "DATE_TIME_STAMP");
    EXPECT_EQ(plain.GetItem(0)->Value.Type(), VarType::Date);
    EXPECT_EQ(plain.GetValue("DATA_SOURCE_ID").Type(), VarType::Integer);
    EXPECT_EQ(plain.GetItem(3)->Name, "DATA_SOURCE_NAME");
    EXPECT_EQ(plain.GetItem(3)->Value.AsString(), "Short");

    TParsedDataList full;
    EXPECT_EQ(AddStandardValues(full, "F", "D", 3, "Long", 8, "Client", "Short"), 7);
    EXPECT_EQ(full.GetItem(0)->Name, "FULL_DATA_PACKET");
    EXPECT_EQ(full.GetItem(1)->Name, "DATA_PACKET");
    EXPECT_EQ(full.GetItem(5)->Name, "CLIENTID");
    EXPECT_EQ(full.GetItem(5)->Value.AsInteger(), 8);
    EXPECT_EQ(full.GetItem(6)->Value.AsString(), "Client");
}

TEST(PacketTest, RawTextsAreJoinedAndClearedWithTheList) {
    TParsedDataList list;
    AppendRawText(list, "first");
    EXPECT_EQ(list.RawText, "first");
    AppendRawText(list, "second");
    EXPECT_EQ(list.RawText, "first<{[::]}>second");
    list.Add("A", std::int32_t{1});
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.RawText, "");
}

} // namespace
