#include "plugins/qorPluginData.h"

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

} // namespace
