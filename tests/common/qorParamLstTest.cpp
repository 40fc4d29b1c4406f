#include "common/qorParamLst.h"

#include "common/qorAssert.h"
#include "../ExpectThrow.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

namespace {

using qor::TqorParamsList;
using qor::Variant;

// A list of two rows: A=1, B=2 | A=3, C=4 |
void FillTwoRows(TqorParamsList& l) {
    l.Add("A", std::int32_t{1});
    l.Add("B", std::int32_t{2});
    l.EndRow();
    l.Add("A", std::int32_t{3});
    l.Add("C", std::int32_t{4});
    l.EndRow();
}

TEST(ParamsListTest, LookupIgnoresCaseAsTheAnsiLowerCaseMapDoes) {
    TqorParamsList l;
    l.Add("COMMAND", "LOAD");
    l.Add("RESULT", Variant());
    l.Add("\xC3\x84RGER", "1"); // Ä
    EXPECT_EQ(l.IndexOf("Result"), 1);
    EXPECT_EQ(l.IndexOf("\xC3\xA4rger"), 2);
    EXPECT_EQ(l.GetValue("command").AsString(), "LOAD");
    EXPECT_TRUE(l.GetValue("missing").IsEmpty());
    EXPECT_EQ(l.GetValueDef("missing", std::int32_t{7}).AsInteger(), 7);
}

TEST(ParamsListTest, RowSearchStopsAtTheRowMarker) {
    TqorParamsList l;
    FillTwoRows(l);
    // C lives in the second row only.
    EXPECT_EQ(l.IndexOf("C", 0, -2), -1);
    EXPECT_EQ(l.IndexOf("C", 0, -1), 4);
    EXPECT_EQ(l.IndexOf("C", 3, -2), 4);
    // From the start of the second row, A is that row's A.
    EXPECT_EQ(l.GetValue("A", 3, -2).AsInteger(), 3);
    // An explicit upper bound is inclusive; one beyond the end means the last.
    EXPECT_EQ(l.IndexOf("C", 0, 3), -1);
    EXPECT_EQ(l.IndexOf("C", 0, 4), 4);
    EXPECT_EQ(l.IndexOf("C", -5, 99), 4);
}

TEST(ParamsListTest, EndRowAppendsAMarkerOnlyWhenTheRowIsOpen) {
    TqorParamsList l;
    l.EndRow();
    ASSERT_EQ(l.Count(), 1);
    const qor::TqorParamsListItem* m = l.GetItem(0);
    EXPECT_EQ(m->Name, "$NEW_ROW$");
    EXPECT_EQ(m->Tag, 65281u);
    EXPECT_TRUE(m->Value.IsNull());
    EXPECT_TRUE(m->IsRowMarker());
    l.EndRow();
    EXPECT_EQ(l.Count(), 1);
    l.Add("X", "1");
    l.EndRow();
    EXPECT_EQ(l.Count(), 3);
}

TEST(ParamsListTest, AddRefusesBlankNamesButKeepsDuplicates) {
    TqorParamsList l;
    EXPECT_EQ(l.Add("  ", "v"), nullptr);
    EXPECT_EQ(l.Add("\t\r\n", "v"), nullptr);
    EXPECT_EQ(l.Count(), 0);
    l.Add("Name", "first");
    l.Add("NAME", "second");
    EXPECT_EQ(l.Count(), 2);
    EXPECT_EQ(l.GetValue("name").AsString(), "first");
    EXPECT_EQ(l.GetItem(1)->Flags, 2);
    // SetValue changes the first of them only.
    l.SetValue("name", "changed", false);
    EXPECT_EQ(l.GetItem(0)->Value.AsString(), "changed");
    EXPECT_EQ(l.GetItem(1)->Value.AsString(), "second");
    // A missing name is appended only when asked.
    EXPECT_EQ(l.SetValue("RESULT", "x", false), nullptr);
    ASSERT_NE(l.SetValue("RESULT", "x", true), nullptr);
    EXPECT_EQ(l.Count(), 3);
}

TEST(ParamsListTest, DeleteAndInsertOutsideTheListAreRefused) {
    TqorParamsList l;
    l.Add("A", "1");
    l.Add("B", "2");
    l.Delete(2);
    l.Delete(-1);
    EXPECT_EQ(l.Count(), 2);
    l.Delete(0);
    ASSERT_EQ(l.Count(), 1);
    EXPECT_EQ(l.GetItem(0)->Name, "B");
    EXPECT_NE(l.Insert(1, "C", "3"), nullptr); // at the count: appended
    testsupport::ExpectThrowWhat<std::out_of_range>([&] { l.Insert(3, "D", "4"); },
                                                    "List index out of bounds (3)");
}

TEST(ParamsListTest, AppendRowsCopiesItemsAndClosesTheRow) {
    TqorParamsList src;
    src.Add("A", "1")->Tag = 0x0302;
    TqorParamsList dst;
    dst.AppendRows(src);
    ASSERT_EQ(dst.Count(), 2);
    EXPECT_EQ(dst.GetItem(0)->Tag, 0x0302u);
    EXPECT_TRUE(dst.GetItem(1)->IsRowMarker());
    // A source that already ends its row gets no second marker.
    src.EndRow();
    dst.AppendRows(src);
    EXPECT_EQ(dst.Count(), 4);
    // Appending a list to itself copies it once.
    dst.AppendRows(dst);
    EXPECT_EQ(dst.Count(), 8);
}

TEST(ParamsListTest, ARawListIsRecognisedByItsFirstFourBytes) {
    TqorParamsList l;
    const unsigned char head[4] = {0x4B, 0x2E, 0xDE, 0x0F};
    EXPECT_EQ(std::memcmp(&l, head, 4), 0);
    EXPECT_TRUE(TqorParamsList::LooksLikeRawList(&l));
    EXPECT_EQ(TqorParamsList::FromRaw(&l), &l);
    // A variable holding an interface pointer never matches: pointers are aligned, the signature is odd.
    void* variable = &l;
    EXPECT_FALSE(TqorParamsList::LooksLikeRawList(&variable));
    EXPECT_THROW(TqorParamsList::FromRaw(&variable), qor::EAssertionFailed);
    EXPECT_FALSE(TqorParamsList::LooksLikeRawList(nullptr));
    // Each list gets its own identifier.
    TqorParamsList other;
    EXPECT_NE(l.ListId, other.ListId);
}

} // namespace
