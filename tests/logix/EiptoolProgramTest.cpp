// eiptool run as a program against the simulated controller: what it prints
// and the exit status scripts rely on.
#include "LogixSimFixture.h"
#include "ToolSupport.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using logixtest::LogixSimTest;

// eiptool against the simulator's port; its standard error is not kept.
std::string RunTool(std::uint16_t port, const std::string& arguments, int& status) {
    std::string command = EIPTOOL_PATH;
    command += " --port ";
    command += std::to_string(port);
    command += ' ';
    command += arguments;
    command += " 2>/dev/null";
    return tooltest::Run(command, &status);
}

class EiptoolTest : public LogixSimTest {
protected:
    std::string Run(const std::string& arguments, int& status) { return RunTool(plc.Port(), arguments, status); }

    static std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
};

// The exit status, a line per address and the values of every kind are the
// truth test's; a failed address's line.
TEST_F(EiptoolTest, AFailedAddressGivesItsErrorLine) {
    int status = -1;
    const auto lines = Lines(Run("--json 127.0.0.1 read 'Counter;Missing'", status));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind(R"({"name":"Missing","error":5,"text":)", 0), 0u) << lines[1];
}

// Vendor id 1234 is d2 04 on the wire; an attribute read without a type
// shows those bytes, not text made of them.
TEST_F(EiptoolTest, AttributesWithoutATypeShowTheirBytes) {
    int status = -1;
    auto lines = Lines(Run("--json 127.0.0.1 read '@1/1/1'", status));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 1u);
    // As text, byte d2 is the Latin-1 letter U+00D2 (in UTF-8, c3 92).
    EXPECT_EQ(lines[0], "{\"name\":\"@1/1/1\",\"type\":\"raw\",\"values\":{\"@111\":\"\xC3\x92\\u0004\"},\"bytes\":[210,4]}");
    lines = Lines(Run("127.0.0.1 read '@1/1/1'", status));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "@1/1/1 (raw) = d2 04");
    lines = Lines(Run("--json 127.0.0.1 read '@1/1/1' --type 0xC7", status));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], R"({"name":"@1/1/1","type":"UINT","values":{"@111":1234}})");
}

TEST_F(EiptoolTest, StructuresPrintTheirMembersUnderDottedNames) {
    plc.Tags().DefineType("MOTOR", {{"Speed", "REAL", 0}, {"Run", "BOOL", 0}, {"Name", "STRING", 0}});
    plc.Tags().SetStructure("Motor1", "MOTOR", {}, {"12.5", "1", "\"Pump\""});
    int status = -1;
    const auto lines = Lines(Run("--json 127.0.0.1 read Motor1", status));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              R"({"name":"Motor1","type":"MOTOR","values":{"Motor1.Speed":12.5,"Motor1.Run":true,"Motor1.Name":"Pump"}})");
}

// Incomplete is failure: a symbol page that never comes fails the browse.
TEST_F(EiptoolTest, ABrowseThatLosesAPageFails) {
    plc.Faults().Add(sim::FaultRule(sim::FaultKind::Delay, 1).OnService(0x55).WithPause(std::chrono::milliseconds(0)));
    const auto lost = plc.Faults().Add(sim::FaultRule(sim::FaultKind::Silent, 1).OnService(0x55));
    int status = -1;
    Run("--timeout 300 --json 127.0.0.1 browse", status);
    EXPECT_EQ(plc.Faults().RuleHits(lost), 1u);
    EXPECT_EQ(status, 1);
}

// A controller's text in its own code page still makes valid UTF-8 JSON.
TEST_F(EiptoolTest, JsonIsValidUtf8WhateverTheTextHolds) {
    // "café" in the controller's Latin-1: the 0xE9 byte alone is no UTF-8.
    plc.Tags().SetStructure("Latin", "STRING", {}, {"\"caf\xE9\""});
    int status = -1;
    const auto lines = Lines(Run("--json 127.0.0.1 read Latin", status));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "{\"name\":\"Latin\",\"type\":\"STRING\",\"values\":{\"Latin\":\"caf\xC3\xA9\"}}");
}

TEST_F(EiptoolTest, IdentityBrowseAndUsage) {
    int status = -1;
    auto lines = Lines(Run("--json 127.0.0.1 identity", status));
    EXPECT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"product_name\":"), std::string::npos);

    lines = Lines(Run("--json 127.0.0.1 browse", status));
    EXPECT_EQ(status, 0);
    bool counts = false;
    for (const auto& line : lines)
        counts = counts || line == R"({"name":"Counts","type":"DINT","dims":[10]})";
    EXPECT_TRUE(counts);

    Run("127.0.0.1", status);
    EXPECT_EQ(status, 2);
    Run("127.0.0.1 read", status);
    EXPECT_EQ(status, 2);
    Run("127.0.0.1 read ' ; '", status);
    EXPECT_EQ(status, 2);
    Run("--family plc5 127.0.0.1 identity", status);
    EXPECT_EQ(status, 2);
}

// The data files of a MicroLogix. (Its reads, and a Micro800's, are the truth
// test's: eiptool --json read of every address of both.)
class EiptoolFamilyTest : public ::testing::Test {
protected:
    std::string Run(sim::SimController& plc, const std::string& arguments, int& status) {
        return RunTool(plc.Port(), arguments, status);
    }
    static sim::SimConfig Family(sim::Personality personality) {
        sim::SimConfig config;
        config.Device.Family = personality;
        config.Device.Identity = sim::DefaultIdentity(personality);
        return config;
    }
};

TEST_F(EiptoolFamilyTest, MicroLogixBrowseFindsEveryDataFile) {
    sim::SimController plc(Family(sim::Personality::MicroLogix));
    sim::LoadTagText(sim::SampleTagText(), plc.Tags(), plc.Files());
    plc.Start();
    int status = -1;
    const std::string files = Run(plc, "--family micrologix --json 127.0.0.1 browse", status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(files.find(R"({"name":"N7","type":"INT","dims":[10]})"), std::string::npos);
    EXPECT_NE(files.find(R"({"name":"T4","type":"TIMER","dims":[2]})"), std::string::npos);
    EXPECT_NE(files.find(R"({"name":"D10","type":"UINT","dims":[2]})"), std::string::npos);
}

} // namespace
