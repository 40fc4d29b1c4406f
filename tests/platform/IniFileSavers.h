// An INI file in a scratch folder, a hand-written one to start from, and
// savers of one INI file side by side, for the tests of threads and of
// processes sharing it.
#pragma once

#include "platform/IniFile.h"

#include "SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace settings_test {

inline const std::string kOriginal = "; Settings of the logger\n"
                                     "; two lines\n"
                                     "\n"
                                     "[DS1.Common]\n"
                                     "; poll period\n"
                                     "Interval=1000\n"
                                     "Name = \"  x  \"\n"
                                     "\n"
                                     "[Other]\n"
                                     "# written by hand\n"
                                     "Key=Value ; not a comment\n"
                                     "\n"
                                     "; the end\n";

class IniFileFixture : public ::testing::Test {
protected:
    std::filesystem::path File() const { return folder_ / "settings.ini"; }
    TempFolder folder_;
};

// Saves one new key of prefix per round, each through a fresh IniFile, as an
// instance saving its settings does. A save that put back the file as it was
// before another saver's write would lose that saver's key for good.
inline int SaveRounds(const std::filesystem::path& file, const std::string& prefix, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        platform::IniFile ini(file);
        if (!ini.WriteInteger(prefix + ".Common", "Interval" + std::to_string(i), i) || ini.UpdateFile())
            return 1;
    }
    return 0;
}

inline void ExpectEveryKeyOf(const std::filesystem::path& file, int rounds) {
    const platform::IniFile ini(file);
    int lost = 0;
    for (const char* prefix : {"DS1.Common", "DS2.Common", "Host.Common"})
        for (int i = 0; i < rounds; ++i)
            if (ini.ReadInteger(prefix, "Interval" + std::to_string(i)) != i)
                ++lost;
    EXPECT_EQ(lost, 0);
}

inline constexpr int kRounds = 40;

} // namespace settings_test
