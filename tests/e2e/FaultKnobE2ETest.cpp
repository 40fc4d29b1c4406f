// The stack against the simulated controller's fault knobs over real loopback
// TCP: a reply held back past the time-out must never be taken as the answer
// to the next request, whatever the exchange; torn, cut, noisy and closed
// replies fail cleanly and the session carries on.
#include "TcpSession.h"
#include "cip/CIP_ForwardOpen.h"
#include "cip/CIP_IOI.h"
#include "cip/CIP_MultiService.h"
#include "cip/CIP_UnconnectedSend.h"
#include "sim/SimController.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace cip;
using namespace std::chrono_literals;
using eip::TPacketDataArray;

using eiptest::ReadTagRequest;
using eiptest::Slot0;
const TPacketDataArray CounterValue{0xC4, 0x00, 0x2A, 0x00, 0x00, 0x00}; // DINT 42
const TPacketDataArray SpeedValue{0xCA, 0x00, 0x00, 0x00, 0xC0, 0x3F};   // REAL 1.5

constexpr std::uint8_t ReadTagService = 0x4C;
constexpr std::uint8_t MultipleServiceService = 0x0A;
constexpr std::uint8_t ForwardOpenService = 0x54;

// The reply comes this long after a request that gives up after ShortTimeout,
// so it arrives while the next request waits.
constexpr auto Late = 600ms;
constexpr std::uint32_t ShortTimeout = 100;

TMR_Request MultipleService(std::initializer_list<std::string_view> names) {
    TMultiServiceRequest msp;
    for (const auto name : names)
        msp.AddService(ReadTagRequest(name).Pack());
    TMR_Request packed;
    packed.IsPacked = true;
    packed.Request_Path = msp.Pack();
    return packed;
}

class FaultKnobE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        plc_.Tags().Set(sim::MakeTag<std::int32_t>("Counter", sim::CipType::Dint, {}, {42}));
        plc_.Tags().Set(sim::MakeTag<float>("Speed", sim::CipType::Real, {}, {1.5f}));
        plc_.Start();
        link_ = eiptest::RegisterOverTcp(plc_.Port());
        ASSERT_TRUE(Session().Registered) << Session().LastError;
        Session().SetConnectionParameters(0x1234, 1800000, 0x000EFFEC, 0xFACE, 0x0BADF00D);
    }

    eip::TSessionInfo& Session() { return *link_.Session; }
    std::uint32_t Dropped() {
        return dynamic_cast<eip::TDataLoggerSession&>(*Session().Socket).DroppedReplies.load();
    }

    int Delay(std::uint8_t service) {
        return plc_.Faults().Add(sim::FaultRule(sim::FaultKind::Delay).OnService(service).WithPause(Late));
    }

    // The embedded reply's data of a routed request; empty when it failed.
    TPacketDataArray Read(const TMR_Request& request) {
        const auto reply = SendUnconnectedSend(Session(), request, Slot0);
        if (!reply)
            return {};
        const auto parsed = TUnconnectedSendReply::FromReply(*reply);
        const auto* ok = dynamic_cast<const TUnconnectedSendReply_Success*>(parsed.get());
        return ok != nullptr ? ok->ResponseData : TPacketDataArray{};
    }

    // Runs one exchange that gives up before its reply comes.
    template <class F>
    void GiveUpOn(F exchange) {
        Session().Timeout = ShortTimeout;
        exchange();
        EXPECT_EQ(Session().LastError, "Response timeout");
        Session().Timeout = 5000;
    }

    sim::SimController plc_;
    eiptest::TcpSession link_;
};

TEST_F(FaultKnobE2ETest, ALateReadTagReplyIsNotTheNextReadsAnswer) {
    const int rule = Delay(ReadTagService);
    GiveUpOn([&] { EXPECT_TRUE(Read(ReadTagRequest("Counter")).empty()); });
    EXPECT_EQ(Read(ReadTagRequest("Speed")), SpeedValue);
    EXPECT_EQ(plc_.Faults().RuleHits(rule), 1u);
    EXPECT_EQ(Dropped(), 1u);
}

TEST_F(FaultKnobE2ETest, ALateMultipleServiceReplyDoesNotPutValuesOnTheWrongTags) {
    Delay(MultipleServiceService);
    GiveUpOn([&] { EXPECT_FALSE(SendUnconnectedSend(Session(), MultipleService({"Counter", "Speed"}), Slot0)); });
    const auto reply = SendUnconnectedSend(Session(), MultipleService({"Speed", "Counter"}), Slot0);
    ASSERT_TRUE(reply);
    const TMultiServiceReply parsed = TMultiServiceReply::Create(*reply);
    ASSERT_EQ(parsed.Replies.size(), 2u);
    EXPECT_EQ(parsed.Replies[0].ResponseData, SpeedValue);
    EXPECT_EQ(parsed.Replies[1].ResponseData, CounterValue);
    EXPECT_EQ(Dropped(), 1u);
}

TEST_F(FaultKnobE2ETest, ForwardOpenTakesOnlyItsOwnReply) {
    // A late read must not be taken for the Forward Open's answer...
    Delay(ReadTagService);
    GiveUpOn([&] { EXPECT_TRUE(Read(ReadTagRequest("Counter")).empty()); });
    ASSERT_TRUE(ForwardOpenToRouter(Session(), Slot0));
    EXPECT_NE(Session().ConnectionParameters.OTConnectionId, 0u);
    EXPECT_EQ(plc_.Counters().OpenConnections, 1u);
    EXPECT_TRUE(ForwardClose(Session(), Slot0));

    // ... nor a late Forward Open for a read's.
    Delay(ForwardOpenService);
    GiveUpOn([&] { EXPECT_FALSE(ForwardOpenToRouter(Session(), Slot0)); });
    EXPECT_EQ(Read(ReadTagRequest("Counter")), CounterValue);
    EXPECT_EQ(Dropped(), 2u);
}

TEST_F(FaultKnobE2ETest, ALateConnectedReplyIsNotTheNextReadsAnswer) {
    ASSERT_TRUE(ForwardOpenToRouter(Session(), Slot0));
    TSequenceNumberGenerator sequence;
    Delay(ReadTagService);
    GiveUpOn([&] { EXPECT_FALSE(ReadTagConnected(Session(), "Counter", 1, sequence)); });
    const auto speed = ReadTagConnected(Session(), "Speed", 1, sequence);
    ASSERT_TRUE(speed);
    EXPECT_EQ(speed->DataType, 0x00CA);
    EXPECT_EQ(speed->Data, (TPacketDataArray{0x00, 0x00, 0xC0, 0x3F}));
    EXPECT_EQ(Dropped(), 1u);
}

TEST_F(FaultKnobE2ETest, ASplitReplyIsReassembled) {
    const int rule = plc_.Faults().Add(
        sim::FaultRule(sim::FaultKind::Split).OnService(ReadTagService).InParts(4).WithPause(20ms));
    EXPECT_EQ(Read(ReadTagRequest("Counter")), CounterValue);
    EXPECT_EQ(plc_.Faults().RuleHits(rule), 1u);
}

TEST_F(FaultKnobE2ETest, ATruncatedReplyFailsCleanlyAndTheNextReadWorks) {
    plc_.Faults().Add(sim::FaultRule(sim::FaultKind::Truncate).OnService(ReadTagService).Keeping(30));
    Session().Timeout = ShortTimeout;
    // What came is returned as it is when the time-out passes; the parser refuses it.
    EXPECT_THROW(Read(ReadTagRequest("Counter")), eip::TAGCOM_IndexOutOfRangeException);
    Session().Timeout = 5000;
    EXPECT_EQ(Read(ReadTagRequest("Speed")), SpeedValue);
}

TEST_F(FaultKnobE2ETest, NoiseInsteadOfAReplyIsNeverAValue) {
    plc_.Faults().Add(sim::FaultRule(sim::FaultKind::Garbage).OnService(ReadTagService));
    Session().Timeout = ShortTimeout;
    TPacketDataArray noisy;
    try {
        noisy = Read(ReadTagRequest("Counter"));
    } catch (const std::exception&) {
        // The parser refusing the noise is as good as no reply.
    }
    EXPECT_TRUE(noisy.empty());
    Session().Timeout = 5000;
    EXPECT_EQ(Read(ReadTagRequest("Speed")), SpeedValue);
}

TEST_F(FaultKnobE2ETest, AConnectionClosedDuringTheWaitEndsItAtOnce) {
    plc_.Faults().Add(sim::FaultRule(sim::FaultKind::Close).OnService(ReadTagService));
    Session().Timeout = 20000;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(Read(ReadTagRequest("Counter")).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_FALSE(Session().Connected);
    EXPECT_EQ(Session().LastError, "Connection lost");
}

} // namespace
