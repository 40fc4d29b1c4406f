// qorhost run against the simulated controller: every output holds the same
// packets with the controller's values, SIGHUP brings in a changed request
// list, SIGTERM stops cleanly with every delivered packet written.
#include "../platform/SettingsTestSupport.h"
#include "CliProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <fstream>

namespace {

using clitest::TChild;
using clitest::TSim;

std::string Config(const TSim& sim, const std::string& addresses) {
    return "[host]\noutputs = jsonl:-, jsonl:out/packets.jsonl, csv:out/values.csv\noutput = "
           "sqlite:out/values.db\n"
           "log file = run.log\n\n[plc]\ndevice = " +
           sim.Device() + "\naddresses = " + addresses + "\ninterval = 100\n";
}

// item -> how many rows, and the values seen, from the SQLite output.
std::map<std::string, std::pair<int, std::set<std::string>>> SqliteRows(const std::string& file) {
    std::map<std::string, std::pair<int, std::set<std::string>>> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT item, value FROM samples WHERE source = 'plc'", -1, &st, nullptr);
        while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
            auto& [count, values] = rows[reinterpret_cast<const char*>(sqlite3_column_text(st, 0))];
            ++count;
            values.insert(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return rows;
}

TEST(CliRunTest, OutputsAgreeReloadTakesEffectAndAStopLosesNothing) {
    TSim sim;
    ASSERT_GT(sim.Port(), 0);
    settings_test::TempFolder folder;
    std::filesystem::create_directories(folder / "out");
    const std::string config = folder.Write("logger.ini", Config(sim, "Counter Temperature"));
    TChild run({QOR_QORHOST_PATH, "run", "--config", config});
    ASSERT_TRUE(run.WaitForText(0, "\"Counter\":123456"));
    ASSERT_TRUE(run.WaitForText(0, "\"Counter\":123456")); // polling goes on

    folder.Write("logger.ini", Config(sim, "Speed"));
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.WaitForText(1, "\"plc\" reloaded its requests"));
    ASSERT_TRUE(run.WaitForLine(0, [](const std::string& l) {
        return l.find("\"Speed\":1500") != std::string::npos && l.find("Counter") == std::string::npos;
    }));
    // A file that no longer reads keeps the running configuration.
    folder.Write("logger.ini", "[plc]\ndevice = nowhere:0\n");
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.WaitForText(1, "configuration not reloaded: " + config + ":2: [plc] device"));
    ASSERT_TRUE(run.WaitForText(0, "\"Speed\":1500"));
    run.Signal(SIGTERM);
    ASSERT_EQ(run.Wait(), 0) << run.Text(1);

    // Standard output saw every packet; each file holds the same ones.
    std::vector<nlohmann::json> packets;
    for (const std::string& line : run.Lines(0))
        packets.push_back(nlohmann::json::parse(line));
    std::map<std::string, int> perItem;
    for (const nlohmann::json& p : packets)
        for (const char* item : {"Counter", "Temperature", "Speed"})
            if (p.contains(item))
                ++perItem[item];
    ASSERT_GT(perItem["Speed"], 0);

    std::ifstream jsonl(folder.Path("out/packets.jsonl"));
    std::vector<nlohmann::json> filed;
    for (std::string line; std::getline(jsonl, line);)
        filed.push_back(nlohmann::json::parse(line));
    EXPECT_EQ(filed, packets);

    std::ifstream csv(folder.Path("out/values.csv"));
    std::map<std::string, int> csvRows;
    for (std::string line; std::getline(csv, line);)
        for (const char* item : {"Counter", "Temperature", "Speed"})
            if (line.find(std::string(",plc,") + item + ",") != std::string::npos)
                ++csvRows[item];
    EXPECT_EQ(csvRows, perItem);

    const auto rows = SqliteRows(folder.Path("out/values.db"));
    for (const auto& [item, count] : perItem)
        EXPECT_EQ(rows.count(item) ? rows.at(item).first : 0, count) << item;
    EXPECT_EQ(rows.at("Counter").second, std::set<std::string>{"123456"});
    EXPECT_EQ(rows.at("Speed").second, std::set<std::string>{"1500"});
    EXPECT_EQ(rows.at("Temperature").second, std::set<std::string>{"21.5"});

    // The log file has what standard error had, time-stamped.
    const std::string log = folder.Read("run.log");
    EXPECT_NE(log.find("qorhost: stopped cleanly"), std::string::npos) << log;
    EXPECT_NE(log.find("configuration reloaded"), std::string::npos) << log;
}

TEST(CliRunTest, DataSourcesOfDifferentTypesRunSideBySide) {
    TSim logix;
    TSim micro800({"--personality", "micro800"});
    ASSERT_GT(logix.Port(), 0);
    ASSERT_GT(micro800.Port(), 0);
    settings_test::TempFolder folder;
    const std::string config = folder.Write(
        "two.ini",
        "[host]\noutputs = jsonl:-\n[a]\ndevice = " + logix.Device() +
            "\naddresses = Counter\ninterval = 100\n[b]\ntype = Ethernet/IP [AB Micro 800]\ndevice = " +
            micro800.Device() + "\naddresses = Speed\npath =\ninterval = 100\n");
    TChild run({QOR_QORHOST_PATH, "run", "--config", config});
    // Each keeps delivering while the other runs.
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(run.WaitForText(0, "\"DATA_SOURCE_NAME\":\"a\"")) << run.Text(1);
        ASSERT_TRUE(run.WaitForText(0, "\"DATA_SOURCE_NAME\":\"b\"")) << run.Text(1);
    }
    // Another set of data sources: they start afresh.
    folder.Write("two.ini", "[host]\noutputs = jsonl:-\n[c]\ndevice = " + logix.Device() +
                                "\naddresses = Speed\ninterval = 100\n");
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.WaitForText(1, "the data sources changed; restarting them"));
    ASSERT_TRUE(run.WaitForText(0, "\"DATA_SOURCE_NAME\":\"c\""));
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(), 0);
    const std::string after = run.Text(0).substr(run.Text(0).find("\"DATA_SOURCE_NAME\":\"c\""));
    EXPECT_EQ(after.find("\"DATA_SOURCE_NAME\":\"b\""), std::string::npos);
}

} // namespace
