// Text where the plug-in meets Windows: file names go through the wide API
// (a UTF-8 name is the name the file system shows), and the "A" interface's
// text is the host's ANSI code page.
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "platform/Text.h"

#include "../platform/SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// "café.ini" and "Grüße" written as UTF-8 bytes.
const std::string kCafe = "caf\xC3\xA9.ini";
const std::string kGruesse = "Gr\xC3\xBC\xC3\x9F"
                             "e";

TEST(TextBoundaryTest, AUtf8FileNameIsTheNameTheFileSystemShows) {
    settings_test::TempFolder folder;
    const std::filesystem::path file = folder.Path() / platform::PathFromUtf8(kCafe);
    platform::IniFile ini(file);
    ASSERT_TRUE(ini.WriteString("Common", "Name", kGruesse));
    ASSERT_FALSE(ini.UpdateFile());

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path()))
        names.push_back(platform::PathToUtf8(entry.path().filename()));
    EXPECT_NE(std::find(names.begin(), names.end(), kCafe), names.end());
    // Read back under the name the listing gave.
    EXPECT_EQ(platform::IniFile(folder.Path() / platform::PathFromUtf8(kCafe)).ReadString("Common", "Name"),
              kGruesse);
}

// The ANSI code page of the test's Wine prefix is the Western one (1252), as
// on a Western Windows: the host's "ü" is the byte FC.
TEST(TextBoundaryTest, TheHostsAnsiTextIsItsCodePage) {
    const std::string ansi = "Gr\xFC\xDF"
                             "e";
    EXPECT_EQ(platform::AnsiToUtf8(ansi), kGruesse);
    EXPECT_EQ(platform::Utf8ToAnsi(kGruesse), ansi);
    // A character the code page lacks cannot reach an "A" interface.
    EXPECT_EQ(platform::Utf8ToAnsi("\xE6\x97\xA5"), "?");
}

} // namespace
