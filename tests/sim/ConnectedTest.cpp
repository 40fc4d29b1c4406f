// Forward Open refusals and the connection rules the stack's end-to-end tests
// do not reach: repeated sequence counts, closed and foreign connections.
#include "SimFixture.h"

namespace {

using simtest::Bytes;
using simtest::Cat;
using simtest::ReadCounter;
using simtest::TestConnection;

// Forward Open over route 01 00 to the Message Router.
const Bytes ForwardOpen = simtest::ForwardOpen({0x01, 0x00, 0x20, 0x02, 0x24, 0x01});
const Bytes ForwardClose = {0x4E, 0x02, 0x20, 0x06, 0x24, 0x01, 0x00, 0x00, 0x34, 0x12, 0xCE, 0xFA,
                            0xEC, 0xFF, 0x0E, 0x00, 0x03, 0x00, 0x01, 0x00, 0x20, 0x02, 0x24, 0x01};

// Forward Open failure: status 0x01, the extended status, serials and the remaining path size.
Bytes Refusal(std::uint16_t ext, std::uint8_t remaining = 0) {
    return Cat({{0xD4, 0x00, 0x01, 0x01},
                {static_cast<std::uint8_t>(ext), static_cast<std::uint8_t>(ext >> 8)},
                {0x34, 0x12, 0xCE, 0xFA, 0xEC, 0xFF, 0x0E, 0x00, remaining, 0x00}});
}

class ConnectedTest : public simtest::SimFixture {
protected:
    void SetUp() override { Start("DINT Counter = 0x01020304\n"); }

    // Opens the connection; returns the O->T id the device chose.
    std::uint32_t Open() {
        const Bytes reply = connection_->Request(handle_, ForwardOpen);
        EXPECT_EQ(reply.size(), 30u);
        if (reply.size() != 30u) {
            return 0;
        }
        const std::uint32_t oto = simtest::ReadLe32(reply, 4);
        EXPECT_EQ(reply, Cat({{0xD4, 0x00, 0x00, 0x00},
                              simtest::Le32(oto),
                              {0x78, 0x56, 0x34, 0x12, 0x34, 0x12, 0xCE, 0xFA, 0xEC, 0xFF, 0x0E,
                               0x00, 0x20, 0x4E, 0x00, 0x00, 0x20, 0x4E, 0x00, 0x00, 0x00, 0x00}}));
        return oto;
    }

    Bytes Connected(std::uint32_t oto, std::uint16_t sequence, const Bytes& request) {
        return connection_->Exchange(
            simtest::Encaps(0x70, handle_, simtest::UnitData(oto, sequence, request)));
    }
};

TEST_F(ConnectedTest, ARepeatedSequenceCountGetsTheSameReplyAgain) {
    const std::uint32_t oto = Open();
    const Bytes first = Connected(oto, 9, ReadCounter);
    ASSERT_TRUE(plc_->Tags().WriteInteger("Counter", 0, 5));
    EXPECT_EQ(Connected(oto, 9, ReadCounter), first);
    const Bytes next = Connected(oto, 10, ReadCounter);
    EXPECT_EQ(Bytes(next.end() - 4, next.end()), Bytes({0x05, 0x00, 0x00, 0x00}));
}

TEST_F(ConnectedTest, ForwardOpenRefusals) {
    const int rule =
        plc_->Faults().Add(sim::FaultRule(sim::FaultKind::RefuseForwardOpen).WithExtendedStatus(0x0106));
    EXPECT_EQ(connection_->Request(handle_, ForwardOpen), Refusal(0x0106));
    EXPECT_EQ(plc_->Faults().Hits(sim::FaultKind::RefuseForwardOpen), 1u);
    EXPECT_EQ(plc_->Faults().RuleHits(rule), 1u);

    const std::uint32_t oto = Open();
    EXPECT_NE(oto, 0u);
    EXPECT_EQ(connection_->Request(handle_, ForwardOpen), Refusal(0x0100));

    Bytes wrongSlot = ForwardOpen;
    wrongSlot[43] = 0x05;
    Bytes expected = Refusal(0x0312, 3);
    EXPECT_EQ(connection_->Request(handle_, wrongSlot), expected);

    Bytes toIdentity = ForwardOpen;
    toIdentity[45] = 0x01; // 20 01 24 01: not the Message Router
    EXPECT_EQ(connection_->Request(handle_, toIdentity)[4], 0x17);

    Bytes classOne = ForwardOpen;
    classOne[40] = 0x01; // transport class 1
    EXPECT_EQ(connection_->Request(handle_, classOne)[4], 0x03);
    EXPECT_EQ(plc_->Counters().OpenConnections, 1u);
}

// Only the session that opened a connection uses it, until it is closed or the
// TCP connection ends.
TEST_F(ConnectedTest, AConnectionBelongsToItsSessionUntilClosed) {
    const std::uint32_t oto = Open();
    TestConnection other(plc_->Port());
    const std::uint32_t otherHandle = other.Register();
    EXPECT_EQ(other.Exchange(simtest::Encaps(0x70, otherHandle, simtest::UnitData(oto, 1, ReadCounter))),
              simtest::ReplyHeader(0x70, 0, otherHandle, 0x03));
    EXPECT_EQ(connection_->Request(handle_, ForwardClose),
              Bytes({0xCE, 0x00, 0x00, 0x00, 0x34, 0x12, 0xCE, 0xFA, 0xEC, 0xFF, 0x0E, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Connected(oto, 8, ReadCounter), simtest::ReplyHeader(0x70, 0, handle_, 0x03));
    // Closing it again: connection not found.
    EXPECT_EQ(connection_->Request(handle_, ForwardClose),
              Bytes({0xCE, 0x00, 0x01, 0x01, 0x07, 0x01, 0x34, 0x12, 0xCE, 0xFA, 0xEC, 0xFF, 0x0E, 0x00, 0x00,
                     0x00}));
    Open();
    connection_.reset();
    EXPECT_TRUE(plc_->WaitUntil([](const sim::SimCounters& c) { return c.OpenConnections == 0; },
                                std::chrono::seconds(20)));
}

} // namespace
