// Every request the stack builds, with the simulated controller's replies, run
// through Wireshark's dissectors: no malformed packet, no expert error, and the
// services and tag names decoded are the ones meant.
#include "../ToolSupport.h"
#include "TcpSession.h"
#include "cip/CIP_ForwardOpen.h"
#include "cip/CIP_IOI.h"
#include "cip/CIP_MultiService.h"
#include "cip/CIP_PCCC.h"
#include "cip/CIP_UnconnectedSend.h"
#include "sim/SimController.h"

#include <gtest/gtest.h>

namespace {

using namespace cip;
using eip::TPacketDataArray;

using eiptest::ReadTagRequest;

TEST(WiresharkCrossCheckTest, RequestsAndRepliesDecodeCleanly) {
    const std::string tool = tooltest::FindTool("QOR_CIP_DISSECT", "cip-dissect");
    if (tool.empty())
        GTEST_SKIP() << "cip-dissect not found: set QOR_CIP_DISSECT to the tool (shared/tools/cip-dissect)";

    sim::SimController plc;
    plc.Tags().Set(sim::MakeTag<std::int32_t>("Counter", sim::CipType::Dint, {}, {42}));
    plc.Tags().Set(sim::MakeTag<float>("Speed", sim::CipType::Real, {}, {1.5f}));
    plc.Tags().Set(sim::MakeTag("Big", sim::CipType::Dint, {300}));
    const std::vector<std::int32_t> words{10, 20, 30};
    plc.Files().Set(sim::MakeWordFile('N', 7, words));
    plc.Start();

    eiptest::PacketRecorder recorder;
    eiptest::TcpSession link = eiptest::RegisterOverTcp(plc.Port(), 5000, &recorder);
    ASSERT_TRUE(link.Session) << link.Channel->LastError();
    eip::TSessionInfo& session = *link.Session;
    ASSERT_TRUE(session.Registered);
    ASSERT_TRUE(eip::TSessionManager::ListIdentity(session));
    session.SetConnectionParameters(0x1234, 1800000, 0x000EFFEC, 0xFACE, 0x0BADF00D);
    const TPacketDataArray slot0{0x01, 0x00};

    ASSERT_TRUE(SendUnconnectedSend(session, ReadTagRequest("Counter", 1), slot0));
    TMultiServiceRequest msp;
    msp.AddService(ReadTagRequest("Counter", 1).Pack());
    msp.AddService(ReadTagRequest("Speed", 1).Pack());
    TMR_Request packed;
    packed.IsPacked = true;
    packed.Request_Path = msp.Pack();
    ASSERT_TRUE(SendUnconnectedSend(session, packed, slot0));
    ASSERT_TRUE(ForwardOpenToRouter(session, slot0));
    TSequenceNumberGenerator sequence;
    ASSERT_TRUE(ReadTagConnected(session, "Counter", 1, sequence));
    ASSERT_TRUE(ReadTagFragmentedConnected(session, "Big", 300, 0, sequence));
    ASSERT_TRUE(ForwardClose(session, slot0));
    ASSERT_TRUE(ForwardOpenToRouter(session, TPacketDataArray{}));
    ASSERT_TRUE(ReadPCCC(session, "N7:0", 3, sequence));
    ASSERT_TRUE(ForwardClose(session, TPacketDataArray{}));
    // Failure replies: a route to another port, a tag that does not exist, a
    // Forward Close of a connection no longer open.
    ASSERT_TRUE(SendUnconnectedSend(session, ReadTagRequest("Counter", 1), TPacketDataArray{0x02, 0x00}));
    ASSERT_TRUE(SendUnconnectedSend(session, ReadTagRequest("Missing", 1), slot0));
    ASSERT_FALSE(ForwardClose(session, slot0));

    const auto packets = recorder.Transcript();
    const tooltest::Dissection d = tooltest::Dissect(tool, packets);
    EXPECT_EQ(d.Status, 0) << d.Errors;
    EXPECT_EQ(d.Errors, "");
    const std::vector<std::string> expected = {
        "Register Session (Req)",
        "Register Session (Rsp)",
        "List Identity (Req)",
        "List Identity (Rsp), Simulated Controller",
        "Unconnected Send: 'Counter' - Service (0x4c)",
        "Success: 'Counter' - Service (0x4c)",
        "Unconnected Send: Message Router - Multiple Service Packet: Service (0x4c), Service (0x4c)",
        "Success: Multiple Service Packet: Service (0x4c), Service (0x4c)",
        "Forward Open (Message Router)",
        "Success: Connection Manager - Forward Open (Message Router)",
        "'Counter' - Service (0x4c)",
        "Success: 'Counter' - Service (0x4c)",
        "'Big' - Service (0x52)",
        "Partial transfer: 'Big' - Service (0x52)",
        "Forward Close (Message Router)",
        "Success: Connection Manager - Forward Close (Message Router)",
        "Forward Open (Message Router)",
        "Success: Connection Manager - Forward Open (Message Router)",
        "Execute PCCC - Protected typed logical read with three address fields",
        "Success: PCCC Class - Execute PCCC",
        "Forward Close (Message Router)",
        "Success: Connection Manager - Forward Close (Message Router)",
        "Unconnected Send: 'Counter' - Service (0x4c)",
        "Connection failure: Unconnected Send",
        "Unconnected Send: 'Missing' - Service (0x4c)",
        "Path destination unknown: 'Missing' - Service (0x4c)",
        "Forward Close (Message Router)",
        "Connection failure: Connection Manager - Forward Close (Message Router)",
    };
    ASSERT_EQ(packets.size(), expected.size());
    ASSERT_EQ(d.Lines.size(), expected.size()) << d.Errors;
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_NE(d.Lines[i].find(expected[i]), std::string::npos)
            << "packet " << i + 1 << " (" << packets[i].first << "): " << d.Lines[i];
}

} // namespace
