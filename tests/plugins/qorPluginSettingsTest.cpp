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

// The options form as the module's settings map addresses it.
class TForm : public TComponent {
public:
    class TControl : public TComponent {
    public:
        std::string Caption;
        bool Checked = true;
        TControl() {
            Publish("Caption", Caption);
            Publish("Checked", Checked);
        }
    };
    std::int32_t Left = 326, Top = 144;
    TControl& lblParams = AddComponent<TControl>("lblParams");
    TControl& chkExportAll = AddComponent<TControl>("chkExportAll");
    TForm() {
        Publish("Left", Left);
        Publish("Top", Top);
    }
};

class PluginSettingsTest : public ::testing::Test {
protected:
    PluginSettingsTest() {
        map_.Assign({"Left,Left", "Top,Top", ";---short---", "lblParams.Caption,Parser config",
                     "chkExportAll.Checked,Export at once "});
    }

    TempFolder folder_;
    ScopedEnv registry_{"QOR_REGISTRY_FILE", folder_.Path("registry.sqlite3").c_str()};
    TPluginSettingsLocation location_{2, 1, "\\Software\\Vendor\\Logger\\EIP", "DS1", ""};
    TStringList map_;
};

TEST_F(PluginSettingsTest, ModuleFileIsUsedUnlessTheCallNamesAnother) {
    location_.INIFile = folder_.Path("module.ini");
    TForm form;
    form.Left = 10;
    form.lblParams.Caption = "<MODBUSRTUQUERY/>";
    form.chkExportAll.Checked = false;
    ASSERT_TRUE(SaveSettings(location_, map_, form));
    EXPECT_EQ(ReadText(folder_ / "module.ini"),
              "[DS1.Common]\nLeft=10\nTop=144\nParser config=<MODBUSRTUQUERY/>\nExport at once=False\n");

    const auto other = folder_ / "other.ini";
    WriteText(other, "[DS1.Common]\nLeft=77\n");
    TForm loaded;
    ASSERT_TRUE(LoadSettings(location_, map_, loaded, platform::PathToUtf8(other)));
    EXPECT_EQ(loaded.Left, 77);
    EXPECT_EQ(loaded.lblParams.Caption, "");

    ASSERT_TRUE(LoadSettings(location_, map_, loaded));
    EXPECT_EQ(loaded.Left, 10);
    EXPECT_EQ(loaded.lblParams.Caption, "<MODBUSRTUQUERY/>");
    EXPECT_FALSE(loaded.chkExportAll.Checked);
}

// A root number that names no root opens nothing: the second root serves.
TEST_F(PluginSettingsTest, RegistryUnderTheModulePathWithTheSecondRootAsFallback) {
    location_.RegistryRoot1 = 9;
    TForm form;
    form.Top = 30;
    ASSERT_TRUE(SaveSettings(location_, map_, form));
    TForm loaded;
    ASSERT_TRUE(LoadSettings(location_, map_, loaded));
    EXPECT_EQ(loaded.Top, 30);
    platform::RegistryKey key;
    ASSERT_EQ(key.Open(RegistryRoot::CurrentUser, "Software\\Vendor\\Logger\\EIP", platform::RegAccess::Read),
              platform::RegStatus::Success);
    EXPECT_EQ(key.ReadDword("Top"), 30u);
    EXPECT_EQ(key.ReadString("Export at once"), "True");
}

} // namespace
