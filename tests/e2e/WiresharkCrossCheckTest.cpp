// Every request the stack builds, with the simulated controller's replies, run
// through Wireshark's dissectors: no malformed packet, no expert error, and the
// services and tag names decoded are the ones meant.
#include "LoopbackChannel.h"
#include "cip/CIP_ForwardOpen.h"
#include "cip/CIP_IOI.h"
#include "cip/CIP_MultiService.h"
#include "cip/CIP_PCCC.h"
#include "cip/CIP_UnconnectedSend.h"
#include "sim/SimController.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace {

using namespace cip;
using eip::TPacketDataArray;

std::string DissectorPath() {
    if (const char* set = std::getenv("QOR_CIP_DISSECT"); set != nullptr && *set != '\0')
        return std::filesystem::exists(set) ? set : std::string();
    const std::filesystem::path beside = std::filesystem::path(QOR_SOURCE_DIR) / ".." / "shared" / "tools" / "cip-dissect";
    return std::filesystem::exists(beside) ? beside.string() : std::string();
}

std::string Hex(const TPacketDataArray& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

struct Dissection {
    int Status = -1;
    std::vector<std::string> Lines; // one summary line per packet
    std::string Errors;
};

Dissection Dissect(const std::string& tool, const std::vector<std::pair<char, TPacketDataArray>>& packets) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("qor-dissect-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                      std::to_string(reinterpret_cast<std::uintptr_t>(&packets)));
    std::filesystem::create_directories(dir);
    {
        std::ofstream in(dir / "payloads.txt");
        for (const auto& [direction, bytes] : packets)
            in << direction << ' ' << Hex(bytes) << '\n';
    }
    const std::string command = "'" + tool + "' -s < '" + (dir / "payloads.txt").string() + "' 2> '" +
                                (dir / "errors.txt").string() + "'";
    Dissection result;
    if (FILE* out = ::popen(command.c_str(), "r")) {
        char line[4096];
        while (std::fgets(line, sizeof line, out) != nullptr)
            result.Lines.emplace_back(line);
        const int status = ::pclose(out);
        result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::ifstream errors(dir / "errors.txt");
    std::stringstream text;
    text << errors.rdbuf();
    result.Errors = text.str();
    std::filesystem::remove_all(dir);
    return result;
}

TMR_Request ReadTagRequest(std::string_view name, std::uint16_t count) {
    return TMessageRouter::BuildRequest(ServiceCode(TCIPService::ReadTag), TIOI::BuildPath(name),
                                        {static_cast<std::uint8_t>(count), 0});
}

TEST(WiresharkCrossCheckTest, RequestsAndRepliesDecodeCleanly) {
    const std::string tool = DissectorPath();
    if (tool.empty())
        GTEST_SKIP() << "cip-dissect not found: set QOR_CIP_DISSECT to the tool (shared/tools/cip-dissect)";

    sim::SimController plc;
    plc.Tags().Set(sim::MakeTag<std::int32_t>("Counter", sim::CipType::Dint, {}, {42}));
    plc.Tags().Set(sim::MakeTag<float>("Speed", sim::CipType::Real, {}, {1.5f}));
    plc.Tags().Set(sim::MakeTag("Big", sim::CipType::Dint, {300}));
    const std::vector<std::int32_t> words{10, 20, 30};
    plc.Files().Set(sim::MakeWordFile('N', 7, words));
    plc.Start();

    eiptest::LoopbackSession link = eiptest::RegisterOverLoopback(plc.Port(), 5000, true);
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

    const auto packets = link.Channel->Transcript();
    const Dissection d = Dissect(tool, packets);
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
    };
    ASSERT_EQ(packets.size(), expected.size());
    ASSERT_EQ(d.Lines.size(), expected.size()) << d.Errors;
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_NE(d.Lines[i].find(expected[i]), std::string::npos)
            << "packet " << i + 1 << " (" << packets[i].first << "): " << d.Lines[i];
}

} // namespace
