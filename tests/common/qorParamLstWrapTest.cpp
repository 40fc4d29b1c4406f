#include "common/qorParamLstWrap.h"

#include "platform/Debug.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace qor;

// Releases an item interface at the end of a scope.
struct Item {
    IqorParamsListItemA* p = nullptr;
    ~Item() {
        if (p)
            p->Release();
    }
    IqorParamsListItemA* operator->() const { return p; }
};

TqorVarData Text(std::uint16_t type, const void* text) {
    TqorVarData v{};
    v.VType = type;
    v.VPointer = text;
    return v;
}

TqorVarData Int(std::int32_t i) {
    TqorVarData v{};
    v.VType = 3;
    v.VInteger = i;
    return v;
}

class ParamsListWrapTest : public ::testing::Test {
protected:
    TqorParamsList list;
    TqorParamsListWrap::Ptr wrap = TqorParamsListWrap::Create(&list);
    IqorParamsListA* a = wrap->A();
    IqorParamsListW* w = wrap->W();
};

TEST_F(ParamsListWrapTest, ARawCStringIsReadAsAnsiByAAndAsWideByW) {
    const char ansi[] = "AB";
    const char16_t wide[] = u"\u20ACx";
    Item i1, i2, i3, i4;
    TqorVarData v = Text(0x0100, ansi);
    ASSERT_EQ(a->Add("s1", &v, &i1.p), kHResultOk);
    v = Text(0x0102, wide);
    ASSERT_EQ(a->Add("s2", &v, &i2.p), kHResultOk);
    // Through W the same 0x0100 pointer is read as UTF-16.
    v = Text(0x0100, wide);
    ASSERT_EQ(w->Add(u"s3", &v, &i3.p), kHResultOk);
    ASSERT_EQ(a->Add("s4", &v, &i4.p), kHResultOk);
    EXPECT_EQ(list.GetValue("s1").AsString(), "AB");
    EXPECT_EQ(list.GetValue("s2").AsString(), "\xE2\x82\xAC" "x");
    EXPECT_EQ(list.GetValue("s3").AsString(), "\xE2\x82\xAC" "x");
    // Read as ANSI, the little-endian UTF-16 bytes AC 20 78 00 end at the first zero byte.
    EXPECT_EQ(list.GetValue("s4").AsString(), "\xAC x");
    EXPECT_TRUE(list.GetValue("s1").IsString());

    // The item interface follows the same rule.
    v = Text(0x0100, wide);
    ASSERT_EQ(i1->SetValueW(&v), kHResultOk);
    EXPECT_EQ(list.GetValue("s1").AsString(), "\xE2\x82\xAC" "x");
    v = Text(0x0100, ansi);
    ASSERT_EQ(i1->SetValue(&v), kHResultOk);
    EXPECT_EQ(list.GetValue("s1").AsString(), "AB");
}

TEST_F(ParamsListWrapTest, ValuesHandedOutAreUtf8FromAAndUtf16FromW) {
    list.Add("NAME", "\xC3\xA4");
    list.Add("FLAG", true);
    TqorVarData v{};
    ASSERT_EQ(a->GetValue("name", 0, -1, &v), kHResultOk);
    EXPECT_EQ(v.VType, 0x0100);
    EXPECT_STREQ(v.VString, "\xC3\xA4");
    ASSERT_EQ(w->GetValue(u"name", 0, -1, &v), kHResultOk);
    EXPECT_EQ(v.VType, 0x0102);
    EXPECT_EQ(std::u16string(v.VUString), u"\u00E4");
    ASSERT_EQ(a->GetValue("FLAG", 0, -1, &v), kHResultOk);
    EXPECT_EQ(v.VType, 11);
    EXPECT_EQ(v.VBoolean, -1);
    ASSERT_EQ(a->GetValue("none", 0, -1, &v), kHResultOk);
    EXPECT_EQ(v.VType, 0);
    TqorVarData def = Int(0x0302);
    ASSERT_EQ(a->GetValueDef("none", &def, 0, -1, &v), kHResultOk);
    EXPECT_EQ(v.VType, 3);
    EXPECT_EQ(v.VInteger, 0x0302);
}

TEST_F(ParamsListWrapTest, FailuresInsideSafeCallsBecome8000FFFF) {
    Item item;
    TqorVarData v = Int(1);
    EXPECT_EQ(a->Insert(5, "X", &v, &item.p), kHResultUnexpected);
    EXPECT_EQ(item.p, nullptr);
    TqorVarData dispatch{};
    dispatch.VType = 9; // an automation object cannot cross
    EXPECT_EQ(a->Add("X", &dispatch, &item.p), kHResultUnexpected);
    EXPECT_EQ(a->Add("X", &v, nullptr), kHResultUnexpected);
    // A raw list argument without the signature is a programming error of the caller.
    std::uint32_t notAList[4] = {1, 2, 3, 4};
    bool added = true;
    EXPECT_EQ(a->AddList(notAList, &added), kHResultUnexpected);
    EXPECT_EQ(list.Count(), 0);
}

TEST_F(ParamsListWrapTest, MethodsSitInTheDesignedSlots) {
    list.Add("A", std::int32_t{7});
    list.EndRow();
    // Call through the method table by slot number, as a host written in another language does.
    void** table = *reinterpret_cast<void***>(a);
    using GetCountFn = std::int32_t(QOR_STDCALL*)(IqorParamsListA*);
    using GetSignatureFn = std::int32_t(QOR_STDCALL*)(IqorParamsListA*);
    using GetItemFn = HRESULT(QOR_STDCALL*)(IqorParamsListA*, std::int32_t, IqorParamsListItemA**);
    using IndexOfFn = HRESULT(QOR_STDCALL*)(IqorParamsListA*, const char*, std::int32_t, std::int32_t, std::int32_t*);
    using SetValueFn = HRESULT(QOR_STDCALL*)(IqorParamsListA*, const char*, const TqorVarData*, bool,
                                              IqorParamsListItemA**);
    EXPECT_EQ(reinterpret_cast<GetCountFn>(table[3])(a), 2);
    EXPECT_EQ(reinterpret_cast<GetSignatureFn>(table[4])(a), 0x0FDE2E4B);
    std::int32_t index = -9;
    ASSERT_EQ(reinterpret_cast<IndexOfFn>(table[16])(a, "a", 0, -1, &index), kHResultOk);
    EXPECT_EQ(index, 0);
    Item added;
    TqorVarData v = Int(3);
    ASSERT_EQ(reinterpret_cast<SetValueFn>(table[21])(a, "B", &v, true, &added.p), kHResultOk);
    EXPECT_EQ(list.Count(), 3);

    Item marker;
    ASSERT_EQ(reinterpret_cast<GetItemFn>(table[12])(a, 1, &marker.p), kHResultOk);
    void** itemTable = *reinterpret_cast<void***>(marker.p);
    using GetNameFn = const char*(QOR_STDCALL*)(IqorParamsListItemA*);
    using IsRowMarkerFn = bool(QOR_STDCALL*)(IqorParamsListItemA*);
    using GetTagFn = std::int32_t(QOR_STDCALL*)(IqorParamsListItemA*);
    EXPECT_STREQ(reinterpret_cast<GetNameFn>(itemTable[12])(marker.p), "$NEW_ROW$");
    EXPECT_TRUE(reinterpret_cast<IsRowMarkerFn>(itemTable[13])(marker.p));
    EXPECT_EQ(reinterpret_cast<GetTagFn>(itemTable[7])(marker.p), 65281);
}

TEST_F(ParamsListWrapTest, ItemNamesAreCachedThreeWays) {
    list.Add("Tag\xC3\x84", "1");
    Item item;
    ASSERT_EQ(a->GetItem(0, &item.p), kHResultOk);
    EXPECT_STREQ(item->GetName(), "Tag\xC3\x84");
    EXPECT_EQ(std::u16string(item->GetNameW()), u"Tag\u00C4");
    // Only ASCII letters are lower-cased in this cache.
    EXPECT_STREQ(item->GetLowerUTF8Name(), "tag\xC3\x84");
    item->SetNameW(u"Neu");
    EXPECT_EQ(list.GetItem(0)->Name, "Neu");
    EXPECT_EQ(list.IndexOf("NEU"), 0);
    EXPECT_STREQ(item->GetName(), "Neu");
    item->SetName("");
    EXPECT_EQ(item->GetName(), nullptr);
}

// Every way of copying items through the interfaces keys the copies as
// lookups fold names, so a name with a Latin-1 capital finds its copy.
TEST_F(ParamsListWrapTest, CopiesFindNamesWithLatin1CapitalsByThoseNames) {
    const std::string name = "\xC3\x9C" "ber";  // Über
    const std::string upper = "\xC3\x9C" "BER"; // ÜBER
    TqorParamsList source;
    source.Add(name, 1);
    auto sourceWrap = TqorParamsListWrap::Create(&source);

    const auto expectFound = [&](const TqorParamsList& copy, const char* how) {
        EXPECT_EQ(copy.IndexOf(name), 0) << how;
        EXPECT_EQ(copy.IndexOf(upper), 0) << how;
        EXPECT_EQ(copy.GetItem(0)->Name, name) << how;
    };
    a->AppendRows(sourceWrap->A());
    expectFound(list, "AppendRows");
    list.Clear();
    bool added = false;
    ASSERT_EQ(w->AddList(sourceWrap->A(), &added), kHResultOk);
    expectFound(list, "AddList of W");
    list.Clear();
    ASSERT_EQ(w->AddListRange(sourceWrap->A(), 0, 0, &added), kHResultOk);
    expectFound(list, "AddListRange of W");
    list.Clear();
    Item item, copy;
    ASSERT_EQ(sourceWrap->A()->GetItem(0, &item.p), kHResultOk);
    ASSERT_EQ(a->AddItem(item.p, &copy.p), kHResultOk);
    expectFound(list, "AddItem");
    TqorParamsList target;
    TqorParamsRef(sourceWrap->A()).CopyTo(target);
    expectFound(target, "CopyTo");
}

// The host's read of a delivered packet: every value in order, under its own
// name and with its own type, the row markers between rows left out.
TEST(ParamsRefTest, ForEachValueHandsOverEveryValueInOrderWithoutTheRowMarkers) {
    TqorParamsList source;
    source.Add("\xC3\x9C" "ber", 1);
    source.Add("Text", "a fairly long text that needs its own storage");
    source.EndRow();
    source.Add("Pi", 3.25);
    source.EndRow();
    auto wrap = TqorParamsListWrap::Create(&source);
    std::vector<std::pair<std::string, Variant>> seen;
    TqorParamsRef(wrap->A()).ForEachValue(
        [&](std::string&& name, Variant&& value) { seen.emplace_back(std::move(name), std::move(value)); });
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].first, "\xC3\x9C" "ber");
    EXPECT_EQ(seen[0].second.AsInt64(), 1);
    EXPECT_EQ(seen[1].first, "Text");
    EXPECT_EQ(seen[1].second.AsString(), "a fairly long text that needs its own storage");
    EXPECT_EQ(seen[2].first, "Pi");
    EXPECT_EQ(seen[2].second.AsDouble(), 3.25);
    TqorParamsRef().ForEachValue([&](std::string&&, Variant&&) { ADD_FAILURE() << "an empty reference has no items"; });
}

TEST(ParamsListWrapLifetimeTest, ReferencesHeldBeyondTheOwnerFailSafelyAfterAMessageBox) {
    std::vector<std::string> lines;
    platform::SetDebugOutputSink([&](std::string_view s) { lines.emplace_back(s); });
    IqorParamsListA* kept = nullptr;
    {
        auto list = std::make_unique<TqorParamsList>();
        list->Add("A", "1");
        TqorParamsListWrap::Ptr wrap = TqorParamsListWrap::Create(list.get());
        kept = *wrap->GetInterfacePtr();
        kept->AddRef(); // the other side keeps it beyond the call
    }
    platform::SetDebugOutputSink({});
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("TqorParamsListWrap.Destroy. Reference counter should be zero!"), std::string::npos);
    // The list is gone; the interface answers without touching it.
    EXPECT_EQ(kept->GetCount(), 0);
    TqorVarData v{};
    EXPECT_EQ(kept->GetValue("A", 0, -1, &v), kHResultUnexpected);
    EXPECT_EQ(kept->Release(), 0u);
}

TEST(ParamsListWrapLifetimeTest, AnOwnedListLivesWhileReferencesRemain) {
    IqorParamsListA* kept = nullptr;
    {
        TqorParamsListWrap::Ptr wrap = TqorParamsListWrap::Create();
        wrap->List()->Add("A", "1");
        kept = wrap->A();
        kept->AddRef();
    }
    EXPECT_EQ(kept->GetCount(), 1);
    EXPECT_EQ(kept->Release(), 0u);
}

} // namespace
