// The Logix objects' replies (browse pages, template attributes and
// definitions, structure and member reads) through Wireshark's dissectors:
// no malformed packet, no expert error, each reply matched to its request.
#include "../ToolSupport.h"
#include "SimFixture.h"

namespace {

using simtest::Bytes;
using simtest::Cat;
using simtest::Text;

TEST(WiresharkLogixTest, BrowseTemplateAndStructureRepliesDecodeCleanly) {
    const std::string tool = tooltest::FindTool("QOR_CIP_DISSECT", "cip-dissect");
    if (tool.empty()) {
        GTEST_SKIP() << "cip-dissect not found: set QOR_CIP_DISSECT to the tool (shared/tools/cip-dissect)";
    }
    sim::SimController plc;
    sim::LoadTagText(sim::SampleTagText(), plc.Tags(), plc.Files());
    plc.Start();
    simtest::TestConnection connection(plc.Port());

    std::vector<std::pair<char, Bytes>> packets;
    auto exchange = [&](const Bytes& packet) {
        const Bytes reply = connection.Exchange(packet);
        packets.emplace_back('>', packet);
        packets.emplace_back('<', reply);
        return reply;
    };
    const Bytes registered = exchange(simtest::Encaps(0x65, 0, {0x01, 0x00, 0x00, 0x00}));
    ASSERT_EQ(registered.size(), 28u);
    const std::uint32_t handle = simtest::ReadLe32(registered, 4);
    const std::vector<Bytes> requests = {
        // Browse from instance 0, then from an instance beyond 16 bits.
        {0x55, 0x03, 0x20, 0x6B, 0x25, 0x00, 0x00, 0x00, 0x04, 0x00, 0x02, 0x00, 0x07, 0x00, 0x08, 0x00, 0x01,
         0x00},
        {0x55, 0x04, 0x20, 0x6B, 0x26, 0x00, 0xA1, 0xB4, 0x02, 0x00,
         0x04, 0x00, 0x02, 0x00, 0x07, 0x00, 0x08, 0x00, 0x01, 0x00},
        // TIMER's attributes 4, 3, 2, 1 and its 76-byte definition.
        {0x03, 0x03, 0x20, 0x6C, 0x25, 0x00, 0x83, 0x0F, 0x04, 0x00, 0x04, 0x00, 0x03, 0x00, 0x02, 0x00, 0x01,
         0x00},
        {0x4C, 0x03, 0x20, 0x6C, 0x25, 0x00, 0x83, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x4C, 0x00},
        // A whole TIMER, a nested member and a packed BOOL.
        simtest::Read(simtest::Sym("Delay")),
        simtest::Read(Cat({simtest::Sym("Motor"), simtest::Sym("Delay")})),
        simtest::Read(Cat({simtest::Sym("Motor"), simtest::Sym("Running")})),
    };
    for (const Bytes& request : requests) {
        exchange(simtest::Encaps(0x6F, handle, simtest::RRData(simtest::Routed(request, {0x01, 0x00}))));
    }

    const tooltest::Dissection d = tooltest::Dissect(tool, packets);
    EXPECT_EQ(d.Status, 0) << d.Errors;
    const std::vector<std::string> expected = {
        "Register Session (Req)",
        "Register Session (Rsp)",
        "Unconnected Send: Class (0x6b) - Service (0x55)",
        "Partial transfer: Class (0x6b) - Service (0x55)",
        "Unconnected Send: Class (0x6b) - Service (0x55)",
        "Success: Class (0x6b) - Service (0x55)",
        "Unconnected Send: Class (0x6c) - Get Attribute List",
        "Success: Class (0x6c) - Get Attribute List",
        "Unconnected Send: Class (0x6c) - Service (0x4c)",
        "Success: Class (0x6c) - Service (0x4c)",
        "Unconnected Send: 'Delay' - Service (0x4c)",
        "Success: 'Delay' - Service (0x4c)",
        "Unconnected Send: 'Motor' - 'Delay' - Service (0x4c)",
        "Success: 'Motor' - 'Delay' - Service (0x4c)",
        "Unconnected Send: 'Motor' - 'Running' - Service (0x4c)",
        "Success: 'Motor' - 'Running' - Service (0x4c)",
    };
    ASSERT_EQ(d.Lines.size(), expected.size()) << d.Errors;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NE(d.Lines[i].find(expected[i]), std::string::npos)
            << "packet " << i + 1 << ": " << d.Lines[i];
    }
}

} // namespace
