// qorhost read against the simulated controller: the values of the sample tag
// set in each format, the exit codes, and the plug-in's log on failure.
#include "CliProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

namespace {

using clitest::TChild;
using clitest::TSim;

std::vector<std::string> Read(const TSim& sim, std::vector<std::string> args) {
    args.insert(args.begin(), {QOR_QORHOST_PATH, "read", "--device", sim.Device()});
    return args;
}

TEST(CliReadTest, JsonLinesHoldTheControllersValues) {
    TSim sim;
    ASSERT_GT(sim.Port(), 0);
    TChild read(
        Read(sim, {"--samples", "2", "--interval", "100", "Counter", "Temperature", "Run", "Message"}));
    ASSERT_EQ(read.Wait(), 0) << read.Text(1);
    std::map<std::string, int> perRequest;
    nlohmann::json values;
    for (const std::string& line : read.Lines(0)) {
        const nlohmann::json packet = nlohmann::json::parse(line);
        ++perRequest[packet.at("EIP_REQ").get<std::string>()];
        values.update(packet);
    }
    // Exactly the samples asked for, per request.
    EXPECT_EQ(perRequest,
              (std::map<std::string, int>{{"Counter", 2}, {"Temperature", 2}, {"Run", 2}, {"Message", 2}}));
    EXPECT_EQ(values["Counter"], 123456);
    EXPECT_EQ(values["Temperature"], 21.5);
    EXPECT_EQ(values["Run"], true);
    EXPECT_EQ(values["Message"], "Hello, line 4");
    EXPECT_EQ(values["DATA_SOURCE_NAME"], "device");
    // --number and every kind of value: the truth test's reads.
}

TEST(CliReadTest, BitsAndTheOtherFormats) {
    TSim sim;
    ASSERT_GT(sim.Port(), 0);
    TChild bit(Read(sim, {"Flags[1].31", "Run"}));
    ASSERT_EQ(bit.Wait(), 0) << bit.Text(1);
    nlohmann::json values;
    for (const std::string& line : bit.Lines(0))
        values.update(nlohmann::json::parse(line));
    EXPECT_EQ(values["Flags1.3131"], true); // the bit part appended to the derived name
    EXPECT_EQ(values["Run"], true);

    TChild csv(Read(sim, {"--format", "csv", "Temperature"}));
    ASSERT_EQ(csv.Wait(), 0) << csv.Text(1);
    ASSERT_GE(csv.Lines(0).size(), 2u);
    EXPECT_EQ(csv.Lines(0)[0], "time,source,item,value\r");
    EXPECT_NE(csv.Text(0).find(",device,Temperature,21.5\r\n"), std::string::npos) << csv.Text(0);

    TChild table(Read(sim, {"--format", "table", "Speed"}));
    ASSERT_EQ(table.Wait(), 0) << table.Text(1);
    ASSERT_EQ(table.Lines(0).size(), 2u);
    EXPECT_NE(table.Lines(0)[1].find("Speed                     1500"), std::string::npos) << table.Text(0);
}

// The table shows every value the JSON lines hold, structures' members and
// arrays included, in the text the CSV output gives them.
TEST(CliReadTest, TheTableShowsWhatTheJsonLinesHold) {
    TSim sim;
    ASSERT_GT(sim.Port(), 0);
    for (const char* address : {"Motor", "Counts", "Message"}) {
        TChild json(Read(sim, {address}));
        TChild table(Read(sim, {"--format", "table", address}));
        ASSERT_EQ(json.Wait(), 0) << json.Text(1);
        ASSERT_EQ(table.Wait(), 0) << table.Text(1);
        ASSERT_EQ(json.Lines(0).size(), 1u);
        std::vector<std::string> expected = {"ITEM VALUE"};
        const nlohmann::ordered_json packet = nlohmann::ordered_json::parse(json.Lines(0)[0]);
        for (const auto& [name, value] : packet.items())
            if (!name.starts_with("DATA_") && !name.starts_with("EIP_") && name != "DATE_TIME_STAMP")
                expected.push_back(name + " " +
                                   (value.is_string() ? value.get<std::string>() : value.dump()));
        // TIME ITEM VALUE, the columns padded with blanks.
        std::vector<std::string> shown;
        for (const std::string& line : table.Lines(0)) {
            std::istringstream words(line);
            std::string time, item, value;
            words >> time >> item >> std::ws;
            std::getline(words, value);
            shown.push_back(item + " " + value);
        }
        EXPECT_EQ(shown, expected) << address;
    }
}

TEST(CliReadTest, AnUnknownTagFailsWithThePluginsLogAndAUsageErrorExitsTwo) {
    TSim sim;
    ASSERT_GT(sim.Port(), 0);
    TChild unknown(Read(sim, {"--wait", "3", "Counter", "NoSuchTag"}));
    EXPECT_EQ(unknown.Wait(), 1);
    EXPECT_NE(unknown.Text(1).find("Operation failed"), std::string::npos) << unknown.Text(1);
    EXPECT_NE(unknown.Text(1).find("NoSuchTag: 0 of 1 packet(s)"), std::string::npos) << unknown.Text(1);

    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{QOR_QORHOST_PATH, "read", "--device", sim.Device()},
          {QOR_QORHOST_PATH, "read", "Counter"},
          {QOR_QORHOST_PATH, "read", "--device", "127.0.0.1:0", "Counter"},
          {QOR_QORHOST_PATH, "read", "--device", sim.Device(), "--format", "xml", "Counter"},
          {QOR_QORHOST_PATH, "read", "--device", sim.Device(), "--number", "0", "Counter"},
          {QOR_QORHOST_PATH, "read", "--device", sim.Device(), "--type", "Ethernet/IP [PLC-5]", "Counter"},
          {QOR_QORHOST_PATH, "read", "--device", "10.0.0.1:44818:2", "Counter"}}) {
        TChild usage(wrong);
        EXPECT_EQ(usage.Wait(), 2) << wrong.back() << usage.Text(1);
    }
}

} // namespace
