// The logger's configuration file: every mistake names the file, the line and
// the key before anything starts; paths are taken from the file's folder.
#include "host/HostConfig.h"

#include "../platform/SettingsTestSupport.h"
#include "CliProcess.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>

namespace {

using host::EConfigError;
using host::LoadHostConfig;

struct TBadConfig {
    const char* Text;
    int Line;
    const char* Key;
};

TEST(CliConfigTest, AMistakeNamesTheFileTheLineAndTheKey) {
    settings_test::TempFolder folder;
    const TBadConfig cases[] = {
        {"[host]\noutputs = jsonl:a.jsonl\n\n[plc]\ndevice = 10.0.0.1:0\naddresses = A\n", 5, "device"},
        {"[plc]\ndevice = 10.0.0.1\naddresses = A\nnumbr = 2\n", 4, "numbr"},
        {"; comment\n[plc]\naddresses = A\n", 2, "device"},
        {"[plc]\ndevice = h\naddresses = A\nrequests = r.xml\n", 4, "requests"},
        {"[plc]\ndevice = h\naddresses = A\nnumber = 0\n", 4, "number"},
        {"[plc]\ndevice = h\naddresses = A\ninterval = 655351\n", 4, "interval"},
        {"[plc]\ndevice = h\naddresses = A\npath = 1/0\n", 4, "path"},
        {"[plc]\ndevice = h\naddresses = A\nexport at once = maybe\n", 4, "export at once"},
        {"[a]\ndevice = h\naddresses = A\n[b]\nname = A\ndevice = h\naddresses = A\n", 5, "name"},
        {"[host]\noutputs = jsonl:x, parquet:y\n[plc]\ndevice = h\naddresses = A\n", 2, "outputs"},
        {"[plc]\ndevice = h\nrequests = missing.xml\n", 3, "requests"},
        {"[plc]\ndevice = h\nrequests = notxml.xml\n", 3, "requests"},
        {"[host]\nplugin = nowhere.so\n[plc]\ndevice = h\naddresses = A\n", 2, "plugin"},
        {"[plc]\ndevice = h\nrequests = r.xml\ninterval = 5\n", 4, "interval"},
        {"[host]\n\nlog file = no/such/folder/run.log\n[plc]\ndevice = h\naddresses = A\n", 3, "log file"},
        // What SimpleIni would merge, skip or take as something else.
        {"[plc]\ndevice = h\naddresses = A\n\n[PLC ]\ndevice = g\naddresses = B\n", 5, ""},
        {"[host]\noutputs = null\n[Host]\nlog file = x.log\n[plc]\ndevice = h\naddresses = A\n", 3, ""},
        {"[plc]\ndevice = h\naddresses = A\nDevice = g\n", 4, "Device"},
        {"[plc]\ndevice = h\naddresses = A\naddresses = B\n", 4, "addresses"},
        {"[plc]\ndevice = h\nsend everything\naddresses = A\n", 3, ""},
        {"[plc\ndevice = h\naddresses = A\n", 1, ""},
        {"[plc]\ntype = Ethernet/IP [Logix 5000]\ndevice = h\naddresses = A\n", 2, "type"},
        {"[plc]\ntype = ethernet/ip\ndevice = h\naddresses = A\n", 2, "type"},
        // One destination, two outputs: they would write over each other.
        {"[host]\noutputs = jsonl:a.jsonl, csv:./sub/../a.jsonl\n[plc]\ndevice = h\naddresses = A\n", 2,
         "outputs"},
        {"[host]\noutputs = csv:-\noutput = jsonl:-\n[plc]\ndevice = h\naddresses = A\n", 3, "output"},
        {"[host]\noutputs = mqtt://Broker/p, mqtt://broker:1883/p/\n[plc]\ndevice = h\naddresses = A\n", 2,
         "outputs"},
        {"[host]\noutputs = null\noutput = null\n[plc]\ndevice = h\naddresses = A\n", 3, "output"},
        {"[plc]\ndevice = 10.0.0.1:44818:1\naddresses = A\n", 2, "device"},
        {"[plc]\ndevice = h\nrequests = r0.xml\n", 3, "requests"},
        // MQTT logins: the password never in the file, its file private.
        {"[host]\noutputs = mqtts://b/p\nmqtt user = u\nmqtt password = hunter2\n[plc]\ndevice = "
         "h\naddresses = A\n",
         4, "mqtt password"},
        {"[host]\noutputs = mqtt://u:hunter2@b/p\n[plc]\ndevice = h\naddresses = A\n", 2, "outputs"},
        {"[host]\noutputs = mqtts://b/p\nmqtt password file = private.pw\n[plc]\ndevice = h\naddresses = A\n",
         3, "mqtt password file"},
        {"[host]\noutputs = mqtts://b/p\nmqtt user = u\nmqtt password file = shared.pw\n[plc]\ndevice = h\n"
         "addresses = A\n",
         4, "mqtt password file"},
        {"[host]\noutputs = mqtt://b/p\nmqtt ca file = r.xml\n[plc]\ndevice = h\naddresses = A\n", 3,
         "mqtt ca file"},
        {"[host]\noutputs = mqtts://b/p\nmqtt cert file = r.xml\n[plc]\ndevice = h\naddresses = A\n", 3,
         "mqtt cert file"},
        {"[host]\noutputs = mqtts://b/p\nmqtt insecure = 2\n[plc]\ndevice = h\naddresses = A\n", 3,
         "mqtt insecure"},
        {"[plc]\ndevice = h\nrequests = rx.xml\n", 3, "requests"},
    };
    folder.Write("r.xml", "<r><MODBUSRTUQUERY><I/></MODBUSRTUQUERY></r>");
    // A request that would be polled without a pause, and one whose interval
    // is no number, each on line 4 of its file.
    const auto list = [](const char* interval) {
        return std::string(
                   "<r>\n<MODBUSRTUQUERY>\n<Request "
                   "caption=\"good\"><PollInterval>5</PollInterval></Request>\n"
                   "<Request caption=\"fast\"><RequestMethod><MethodPoll check=\"2\">\n<PollInterval>") +
               interval + "</PollInterval></MethodPoll></RequestMethod></Request>\n</MODBUSRTUQUERY></r>";
    };
    folder.Write("r0.xml", list("0"));
    folder.Write("private.pw", "hunter2\n");
    std::filesystem::permissions(folder / "private.pw", std::filesystem::perms::owner_read);
    folder.Write("shared.pw", "hunter2\n");
    std::filesystem::permissions(folder / "shared.pw",
                                 std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    folder.Write("rx.xml", list("1s"));
    folder.Write("notxml.xml", "<r><MODBUSRTUQUERY>");
    for (const TBadConfig& c : cases) {
        const std::string file = folder.Write("bad.ini", c.Text);
        try {
            LoadHostConfig(file);
            ADD_FAILURE() << "accepted: " << c.Text;
        } catch (const EConfigError& e) {
            EXPECT_EQ(e.Line(), c.Line) << e.what();
            EXPECT_EQ(e.Key(), c.Key) << e.what();
            const std::string where = file + ":" + std::to_string(c.Line) + ":";
            EXPECT_EQ(std::string(e.what()).rfind(where, 0), 0u) << e.what();
            EXPECT_EQ(std::string(e.what()).find("hunter2"), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(LoadHostConfig(folder.Write("empty.ini", "[host]\noutputs = null\n")), EConfigError);
    EXPECT_THROW(LoadHostConfig(folder.Path("absent.ini")), EConfigError);
}

TEST(CliConfigTest, ARequestListIntervalOfZeroNamesItsFileAndLine) {
    settings_test::TempFolder folder;
    folder.Write("fast.xml",
                 "<r>\n<MODBUSRTUQUERY>\n<Request caption=\"a\">\n<PollInterval> 0 </PollInterval>\n"
                 "</Request>\n</MODBUSRTUQUERY></r>");
    const std::string file = folder.Write("fast.ini", "[plc]\ndevice = h\nrequests = fast.xml\n");
    try {
        LoadHostConfig(file);
        ADD_FAILURE() << "accepted";
    } catch (const EConfigError& e) {
        EXPECT_EQ(
            std::string(e.what()),
            file + ":3: [plc] requests: " + folder.Path("fast.xml") +
                ":4: request \"a\": PollInterval \"0\" (expected a whole number of units from 1, as the "
                "dialog allows)");
    }
}

TEST(CliConfigTest, ADeviceIsHostOrHostAndPort) {
    for (const char* good : {"plc1", "plc-1.plant.example", "10.0.0.1", "10.0.0.1:44818", "h:1", "h:65535",
                             "::1", "fe80::1:2", "[::1]", "[::1]:2222", "[::ffff:10.0.0.1]:44818", "plc_2"})
        EXPECT_EQ(host::CheckDevice(good), "") << good;
    for (const char* bad : {"",
                            ":44818",
                            "h:",
                            "h:0",
                            "h:65536",
                            "h:+1",
                            "h:1x",
                            "10.0.0.1:44818:1",
                            "999.0.0.1",
                            "10.0.0",
                            "10.0.0.1.5",
                            "plc 1",
                            "http://plc",
                            "plc/1",
                            "-plc",
                            "[::1",
                            "[::1]2222",
                            "[10.0.0.1]",
                            "1:2:3:4:5:6:7:8:9",
                            "1::2::3",
                            "[::1]:0",
                            "h..x"})
        EXPECT_NE(host::CheckDevice(bad), "") << bad;
}

TEST(CliConfigTest, PathsAreTakenFromTheFilesFolder) {
    settings_test::TempFolder folder;
    std::filesystem::create_directories(folder / "conf" / "lists");
    folder.Write("conf/lists/plc.xml", "<r><MODBUSRTUQUERY><I><Address>A</Address></I></MODBUSRTUQUERY></r>");
    folder.Write("plugin.so", "");
    const std::string file =
        folder.Write("conf/logger.ini", "[HOST]\nPlugin = ../plugin.so\nlog file = run.log\n"
                                        "outputs = sqlite:data/x.db\noutput = null\n"
                                        "[line 1]\ndevice = plc1:2222\nrequests = lists/plc.xml\n"
                                        "Min Interval = 20\nexport at once = 0\n");
    // Read from elsewhere: the working folder plays no part.
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path("/");
    const host::THostConfig c = LoadHostConfig(std::filesystem::relative(file, "/").string());
    std::filesystem::current_path(before);
    EXPECT_EQ(c.Plugin, folder.Path("plugin.so"));
    EXPECT_EQ(c.LogFile, folder.Path("conf/run.log"));
    EXPECT_EQ(c.Folder, folder.Path("conf"));
    EXPECT_EQ(c.Outputs, (std::vector<std::string>{"sqlite:data/x.db", "null"}));
    ASSERT_EQ(c.Sources.size(), 1u);
    EXPECT_EQ(c.Sources[0].Name, "line 1");
    EXPECT_EQ(c.Sources[0].Device, "plc1:2222");
    EXPECT_NE(c.Sources[0].RequestXml.find("<Address>A</Address>"), std::string::npos);
    EXPECT_EQ(c.Sources[0].MinIntervalMs, 20u);
    EXPECT_FALSE(c.Sources[0].ExportAtOnce);
}

TEST(CliConfigTest, InlineAddressesBecomeEnabledPollingItemsWithDerivedNames) {
    const std::string xml = host::RequestListXml(
        {{"Motor[1].Speed", "1,0", 3, 250}, {"A&B", "0", 1, 1000}, {"Motor[1].Speed", "1,0", 1, 1000}});
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(xml.c_str()));
    const pugi::xml_node list =
        doc.find_node([](pugi::xml_node n) { return std::string(n.name()) == "MODBUSRTUQUERY"; });
    std::vector<pugi::xml_node> items(list.children().begin(), list.children().end());
    ASSERT_EQ(items.size(), 3u);
    const pugi::xml_node first = items[0];
    EXPECT_STREQ(first.attribute("caption").value(), "Motor[1].Speed");
    EXPECT_STREQ(first.child("Enabled").text().get(), "1");
    EXPECT_STREQ(first.child("Device").text().get(), "1,0");
    EXPECT_STREQ(first.child("Number").text().get(), "3");
    EXPECT_STREQ(first.child("RequestMethod").child("MethodPoll").attribute("check").value(), "2");
    EXPECT_STREQ(first.child("RequestMethod").child("MethodPoll").child("PollInterval").text().get(), "250");
    EXPECT_TRUE(first.child("Name") && first.child("Name").text().empty()); // present and empty: derived
    EXPECT_STREQ(items[1].child("Address").text().get(), "A&B");
    EXPECT_STREQ(items[2].attribute("caption").value(), "Motor[1].Speed #2");
}

TEST(CliConfigTest, RunStartsNothingOnAMistake) {
    settings_test::TempFolder folder;
    const std::string file =
        folder.Write("bad.ini", "[host]\noutputs = jsonl:out.jsonl\nlog file = run.log\n"
                                "[plc]\ndevice = 127.0.0.1:1\naddresses = A\nspeed = 3\n");
    clitest::TChild run({QOR_QORHOST_PATH, "run", "--config", file});
    EXPECT_EQ(run.Wait(), 2);
    EXPECT_NE(run.Text(1).find(file + ":7: [plc] speed: unknown key"), std::string::npos) << run.Text(1);
    EXPECT_FALSE(folder.Exists("out.jsonl"));
    EXPECT_FALSE(folder.Exists("run.log"));

    clitest::TChild usage({QOR_QORHOST_PATH, "run"});
    EXPECT_EQ(usage.Wait(), 2);
}

} // namespace
