#include "platform/Paths.h"

#include "SettingsTestSupport.h"

#include <gtest/gtest.h>

namespace {

using settings_test::ScopedEnv;

TEST(PathsTest, CommonAppDataFollowsAnAbsoluteOverride) {
    {
        ScopedEnv common("QOR_COMMON_APPDATA", "/srv/qor/data");
        EXPECT_EQ(platform::CommonAppDataFolder("App name"), "/srv/qor/data");
    }
    // A relative folder would depend on the working folder: it is ignored.
    ScopedEnv common("QOR_COMMON_APPDATA", "relative/data");
    ScopedEnv data("XDG_DATA_HOME", "/home/u/data");
    const auto folder = platform::CommonAppDataFolder();
    EXPECT_TRUE(folder == "/var/lib" || folder == "/home/u/data") << folder;
}

TEST(PathsTest, UserFoldersFollowXdgThenHome) {
    ScopedEnv home("HOME", "/home/u");
    {
        ScopedEnv config("XDG_CONFIG_HOME", "/cfg");
        ScopedEnv data("XDG_DATA_HOME", "/dat");
        EXPECT_EQ(platform::UserConfigFolder(), "/cfg");
        EXPECT_EQ(platform::UserDataFolder(), "/dat");
    }
    ScopedEnv config("XDG_CONFIG_HOME", "cfg");
    ScopedEnv data("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(platform::UserConfigFolder(), "/home/u/.config");
    EXPECT_EQ(platform::UserDataFolder(), "/home/u/.local/share");
}

} // namespace
