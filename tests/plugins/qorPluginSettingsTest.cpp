#include "plugins/qorPluginSettings.h"

#include "common/qorComponent.h"

#include "platform/Registry.h"

#include "../platform/SettingsTestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace qor;
using platform::RegistryRoot;
using settings_test::ReadText;
using settings_test::ScopedEnv;
using settings_test::TempFolder;
using settings_test::WriteText;

// A control of the options form, with the properties the map reaches.
class TControl : public TComponent {
public:
    std::string Caption, FileName;
    double Value = 0;
    bool Checked = true;
    TControl() {
        Publish("Caption", Caption);
        Publish("FileName", FileName);
        Publish("Value", Value);
        Publish("Checked", Checked);
    }
};

// The options form as the module's settings map addresses it.
class TForm : public TComponent {
public:
    std::int32_t Left = 326, Top = 144, Height = 435, Width = 481;
    TControl& lblParams = AddComponent<TControl>("lblParams");
    TControl& OpenDialog = AddComponent<TControl>("OpenDialog");
    TControl& SaveDialog = AddComponent<TControl>("SaveDialog");
    TControl& spMinInt = AddComponent<TControl>("spMinInt");
    TControl& chkExportAll = AddComponent<TControl>("chkExportAll");
    TForm() {
        Publish("Left", Left);
        Publish("Top", Top);
        Publish("Height", Height);
        Publish("Width", Width);
    }
};

const std::vector<std::string> kModuleMap = {"Left,Left",
                                             "Top,Top",
                                             "Height,Height",
                                             "Width,Width",
                                             ";---short---",
                                             "lblParams.Caption,Parser config",
                                             "OpenDialog.FileName,Open files dir",
                                             "SaveDialog.FileName,Save files dir",
                                             "spMinInt.Value,Min interval",
                                             "chkExportAll.Checked,Export at once "};

class PluginSettingsTest : public ::testing::Test {
protected:
    PluginSettingsTest() { map_.Assign(kModuleMap); }
    void TearDown() override { platform::SetRegistryRootDenied(RegistryRoot::LocalMachine, false); }

    TempFolder folder_;
    ScopedEnv registry_{"QOR_REGISTRY_FILE", (folder_ / "registry.sqlite3").c_str()};
    TPluginSettingsLocation location_{2, 1, "\\Software\\Vendor\\Logger\\EIP", "DS1", ""};
    TStringList map_;
};

TEST_F(PluginSettingsTest, ModuleFileIsUsedUnlessTheCallNamesAnother) {
    location_.INIFile = (folder_ / "module.ini").string();
    TForm form;
    form.Left = 10;
    form.lblParams.Caption = "<MODBUSRTUQUERY/>";
    form.spMinInt.Value = 250.5;
    form.chkExportAll.Checked = false;
    ASSERT_TRUE(SaveSettings(location_, map_, form));
    EXPECT_EQ(ReadText(folder_ / "module.ini"), "[DS1.Common]\n"
                                                "Left=10\n"
                                                "Top=144\n"
                                                "Height=435\n"
                                                "Width=481\n"
                                                "Parser config=<MODBUSRTUQUERY/>\n"
                                                "Min interval=250.5\n"
                                                "Export at once=False\n");

    const auto other = folder_ / "other.ini";
    WriteText(other, "[DS1.Common]\nLeft=77\nOpen files dir=/data\n");
    TForm loaded;
    ASSERT_TRUE(LoadSettings(location_, map_, loaded, other.string()));
    EXPECT_EQ(loaded.Left, 77);
    EXPECT_EQ(loaded.OpenDialog.FileName, "/data");
    EXPECT_EQ(loaded.lblParams.Caption, "");

    ASSERT_TRUE(LoadSettings(location_, map_, loaded));
    EXPECT_EQ(loaded.Left, 10);
    EXPECT_EQ(loaded.lblParams.Caption, "<MODBUSRTUQUERY/>");
    EXPECT_EQ(loaded.spMinInt.Value, 250.5);
    EXPECT_FALSE(loaded.chkExportAll.Checked);
}

TEST_F(PluginSettingsTest, RegistryUnderTheModulePathWithTheSecondRootAsFallback) {
    TForm form;
    form.Top = 20;
    ASSERT_TRUE(SaveSettings(location_, map_, form));
    platform::RegistryKey key;
    ASSERT_EQ(
        key.Open(RegistryRoot::LocalMachine, "Software\\Vendor\\Logger\\EIP", platform::RegAccess::Read),
        platform::RegStatus::Success);
    EXPECT_EQ(key.ReadDword("Top"), 20u);
    EXPECT_EQ(key.ReadString("Export at once"), "True");

    platform::SetRegistryRootDenied(RegistryRoot::LocalMachine, true);
    TForm loaded;
    EXPECT_FALSE(LoadSettings(location_, map_, loaded));
    EXPECT_EQ(loaded.Top, 144);

    // A root number that names no root opens nothing: the second root serves.
    location_.RegistryRoot1 = 9;
    form.Top = 30;
    ASSERT_TRUE(SaveSettings(location_, map_, form));
    ASSERT_TRUE(LoadSettings(location_, map_, loaded));
    EXPECT_EQ(loaded.Top, 30);
    ASSERT_EQ(key.Open(RegistryRoot::CurrentUser, "Software\\Vendor\\Logger\\EIP", platform::RegAccess::Read),
              platform::RegStatus::Success);
    EXPECT_EQ(key.ReadDword("Top"), 30u);
}

} // namespace
