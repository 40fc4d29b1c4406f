#include "plugins/qorPluginData.h"

#include "common/qorParamLstWrap.h"

#include <gtest/gtest.h>

namespace {

using namespace qor;

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

// The host may clear a packet through the list's interface; the raw text of
// the old packet must not travel with the next one.
TEST(PacketTest, ClearEmptiesTheRawTextHoweverItIsReached) {
    TParsedDataList packet;
    packet.Add("A", 1);
    AppendRawText(packet, "first");
    AppendRawText(packet, "second");
    EXPECT_EQ(packet.RawText, "first<{[::]}>second");
    auto wrap = TqorParamsListWrap::Create(&packet);
    wrap->A()->Clear();
    EXPECT_EQ(packet.Count(), 0);
    EXPECT_EQ(packet.RawText, "");

    AppendRawText(packet, "third");
    static_cast<TqorParamsList&>(packet).Clear();
    EXPECT_EQ(packet.RawText, "");
}

} // namespace
