#include "options/PluginDM_TextResources.h"

#include "../platform/SettingsTestSupport.h"

#include "platform/Clock.h"

#include <gtest/gtest.h>

namespace {

using namespace qor;

class TModule : public TComponent {
public:
    TTextResources& TextRes = AddComponent<TTextResources>("TextRes");
};

TEST(TextResourcesTest, TranslatedOnceThroughTheRegisteredHandler) {
    platform::ManualClock clock(0);
    platform::ScopedClock use(clock);
    settings_test::TempFolder dir;
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

} // namespace
