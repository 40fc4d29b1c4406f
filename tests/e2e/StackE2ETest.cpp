// The stack against the simulated controller over real loopback TCP: sessions,
// identity, and what each failure leaves in LastError or the reply. (Routed
// reads in fragments are the truth test's, through eiptool; connected reads,
// Multiple Service Packets and PCCC over TCP are the processor's end-to-end
// tests'; every request the stack builds goes through Wireshark's dissectors
// in WiresharkCrossCheckTest.)
#include "TcpSession.h"
#include "cip/CIP_IOI.h"
#include "cip/CIP_UnconnectedSend.h"
#include "sim/SimController.h"

#include <gtest/gtest.h>


namespace {

using namespace cip;
using eip::TPacketDataArray;

using eiptest::ReadTagRequest;
using eiptest::Slot0;

class StackE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        plc_.Tags().Set(sim::MakeTag<std::int32_t>("Counter", sim::CipType::Dint, {}, {42}));
        plc_.Tags().Set(sim::MakeTag<float>("Speed", sim::CipType::Real, {}, {1.5f}));
        const std::vector<std::int32_t> words{10, 20, 30, 40};
        plc_.Files().Set(sim::MakeWordFile('N', 7, words));
        plc_.Start();
        link_ = eiptest::RegisterOverTcp(plc_.Port());
        ASSERT_TRUE(link_.Session) << link_.Channel->LastError();
        ASSERT_TRUE(Session().Registered) << Session().LastError;
        Session().SetConnectionParameters(0x1234, 1800000, 0x000EFFEC, 0xFACE, 0x0BADF00D);
    }

    eip::TSessionInfo& Session() { return *link_.Session; }

    std::unique_ptr<TUnconnectedSendReply> Routed(const TMR_Request& request,
                                                  const TPacketDataArray& route = Slot0) {
        const auto reply = SendUnconnectedSend(Session(), request, route);
        if (!reply)
            return nullptr;
        EXPECT_EQ(reply->Status, 0u);
        return TUnconnectedSendReply::FromReply(*reply);
    }

    TPacketDataArray RoutedData(const TMR_Request& request) {
        const auto reply = Routed(request);
        const auto* ok = dynamic_cast<const TUnconnectedSendReply_Success*>(reply.get());
        return ok != nullptr ? ok->ResponseData : TPacketDataArray{};
    }

    std::string RoutedFailure(const TMR_Request& request, const TPacketDataArray& route = Slot0) {
        const auto reply = Routed(request, route);
        const auto* failure = dynamic_cast<const TUnconnectedSendReply_Failure*>(reply.get());
        return failure != nullptr ? failure->Message : "(no failure reply)";
    }

    sim::SimController plc_;
    eiptest::TcpSession link_;
};

TEST_F(StackE2ETest, RegistersAndReadsTheIdentity) {
    EXPECT_NE(Session().SessionHandle, 0u);
    ASSERT_TRUE(eip::TSessionManager::ListIdentity(Session()));
    const eip::TIdentityItem& id = Session().IdentityItem;
    EXPECT_EQ(id.ProductName, "Simulated Controller");
    EXPECT_EQ(id.VendorId, 0x04D2);
    EXPECT_EQ(id.SerialNumber, 0x00C0FFEEu);
    EXPECT_EQ(id.MajorRevision, 20);
    EXPECT_EQ(id.State, 3);
    // The socket address the device reports, in network byte order on the wire.
    EXPECT_EQ(id.SocketAddress.Family, 2);
    EXPECT_EQ(id.SocketAddress.Port, plc_.Port());
    EXPECT_EQ(id.SocketAddress.Address, 0x7F000001u);
}

TEST_F(StackE2ETest, RoutingAndStatusTexts) {
    EXPECT_EQ(RoutedFailure(ReadTagRequest("Counter", 1), {0x02, 0x00}),
              "Invalid Port ID specified in the Route_Path field");
    EXPECT_EQ(RoutedFailure(ReadTagRequest("Counter", 1), {0x01, 0x05}),
              "Invalid Node Address specified in the Route_Path field");
    EXPECT_EQ(RoutedFailure(ReadTagRequest("Missing", 1)), "Path Destination Unknown");
    EXPECT_EQ(RoutedFailure(ReadTagRequest("Counter[1]", 1)), "Path Segment Error");
}

TEST_F(StackE2ETest, ASilentDeviceIsAResponseTimeout) {
    Session().Timeout = 200;
    const int rule = plc_.Faults().Add(sim::FaultRule(sim::FaultKind::Silent).OnService(0x4C));
    EXPECT_EQ(Routed(ReadTagRequest("Counter", 1)), nullptr);
    EXPECT_EQ(Session().LastError, "Response timeout");
    EXPECT_EQ(plc_.Faults().RuleHits(rule), 1u);
    Session().Timeout = 5000;
    EXPECT_EQ(RoutedData(ReadTagRequest("Counter", 1)).size(), 6u); // the session carries on
}

TEST_F(StackE2ETest, AClosedChannelIsUnableToSendData) {
    link_.Channel->Close();
    EXPECT_EQ(Routed(ReadTagRequest("Counter", 1)), nullptr);
    EXPECT_EQ(Session().LastError, "Unable to send data");
    EXPECT_FALSE(Session().Connected);
    EXPECT_FALSE(eip::TSessionManager::ListIdentity(Session()));
}

} // namespace
