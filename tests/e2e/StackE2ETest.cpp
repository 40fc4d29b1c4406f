// The stack against the simulated controller over real loopback TCP: sessions,
// identity, routed reads in fragments, and what each failure leaves in
// LastError or the reply. (Connected reads, Multiple Service Packets and PCCC
// over TCP are the processor's end-to-end tests'; every request the stack
// builds goes through Wireshark's dissectors in WiresharkCrossCheckTest.)
#include "TcpSession.h"
#include "cip/CIP_IOI.h"
#include "cip/CIP_UnconnectedSend.h"
#include "sim/SimController.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

using namespace cip;
using eip::TPacketDataArray;

using eiptest::ReadTagRequest;
using eiptest::Slot0;

TPacketDataArray Count(std::uint16_t n) { return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)}; }

TMR_Request ReadFragmentRequest(std::string_view name, std::uint16_t count, std::uint32_t offset) {
    TPacketDataArray data = Count(count);
    eip::AppendUInt32(data, offset);
    return TMessageRouter::BuildRequest(ServiceCode(TCIPService::ReadTagFragmented), TIOI::BuildPath(name), data);
}

// Tag "Big": 300 DINTs counting up from 0x01020300, and their bytes as the wire carries them.
std::vector<std::int32_t> BigValues() {
    std::vector<std::int32_t> values(300);
    std::iota(values.begin(), values.end(), 0x01020300);
    return values;
}

TPacketDataArray BigBytes() {
    TPacketDataArray bytes;
    for (const std::int32_t v : BigValues())
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<std::uint8_t>(v >> shift));
    return bytes;
}

class StackE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        plc_.Tags().Set(sim::MakeTag<std::int32_t>("Counter", sim::CipType::Dint, {}, {42}));
        plc_.Tags().Set(sim::MakeTag<float>("Speed", sim::CipType::Real, {}, {1.5f}));
        const auto big = BigValues();
        plc_.Tags().Set(sim::MakeTag("Big", sim::CipType::Dint, {300}, std::span<const std::int32_t>(big)));
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

TEST_F(StackE2ETest, ReadsALargeArrayInFragments) {
    TPacketDataArray values;
    std::uint8_t status = StatusPartialTransfer;
    int replies = 0;
    while (status == StatusPartialTransfer && replies < 10) {
        const auto reply = Routed(replies == 0 ? ReadTagRequest("Big", 300)
                                               : ReadFragmentRequest("Big", 300, static_cast<std::uint32_t>(values.size())));
        const auto* ok = dynamic_cast<const TUnconnectedSendReply_Success*>(reply.get());
        ASSERT_NE(ok, nullptr);
        ASSERT_GE(ok->ResponseData.size(), 2u);
        EXPECT_EQ(eip::ToUInt16(ok->ResponseData, 0), 0x00C4);
        values.insert(values.end(), ok->ResponseData.begin() + 2, ok->ResponseData.end());
        status = ok->GeneralStatus;
        ++replies;
    }
    EXPECT_GT(replies, 1);
    EXPECT_EQ(values, BigBytes());
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
