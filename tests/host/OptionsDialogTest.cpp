// The options dialog through the real plug-in: fetched and decoded as the host
// does it, and confirmed with values that the instance then works with.
#include "host/OptionsDialog.h"

#include "../ToolSupport.h"
#include "CliProcess.h"
#include "../platform/SettingsTestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace host;

class OptionsDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(instance.Create(), 0);
        settings.ApplicationName = "qorhost";
        settings.IniFile = folder.Path("own.ini");
        settings.IniSectionPrefix = "DS1";
        settings.DataSourceType = "Ethernet/IP";
    }
    void Load() { ASSERT_EQ(instance.Load(settings), 0); }

    // What the instance holds now: its options saved into a file of their own.
    std::string SavedByTheInstance() {
        const std::string file = folder.Path("saved.ini");
        std::filesystem::remove(file);
        qor::TqorParamsList params;
        params.Add("INI-FILE", file);
        instance.Execute("SAVE-SETTINGS-NOW", params);
        return folder.Read("saved.ini");
    }

    settings_test::TempFolder folder;
    settings_test::ScopedEnv registry{"QOR_REGISTRY_FILE", (folder.Path() / "registry.sqlite3").c_str()};
    THost host;
    TPluginLibrary library{QOR_PLUGIN_PATH};
    TPluginInstance instance{library, host, 3};
    TLoadSettings settings;
};

TEST_F(OptionsDialogTest, TheHostReadsTheLayoutTheTreeAndTheSettingsMap) {
    Load();
    const TOptionsDialog dialog = FetchOptionsDialog(instance);
    EXPECT_EQ(dialog.Form.Name, "frmOption");
    EXPECT_EQ(dialog.Form.ClassName, "TfrmOption");
    EXPECT_EQ(dialog.FormName, "TFRMOPTION");
    EXPECT_TRUE(dialog.Extra.empty());
    EXPECT_EQ(dialog.TreeTitle, "propTree~Requests queue~RootNodeName,MODBUSRTUQUERY,Panel,OpenSave");
    ASSERT_EQ(dialog.ItemTemplate.size(), 15u);
    EXPECT_EQ(dialog.ItemTemplate[11],
              "   PollUnits~@MsgPollUnits~dtComboDropDownValuesList~@PollUnitList~MS");
    ASSERT_EQ(dialog.MapText.size(), 11u);
    ASSERT_EQ(dialog.SettingsMap.size(), 10u); // the ";---short---" line maps nothing
    EXPECT_EQ(dialog.SettingsMap[8].Property, "chkExportAll.Checked");
    EXPECT_EQ(dialog.SettingsMap[8].Setting, "Export at once");
    const std::vector<TFormText> texts = FormTexts(dialog.Form);
    EXPECT_EQ(texts.size(), 27u); // the form, the label, two check boxes, the panel's hint, 22 menu texts
}

TEST_F(OptionsDialogTest, AnAnswerThatDoesNotHoldTogetherIsRefused) {
    Load();
    const std::vector<std::uint8_t> answer = instance.GetOptionsDialog();
    ASSERT_GT(answer.size(), 24u);
    for (std::size_t n = 0; n < answer.size(); n += 7)
        EXPECT_THROW(DecodeOptionsDialog(std::span(answer).first(n)), EOptionsDialog) << n;
    std::vector<std::uint8_t> bad = answer;
    bad[20] = 0xFF; // block 3's length beyond the answer
    EXPECT_THROW(DecodeOptionsDialog(bad), EOptionsDialog);
    bad = answer;
    bad[24] = 'X'; // the layout's signature
    EXPECT_THROW(DecodeOptionsDialog(bad), EOptionsDialog);
}

TEST_F(OptionsDialogTest, ConfirmedValuesAreStoredUnderTheMapsSettingsAndReloaded) {
    Load();
    const TOptionsDialog dialog = FetchOptionsDialog(instance);
    const std::string list =
        "<?xml version=\"1.0\"?>\r\n<root>\r\n <MODBUSRTUQUERY>\r\n  <I1 caption=\"Speed\">"
        "<Address>Speed</Address></I1>\r\n </MODBUSRTUQUERY>\r\n</root>";
    EXPECT_EQ(
        ConfirmOptionsDialog(host, instance, dialog,
                             {{"Parser config", list}, {"min INTERVAL", "100"}, {"Export at once ", "0"}}),
        1u);
    const std::string stored = folder.Read("own.ini");
    EXPECT_NE(stored.find("[DS1.Common]"), std::string::npos) << stored;
    EXPECT_NE(stored.find("Min interval=100"), std::string::npos) << stored;
    // The instance works with them now, without another LOAD.
    const std::string held = SavedByTheInstance();
    EXPECT_NE(held.find("Min interval=100"), std::string::npos) << held;
    EXPECT_NE(held.find("Export at once=False"), std::string::npos) << held;
    EXPECT_NE(held.find("<I1 caption=\"Speed\">"), std::string::npos) << held;
}

TEST_F(OptionsDialogTest, ConfirmingWithoutChangesStillReloads) {
    Load();
    // Settings changed behind the instance's back, then OK without edits.
    folder.Write("own.ini", "[DS1.Common]\nLeft=500\nMin interval=7\n");
    EXPECT_EQ(ConfirmOptionsDialog(host, instance, FetchOptionsDialog(instance), {}), 1u);
    const std::string held = SavedByTheInstance();
    EXPECT_NE(held.find("Left=500"), std::string::npos) << held;
    EXPECT_NE(held.find("Min interval=7"), std::string::npos) << held;
}

TEST_F(OptionsDialogTest, AnUnknownSettingOrAValueItsPropertyRefusesStoresNothing) {
    Load();
    const TOptionsDialog dialog = FetchOptionsDialog(instance);
    EXPECT_THROW(ConfirmOptionsDialog(host, instance, dialog, {{"Min interval", "5"}, {"Interval", "5"}}),
                 EOptionsDialog);
    EXPECT_THROW(ConfirmOptionsDialog(host, instance, dialog, {{"Min interval", "fast"}}), EOptionsDialog);
    EXPECT_THROW(ConfirmOptionsDialog(host, instance, dialog, {{"Export at once", "yes"}}), EOptionsDialog);
    EXPECT_THROW(ConfirmOptionsDialog(host, instance, dialog, {{"Left", "12.5"}}), EOptionsDialog);
    EXPECT_FALSE(folder.Exists("own.ini"));
}

TEST_F(OptionsDialogTest, WithoutAnIniFileTheValuesGoToTheRegistryKey) {
    settings.IniFile.clear();
    settings.RegistryPath = "\\Software\\Test\\Logger\\EIP";
    Load();
    EXPECT_EQ(ConfirmOptionsDialog(host, instance, FetchOptionsDialog(instance),
                                   {{"Min interval", "250"}, {"Left", "10"}, {"Export at once", "0"}}),
              1u);
    const std::string held = SavedByTheInstance();
    EXPECT_NE(held.find("Min interval=250"), std::string::npos) << held;
    EXPECT_NE(held.find("Left=10"), std::string::npos) << held;
    EXPECT_NE(held.find("Export at once=False"), std::string::npos) << held;
}

TEST(QorhostOptionsTest, PrintsTheDialogAndStoresWhatIsSet) {
    settings_test::TempFolder folder;
    settings_test::ScopedEnv registry{"QOR_REGISTRY_FILE", (folder.Path() / "registry.sqlite3").c_str()};
    const std::string list = folder.Write("list.xml", "<r><MODBUSRTUQUERY><I1><Address>A</Address></I1>"
                                                      "</MODBUSRTUQUERY></r>");
    int status = -1;
    const std::string out = tooltest::Run("'" + std::string(QOR_QORHOST_PATH) + "' options --plugin '" +
                                              std::string(QOR_PLUGIN_PATH) + "' --ini '" +
                                              folder.Path("s.ini") + "' --set 'Parser config=@" + list +
                                              "' --set 'Min interval=100' --set 'Export at once =1' 2>&1",
                                          &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(
        out.find("chkExportAll: TCheckBox  at 0, 0  size 461 x 26  Caption \"Export data for all requests at "
                 "once\""),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("  | Scale~@MsgScale~dtExtended~~1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  |chkExportAll.Checked,Export at once |\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Stored 3 setting(s); ShowOptionsDialog -> 1"), std::string::npos) << out;
    const std::string stored = folder.Read("s.ini");
    EXPECT_NE(stored.find("Parser config=<r><MODBUSRTUQUERY>"), std::string::npos) << stored;
    EXPECT_NE(stored.find("Export at once=True"), std::string::npos) << stored;

    EXPECT_NE(tooltest::Run("'" + std::string(QOR_QORHOST_PATH) + "' options --plugin '" +
                                std::string(QOR_PLUGIN_PATH) + "' --ini '" + folder.Path("s.ini") +
                                "' --set 'Nothing=1' 2>&1",
                            &status)
                  .find("no setting 'Nothing'"),
              std::string::npos);
    EXPECT_EQ(status, 1);
}

TEST(QorhostOptionsTest, CaptionsAreShownInTheInstancesLanguage) {
    settings_test::TempFolder folder;
    settings_test::ScopedEnv registry{"QOR_REGISTRY_FILE", (folder.Path() / "registry.sqlite3").c_str()};
    // The plug-in with a language file of its own beside it.
    std::filesystem::copy_file(QOR_PLUGIN_PATH, folder / "eipplugin.so");
    folder.Write("eipplugin.lng", "Encoding=utf-8\n\nEN:>Export data for all requests at once\n"
                                  "DE:>Alle Anfragen auf einmal exportieren\n\nEN:>Hour\nDE:>Stunde\n\n");
    int status = -1;
    const std::string out =
        tooltest::Run("'" + std::string(QOR_QORHOST_PATH) + "' options --language DE --plugin '" +
                          folder.Path("eipplugin.so") + "' 2>&1",
                      &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Caption \"Alle Anfragen auf einmal exportieren\""), std::string::npos) << out;
    EXPECT_NE(out.find("TxtHour: TMenuItem  Caption \"Stunde\""), std::string::npos) << out;
    EXPECT_NE(out.find("TxtMinute: TMenuItem  Caption \"Minute\""), std::string::npos) << out;
}

} // namespace

// The list a user stores through the dialog's settings is the one the engine
// then polls: "options --set" into an INI file, then the host with a device.
TEST(QorhostOptionsTest, TheStoredRequestListIsTheOnePolled) {
    settings_test::TempFolder folder;
    settings_test::ScopedEnv registry{"QOR_REGISTRY_FILE", (folder.Path() / "registry.sqlite3").c_str()};
    clitest::TSim sim;
    ASSERT_NE(sim.Port(), 0);
    const std::string list = folder.Write(
        "list.xml",
        "<Root><Params><MODBUSRTUQUERY><Item caption=\"Count\"><enabled>1</enabled><Device>0</Device>"
        "<ADDRESS>Counter</ADDRESS><RequestMethod><MethodPoll check=\"2\"><PollInterval>100</PollInterval>"
        "<PollUnits>MS</PollUnits></MethodPoll></RequestMethod><Name>CNT</Name></Item></MODBUSRTUQUERY>"
        "</Params></Root>");
    const std::string qorhost = "'" + std::string(QOR_QORHOST_PATH) + "' --plugin '" + QOR_PLUGIN_PATH +
                                "' --ini '" + folder.Path("s.ini") + "'";
    int status = -1;
    const std::string stored = tooltest::Run(
        qorhost + " options --set 'Parser config=@" + list + "' --set 'Export at once =0' 2>&1", &status);
    ASSERT_EQ(status, 0) << stored;
    const std::string polled =
        tooltest::Run(qorhost + " --device 1=" + sim.Device() + " --stay 1 2>&1", &status);
    EXPECT_EQ(status, 0) << polled;
    EXPECT_NE(polled.find("EIP_REQ=Count; EIP_ADDRESS=Counter; CNT=123456"), std::string::npos) << polled;
}
