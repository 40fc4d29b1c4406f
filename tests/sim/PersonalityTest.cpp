// The three controller families: what a Micro800 and a MicroLogix refuse that
// a Logix controller answers, and the connection paths they accept.
#include "SimFixture.h"

namespace {

using simtest::Bytes;
using simtest::Cat;
using simtest::CounterValue;
using simtest::ForwardOpen;
using simtest::ReadCounter;
using simtest::Routed;
using simtest::Text;

const Bytes ToRouter = {0x20, 0x02, 0x24, 0x01};
const Bytes ThroughBackplane = {0x01, 0x00, 0x20, 0x02, 0x24, 0x01};

class PersonalityTest : public simtest::SimFixture {
protected:
    void Start(sim::Personality family) {
        config_.Device.Family = family;
        config_.Device.Identity = sim::DefaultIdentity(family);
        SimFixture::Start();
    }

    // Opens a connection over the path; returns the O->T id, 0 when refused.
    std::uint32_t Open(const Bytes& path) {
        const Bytes reply = Request(ForwardOpen(path));
        if (reply.size() != 30u || reply[2] != 0) {
            return 0;
        }
        return simtest::ReadLe32(reply, 4);
    }

    Bytes Connected(std::uint32_t oto, std::uint16_t sequence, const Bytes& request) {
        const Bytes packet =
            connection_->Exchange(simtest::Encaps(0x70, handle_, simtest::UnitData(oto, sequence, request)));
        // Header, interface handle and time-out, item count, address item, data item header, sequence.
        constexpr std::size_t skip = 24 + 6 + 2 + 8 + 4 + 2;
        return packet.size() > skip ? Bytes(packet.begin() + skip, packet.end()) : Bytes{};
    }
};

TEST_F(PersonalityTest, AMicro800ReadsSymbolsOnlyOverAConnectionAndHasNoBackplane) {
    Start(sim::Personality::Micro800);
    EXPECT_EQ(Request(ReadCounter), Bytes({0xCC, 0x00, 0x08, 0x00}));
    const Bytes routed = Request(Routed(ReadCounter, {0x01, 0x00}));
    ASSERT_GE(routed.size(), 6u);
    EXPECT_EQ(Bytes(routed.begin(), routed.begin() + 6), Bytes({0xD2, 0x00, 0x01, 0x01, 0x11, 0x03}));

    // A connection through a backplane port is refused as a real one
    // refuses it: 0x01 / 0x0311 with the path size left.
    EXPECT_EQ(Request(ForwardOpen(ThroughBackplane)),
              Bytes({0xD4, 0x00, 0x01, 0x01, 0x11, 0x03, 0x34, 0x12, 0xCE, 0xFA, 0xEC, 0xFF, 0x0E, 0x00, 0x03,
                     0x00}));
    const std::uint32_t oto = Open(ToRouter);
    ASSERT_NE(oto, 0u);
    EXPECT_EQ(Connected(oto, 1, ReadCounter), CounterValue);
    // Fragmented reads over the connection, and BOOLs as 0x01.
    EXPECT_EQ(
        Connected(
            oto, 2,
            Cat({{0x52, 0x05, 0x91, 0x07}, Text("Counter"), {0x00, 0x01, 0x00}, {0x00, 0x00, 0x00, 0x00}})),
        Bytes({0xD2, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x40, 0xE2, 0x01, 0x00}));
    EXPECT_EQ(Connected(oto, 3, simtest::Read(Cat({simtest::Sym("Motor"), simtest::Sym("Running")}))),
              Bytes({0xCC, 0x00, 0x00, 0x00, 0xC1, 0x00, 0x01}));
    // No Multiple Service Packet, no templates; the symbol table is there.
    EXPECT_EQ(
        Connected(oto, 4, Cat({{0x0A, 0x02, 0x20, 0x02, 0x24, 0x01, 0x01, 0x00, 0x04, 0x00}, ReadCounter})),
        Bytes({0x8A, 0x00, 0x08, 0x00}));
    EXPECT_EQ(Request({0x03, 0x03, 0x20, 0x6C, 0x25, 0x00, 0x83, 0x0F, 0x01, 0x00, 0x01, 0x00}),
              Bytes({0x83, 0x00, 0x05, 0x00}));
    const Bytes browse = Request({0x55, 0x03, 0x20, 0x6B, 0x25, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00});
    ASSERT_GT(browse.size(), 4u);
    EXPECT_EQ(browse[2], 0x00);
}

TEST_F(PersonalityTest, AMicroLogixAnswersDataTableFilesOnly) {
    Start(sim::Personality::MicroLogix);
    EXPECT_EQ(Request(ReadCounter), Bytes({0xCC, 0x00, 0x05, 0x00}));
    EXPECT_EQ(Request({0x55, 0x03, 0x20, 0x6B, 0x25, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00}),
              Bytes({0xD5, 0x00, 0x05, 0x00}));
    // An empty connection path names the Message Router, as on a real one.
    EXPECT_NE(Open({}), 0u);
    // Its reads over that connection, and its identity, are the truth test's.
    EXPECT_EQ(Request(ForwardOpen(ThroughBackplane))[4], 0x11);
}

TEST_F(PersonalityTest, ALogixControllerIsReachedThroughItsSlotOnly) {
    Start(sim::Personality::Logix);
    EXPECT_EQ(Request(Routed(ReadCounter, {0x01, 0x00})), CounterValue);
    EXPECT_NE(Open(ThroughBackplane), 0u);
    // An empty connection path names nothing on a Logix controller.
    const Bytes refused = Request(ForwardOpen({}));
    ASSERT_GE(refused.size(), 6u);
    EXPECT_EQ(Bytes(refused.begin() + 2, refused.begin() + 6), Bytes({0x01, 0x01, 0x17, 0x01}));
    // Attributes of the network objects: host name, MAC address.
    EXPECT_EQ(Request({0x0E, 0x03, 0x20, 0xF5, 0x24, 0x01, 0x30, 0x06}),
              Cat({{0x8E, 0x00, 0x00, 0x00, 0x07, 0x00}, Text("sim-plc"), {0x00}}));
    EXPECT_EQ(Request({0x0E, 0x03, 0x20, 0xF6, 0x24, 0x01, 0x30, 0x03}),
              Bytes({0x8E, 0x00, 0x00, 0x00, 0x00, 0x00, 0xBC, 0x51, 0x4D, 0x01}));
    EXPECT_EQ(Request({0x0E, 0x03, 0x20, 0xF6, 0x24, 0x01, 0x30, 0x09}), Bytes({0x8E, 0x00, 0x14, 0x00}));
}

} // namespace
