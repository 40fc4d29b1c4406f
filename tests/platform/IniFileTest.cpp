#include "platform/IniFile.h"

#include "IniFileSavers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using platform::IniFile;
using settings_test::ExpectEveryKeyOf;
using settings_test::kOriginal;
using settings_test::kRounds;
using settings_test::ReadText;
using settings_test::SaveRounds;
using settings_test::WriteText;

class IniFileTest : public settings_test::IniFileFixture {};

TEST_F(IniFileTest, SaveChangesOnlyWhatWasWrittenAndKeepsComments) {
    WriteText(File(), kOriginal);
    IniFile ini(File());
    EXPECT_TRUE(ini.FileExisted());
    EXPECT_TRUE(ini.WriteString("ds1.common", "INTERVAL", "2000"));
    EXPECT_TRUE(ini.WriteString("DS1.Net", "Interval", "5"));
    EXPECT_TRUE(ini.Modified());
    ASSERT_FALSE(ini.UpdateFile());
    EXPECT_FALSE(ini.Modified());

    EXPECT_EQ(ReadText(File()), "; Settings of the logger\n"
                                "; two lines\n"
                                "\n"
                                "\n"
                                "[DS1.Common]\n"
                                "\n"
                                "; poll period\n"
                                "Interval=2000\n"
                                "Name=\"  x  \"\n"
                                "\n"
                                "\n"
                                "[Other]\n"
                                "\n"
                                "# written by hand\n"
                                "Key=Value ; not a comment\n"
                                "\n"
                                "\n"
                                "[DS1.Net]\n"
                                "Interval=5\n"
                                "\n"
                                "; the end\n");

    // Saving the saved file again changes nothing: the layout is stable.
    const std::string once = ReadText(File());
    IniFile again(File());
    again.WriteString("Other", "Key", "changed");
    again.WriteString("Other", "Key", "Value ; not a comment");
    ASSERT_FALSE(again.UpdateFile());
    EXPECT_EQ(ReadText(File()), once);
}

// ---- values

TEST_F(IniFileTest, ValuesReadBackAsWrittenAfterASave) {
    const std::string xml =
        "<?xml version=\"1.0\"?>\n<MODBUSRTUQUERY>\n  <Item caption=\"A\"/>\n</MODBUSRTUQUERY>";
    {
        IniFile ini(File());
        EXPECT_FALSE(ini.FileExisted());
        ini.WriteInteger("S", "Negative", -5);
        ini.WriteInteger("S", "Big", 9223372036854775807LL);
        ini.WriteFloat("S", "Tenth", 0.1);
        ini.WriteFloat("S", "Huge", 1e300);
        ini.WriteString("S", "Padded", " padded\t");
        ini.WriteString("S", "Quoted", "\"quoted\"");
        ini.WriteString("S", "Empty", "");
        ini.WriteString("S", "Arrows", "<<<not a block");
        ini.WriteString("S", "Parser config", xml);
        ASSERT_FALSE(ini.UpdateFile());
    }
    EXPECT_EQ(ReadText(File()), "[S]\n"
                                "Negative=-5\n"
                                "Big=9223372036854775807\n"
                                "Tenth=0.1\n"
                                "Huge=1e+300\n"
                                "Padded=\" padded\t\"\n"
                                "Quoted=\"\"quoted\"\"\n"
                                "Empty=\n"
                                "Arrows=\"<<<not a block\"\n"
                                "Parser config=<<<END_OF_TEXT\n"
                                "<?xml version=\"1.0\"?>\n"
                                "<MODBUSRTUQUERY>\n"
                                "  <Item caption=\"A\"/>\n"
                                "</MODBUSRTUQUERY>\n"
                                "END_OF_TEXT\n");
    IniFile ini(File());
    EXPECT_EQ(ini.ReadInteger("S", "Negative"), -5);
    EXPECT_EQ(ini.ReadInteger("S", "Big"), 9223372036854775807LL);
    EXPECT_EQ(ini.ReadFloat("S", "Tenth"), 0.1);
    EXPECT_EQ(ini.ReadFloat("S", "Huge"), 1e300);
    EXPECT_EQ(ini.ReadString("S", "Padded"), " padded\t");
    EXPECT_EQ(ini.ReadString("S", "Quoted"), "\"quoted\"");
    EXPECT_EQ(ini.ReadString("S", "Empty"), "");
    EXPECT_EQ(ini.ReadString("S", "Arrows"), "<<<not a block");
    EXPECT_EQ(ini.ReadString("S", "Parser config"), xml);
}

TEST_F(IniFileTest, NumbersAreReadInTheFormsPeopleWrite) {
    WriteText(File(), "[N]\nhex=0x1F\ndollar=$FF\nall=$FFFFFFFFFFFFFFFF\nspaced=  42  \nquoted=\"7\"\n"
                      "junk=12abc\nempty=\ncomma=0,5\nplus=+2.5\nexp=1E3\ntoolarge=9223372036854775808\n"
                      "nan=nan\n");
    IniFile ini(File());
    EXPECT_EQ(ini.ReadInteger("N", "hex"), 31);
    EXPECT_EQ(ini.ReadInteger("N", "dollar"), 255);
    EXPECT_EQ(ini.ReadInteger("N", "all"), -1);
    EXPECT_EQ(ini.ReadInteger("N", "spaced"), 42);
    EXPECT_EQ(ini.ReadInteger("N", "quoted"), 7);
    EXPECT_EQ(ini.ReadInteger("N", "junk"), std::nullopt);
    EXPECT_EQ(ini.ReadInteger("N", "empty"), std::nullopt);
    EXPECT_EQ(ini.ReadInteger("N", "toolarge"), std::nullopt);
    EXPECT_EQ(ini.ReadInteger("N", "missing"), std::nullopt);
    EXPECT_EQ(ini.ReadFloat("N", "comma"), 0.5);
    EXPECT_EQ(ini.ReadFloat("N", "plus"), 2.5);
    EXPECT_EQ(ini.ReadFloat("N", "exp"), 1000.0);
    EXPECT_EQ(ini.ReadFloat("N", "junk"), std::nullopt);
    ASSERT_TRUE(ini.ReadFloat("N", "nan"));
    EXPECT_TRUE(std::isnan(*ini.ReadFloat("N", "nan")));
}

// ---- entries that cannot be stored

TEST_F(IniFileTest, EntriesThatCannotBeStoredAreRefused) {
    IniFile ini(File());
    EXPECT_FALSE(ini.WriteString("A]", "k", "v"));
    EXPECT_FALSE(ini.WriteString("A", "k=1", "v"));
    EXPECT_FALSE(ini.WriteString("A", ";k", "v"));
    EXPECT_FALSE(ini.WriteString("A", "k\nk", "v"));
    EXPECT_FALSE(ini.WriteString("A", "  ", "v"));
    EXPECT_FALSE(ini.WriteString("", "k", "v"));
    // It would end the block early and the rest would read as entries.
    EXPECT_FALSE(ini.WriteString("A", "k", "<a>\nend_of_text  \n[B]\nx=1"));
    EXPECT_FALSE(ini.Modified());
    EXPECT_TRUE(ini.WriteString("A", "k", "END_OF_TEXT"));
}

// ---- unreadable and failing files

TEST_F(IniFileTest, FileThatCannotBeReadIsNeverOverwritten) {
    const std::string binary("[A]\nk=1\n\0\x01\x02 more", 15);
    WriteText(File(), binary);
    IniFile ini(File());
    EXPECT_EQ(ini.ReadError(), std::errc::illegal_byte_sequence);
    ini.WriteString("A", "k", "2");
    EXPECT_EQ(ini.UpdateFile(), std::errc::illegal_byte_sequence);
    EXPECT_EQ(ReadText(File()), binary);

    IniFile folder(folder_.Path());
    EXPECT_TRUE(folder.ReadError());
}

// ---- several savers of one file

TEST_F(IniFileTest, ThreadsSavingOneFileKeepEachOthersKeys) {
    WriteText(File(), "; shared by the host and its instances\n[Main]\nLanguage=de\n");
    // The savers start together. A mutex and condition variable, not
    // std::latch: the MinGW runtime's latch can miss its last arrival and
    // leave a thread waiting for ever.
    std::mutex gate;
    std::condition_variable opened;
    int waiting = 3;
    int results[3] = {-1, -1, -1};
    std::vector<std::thread> savers;
    const char* prefixes[3] = {"DS1", "DS2", "Host"};
    for (int t = 0; t < 3; ++t)
        savers.emplace_back([&, t] {
            {
                std::unique_lock hold(gate);
                if (--waiting == 0)
                    opened.notify_all();
                opened.wait(hold, [&] { return waiting == 0; });
            }
            results[t] = SaveRounds(File(), prefixes[t], kRounds);
        });
    for (auto& t : savers)
        t.join();
    EXPECT_THAT(results, ::testing::Each(0));
    ExpectEveryKeyOf(File(), kRounds);
    EXPECT_EQ(IniFile(File()).ReadString("Main", "Language"), "de");
    EXPECT_EQ(ReadText(File()).rfind("; shared by the host and its instances\n", 0), 0u);
}

TEST_F(IniFileTest, SaveAppliesOnlyItsOwnChangesToWhatIsOnDiskNow) {
    WriteText(File(), "[A]\nkeep=1\ngone=1\nmine=1\n");
    IniFile early(File());
    // Another saver changes the file after early has read it.
    {
        IniFile other(File());
        other.WriteString("A", "keep", "2");
        other.WriteString("B", "new", "x");
        ASSERT_FALSE(other.UpdateFile());
    }
    early.WriteString("A", "mine", "3");
    EXPECT_TRUE(early.DeleteKey("A", "gone"));
    ASSERT_FALSE(early.UpdateFile());
    const IniFile now(File());
    EXPECT_EQ(now.ReadString("A", "keep"), "2");
    EXPECT_EQ(now.ReadString("A", "mine"), "3");
    EXPECT_FALSE(now.ValueExists("A", "gone"));
    EXPECT_EQ(now.ReadString("B", "new"), "x");
    // Afterwards early holds what was written.
    EXPECT_EQ(early.Text(), now.Text());
    EXPECT_FALSE(early.Modified());
}

} // namespace
