// The text form of a component stream: how string pieces join into values.
#include "options/FormText.h"

#include <gtest/gtest.h>

namespace {

using namespace qor;

TEST(FormTextTest, ListItemsOnTheirOwnLinesStaySeparateWhilePiecesJoin) {
    const TStreamObject o = ReadObjectText("object h: TqorStrHolder\n"
                                           "  StrData = (\n"
                                           "    ''\n"
                                           "    '6162'\n"
                                           "    'it''s'#13#10'x' +\n"
                                           "      'y' + #65\n"
                                           "    '' + 'z')\n"
                                           "end\n");
    ASSERT_EQ(o.Properties.size(), 1u);
    const std::vector<TStreamValue>& items = o.Properties[0].Value.Items;
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].Text, "");
    EXPECT_EQ(items[1].Text, "6162");
    EXPECT_EQ(items[2].Text, "it's\r\nxyA");
    EXPECT_EQ(items[3].Text, "z");
    // Two pieces apart on one line are two values, and a property takes one.
    EXPECT_THROW(ReadObjectText("object f: TForm\n  Caption = 'a' 'b'\nend\n"), EFormTextError);
}

} // namespace
