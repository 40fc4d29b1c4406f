#include "options/PluginDM_TextResources.h"

#include "TempDir.h"

#include "platform/Clock.h"

#include <gtest/gtest.h>

namespace {

using namespace qor;

TEST(TextResourcesTest, EnglishDefaultsAndEveryTextTranslatable) {
    TTextResources r;
    EXPECT_EQ(r.Tag, 9997);
    EXPECT_FALSE(r.Translated);
    EXPECT_EQ(r.ItemsFormationError, "Error on items formation (%s)");
    EXPECT_EQ(r.OperationFailed, "Operation failed (%s, %s)");
    const std::vector<std::string> words{r.Bit,    r.Decimal, r.Signed,      r.Unsigned, r.None,
                                         r.Boolean, r.String, r.Float,       r.DateAndTime, r.Time,
                                         r.Date,   r.Structure};
    EXPECT_EQ(words, (std::vector<std::string>{"Bit", "Decimal", "Signed", "Unsigned", "None", "Boolean", "String",
                                                "Float", "DateTime", "Time", "Date", "Structure"}));
    ASSERT_EQ(r.Texts.size(), 14u);
    EXPECT_EQ(r.Texts.front(), &r.ItemsFormationError);
    EXPECT_EQ(r.Texts.back(), &r.Structure);
}

class TModule : public TComponent {
public:
    TTextResources& TextRes = AddComponent<TTextResources>("TextRes");
};

TEST(TextResourcesTest, TranslatedOnceThroughTheRegisteredHandler) {
    platform::ManualClock clock(0);
    platform::ScopedClock use(clock);
    qortest::TempDir dir;
    TWtransl t;
    t.FileNames = dir.Write("de.lng", "EN:>Bit\r\nDE:>Bits\r\nFR:>Bits fr\r\n\r\n"
                                      "EN:>Operation failed (%s, %s)\r\nDE:>Vorgang fehlgeschlagen (%s, %s)\r\n\r\n");
    TModule module;
    EXPECT_TRUE(t.Translate("DE", module, "EN"));
    EXPECT_TRUE(module.TextRes.Translated);
    EXPECT_EQ(module.TextRes.Bit, "Bits");
    EXPECT_EQ(module.TextRes.OperationFailed, "Vorgang fehlgeschlagen (%s, %s)");
    EXPECT_EQ(module.TextRes.Decimal, "Decimal");

    EXPECT_TRUE(t.Translate("FR", module.TextRes, "EN"));
    EXPECT_EQ(module.TextRes.Bit, "Bits") << "a second translation does nothing";
}

TEST(TextResourcesTest, WithoutLanguageFileEveryTextKeepsItsDefault) {
    platform::ManualClock clock(0);
    platform::ScopedClock use(clock);
    qortest::TempDir dir;
    TWtransl t;
    t.FileNames = dir.Path("plugins.lng") + "|" + dir.Path("module.lng");
    TTextResources r;
    EXPECT_FALSE(t.Translate("DE", r, "EN"));
    EXPECT_EQ(r.OperationFailed, "Operation failed (%s, %s)");
    EXPECT_EQ(r.Bit, "Bit");
}

} // namespace
