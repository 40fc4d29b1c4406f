#include "options/PluginDM_TextResources.h"
#include "options/Wtransl.h"

#include "../platform/SettingsTestSupport.h"

#include "common/Thread_ProcessMessages.h"

#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace qor;

class WtranslTest : public ::testing::Test {
protected:
    platform::ManualClock clock_{1000};
    platform::ScopedClock useClock_{clock_};
    settings_test::TempFolder dir_;

    std::string Tr(TWtransl& t, std::string text, std::string_view to = "DE") {
        t.Translate(to, text, "EN");
        return text;
    }
};

TEST_F(WtranslTest, LanguageFileEdgeCases) {
    TWtransl t;
    t.FileNames = dir_.Write("de.lng", "// German\r\n"
                                       "EN:>Open\r\n"
                                       "DE:>\xC3\x96&ffnen\r\n"
                                       "\r\n"
                                       "  EN:>Line one%0D%0ALine two  \r\n"
                                       "DE:>Zeile eins%0D%0AZeile zwei\r\n"
                                       "\r\n"
                                       "EN:>Hello\n"
                                       "DE:>Hallo\n"
                                       "\n"
                                       "EN:>\xC3\x9C" "ber\n"
                                       "DE:>About\n"
                                       "\n"
                                       "EN:>Last\r\n"
                                       "DE:>Letzte\r\n");
    // "&Open" is found under Open through its form without the accelerator
    // mark and keeps the translation's "&"; "Open" itself loses it.
    EXPECT_EQ(Tr(t, "&Open"), "\xC3\x96&ffnen");
    EXPECT_EQ(Tr(t, "Open"), "\xC3\x96" "ffnen");
    EXPECT_EQ(Tr(t, "Line one\r\nLine two"), "Zeile eins\r\nZeile zwei");
    EXPECT_EQ(Tr(t, "hello"), "Hallo");
    // Latin-1 capitals fold the same way in the file and in the lookup.
    EXPECT_EQ(Tr(t, "\xC3\xBC" "BER"), "About");
    // The last block has no empty line after it.
    EXPECT_EQ(Tr(t, "Last"), "Last");
    EXPECT_EQ(t.PairCount(), 4);
    EXPECT_EQ(t.LoadedKey(), "DEEN");
}

TEST_F(WtranslTest, DirectivesAreRecognisedOnlyInTheFirst19Lines) {
    std::string text;
    for (int i = 1; i <= 18; ++i)
        text += "// line " + std::to_string(i) + "\r\n";
    text += "//fileappend\r\n";         // line 19
    text += "//saveuntr\r\n";           // line 20: a comment
    text += "Charset=windows-1251\r\n"; // line 21: a block line without a prefix
    text += "EN:>Yes\r\nRU:>\xC4\xE0\r\n\r\n";
    TWtransl t;
    t.FileNames = dir_.Write("ru.lng", text);
    // Read as the system code page: not UTF-8, so windows-1252.
    EXPECT_EQ(Tr(t, "Yes", "RU"), "\xC3\x84\xC3\xA0");
    EXPECT_EQ(t.Settings().FileMode, TWtranslFileMode::Append);
    EXPECT_EQ(t.Settings().SaveMode, TWtranslSaveMode::None);
    EXPECT_EQ(t.Settings().CodePage, 0u);
}

TEST_F(WtranslTest, LaterFilesWinAndTheFilesNameTheTargetLanguage) {
    TWtransl t;
    const std::string shared = dir_.Write("plugins.lng", "EN:>Open\r\nDE:>Offen\r\nFR:>Ouvrir\r\n\r\n"
                                                         "EN:>Close\r\nFR:>Fermer\r\n\r\n");
    const std::string own = dir_.Write("module.lng", "[Languages]\r\n$EN = #1\r\n$FR = #2 (Default)\r\n"
                                                     "Default = FR\r\n\r\n"
                                                     "EN:>Close\r\nFR:>Clore\r\n\r\n");
    t.FileNames = shared + "|" + dir_.Path("missing.lng") + "|" + own;
    EXPECT_EQ(TWtransl::LanguageOfFile(own), "FR");
    // Without a "[Languages]" section: the first language of the entries besides the source.
    EXPECT_EQ(TWtransl::LanguageOfFile(shared), "DE");
    EXPECT_EQ(TWtransl::LanguageOfFile(shared, "DE"), "EN");
    EXPECT_EQ(TWtransl::LanguageOfFile(dir_.Path("missing.lng")), "");
    std::string text = "Close";
    EXPECT_TRUE(t.Translate(std::nullopt, nullptr, &text));
    EXPECT_EQ(t.ToLanguage(), "FR");
    EXPECT_EQ(text, "Clore");
    EXPECT_EQ(Tr(t, "Open", "FR"), "Ouvrir");

    // Neither object nor text: the target language becomes the source language.
    EXPECT_TRUE(t.Translate(std::string_view("FR"), nullptr, nullptr));
    EXPECT_EQ(t.Language, "FR");
}

TEST_F(WtranslTest, ForgetsTheFiles20SecondsAfterTheLastRun) {
    TWtransl t;
    t.FileNames = dir_.Write("de.lng", "EN:>Open\r\nDE:>Offen\r\n\r\n");
    EXPECT_EQ(Tr(t, "Open"), "Offen");
    dir_.Write("de.lng", "EN:>Open\r\nDE:>Auf\r\n\r\n");

    clock_.Advance(15000);
    PumpAll();
    EXPECT_EQ(Tr(t, "Open"), "Offen") << "still the loaded file";
    clock_.Advance(19999); // 20 s after the second run less 1 ms
    PumpAll();
    EXPECT_EQ(t.LoadedKey(), "DEEN");
    clock_.Advance(1);
    PumpAll();
    EXPECT_EQ(t.LoadedKey(), "");
    EXPECT_EQ(t.PairCount(), 0);
    EXPECT_EQ(Tr(t, "Open"), "Auf") << "read again";
}

// Runs on another thread while the owner of the cache timer forgets the files
// again and again: each run sees either the loaded pairs or reads them anew.
TEST_F(WtranslTest, RunsOnAnotherThreadAndTheCacheClearingAreSerialised) {
    TWtransl t;
    t.FileNames = dir_.Write("de.lng", "EN:>Open\r\nDE:>Offen\r\n\r\n");
    EXPECT_EQ(Tr(t, "Open"), "Offen"); // the timer belongs to this thread
    std::atomic<int> wrong{0};
    std::thread other([&] {
        for (int i = 0; i < 200; ++i)
            if (Tr(t, "Open") != "Offen")
                ++wrong;
    });
    for (int i = 0; i < 200; ++i) {
        clock_.Advance(TWtransl::kCacheInterval);
        PumpAll();
    }
    other.join();
    EXPECT_EQ(wrong.load(), 0);
}

class TForm : public TComponent {
public:
    std::string Caption, Hint, Filter, Other;
    TStringList Captions;
    TForm() {
        Publish("Caption", Caption);
        Publish("Hint", Hint);
        Publish("Filter", Filter);
        Publish("Other", Other);
        Publish("Captions", Captions);
    }
    std::string_view ClassName() const override { return "TForm"; }
};

class TSpecial : public TForm {
public:
    std::string_view ClassName() const override { return "TSpecial"; }
};

class SpecialHandler : public TWtranslatorCustom {
public:
    int Calls = 0;
    bool Translate(TWtransl&, TPersistent* object, const TWtranslContext& context) override {
        ++Calls;
        static_cast<TSpecial*>(object)->Caption = "handled " + context.ToLanguage;
        return true;
    }
};

TEST_F(WtranslTest, WalksListedPropertiesOwnedComponentsAndHandlers) {
    auto handler = std::make_shared<SpecialHandler>();
    TWtransl::RegisterHandler<TSpecial>(handler, "spe*");
    TWtransl t;
    t.FileNames = dir_.Write("de.lng", "EN:>Open\r\nDE:>Offen\r\n\r\nEN:>Close\r\nDE:>Zu\r\n\r\n");
    TForm form;
    form.Caption = form.Hint = form.Filter = form.Other = "Open";
    form.Captions.SetText("Open\r\nClose\r\nHelp");
    TForm& skipped = form.AddComponent<TForm>("skipped");
    skipped.Tag = kWtranslSkipTag;
    skipped.Caption = "Open";
    TForm& inner = skipped.AddComponent<TForm>("inner");
    inner.Caption = "Close";
    TSpecial& special = form.AddComponent<TSpecial>("special1");
    TSpecial& other = form.AddComponent<TSpecial>("other");
    other.Caption = "Close";
    t.ComponentProperties.Add("Filter");

    EXPECT_TRUE(t.Translate("DE", form, "EN"));
    EXPECT_EQ(form.Caption, "Offen");
    EXPECT_EQ(form.Hint, "Offen");
    EXPECT_EQ(form.Filter, "Offen");
    EXPECT_EQ(form.Other, "Open");
    EXPECT_EQ(form.Captions.Lines(), (std::vector<std::string>{"Offen", "Zu", "Help"}));
    EXPECT_EQ(skipped.Caption, "Open");
    EXPECT_EQ(inner.Caption, "Zu");
    EXPECT_EQ(special.Caption, "handled DE");
    EXPECT_EQ(handler->Calls, 1);
    EXPECT_EQ(other.Caption, "Zu") << "name outside the mask: the generic walk";
}

TEST_F(WtranslTest, WritesUntranslatedTextsToANewFileEachTime) {
    const std::string lng = dir_.Write("app.lng", "//saveuntr\r\nEN:>Open\r\nDE:>Offen\r\n\r\n");
    {
        TWtransl t;
        t.FileNames = lng;
        for (const char* text : {"Open", "Close", "Line\r\nBreak", "&Exit", "Close"})
            Tr(t, text);
    }
    EXPECT_EQ(dir_.Read("app.lng.new"), "[Languages]\r\n$EN = #1\r\n$DE = #2 (Default)\r\nDefault = DE\r\n\r\n"
                                        "EN:>Close\r\nDE:>\r\n\r\n"
                                        "EN:>Line%0D%0ABreak\r\nDE:>\r\n\r\n"
                                        "EN:>&Exit\r\nDE:>\r\n\r\n"
                                        "\r\n");
    EXPECT_EQ(TWtransl::LanguageOfFile(dir_.Path("app.lng.new")), "DE");
    {
        TWtransl t;
        t.FileNames = lng;
        Tr(t, "Help");
    }
    EXPECT_EQ(dir_.Read("app.lng.1.new"),
              "[Languages]\r\n$EN = #1\r\n$DE = #2 (Default)\r\nDefault = DE\r\n\r\nEN:>Help\r\nDE:>\r\n\r\n\r\n");
    {
        TWtransl t; // nothing collected: no file
        t.FileNames = lng;
        Tr(t, "Open");
    }
    EXPECT_FALSE(dir_.Exists("app.lng.2.new"));
}

class TModule : public TComponent {
public:
    TTextResources& TextRes = AddComponent<TTextResources>("TextRes");
};

TEST_F(WtranslTest, TextResourcesAreTranslatedOnceThroughTheirHandler) {
    TWtransl t;
    t.FileNames = dir_.Write("de.lng", "EN:>Bit\r\nDE:>Bits\r\nFR:>Bits fr\r\n\r\n"
                                        "EN:>Operation failed (%s, %s)\r\n"
                                        "DE:>Vorgang fehlgeschlagen (%s, %s)\r\n\r\n");
    TModule module;
    EXPECT_TRUE(t.Translate("DE", module, "EN"));
    EXPECT_TRUE(module.TextRes.Translated);
    EXPECT_EQ(module.TextRes.Bit, "Bits");
    EXPECT_EQ(module.TextRes.OperationFailed, "Vorgang fehlgeschlagen (%s, %s)");
    EXPECT_EQ(module.TextRes.Decimal, "Decimal");
    EXPECT_TRUE(t.Translate("FR", module.TextRes, "EN"));
    EXPECT_EQ(module.TextRes.Bit, "Bits") << "a second translation does nothing";
}

} // namespace
