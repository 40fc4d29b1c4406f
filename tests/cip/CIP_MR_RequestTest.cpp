#include "cip/CIP_MR_Request.h"

#include "cip/CIP_IOI.h"
#include "cip/CIP_ReadTag.h"

#include "eip/ScriptedDevice.h"
#include "../ExpectThrow.h"

#include <gtest/gtest.h>

namespace {

using namespace cip;
using eip::EListError;
using eiptest::Concat;

TEST(MRRequestTest, OddPathIsPaddedAndSizedInWordsAndPackedRequestsGoOutAsTheyAre) {
    TMR_Request r = TMessageRouter::BuildRequest(0x4C, {0x20, 0x6B, 0x25}, {0x01, 0x02});
    EXPECT_EQ(r.Pack(), (TPacketDataArray{0x4C, 0x02, 0x20, 0x6B, 0x25, 0x00, 0x01, 0x02}));
    r.IsPacked = true;
    EXPECT_EQ(r.Pack(), (TPacketDataArray{0x20, 0x6B, 0x25}));
    testsupport::ExpectThrowWhat<eip::TAGCOM_NullReferenceException>(
        [&] { TMessageRouter::BuildRequest(0x4C, {}, {1}).Pack(); }, "Request_Path cannot be null");
}

TEST(MRRequestTest, APathLongerThanItsSizeByteCountsIsRefused) {
    EXPECT_EQ(TMessageRouter::BuildRequest(0x4C, TPacketDataArray(510, 0x28), {}).Pack()[1], 0xFF);
    testsupport::ExpectThrowWhat<eip::TAGCOM_ArgumentOutOfRangeException>(
        [&] { TMessageRouter::BuildRequest(0x4C, TPacketDataArray(511, 0x28), {}).Pack(); },
        "Request_Path cannot be more than 510 bytes long");
}

TEST(MRResponseTest, ResponseWithoutDataOrAdditionalStatus) {
    TMR_Response r;
    EXPECT_EQ(r.Expand(TPacketDataArray{0xCC, 0x00, 0x00, 0x00}, 0), 4u);
    EXPECT_EQ(r.ReplyService, 0xCC);
    EXPECT_TRUE(r.AdditionalStatus.empty());
    EXPECT_TRUE(r.ResponseData.empty());
}

TEST(MRResponseTest, AdditionalStatusWordsComeBeforeTheData) {
    const TPacketDataArray bytes{0x00, 0x00, 0xCC, 0x00, 0xFF, 0x01, 0x05, 0x21, 0x04, 0x03};
    TMR_Response r;
    r.Expand(bytes, 2);
    EXPECT_EQ(r.GeneralStatus, 0xFF);
    EXPECT_EQ(r.AdditionalStatus, (eip::TUshortArray{0x2105}));
    EXPECT_EQ(r.ResponseData, (TPacketDataArray{0x04, 0x03}));
    eiptest::ExpectEveryPrefixThrows<EListError>(
        TPacketDataArray(bytes.begin() + 2, bytes.begin() + 8),
        [](const TPacketDataArray& b) { TMR_Response().Expand(b, 0); });
}

// The known texts are the table's (the stack's end-to-end tests read some
// through the wire); what the two lookups say of a code they do not know.
TEST(StatusTextTest, UnknownCodesOfTheTwoLookups) {
    EXPECT_EQ(StatusText(0x23), "Unknown EIP status");
    EXPECT_EQ(StatusText(0x0100), "Unknown EIP status");
    EXPECT_EQ(GeneralStatusText(0xAB), "Unknown General Status - 0xAB");
}

TEST(MessageRouterTest, SendMRRequestGoesUnconnectedAfterANullAddress) {
    eiptest::ScriptedSession scripted;
    auto& [device, session] = scripted;
    TMessageRouter::SendMRRequest(session, 0x0E, {0x30, 0x01}, {0x20, 0x01, 0x24, 0x01});
    ASSERT_EQ(device.Sent.size(), 1u);
    const TPacketDataArray& sent = device.Sent[0];
    const TPacketDataArray tail(sent.begin() + 24, sent.end());
    EXPECT_EQ(tail, Concat({{0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0xB2, 0, 8, 0},
                            {0x0E, 0x02, 0x20, 0x01, 0x24, 0x01, 0x30, 0x01}}));
}

TEST(ReadTagTest, ExtendedStatusGoesIntoTheStatusBytes) {
    TReadDataServiceReply r;
    r.Expand(TPacketDataArray{0xCC, 0x00, 0xFF, 0x01, 0x05, 0x21}, 0);
    EXPECT_EQ(r.StatusBytes, (TPacketDataArray{0xFF, 0x00, 0x05, 0x21}));
    EXPECT_EQ(r.DataType, 0);
    EXPECT_TRUE(r.Data.empty());
    r.Expand(TPacketDataArray{0xCC, 0x00, 0x04, 0x00}, 0);
    EXPECT_EQ(r.StatusBytes, (TPacketDataArray{0x04, 0x00}));
    // A path that does not parse is no request.
    EXPECT_THROW(TReadDataServiceRequest::ReadTag(TIOI::BuildPath("[1]"), 1).Pack(),
                 eip::TAGCOM_NullReferenceException);
}

} // namespace
