// Cut-short and mangled requests: the device answers every one with a status
// and keeps serving.
#include "SimTestClient.h"

#include "sim/EncapsSession.h"
#include "sim/TagFile.h"

#include <gtest/gtest.h>

namespace {

using simtest::Bytes;
using simtest::Cat;
using simtest::Text;

// Valid requests of every kind the device knows.
std::vector<Bytes> ValidRequests() {
    const Bytes readCounter = Cat({{0x4C, 0x05, 0x91, 0x07}, Text("Counter"), {0x00, 0x01, 0x00}});
    return {
        readCounter,
        Cat({{0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x0A, 0x05, 0x0E, 0x00},
             readCounter,
             {0x01, 0x00, 0x01, 0x00}}),
        Cat({{0x52, 0x04, 0x91, 0x05}, Text("Trend"), {0x00, 0x2C, 0x01, 0xEC, 0x01, 0x00, 0x00}}),
        Cat({{0x0A, 0x02, 0x20, 0x02, 0x24, 0x01, 0x02, 0x00, 0x06, 0x00, 0x14, 0x00},
             readCounter,
             {0x0E, 0x03, 0x20, 0x01, 0x24, 0x01, 0x30, 0x01}}),
        {0x03, 0x02, 0x20, 0x01, 0x24, 0x01, 0x02, 0x00, 0x01, 0x00, 0x07, 0x00},
        {0x54, 0x02, 0x20, 0x06, 0x24, 0x01, 0x0D, 0xDB, 0x00, 0x00, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12,
         0x34, 0x12, 0xCE, 0xFA, 0xEC, 0xFF, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x4E, 0x00, 0x00,
         0xFC, 0x47, 0x20, 0x4E, 0x00, 0x00, 0xFC, 0x47, 0xA3, 0x03, 0x01, 0x00, 0x20, 0x02, 0x24, 0x01},
        {0x4E, 0x02, 0x20, 0x06, 0x24, 0x01, 0x00, 0x00, 0x34, 0x12, 0xCE, 0xFA,
         0xEC, 0xFF, 0x0E, 0x00, 0x03, 0x00, 0x01, 0x00, 0x20, 0x02, 0x24, 0x01},
        {0x4B, 0x02, 0x20, 0x67, 0x24, 0x01, 0x07, 0x1B, 0x05, 0x98, 0xAA, 0x91,
         0x02, 0x0F, 0x00, 0x05, 0x00, 0xA2, 0x14, 0x07, 0x89, 0x00, 0x00},
    };
}

struct Random {
    std::uint32_t State = 0x2545F491;
    std::uint32_t Next() {
        State ^= State << 13;
        State ^= State >> 17;
        State ^= State << 5;
        return State;
    }
};

class RobustnessTest : public ::testing::Test {
protected:
    void SetUp() override { sim::LoadTagText(sim::SampleTagText(), tags_, files_); }

    sim::TagDatabase tags_;
    sim::DataTable files_;
    sim::FaultInjector faults_;
    sim::CipDevice device_{sim::DeviceConfig{}, tags_, files_, faults_};
};

TEST_F(RobustnessTest, EveryCutShortRequestGetsAnErrorReply) {
    for (const Bytes& request : ValidRequests()) {
        for (std::size_t n = 1; n < request.size(); ++n) {
            sim::CipContext context;
            const Bytes reply = device_.Handle(Bytes(request.begin(), request.begin() + n), context);
            ASSERT_GE(reply.size(), 4u);
            EXPECT_EQ(reply[0], request[0] | 0x80) << "prefix " << n;
            if (request[0] == 0x4B && reply[2] == 0x00) {
                // Execute PCCC itself went through; the PCCC status after the
                // 7-byte requester id says the command was cut short.
                ASSERT_GE(reply.size(), 13u);
                EXPECT_EQ(reply[12], 0x10) << "prefix " << n;
            } else {
                EXPECT_NE(reply[2], 0x00) << "service " << int(request[0]) << " prefix " << n;
            }
        }
    }
}

TEST_F(RobustnessTest, MangledEncapsulationPacketsNeverBreakTheSession) {
    Random random;
    sim::EncapsSession session(device_, 1, 0x7F000001, 44818);
    const Bytes header = simtest::Encaps(0x65, 0, {0x01, 0x00, 0x00, 0x00});
    ASSERT_TRUE(session.Handle(header).Reply.has_value());
    const std::uint32_t handle = session.SessionHandle();
    std::vector<Bytes> packets;
    for (const Bytes& request : ValidRequests()) {
        packets.push_back(simtest::Encaps(0x6F, handle, simtest::RRData(request)));
        packets.push_back(simtest::Encaps(0x70, handle, simtest::UnitData(0x5A000001, 3, request)));
    }
    for (int i = 0; i < 20000; ++i) {
        Bytes packet = packets[random.Next() % packets.size()];
        const std::uint32_t changes = 1 + random.Next() % 4;
        for (std::uint32_t c = 0; c < changes; ++c) {
            // Mostly the data, sometimes the header, never the Length field,
            // which the framing above the session owns.
            std::size_t at = random.Next() % packet.size();
            if (at == 2 || at == 3) {
                at = 24;
            }
            packet[at] = static_cast<std::uint8_t>(random.Next());
        }
        const sim::EncapsOutcome outcome = session.Handle(packet);
        if (outcome.Reply) {
            ASSERT_GE(outcome.Reply->size(), 24u);
            ASSERT_EQ(simtest::ReadLe16(*outcome.Reply, 2), outcome.Reply->size() - 24);
        }
    }
    // Still registered and answering.
    const sim::EncapsOutcome outcome = session.Handle(
        simtest::Encaps(0x6F, handle, simtest::RRData({0x0E, 0x03, 0x20, 0x01, 0x24, 0x01, 0x30, 0x01})));
    ASSERT_TRUE(outcome.Reply.has_value());
    EXPECT_EQ(simtest::ReadLe32(*outcome.Reply, 8), 0u);
}

} // namespace
