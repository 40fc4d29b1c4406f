#include "eip/EIP_EncapsPacket.h"

#include "eip/ScriptedDevice.h"
#include "../ExpectThrow.h"

#include <gtest/gtest.h>

namespace {

using namespace eip;
using eiptest::Concat;

TEST(EncapsPacketTest, DataLimitIs65511Bytes) {
    TEncapsPacket p;
    p.EncapsData.assign(65511, 0x5A);
    EXPECT_EQ(p.Pack().size(), 65535u);
    p.EncapsData.push_back(0);
    testsupport::ExpectThrowWhat<TAGCOM_ArgumentOutOfRangeException>(
        [&] { p.Pack(); }, "EncapsData cannot be more than 65,511 bytes long");
}

TEST(EncapsPacketTest, ExpandOfAHeaderWhoseLengthRunsPastTheBytes) {
    TPacketDataArray bytes(24, 0);
    bytes[2] = 4;
    TEncapsPacket p;
    p.Command = 0x1234;
    testsupport::ExpectThrowWhat<TAGCOM_IndexOutOfRangeException>(
        [&] { p.Expand(bytes, 0); }, "Not enough data in the DataArray for the encapsulated packet");
    EXPECT_EQ(p.Command, 0x1234); // unchanged by the failed parse
    bytes[2] = 0;
    EXPECT_EQ(p.Expand(bytes, 0), 24u);
    EXPECT_TRUE(p.EncapsData.empty());
}

TEST(EncapsPacketTest, EveryTruncatedHeaderRaisesTheListError) {
    const TPacketDataArray whole = TEncapsPacketFactory::CreateListIdentity().Pack();
    eiptest::ExpectEveryPrefixThrows<EListError>(whole, [](const TPacketDataArray& b) { TEncapsPacket().Expand(b, 0); });
}

TPacketDataArray IdentityItemBytes(std::uint16_t type, std::string_view name, std::uint8_t state) {
    TPacketDataArray item{static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(type >> 8),
                          static_cast<std::uint8_t>(34 + name.size()), 0, 0x01, 0x00,  // type, length, version
                          0x00, 0x02, 0xAF, 0x12, 0xC0, 0xA8, 0x01, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, // socket address
                          0x01, 0x00, 0x0E, 0x00, 0x36, 0x00, 0x14, 0x0B, 0x60, 0x30, // vendor .. status
                          0x78, 0x56, 0x34, 0x12, static_cast<std::uint8_t>(name.size())};
    for (const char c : name)
        item.push_back(static_cast<std::uint8_t>(c));
    item.push_back(state);
    return item;
}

TEST(EncapsPacketTest, IdentityItemFieldsAndRoundTrip) {
    const TPacketDataArray bytes = IdentityItemBytes(0x000C, "PLC", 3);
    TIdentityItem item;
    EXPECT_EQ(item.Expand(bytes, 0), bytes.size());
    // The socket address is in network byte order: AF12 is port 44818.
    EXPECT_EQ(item.SocketAddress.Family, 2);
    EXPECT_EQ(item.SocketAddress.Port, 44818);
    EXPECT_EQ(item.SocketAddress.Address, 0xC0A8010Au); // 192.168.1.10
    EXPECT_EQ(item.VendorId, 1);
    EXPECT_EQ(item.DeviceType, 0x0E);
    EXPECT_EQ(item.ProductCode, 0x36);
    EXPECT_EQ(item.MajorRevision, 0x14);
    EXPECT_EQ(item.MinorRevision, 0x0B);
    EXPECT_EQ(item.Status, 0x3060);
    EXPECT_EQ(item.SerialNumber, 0x12345678u);
    EXPECT_EQ(item.ProductName, "PLC");
    EXPECT_EQ(item.State, 3);
    EXPECT_EQ(item.Pack(), bytes);
}

TEST(EncapsPacketTest, IdentityItemWithoutItsStateByteReadsStateZero) {
    TPacketDataArray bytes = IdentityItemBytes(0x000C, "PLC", 3);
    bytes.pop_back();
    TIdentityItem item;
    item.Expand(bytes, 0);
    EXPECT_EQ(item.State, 0);
    EXPECT_EQ(item.ProductName, "PLC");
    bytes.pop_back(); // now the name is cut short
    EXPECT_THROW(item.Expand(bytes, 0), EListError);
}

TEST(EncapsPacketTest, ListIdentityReplyParsesItemsBackToBack) {
    const TPacketDataArray data =
        Concat({{2, 0}, IdentityItemBytes(0x000D, "X", 1), IdentityItemBytes(0x000C, "Second", 2)});
    TEncapsReply reply;
    reply.Command = 0x63;
    reply.EncapsData = data;
    const auto parsed = TListIdentityReply::FromReply(reply);
    const auto* ok = dynamic_cast<const TListIdentityReply_Success*>(parsed.get());
    ASSERT_NE(ok, nullptr);
    ASSERT_EQ(ok->Items.size(), 2u);
    EXPECT_EQ(ok->Items[1].ProductName, "Second");
    // Cut anywhere before the state byte, the reply fails cleanly.
    const TPacketDataArray one = Concat({{1, 0}, IdentityItemBytes(0x000C, "PLC", 3)});
    eiptest::ExpectEveryPrefixThrows<EListError>(TPacketDataArray(one.begin(), one.end() - 1),
                                                 [&](const TPacketDataArray& b) {
                                                     reply.EncapsData = b;
                                                     TListIdentityReply::FromReply(reply);
                                                 });
    // A count larger than the items present fails at the first missing item.
    reply.EncapsData = data;
    reply.EncapsData[0] = 0xFF;
    reply.EncapsData[1] = 0xFF;
    EXPECT_THROW(TListIdentityReply::FromReply(reply), EListError);
}

// The known texts are the table's (the end-to-end tests read some through
// the wire); a code it does not know, in the low or the high half.
TEST(EncapsPacketTest, UnknownEncapsulationStatuses) {
    EXPECT_EQ(EncapsStatusText(0x0004), "Unknown EIP status");
    EXPECT_EQ(EncapsStatusText(0x01000064), "Unknown EIP status");
}

} // namespace
