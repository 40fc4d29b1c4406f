#include "eip/EIP_CommonPacket.h"

#include "eip/EIP_Session.h"
#include "eip/ScriptedDevice.h"
#include "../ExpectThrow.h"

#include <gtest/gtest.h>

namespace {

using namespace eip;
using eiptest::Concat;

const TPacketDataArray Ten{0x4C, 0x02, 0x91, 0x03, 'T', 'a', 'g', 0x00, 0x01, 0x00};

TEST(CommonPacketTest, ExpandReadsFurtherItemsAfterTheDataItem) {
    const TPacketDataArray bytes = Concat({{0x03, 0x00, 0x00, 0x00, 0x00, 0x00},  // count 3, null address
                                           {0xB2, 0x00, 0x02, 0x00, 0xCC, 0x00},  // data item
                                           {0x00, 0x80, 0x03, 0x00, 0x01, 0x02, 0x03}});
    TCommonPacket packet;
    EXPECT_EQ(packet.Expand(bytes, 0), bytes.size());
    EXPECT_EQ(packet.DataItem.Data, (TPacketDataArray{0xCC, 0x00}));
    ASSERT_EQ(packet.Items.size(), 1u);
    EXPECT_EQ(packet.Items[0].TypeId, 0x8000);
    EXPECT_EQ(packet.Items[0].Data, (TPacketDataArray{1, 2, 3}));
    EXPECT_EQ(packet.Pack(), bytes);
}

TEST(CommonPacketTest, FewerThanTwoItemsIsRefused) {
    TCommonPacket packet;
    testsupport::ExpectThrowWhat<TAGCOM_ArgumentOutOfRangeException>(
        [&] { packet.Expand(TPacketDataArray{0x01, 0x00, 0x00, 0x00, 0x00, 0x00}, 0); },
        "Invalid number of items, must be at least 2, value: 1");
}

TEST(CommonPacketTest, EveryTruncatedRRDataRaisesTheListError) {
    TEncapsRRData rr;
    rr.Timeout = 0x0302;
    rr.CommonPacket.AddressItem = TCommonPacketItem::ConnectedAddressItem(0x0A0B0C0D);
    rr.CommonPacket.DataItem = TCommonPacketItem::ConnectedDataItem(Ten, 0x0102);
    rr.CommonPacket.AddItem(TCommonPacketItem::UnconnectedDataItem({9}));
    const TPacketDataArray whole = rr.Pack();
    TEncapsRRData back;
    back.Expand(whole, 0);
    EXPECT_EQ(back, rr);
    eiptest::ExpectEveryPrefixThrows<EListError>(whole, [](const TPacketDataArray& b) { TEncapsRRData().Expand(b, 0); });
}

TEST(CommonPacketTest, SendUnitDataAddressesTheSessionsConnection) {
    eiptest::ScriptedSession scripted; // no reply is scripted: fails at once
    auto& [device, session] = scripted;
    session.SessionHandle = 0x01020304;
    session.SenderContext = {'m', 'i', 'r', 'd', 'e', 'n', 'o', 0};
    session.ConnectionParameters.OTConnectionId = 0x11223344;
    int hooks = 0;
    session.OnBeforeSend = [&] { ++hooks; };
    session.OnAfterReceive = [&] { ++hooks; };

    const auto reply =
        SendUnitData(session, TCommonPacketItem::ConnectedAddressItem(0), TCommonPacketItem::ConnectedDataItem(Ten, 5));
    EXPECT_FALSE(reply);
    EXPECT_EQ(session.LastError, "Response timeout");
    EXPECT_EQ(hooks, 2);
    ASSERT_EQ(device.Sent.size(), 1u);
    const TPacketDataArray expected =
        Concat({{0x70, 0x00, 0x20, 0x00, 0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0, 'm', 'i', 'r', 'd', 'e', 'n', 'o', 0, 0, 0, 0, 0},
                {0, 0, 0, 0, 0x00, 0x00, 0x02, 0x00},
                {0xA1, 0x00, 0x04, 0x00, 0x44, 0x33, 0x22, 0x11},
                {0xB1, 0x00, 0x0C, 0x00, 0x05, 0x00},
                Ten});
    EXPECT_EQ(device.Sent[0], expected);
}

} // namespace
