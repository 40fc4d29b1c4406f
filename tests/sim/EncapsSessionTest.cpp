// Encapsulation commands against the running server over loopback TCP: what
// a device refuses, framing, and the connection lifecycle.
#include "SimTestClient.h"

#include "sim/SimController.h"

#include <gtest/gtest.h>

namespace {

using simtest::Bytes;
using simtest::Cat;
using simtest::Encaps;
using simtest::ReplyHeader;
using simtest::TestConnection;

// Get Attribute Single of the identity's vendor id.
const Bytes ReadVendor = {0x0E, 0x03, 0x20, 0x01, 0x24, 0x01, 0x30, 0x01};

class EncapsSessionTest : public ::testing::Test {
protected:
    void SetUp() override { plc_.Start(); }

    sim::SimController plc_;
};

TEST_F(EncapsSessionTest, RefusesWhatADeviceRefuses) {
    TestConnection c(plc_.Port());
    // Protocol version 2: 0x69, and the reply names version 1.
    EXPECT_EQ(c.Exchange(Encaps(0x65, 0, {0x02, 0x00, 0x00, 0x00})),
              Cat({ReplyHeader(0x65, 4, 0, 0x69), {0x01, 0x00, 0x00, 0x00}}));
    // SendRRData before any session: 0x64.
    EXPECT_EQ(c.Exchange(Encaps(0x6F, 0x1234, simtest::RRData(ReadVendor))),
              ReplyHeader(0x6F, 0, 0x1234, 0x64));
    const std::uint32_t handle = c.Register();
    // A second registration on the same connection: 0x0001 with the handle it has.
    EXPECT_EQ(c.Exchange(Encaps(0x65, 0, {0x01, 0x00, 0x00, 0x00})),
              Cat({ReplyHeader(0x65, 4, handle, 0x01), {0x01, 0x00, 0x00, 0x00}}));
    // An unknown command: 0x0001.
    EXPECT_EQ(c.Exchange(Encaps(0x0099, handle, {0xAA})), ReplyHeader(0x0099, 0, handle, 0x01));
    // A wrong handle: 0x64.
    EXPECT_EQ(c.Exchange(Encaps(0x6F, handle + 1, simtest::RRData(ReadVendor))),
              ReplyHeader(0x6F, 0, handle + 1, 0x64));
    // One item only, then a connected data item in SendRRData: 0x0003.
    EXPECT_EQ(c.Exchange(Encaps(0x6F, handle, {0, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00})),
              ReplyHeader(0x6F, 0, handle, 0x03));
    EXPECT_EQ(c.Exchange(Encaps(0x6F, handle,
                                {0, 0, 0, 0, 0, 0, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB1, 0x00, 0x02, 0x00,
                                 0x07, 0x00})),
              ReplyHeader(0x6F, 0, handle, 0x03));
    // An item whose length runs past the data: 0x0003.
    EXPECT_EQ(c.Exchange(Encaps(
                  0x6F, handle,
                  {0, 0, 0, 0, 0, 0, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB2, 0x00, 0x09, 0x00, 0x0E})),
              ReplyHeader(0x6F, 0, handle, 0x03));
    // The session still works afterwards.
    EXPECT_EQ(c.Request(handle, ReadVendor), Bytes({0x8E, 0x00, 0x00, 0x00, 0xD2, 0x04}));
}

TEST_F(EncapsSessionTest, PacketsAreFramedFromTheStreamNotFromSends) {
    TestConnection c(plc_.Port());
    const std::uint32_t handle = c.Register();
    const Bytes read = Encaps(0x6F, handle, simtest::RRData(ReadVendor));
    // Two packets in one send, then one packet dribbled in three sends.
    c.Send(Cat({read, read}));
    EXPECT_EQ(c.Receive().size(), 46u);
    EXPECT_EQ(c.Receive().size(), 46u);
    c.Send(Bytes(read.begin(), read.begin() + 3));
    c.Send(Bytes(read.begin() + 3, read.begin() + 30));
    EXPECT_FALSE(c.HasPendingBytes());
    c.Send(Bytes(read.begin() + 30, read.end()));
    const Bytes reply = c.Receive();
    ASSERT_EQ(reply.size(), 46u);
    EXPECT_EQ(Bytes(reply.end() - 6, reply.end()), Bytes({0x8E, 0x00, 0x00, 0x00, 0xD2, 0x04}));
}

TEST_F(EncapsSessionTest, UnRegisterSessionClosesTheConnectionAndNopIsNotAnswered) {
    TestConnection c(plc_.Port());
    const std::uint32_t handle = c.Register();
    c.Send(Encaps(0x0000, handle, {0x55, 0x66}));
    c.Send(Encaps(0x0066, handle, {}));
    EXPECT_TRUE(c.PeerClosed());
    EXPECT_TRUE(plc_.WaitForNoConnections(std::chrono::seconds(20)));
    EXPECT_EQ(plc_.Counters().Packets, 3u);
}

} // namespace
