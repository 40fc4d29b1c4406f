#include "PluginTestSupport.h"

#include "../platform/SettingsTestSupport.h"
#include "options/Wtransl.h"

#include "platform/Debug.h"
#include "platform/Module.h"
#include "platform/Paths.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

// The host callback this test program exports (it is linked with ENABLE_EXPORTS).
extern "C" QOR_MODULE_EXPORT std::int32_t QOR_STDCALL DataLogger_SendDataEx(
    std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, void*, std::uint32_t) {
    return 0;
}

namespace {

using namespace qor;
using plugintest::MakeModule;
using plugintest::RunCommand;
using plugintest::TestRecord;

class ModuleTest : public ::testing::Test {
protected:
    void TearDown() override { platform::SetDebugOutputSink({}); }

    TestRecord rec;
    std::shared_ptr<plugintest::TTestModule> module = MakeModule(rec);
};

// (The settings location and the module index reach the module through the
// boundary; see ModuleBoundaryTest.)
TEST_F(ModuleTest, LoadTakesTheHostWindowAndConfigAndResolvesTheHostCallbacks) {
    module->ModuleCapabilities = 0x04;
    rec.Params.Add("HANDLE", static_cast<long long>(platform::GetModuleHandle(nullptr)));
    rec.Params.Add("MSG-PROC-HANDLE", std::int32_t{0x0302});
    rec.Params.Add("APPLICATION-NAME", "logger");
    rec.Params.Add("CONFIG-ID", std::uint32_t{0xCADBBE3D});
    ASSERT_EQ(RunCommand(*module, rec, "LOAD"), 0);
    EXPECT_EQ(module->HostWindow, 0x0302u);
    EXPECT_EQ(module->ApplicationFullName, "logger");
    EXPECT_EQ(module->ModuleLoadForConfig, static_cast<std::int32_t>(0xCADBBE3D));
    EXPECT_EQ(module->LoadThreadId, platform::GetCurrentThreadId());
    EXPECT_EQ(module->DataLogger_SendDataEx, &DataLogger_SendDataEx);
    // This host does not export the other four.
    EXPECT_EQ(module->DataLogger_SendNotify, nullptr);
    EXPECT_EQ(module->DataLogger_ManageDynForm, nullptr);
}

TEST_F(ModuleTest, WithoutHandleTheApplicationNameNamesTheHostModule) {
    // A module of this process known by its file name: the one the platform
    // code lives in (its shared library on Linux, this program on Windows).
    const std::string path = platform::GetModuleFileName(
        platform::ModuleOfAddress(reinterpret_cast<const void*>(&platform::GetModuleFileName)));
    const std::string name = path.substr(platform::FolderOf(path).size());
    rec.Params.Add("APPLICATION-NAME", name);
    rec.Params.Add("CONFIG-ID", std::int32_t{5}); // ignored without capability 2
    ASSERT_EQ(RunCommand(*module, rec, "LOAD"), 0);
    EXPECT_NE(module->ParentApp, 0u);
    EXPECT_EQ(module->ParentApp, platform::GetModuleHandle(name.c_str()));
    // The callbacks come from that module: on Linux a library without them,
    // on Windows this program, which exports one.
    EXPECT_EQ(reinterpret_cast<void*>(module->DataLogger_SendDataEx.load()),
              platform::GetProcAddress(module->ParentApp, kCallbackSendDataEx));
    EXPECT_EQ(module->ModuleLoadForConfig, 0);
}

TEST_F(ModuleTest, UnloadSavesTheSettingsWhenGivenAnotherFile) {
    int saves = 0;
    module->OnSaveSettingsNow = [&] { ++saves; };
    rec.Params.Add("INI-FILE", "a.ini");
    ASSERT_EQ(RunCommand(*module, rec, "LOAD"), 0);
    rec.Params.SetValue("INI-FILE", "b.ini", false);
    ASSERT_EQ(RunCommand(*module, rec, "UNLOAD"), 0);
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(module->INIFile, "b.ini");
}

// Only LOAD logs its exception; a bad parameter value is an exception too.
TEST_F(ModuleTest, ExceptionsEndTheCommandWithMinus3) {
    std::vector<std::string> debug;
    platform::SetDebugOutputSink([&](std::string_view s) { debug.emplace_back(s); });
    module->OnLoad = [](TPluginCallRecIntf&, std::int32_t&) { throw std::runtime_error("no settings"); };
    module->OnUnload = [](TPluginCallRecIntf&, std::int32_t&) { throw std::runtime_error("unload failed"); };
    EXPECT_EQ(RunCommand(*module, rec, "LOAD"), -3);
    EXPECT_EQ(RunCommand(*module, rec, "UNLOAD"), -3);
    EXPECT_EQ(debug, std::vector<std::string>{"{LOAD} no settings"});
    rec.Params.Add("MSG-PROC-HANDLE", "not a window");
    EXPECT_EQ(RunCommand(*module, rec, "ITEMS"), -3);
}

TEST(ModuleConstructionTest, ARecordWithoutParamsMakesATemporaryLoad) {
    TestRecord withList;
    EXPECT_FALSE(MakeModule(withList)->IsTemporaryLoad);
    TestRecord without;
    without.Rec.Params = 0;
    EXPECT_TRUE(MakeModule(without)->IsTemporaryLoad);
}

TEST(ModuleConstructionTest, TheCreateHandlerRunsOnceTheObjectIsComplete) {
    struct TWithHandler : plugintest::TTestModule {
        TWithHandler(TPluginCallRecIntf& r) : TTestModule(r, 0) {
            OnCreate = [this] { VersionNumber = 5.0f; };
        }
    };
    TestRecord r;
    TPluginCallRecIntf intf(r.Rec);
    TWithHandler m(intf);
    EXPECT_EQ(m.VersionNumber, 4.0f);
    m.AfterConstruction();
    EXPECT_EQ(m.VersionNumber, 5.0f);
}

TEST(ConfigListTest, IdentifiersAreTheCrc32WithoutFinalInversion) {
    EXPECT_EQ(ConfigIdentifier("abc"), 0xCADBBE3Du);
    EXPECT_EQ(ConfigIdentifier(""), 0xFFFFFFFFu);
    TModuleConfigList list;
    EXPECT_EQ(list.AddConfig("abc"), 0);
    EXPECT_EQ(list.AddConfig("Second"), 1);
    std::string name;
    EXPECT_EQ(list.FindConfig(0xCADBBE3D, &name), 0);
    EXPECT_EQ(name, "abc");
    EXPECT_EQ(list.FindConfig(0x12345678), -1);
    EXPECT_EQ(list.ConfigText(), "abc\r\nSecond");
}

TEST(ParserItemsTest, AClientIdAddsASeventhStandardItem) {
    TestRecord r;
    auto m = MakeModule(r);
    m->AddStandardParserItems(true);
    ASSERT_EQ(m->ParserItems.size(), 7u);
    EXPECT_EQ(m->ParserItems[6].Name, "CLIENTID");
}

TEST(ModuleParameterTest, ConfigIdIsTheBracedPartOrItsSecondField) {
    TestRecord r;
    auto m = MakeModule(r);
    const std::pair<const char*, const char*> cases[] = {
        {"{Logger:Press 1}", "Press 1"}, {"x{A:B:C}y{D}", "B"}, {"{Logger:}", "Logger:"},
        {"{Plain}", "Plain"},            {"{unclosed", ""},     {"none", ""}};
    for (const auto& [prefix, id] : cases) {
        m->INISectionPrefix = prefix;
        EXPECT_EQ(m->ModuleConfigId(), id) << prefix;
    }
}

TEST(ModuleParameterTest, DataPathFolderComesFromTheTypeTheDescriptionOrTheLibraryName) {
    settings_test::TempFolder common;
    const std::string base = common.Path("qor");
    settings_test::ScopedEnv env("QOR_COMMON_APPDATA", base.c_str());
    // Folders are joined with the system's separator and end with one.
    const auto folder = [&](std::initializer_list<std::string_view> names) {
        std::string path = base + platform::kPathSeparator;
        for (const std::string_view name : names)
            (path += name) += platform::kPathSeparator;
        return path;
    };
    TestRecord r;
    auto m = MakeModule(r);
    m->ModuleRegistryPath = "Software\\Vendor\\Logger";
    m->INISectionPrefix = "{cfg}";
    EXPECT_EQ(m->AppDataPath(), folder({}));
    m->ModuleRegistryPath = "Software\\Vendor\\Logger\\..";
    EXPECT_EQ(m->AppDataPath(), folder({})); // no way out of the folder
    m->ModuleRegistryPath = "Software\\Vendor\\Logger\\A/B\\C";
    EXPECT_EQ(m->AppDataPath(), folder({"A-B"}));

    m->Description = "Ethernet/IP [Logix]\r\nSecond";
    EXPECT_EQ(m->ModuleDataPath(), folder({"A-B", "cfg", "Ethernet-IP [Logix]"}));
    m->ConfigList().AddConfig("a\"b*c:d<e>f?g|h");
    m->ModuleLoadForConfig = static_cast<std::int32_t>(ConfigIdentifier("a\"b*c:d<e>f?g|h"));
    EXPECT_EQ(m->ModuleDataPath(), folder({"A-B", "cfg", "a-b-c-d-e-f-g-h"}));
    m->ModuleLoadForConfig = 0;
    m->Description.clear();
    m->INISectionPrefix.clear();
    m->ModuleName = "EipPlugin.so";
    EXPECT_EQ(m->ModuleDataPath(), folder({"A-B", "eipplugin"}));
}

TEST(ModuleTranslatorTest, TheModulesOwnLanguageFileTranslatesItsTextsOnceAndOnALanguageChange) {
    settings_test::TempFolder dir;
    const std::string own = dir.Write("eipplugin.lng", "[Languages]\r\n$EN = #1\r\n$DE = #2 (Default)\r\n"
                                                       "Default = DE\r\n\r\n"
                                                       "EN:>No data for processing\r\nDE:>Keine Daten\r\n\r\n"
                                                       "EN:>Data have been processed successfully\r\n"
                                                       "DE:>Verarbeitet\r\nFR:>Traité\r\n\r\n");
    TestRecord r;
    TPluginCallRecIntf intf(r.Rec);
    plugintest::TTestModule m(intf, 0);
    EXPECT_EQ(m.Translator().FileNames, ""); // the test program has no language file of its own
    m.ModulePath = dir.Path("");
    m.ModuleName = "eipplugin.so";
    m.SetUpTranslator();
    const std::string files = m.Translator().FileNames;
    EXPECT_EQ(files.substr(files.find('|') + 1), own);
    EXPECT_TRUE(files.substr(0, files.find('|')).ends_with(std::string(1, platform::kPathSeparator) + "plugins.lng"));
    EXPECT_EQ(m.Language, "DE");

    m.AfterConstruction();
    EXPECT_TRUE(m.Translated);
    EXPECT_EQ(m.MsgNoData, "Keine Daten");
    EXPECT_EQ(m.MsgWriteComplete, "Verarbeitet");
    EXPECT_EQ(m.MsgWriteCompleteError, "Data have been processed with errors"); // no translation
    int changes = 0;
    m.OnLanguageChanged = [&] { ++changes; };
    m.ApplyLanguage(Variant("DE"));
    m.ApplyLanguage(Variant()); // the same or none: no change
    EXPECT_EQ(changes, 0);
    m.ApplyLanguage(Variant("FR"));
    EXPECT_EQ(m.Language, "FR");
    EXPECT_EQ(m.MsgWriteComplete, "Traité");
    EXPECT_EQ(changes, 1);
}

} // namespace
