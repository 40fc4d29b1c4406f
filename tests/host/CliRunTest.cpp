// qorhost run against the simulated controller: every output holds the same
// packets with the controller's values, SIGHUP brings in a changed request
// list, SIGTERM stops cleanly with every delivered packet written.
#include "../platform/SettingsTestSupport.h"
#include "CliProcess.h"
#include "MqttBroker.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <fstream>
#include <set>
#include <sys/stat.h>

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

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> packets;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        packets.push_back(nlohmann::json::parse(line));
    return packets;
}

int CountText(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<int>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
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
    const std::vector<nlohmann::json> packets = JsonLines(run.Text(0));
    std::map<std::string, int> perItem;
    for (const nlohmann::json& p : packets)
        for (const char* item : {"Counter", "Temperature", "Speed"})
            if (p.contains(item))
                ++perItem[item];
    ASSERT_GT(perItem["Speed"], 0);

    EXPECT_EQ(JsonLines(folder.Read("out/packets.jsonl")), packets);

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

// Data sources of the three families side by side are the truth test's
// (one qorhost run); another set of data sources starts afresh.
TEST(CliRunTest, AnotherSetOfDataSourcesStartsAfresh) {
    TSim sim;
    ASSERT_GT(sim.Port(), 0);
    settings_test::TempFolder folder;
    const std::string config = folder.Write(
        "two.ini", "[host]\noutputs = jsonl:-\n[a]\ndevice = " + sim.Device() + "\naddresses = Counter\ninterval = 100\n");
    TChild run({QOR_QORHOST_PATH, "run", "--config", config});
    ASSERT_TRUE(run.WaitForText(0, "\"DATA_SOURCE_NAME\":\"a\"")) << run.Text(1);
    folder.Write("two.ini", "[host]\noutputs = jsonl:-\n[c]\ndevice = " + sim.Device() +
                                "\naddresses = Speed\ninterval = 100\n");
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.WaitForText(1, "the data sources changed; restarting them"));
    ASSERT_TRUE(run.WaitForText(0, "\"DATA_SOURCE_NAME\":\"c\""));
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(), 0);
    const std::string after = run.Text(0).substr(run.Text(0).find("\"DATA_SOURCE_NAME\":\"c\""));
    EXPECT_EQ(after.find("\"DATA_SOURCE_NAME\":\"a\""), std::string::npos);
}

// A file that stops taking data (here the process's file size limit, as a
// full disk would) loses packets: the run says how many per output and ends
// with exit status 1; the file holds whole lines only.
TEST(CliRunTest, PacketsAnOutputCouldNotWriteEndTheRunWithStatusOne) {
    TSim sim;
    ASSERT_GT(sim.Port(), 0);
    settings_test::TempFolder folder;
    const std::string config = folder.Write(
        "full.ini", "[host]\noutputs = jsonl:-, jsonl:full.jsonl\n[plc]\ndevice = " + sim.Device() +
                        "\naddresses = Counter Message\ninterval = 20\n");
    TChild run({"/usr/bin/prlimit", "--fsize=4096", QOR_QORHOST_PATH, "run", "--config", config});
    int seen = 0;
    ASSERT_TRUE(run.WaitForLine(0, [&](const std::string&) { return ++seen == 40; })) << run.Text(1);
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(), 1) << run.Text(1);

    const std::vector<nlohmann::json> all = JsonLines(run.Text(0));
    const std::string text = folder.Read("full.jsonl");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_LE(text.size(), 4096u);
    const std::vector<nlohmann::json> filed = JsonLines(text);
    ASSERT_LT(filed.size(), all.size());
    EXPECT_TRUE(std::equal(filed.begin(), filed.end(), all.begin()));
    const std::string missing = std::to_string(all.size() - filed.size());
    EXPECT_EQ(CountText(run.Lines(1), "output jsonl:full.jsonl: " + missing + " of " +
                                          std::to_string(all.size()) + " packets not written"),
              1)
        << run.Text(1);
    EXPECT_EQ(CountText(run.Lines(1), "output jsonl:-:"), 0) << run.Text(1);
    EXPECT_EQ(CountText(run.Lines(1), "stopped: " + missing + " packets were not written"), 1) << run.Text(1);
}

// Log rotation: after SIGHUP the renamed files get nothing more and files of
// the old names take the rest. Whatever the umask, the files the run makes
// cannot be written by others.
TEST(CliRunTest, SighupOpensTheOutputAndLogFilesAgain) {
    TSim sim;
    ASSERT_GT(sim.Port(), 0);
    settings_test::TempFolder folder;
    const std::string config = folder.Write(
        "rotate.ini", "[host]\noutputs = jsonl:-, jsonl:data.jsonl\nlog file = run.log\n[plc]\ndevice = " +
                          sim.Device() + "\naddresses = Counter\ninterval = 50\n");
    const mode_t umask = ::umask(0);
    TChild run({QOR_QORHOST_PATH, "run", "--config", config});
    ::umask(umask);
    int seen = 0;
    ASSERT_TRUE(run.WaitForLine(0, [&](const std::string&) { return ++seen == 3; })) << run.Text(1);
    std::filesystem::rename(folder / "data.jsonl", folder / "data.jsonl.1");
    std::filesystem::rename(folder / "run.log", folder / "run.log.1");
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.WaitForText(1, "configuration reloaded"));
    ASSERT_TRUE(run.WaitForLine(0, [&](const std::string&) { return ++seen == 8; })) << run.Text(1);
    run.Signal(SIGTERM);
    ASSERT_EQ(run.Wait(), 0) << run.Text(1);

    std::vector<nlohmann::json> filed = JsonLines(folder.Read("data.jsonl.1"));
    const std::vector<nlohmann::json> after = JsonLines(folder.Read("data.jsonl"));
    EXPECT_FALSE(after.empty());
    filed.insert(filed.end(), after.begin(), after.end());
    EXPECT_EQ(filed, JsonLines(run.Text(0)));
    const std::string oldLog = folder.Read("run.log.1"), newLog = folder.Read("run.log");
    EXPECT_NE(oldLog.find("qorhost: running 1 data source"), std::string::npos) << oldLog;
    EXPECT_EQ(oldLog.find("stopped"), std::string::npos) << oldLog;
    EXPECT_NE(newLog.find("configuration reloaded"), std::string::npos) << newLog;
    EXPECT_NE(newLog.find("qorhost: stopped cleanly"), std::string::npos) << newLog;
    for (const char* name : {"data.jsonl", "data.jsonl.1", "run.log", "run.log.1"}) {
        struct stat st {};
        ASSERT_EQ(::stat(folder.Path(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IWOTH, 0u) << name;
    }
}

// An output that can never be written is refused before anything starts
// (exit 2, naming the file, line and output), as a mistake in the file is.
TEST(CliRunTest, AnOutputThatCannotBeOpenedIsRefusedAtStart) {
    settings_test::TempFolder folder;
    std::filesystem::create_directory(folder / "folder");
    for (const std::string output : {"sqlite:/nonexistent/x.db", "sqlite:folder", "jsonl:folder"}) {
        const std::string config =
            folder.Write("bad.ini", "[host]\nlog file = run.log\noutputs = null, " + output +
                                        "\n[plc]\ndevice = 127.0.0.1:1\n"
                                        "addresses = A\n");
        TChild run({QOR_QORHOST_PATH, "run", "--config", config});
        EXPECT_EQ(run.Wait(), 2) << run.Text(1);
        EXPECT_NE(run.Text(1).find(config + ":3: [host] outputs: output " + output + ": cannot open"),
                  std::string::npos)
            << run.Text(1);
    }

    // A database its user may only read: SQLite would open it read-only
    // without a word. Root may write anything, so then the run is a user's.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(folder.Path("ro.db").c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE t (x)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    std::filesystem::permissions(folder / "ro.db", std::filesystem::perms::owner_read |
                                                       std::filesystem::perms::group_read |
                                                       std::filesystem::perms::others_read);
    std::vector<std::string> as;
    if (::geteuid() == 0) {
        as = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        TChild probe({as[0], as[1], as[2], as[3], QOR_QORHOST_PATH, "--help"});
        if (probe.Wait() != 0)
            GTEST_SKIP() << "qorhost cannot be run as user 65534 here";
    }
    const std::string config = folder.Write(
        "ro.ini", "[host]\noutputs = sqlite:ro.db\n[plc]\ndevice = 127.0.0.1:1\naddresses = A\n");
    as.insert(as.end(), {QOR_QORHOST_PATH, "run", "--config", config});
    TChild run(as);
    EXPECT_EQ(run.Wait(), 2) << run.Text(1);
    EXPECT_NE(run.Text(1).find(config +
                               ":2: [host] outputs: output sqlite:ro.db: cannot open: the database is "
                               "read-only"),
              std::string::npos)
        << run.Text(1);
}

std::string ProcFile(pid_t pid, const char* name) {
    return settings_test::ReadText("/proc/" + std::to_string(pid) + "/" + name);
}

// A plant's broker: TLS, no anonymous clients. With the right password every
// packet is published; with a wrong one the run says the login was refused
// and ends with status 1. The password is in no output, log, command line or
// environment of the process.
TEST(CliRunTest, MqttsWithALoginPublishesEveryPacketAndThePasswordStaysSecret) {
    if (mqtttest::BrokerBinary().empty())
        GTEST_SKIP() << "mosquitto (the broker) is not installed";
    using mqtttest::Certificates;
    Certificates certificates;
    ASSERT_TRUE(certificates.Made());
    const int tlsPort = mqtttest::FreePort();
    mqtttest::Broker broker(certificates.Security(), certificates.Listener(tlsPort, "server"));
    TSim sim;
    ASSERT_GT(sim.Port(), 0);
    settings_test::TempFolder folder;
    const std::string password = Certificates::kPassword;
    folder.Write("mqtt.password", password + "\n");
    std::filesystem::permissions(folder / "mqtt.password", std::filesystem::perms::owner_read);
    const std::string target = "mqtts://127.0.0.1:" + std::to_string(tlsPort) + "/plant";
    const auto config = [&](const std::string& passwordKey) {
        return folder.Write(
            "mqtt.ini", "[host]\noutputs = jsonl:-, " + target + "\nlog file = run.log\nmqtt user = plant\n" +
                            passwordKey + "mqtt ca file = " + certificates.Path("ca.crt") +
                            "\n[plc]\ndevice = " + sim.Device() + "\naddresses = Counter\ninterval = 50\n");
    };
    const auto secretNowhere = [&](const TChild& run, const std::string& secret) {
        EXPECT_EQ(run.Text(0).find(secret), std::string::npos);
        EXPECT_EQ(run.Text(1).find(secret), std::string::npos);
        EXPECT_EQ(folder.Read("run.log").find(secret), std::string::npos);
    };

    mqtttest::Subscriber subscriber(broker.Port(), "plant/#", false, Certificates::kUser, password);
    {
        TChild run({QOR_QORHOST_PATH, "run", "--config", config("mqtt password file = mqtt.password\n")});
        int seen = 0;
        ASSERT_TRUE(run.WaitForLine(0, [&](const std::string&) { return ++seen == 10; })) << run.Text(1);
        EXPECT_EQ(ProcFile(run.Pid(), "cmdline").find(password), std::string::npos);
        EXPECT_EQ(ProcFile(run.Pid(), "environ").find(password), std::string::npos);
        run.Signal(SIGTERM);
        ASSERT_EQ(run.Wait(), 0) << run.Text(1);
        secretNowhere(run, password);
        // Every packet the run delivered went to the broker.
        const std::vector<std::string>& delivered = run.Lines(0);
        const auto published =
            subscriber.WaitFor("plant/plc", [&](const auto& m) { return m.size() >= delivered.size(); });
        std::set<std::string> payloads;
        for (const mqtttest::Message& m : published)
            payloads.insert(m.Payload);
        for (const std::string& line : delivered)
            EXPECT_EQ(payloads.count(line), 1u) << line;
    }
    {
        // The wrong password, from the environment.
        const std::string wrong = "Tr0ub4dor&3-but-wrong";
        settings_test::ScopedEnv environment("QORHOST_MQTT_PASSWORD", wrong.c_str());
        TChild run({QOR_QORHOST_PATH, "run", "--config", config("")});
        ASSERT_TRUE(run.WaitForText(1, "refused the login as \"plant\"")) << run.Text(1);
        int seen = 0;
        ASSERT_TRUE(run.WaitForLine(0, [&](const std::string&) { return ++seen == 3; })) << run.Text(1);
        EXPECT_EQ(ProcFile(run.Pid(), "environ").find(wrong), std::string::npos);
        run.Signal(SIGTERM);
        EXPECT_EQ(run.Wait(), 1) << run.Text(1);
        const std::string all = std::to_string(run.Lines(0).size());
        EXPECT_EQ(
            CountText(run.Lines(1), "output " + target + ": " + all + " of " + all + " packets not written"),
            1)
            << run.Text(1);
        EXPECT_EQ(CountText(run.Lines(1), "refused the login"), 1) << run.Text(1);
        secretNowhere(run, wrong);
    }
}

} // namespace
