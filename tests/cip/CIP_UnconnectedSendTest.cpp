#include "cip/CIP_UnconnectedSend.h"

#include "eip/ScriptedDevice.h"

#include <gtest/gtest.h>

namespace {

using namespace cip;
using eiptest::Concat;

// A SendRRData reply whose data item (of the given type) holds the bytes.
eip::TEncapsReply RRReply(TPacketDataArray item, std::uint16_t type = 0x00B2) {
    eip::TEncapsReply reply;
    reply.Command = 0x6F;
    reply.EncapsData = Concat({{0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(type),
                                static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(item.size()), 0},
                               item});
    return reply;
}

TEST(UnconnectedSendTest, PacksTheEmbeddedRequestAndTheRoute) {
    TUnconnectedSend us;
    us.PriorityTimeTick = 0x0D;
    us.TimeoutTicks = 0xDB;
    TMR_Request embedded;
    embedded.IsPacked = true;
    embedded.Request_Path = {0x4C, 0x02, 0x91, 0x01, 'X', 0x01, 0x00};
    us.MessageRequest = embedded;
    us.RoutePath = {0x01, 0x00};
    EXPECT_EQ(us.Pack(), Concat({{0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x0D, 0xDB, 0x07, 0x00},
                                 embedded.Request_Path,
                                 {0x00, 0x01, 0x00, 0x01, 0x00}}));
}

TEST(UnconnectedSendTest, MissingPartsAreRefusedInOrder) {
    TUnconnectedSend us;
    us.RequestPath.clear();
    auto message = [&] {
        try {
            us.Pack();
        } catch (const eip::TAGCOM_NullReferenceException& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ(message(), "MessageRequest cannot be null");
    us.MessageRequest = TMessageRouter::BuildRequest(0x4C, {0x91, 0x00}, {});
    EXPECT_EQ(message(), "RoutePath cannot be null");
    us.RoutePath = {0x01, 0x00};
    EXPECT_EQ(message(), "RequestPath cannot be null");
}

TEST(UnconnectedSendTest, PathsLongerThanTheSizeByteCountsAreRefused) {
    TUnconnectedSend us;
    us.MessageRequest = TMessageRouter::BuildRequest(0x4C, {0x91, 0x00}, {});
    us.RoutePath.assign(510, 0x01);
    EXPECT_EQ(us.Pack()[us.Pack().size() - 512], 0xFF); // route size in words
    us.RoutePath.push_back(0x01);
    EXPECT_THROW(us.Pack(), eip::TAGCOM_ArgumentOutOfRangeException);
    us.RoutePath = {0x01, 0x00};
    us.MessageRequest->Request_Path.assign(511, 0x28);
    EXPECT_THROW(us.Pack(), eip::TAGCOM_ArgumentOutOfRangeException);
}

TEST(UnconnectedSendReplyTest, AnEncapsulationErrorWithoutDataIsAFailureWithThatStatus) {
    eip::TEncapsReply reply;
    reply.Command = 0x6F;
    reply.Status = 0x64;
    const auto parsed = TUnconnectedSendReply::FromReply(reply);
    const auto* failure = dynamic_cast<const TUnconnectedSendReply_Failure*>(parsed.get());
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->EncapsulationStatus, 0x64u);
    EXPECT_EQ(failure->GeneralStatus, 0xFF);
    EXPECT_EQ(failure->Message, "Invalid session handle");
}

TEST(UnconnectedSendReplyTest, RoutingErrorsAreNamedByTheExtendedStatus) {
    const auto reply = TUnconnectedSendReply::FromReply(RRReply({0xD2, 0x00, 0x01, 0x01, 0x12, 0x03}));
    const auto* failure = dynamic_cast<const TUnconnectedSendReply_Failure*>(reply.get());
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->GeneralStatus, 0x01);
    EXPECT_EQ(failure->AdditionalStatus, (TPacketDataArray{0x12, 0x03}));
    EXPECT_EQ(failure->Message, "Invalid Node Address specified in the Route_Path field");

    auto messageOf = [](TPacketDataArray bytes) {
        const auto r = TUnconnectedSendReply::FromReply(RRReply(std::move(bytes)));
        return dynamic_cast<const TUnconnectedSendReply_Failure&>(*r).Message;
    };
    EXPECT_EQ(messageOf({0xD2, 0x00, 0x01, 0x01, 0x11, 0x03}), "Invalid Port ID specified in the Route_Path field");
    EXPECT_EQ(messageOf({0xD2, 0x00, 0x01, 0x01, 0x04, 0x02}), "Timeout");
    EXPECT_EQ(messageOf({0xD2, 0x00, 0x01, 0x01, 0x15, 0x03}), "Invalid segment type in the Route_Path field");
    EXPECT_EQ(messageOf({0xD2, 0x00, 0x01, 0x00}), "Unknown routing error");
    EXPECT_EQ(messageOf({0xD2, 0x00, 0x05, 0x00}), "Path Destination Unknown");
    EXPECT_EQ(messageOf({0xD2, 0x00, 0x24, 0x00}), "Unknown General Status - 0x24");
}

TEST(UnconnectedSendReplyTest, SuccessCarriesTheEmbeddedReplyData) {
    const auto reply = TUnconnectedSendReply::FromReply(RRReply({0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x2A, 0, 0, 0}));
    const auto* ok = dynamic_cast<const TUnconnectedSendReply_Success*>(reply.get());
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->ReplyService, 0xCC);
    EXPECT_EQ(ok->ResponseData, (TPacketDataArray{0xC4, 0x00, 0x2A, 0, 0, 0}));
    // Status 6 is a success too; its additional status words are not data.
    const auto partial = TUnconnectedSendReply::FromReply(RRReply({0xD2, 0x00, 0x06, 0x01, 0x34, 0x12, 0xC4, 0x00}));
    const auto* more = dynamic_cast<const TUnconnectedSendReply_Success*>(partial.get());
    ASSERT_NE(more, nullptr);
    EXPECT_EQ(more->ResponseData, (TPacketDataArray{0xC4, 0x00}));
}

TEST(UnconnectedSendReplyTest, WrongItemTypeShortAndTruncatedReplies) {
    const auto connected = TUnconnectedSendReply::FromReply(RRReply({0, 0, 0xCC, 0, 0, 0}, 0x00B1));
    const auto* failure = dynamic_cast<const TUnconnectedSendReply_Failure*>(connected.get());
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->GeneralStatus, 0xFF);
    EXPECT_EQ(failure->Message, "Incorrect Packet Type");
    EXPECT_EQ(TUnconnectedSendReply::FromReply(RRReply({0xCC, 0x00})), nullptr);
    EXPECT_THROW(TUnconnectedSendReply::FromReply(RRReply({0xD2, 0x00, 0x01, 0x02, 0x12, 0x03})), eip::EListError);
}

TEST(UnconnectedSendTest, SendUnconnectedSendUsesTheSessionsTicks) {
    eiptest::ScriptedSession scripted;
    auto& [device, session] = scripted;
    session.SetConnectionParameters(1, 1800000, 2, 3, 4);
    SendUnconnectedSend(session, TMessageRouter::BuildRequest(0x0E, {0x20, 0x01, 0x24, 0x01, 0x30, 0x07}, {}),
                        TPacketDataArray{0x01, 0x02});
    ASSERT_EQ(device.Sent.size(), 1u);
    const TPacketDataArray cip(device.Sent[0].begin() + 40, device.Sent[0].end());
    EXPECT_EQ(cip, (TPacketDataArray{0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x0D, 0xDB, 0x08, 0x00, 0x0E, 0x03, 0x20,
                                     0x01, 0x24, 0x01, 0x30, 0x07, 0x01, 0x00, 0x01, 0x02}));
}

} // namespace
