#include "plugins/qorPluginCallRec.h"

#include <gtest/gtest.h>

namespace {

using namespace qor;

TPluginCallRec NewRecord() {
    TPluginCallRec rec{};
    rec.RecSize = kPluginCallRecSize;
    return rec;
}

TEST(CallRecIntfTest, ARawParamsListIsLentAsAnInterfaceAndPutBack) {
    TqorParamsList params;
    params.Add("RESULT", Variant());
    TPluginCallRec rec = NewRecord();
    rec.Flags = 0x01;
    rec.Params = reinterpret_cast<std::uintptr_t>(&params);
    {
        TPluginCallRecIntf intf(rec);
        EXPECT_EQ(+rec.Flags, 0x41);
        ASSERT_NE(+rec.Params, reinterpret_cast<std::uintptr_t>(&params));
        // Params now holds the address of a variable holding the list interface.
        TqorParamsRef viaRecord = TqorParamsRef::FromVariable(reinterpret_cast<void*>(rec.Params));
        EXPECT_TRUE(viaRecord.SetValue("result", "answer", false));
        EXPECT_TRUE(intf.HasItem("RESULT"));
        EXPECT_EQ(intf.ParamText("RESULT"), "answer");
    }
    EXPECT_EQ(+rec.Flags, 0x01);
    EXPECT_EQ(+rec.Params, reinterpret_cast<std::uintptr_t>(&params));
    EXPECT_EQ(params.GetValue("RESULT").AsString(), "answer");
}

TEST(CallRecIntfTest, ListValueSlotsAreRewrittenAndClearedOnReturn) {
    TqorParamsList input;
    input.Add("A", std::int32_t{1});
    TPluginCallRec rec = NewRecord();
    rec.Value1.Type = 8;
    rec.Value1.Data = reinterpret_cast<std::uintptr_t>(&input);
    rec.Value2.Type = 1; // nil: a fresh list
    {
        TPluginCallRecIntf intf(rec);
        EXPECT_EQ(+rec.Value1.Type, 9);
        EXPECT_EQ(+rec.Value2.Type, 9);
        ASSERT_NE(+rec.Value1.Data, 0u);
        TqorParamsRef v1 = TqorParamsRef::FromVariable(reinterpret_cast<void*>(rec.Value1.Data));
        EXPECT_EQ(v1.GetValue("A").AsInteger(), 1);
        EXPECT_TRUE(intf.Value2List().Add("OUT", "x"));
        EXPECT_EQ(intf.Value2List().Count(), 1);
        EXPECT_FALSE(intf.Params());
    }
    // The slots no longer point at the freed wraps; the input list is intact.
    EXPECT_EQ(+rec.Value1.Data, 0u);
    EXPECT_EQ(+rec.Value2.Data, 0u);
    EXPECT_EQ(input.Count(), 1);
}

} // namespace
