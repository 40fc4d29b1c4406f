#include "cip/CIP_MultiService.h"

#include "eip/ScriptedDevice.h"

#include <gtest/gtest.h>

namespace {

using namespace cip;
using eiptest::Concat;

// Three replies: a good one with data, an error with one status word, and a
// 10-byte one at the end.
const TPacketDataArray ThreeReplies{0x03, 0x00, 0x08, 0x00, 0x10, 0x00, 0x16, 0x00,
                                    0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x2A, 0x00,
                                    0xCC, 0x00, 0xFF, 0x01, 0x05, 0x21,
                                    0xCC, 0x00, 0x06, 0x00, 0xC3, 0x00, 0x01, 0x00, 0x02, 0x00};

TMR_Response MultiResponse(std::uint8_t status, TPacketDataArray data) {
    TMR_Response r;
    r.ReplyService = 0x8A;
    r.GeneralStatus = status;
    r.ResponseData = std::move(data);
    return r;
}

TEST(MultiServiceReplyTest, SplitsTheReplyDataByItsOffsets) {
    const auto reply = TMultiServiceReply::FromResponse(MultiResponse(0x1E, ThreeReplies));
    EXPECT_TRUE(reply.HasServiceErrors);
    ASSERT_EQ(reply.ServiceCount, 3);
    ASSERT_EQ(reply.Replies.size(), 3u);
    EXPECT_EQ(reply.Replies[0].ResponseData, (TPacketDataArray{0xC4, 0x00, 0x2A, 0x00}));
    EXPECT_EQ(reply.Replies[1].Status, (TPacketDataArray{0xFF, 0x00, 0x05, 0x21}));
    EXPECT_TRUE(reply.Replies[1].ResponseData.empty()); // the status word is not data
    EXPECT_TRUE(reply.Replies[2].IsPartial);
    EXPECT_EQ(reply.Replies[2].ResponseData, (TPacketDataArray{0xC3, 0x00, 0x01, 0x00, 0x02, 0x00}));
    ASSERT_TRUE(reply.Replies[2].ReplyData);
    EXPECT_EQ(reply.Replies[2].ReplyData->size(), ThreeReplies.size());
}

TEST(MultiServiceReplyTest, AFourByteReplyHasNoData) {
    const auto reply = TMultiServiceReply::FromResponse(
        MultiResponse(0, {0x01, 0x00, 0x04, 0x00, 0xCC, 0x00, 0x00, 0x00}));
    ASSERT_EQ(reply.Replies.size(), 1u);
    EXPECT_TRUE(reply.Replies[0].ResponseData.empty());
    EXPECT_TRUE(TMultiServiceReply::FromResponse(MultiResponse(0x08, {})).Replies.empty());
}

TEST(MultiServiceReplyTest, BadOffsetsAndCountsRaiseTheListError) {
    auto parse = [](TPacketDataArray data) { TMultiServiceReply::FromResponse(MultiResponse(0, std::move(data))); };
    EXPECT_THROW(parse({0xFF, 0xFF, 0x04, 0x00}), eip::EListError);                         // count past the data
    EXPECT_THROW(parse({0x02, 0x00, 0x0A, 0x00, 0x06, 0x00, 0xCC, 0, 0, 0}), eip::EListError); // runs backwards
    EXPECT_THROW(parse({0x01, 0x00, 0x20, 0x00, 0xCC, 0, 0, 0}), eip::EListError);          // past the end
    EXPECT_THROW(parse({0x02, 0x00, 0x06, 0x00, 0x08, 0x00, 0xCC, 0, 0xCC, 0, 0, 0}), eip::EListError); // 2 bytes
    eiptest::ExpectEveryPrefixThrows<eip::EListError>(
        TPacketDataArray{0x01, 0x00, 0x04, 0x00, 0xCC, 0x00, 0xFF, 0x01, 0x05, 0x21}, parse, 1); // empty: no replies
}

TEST(MultiServiceReplyTest, CreateReadsConnectedRepliesAfterTheSequenceCount) {
    eip::TEncapsReply reply;
    const TPacketDataArray item = Concat({{0x09, 0x00, 0x8A, 0x00, 0x00, 0x00}, {0x01, 0x00, 0x04, 0x00, 0xCC, 0, 0, 0}});
    reply.EncapsData = Concat({{0, 0, 0, 0, 0, 0, 2, 0, 0xA1, 0, 4, 0, 1, 2, 3, 4, 0xB1, 0,
                                static_cast<std::uint8_t>(item.size()), 0},
                               item});
    const auto parsed = TMultiServiceReply::Create(reply);
    EXPECT_EQ(parsed.ReplyService, 0x8A);
    EXPECT_EQ(parsed.Replies.size(), 1u);
}

} // namespace
