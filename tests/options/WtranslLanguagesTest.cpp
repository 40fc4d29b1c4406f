#include "options/WtranslCodePages.h"
#include "options/WtranslLanguages.h"

#include <gtest/gtest.h>

namespace {

using namespace qor;

TEST(WtranslCodePagesTest, DecodesTheCharsetsOfLanguageFiles) {
    std::uint32_t charset = 0, codePage = 0;
    ASSERT_TRUE(CharsetFromName("shift-jis", charset, codePage));
    EXPECT_EQ(charset, 128u);
    EXPECT_EQ(codePage, 932u);
    ASSERT_TRUE(CharsetFromName("johab", charset, codePage));
    EXPECT_EQ(codePage, 1361u);
    EXPECT_FALSE(CharsetFromName("koi8-r", charset, codePage));

    EXPECT_EQ(DecodeCodePage("\xCF\xF0\xE8\xE2\xE5\xF2", 1251), "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
    EXPECT_EQ(DecodeCodePage("\x93\xFA\x96\x7B", 932), "\xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_EQ(DecodeCodePage("\xB0\xA1", 949), "\xEA\xB0\x80");
    EXPECT_EQ(DecodeCodePage("\xA4\x40", 950), "\xE4\xB8\x80");
    // 0xAA is not defined in windows-1253: a replacement character, and the rest goes on.
    EXPECT_EQ(DecodeCodePage("a\xAA" "b", 1253), "a\xEF\xBF\xBD" "b");
    // The system code page is UTF-8; text that is not UTF-8 is windows-1252.
    EXPECT_EQ(DecodeCodePage("Gr\xC3\xBC\xC3\x9F" "e", 0), "Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(DecodeCodePage("Gr\xFC\xDF" "e", 0), "Gr\xC3\xBC\xC3\x9F" "e");
}

TEST(WtranslLanguagesTest, DirectivesSetTheFileSettingsAndAreConsumed) {
    TWtranslFileSettings s;
    TWtranslLanguagesList dict;
    const int pairs = ReadLanguageText("//fileappend\r\n"
                                       "  Locale=0x0419  \r\n"
                                       "BiDiMode= RightToLeftNoAlign\r\n"
                                       "Encoding=utf-16\r\n"
                                       "Charset=klingon\r\n"
                                       "//saveunused\r\n"
                                       "EN:>Yes\r\n"
                                       "Charset=windows-1251\r\n"
                                       "RU:>\xC4\xE0\r\n"
                                       "\r\n",
                                       "EN", "RU", s, dict);
    EXPECT_EQ(s.FileMode, TWtranslFileMode::Append);
    EXPECT_EQ(s.Locale, 0x0419u);
    EXPECT_EQ(s.BiDiMode, 2);
    EXPECT_EQ(s.Encoding, 2);
    EXPECT_EQ(s.SaveMode, TWtranslSaveMode::Unused);
    EXPECT_EQ(s.Charset, 204u);
    EXPECT_EQ(s.CodePage, 1251u);
    // The Charset line inside the block was consumed, not taken as a block line.
    EXPECT_EQ(pairs, 1);
    EXPECT_EQ(dict.Exact.at("Yes"), "\xD0\x94\xD0\xB0");
}

TEST(WtranslLanguagesTest, LaterFilesOverwriteAndEmptySidesAreNotStored) {
    TWtranslFileSettings s;
    TWtranslLanguagesList dict;
    EXPECT_EQ(ReadLanguageText("EN:>Open\nDE:>Offen\n\nEN:>Close\nDE:>\n\nEN:>\nDE:>Leer\n\n", "EN", "DE", s, dict), 1);
    EXPECT_EQ(ReadLanguageText("EN:>Open\nDE:>First\nDE:>Second\n\n", "EN", "DE", s, dict), 1);
    EXPECT_EQ(dict.Exact.at("Open"), "Second");
    EXPECT_EQ(dict.Exact.count("Close"), 0u);
    EXPECT_EQ(dict.Exact.count(""), 0u);
    // Prefixes are case-sensitive: "de:>" is not German.
    TWtranslLanguagesList other;
    EXPECT_EQ(ReadLanguageText("EN:>Open\nde:>Offen\n\n", "EN", "DE", s, other), 0);
}

TEST(WtranslLanguagesTest, LookupDropsOrKeepsAcceleratorMarks) {
    TWtranslLanguagesList dict;
    dict.Exact["Save &as"] = "Speichern &unter";
    dict.Exact["Tom && Jerry"] = "Tom && Jerry &DE";
    dict.Exact["Copy && Paste"] = "Kopieren && Einf\xC3\xBCgen";
    // No accelerator in the text: "&&" stays, the single "&" of the translation goes.
    EXPECT_EQ(LookupText(dict, "Tom && Jerry").Translation, "Tom && Jerry DE");
    // After the first "&&" an "&" is no accelerator mark, so form B keeps it.
    EXPECT_FALSE(LookupText(dict, "Copy && &Paste").Translation.has_value());
    EXPECT_EQ(LookupText(dict, "Save &as").Translation, "Speichern &unter");
    EXPECT_FALSE(LookupText(dict, "Save as").Translation.has_value());
    EXPECT_EQ(LookupText(dict, "  Save &as\t").FileForm, "Save &as");
    EXPECT_FALSE(LookupText(dict, " \t ").Translation.has_value());
}

} // namespace
