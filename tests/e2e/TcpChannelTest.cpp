// The ready-made TCP owner: what it reports when it cannot connect, and how
// the end of the connection reaches the session or the receiver.
#include "TcpSession.h"
#include "sim/SimController.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace {

using namespace std::chrono_literals;

TEST(TcpChannelTest, ARefusedConnectionIsFalseWithItsReason) {
    std::uint16_t port = 0;
    {
        sim::SimController plc;
        plc.Start();
        port = plc.Port();
    }
    eip::TTcpChannel channel;
    EXPECT_FALSE(channel.Open("127.0.0.1", port, 1000));
    EXPECT_NE(channel.LastError().find("connect"), std::string::npos) << channel.LastError();
    EXPECT_FALSE(channel.IsOpen());
    const std::uint8_t byte = 0;
    EXPECT_EQ(channel.SendToHost(std::span(&byte, 1)), -2);

    eip::TTcpChannel unnamed;
    EXPECT_FALSE(unnamed.Open("no-such-host.invalid", 44818, 1000));
    EXPECT_NE(unnamed.LastError().find("no-such-host.invalid"), std::string::npos) << unnamed.LastError();
}

TEST(TcpChannelTest, TheDeviceClosingIsReportedToTheSession) {
    sim::SimController plc;
    plc.Start();
    eiptest::TcpSession link = eiptest::RegisterOverTcp(plc.Port(), 300);
    ASSERT_TRUE(link.Session && link.Session->Registered);
    plc.Faults().Add(sim::FaultRule(sim::FaultKind::Close).OnCommand(0x63));
    EXPECT_FALSE(eip::TSessionManager::ListIdentity(*link.Session));
    // The reader saw the end and told the session, so nothing more is sent.
    ASSERT_TRUE(link.Channel->WaitForClose(5s));
    EXPECT_FALSE(link.Session->Connected);
    EXPECT_FALSE(link.Channel->IsOpen());
}

TEST(TcpChannelTest, AReceiverGetsTheBytesAndTheEnd) {
    sim::SimController plc;
    plc.Start();
    eip::TTcpChannel channel;
    ASSERT_TRUE(channel.Open("127.0.0.1", plc.Port()));
    std::promise<std::size_t> received;
    std::promise<void> closed;
    channel.SetReceiver([&](std::span<const std::uint8_t> bytes) { received.set_value(bytes.size()); },
                        [&] { closed.set_value(); });
    const eip::TPacketDataArray registration = eip::TEncapsPacketFactory::CreateRegisterSession().Pack();
    EXPECT_EQ(channel.SendToHost(registration), static_cast<int>(registration.size()));
    auto bytes = received.get_future();
    ASSERT_EQ(bytes.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(bytes.get(), 28u);
    auto end = closed.get_future();
    plc.Stop();
    EXPECT_EQ(end.wait_for(5s), std::future_status::ready);
}

} // namespace
