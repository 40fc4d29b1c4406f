#include "PluginTestSupport.h"

#include "../options/TempDir.h"
#include "options/Wtransl.h"

#include "platform/Debug.h"
#include "platform/Module.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace qor;
using plugintest::MakeModule;
using plugintest::RunCommand;
using plugintest::TestRecord;

// What the test's host callback does when the plug-in calls it.
struct CallbackProbe {
    int Calls = 0;
    TqorPlugin* Module = nullptr;
    TestRecord* Record = nullptr;
    std::int32_t NestedResult = 0;
} probe;

} // namespace

// The host callback this test program exports (it is linked with ENABLE_EXPORTS).
extern "C" __attribute__((visibility("default"))) std::int32_t QOR_STDCALL DataLogger_SendDataEx(
    std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, void*, std::uint32_t) {
    ++probe.Calls;
    // A host that answers the callback with another command of the same instance.
    if (probe.Module != nullptr)
        probe.NestedResult = RunCommand(*probe.Module, *probe.Record, "ITEMS");
    return 0;
}

namespace {

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override { probe = CallbackProbe{}; }
    void TearDown() override { platform::SetDebugOutputSink({}); }

    TestRecord rec;
    std::shared_ptr<plugintest::TTestModule> module = MakeModule(rec);
};

TEST_F(ModuleTest, LoadTakesTheSettingsLocationAndResolvesTheHostCallbacks) {
    module->ModuleCapabilities = 0x04;
    rec.Params.Add("HANDLE", static_cast<long long>(platform::GetModuleHandle(nullptr)));
    rec.Params.Add("MSG-PROC-HANDLE", std::int32_t{0x0302});
    rec.Params.Add("REGISTRY-PATH", "Software\\Vendor\\Logger\\Module");
    rec.Params.Add("INI-SECTION-PREFIX", "{A:B}");
    rec.Params.Add("INI-FILE", "/tmp/logger.ini");
    rec.Params.Add("APPLICATION-NAME", "logger");
    rec.Params.Add("CONFIG-ID", std::uint32_t{0xCADBBE3D});
    ASSERT_EQ(RunCommand(*module, rec, "LOAD"), 0);
    EXPECT_EQ(module->ModuleLoadCount, 1);
    EXPECT_EQ(module->ModuleIndex, 7u);
    EXPECT_EQ(module->HostWindow, 0x0302u);
    EXPECT_EQ(module->ModuleRegistryPath, "Software\\Vendor\\Logger\\Module");
    EXPECT_EQ(module->INISectionPrefix, "{A:B}");
    EXPECT_EQ(module->INIFile, "/tmp/logger.ini");
    EXPECT_EQ(module->ApplicationFullName, "logger");
    EXPECT_EQ(module->ModuleLoadForConfig, static_cast<std::int32_t>(0xCADBBE3D));
    EXPECT_EQ(module->LoadThreadId, platform::GetCurrentThreadId());
    EXPECT_FALSE(module->TerminateNow);
    EXPECT_EQ(module->DataLogger_SendDataEx, &DataLogger_SendDataEx);
    // This host does not export the other four.
    EXPECT_EQ(module->DataLogger_SendNotify, nullptr);
    EXPECT_EQ(module->DataLogger_ManageDynForm, nullptr);
}

TEST_F(ModuleTest, WithoutHandleTheApplicationNameNamesTheHostModule) {
    rec.Params.Add("APPLICATION-NAME", "libqorplatform.so");
    rec.Params.Add("CONFIG-ID", std::int32_t{5}); // ignored without capability 2
    ASSERT_EQ(RunCommand(*module, rec, "LOAD"), 0);
    EXPECT_NE(module->ParentApp, 0u);
    EXPECT_EQ(module->ParentApp, platform::GetModuleHandle("libqorplatform.so"));
    EXPECT_EQ(module->DataLogger_SendDataEx, nullptr);
    EXPECT_EQ(module->ModuleLoadForConfig, 0);
}

TEST_F(ModuleTest, OnlyTheFirstLoadAndTheLastUnloadDoAnything) {
    int loads = 0, unloads = 0;
    module->OnLoad = [&](TPluginCallRecIntf&, std::int32_t&) { ++loads; };
    module->OnUnload = [&](TPluginCallRecIntf&, std::int32_t&) { ++unloads; };
    rec.Params.Add("REGISTRY-PATH", "first");
    ASSERT_EQ(RunCommand(*module, rec, "LOAD"), 0);
    rec.Params.SetValue("REGISTRY-PATH", "second", false);
    ASSERT_EQ(RunCommand(*module, rec, "LOAD"), 0);
    EXPECT_EQ(module->ModuleRegistryPath, "first");
    EXPECT_EQ(loads, 1);
    module->StateFlags[3] = true;
    ASSERT_EQ(RunCommand(*module, rec, "UNLOAD"), 0);
    EXPECT_FALSE(module->TerminateNow);
    EXPECT_TRUE(module->StateFlags[3]);
    ASSERT_EQ(RunCommand(*module, rec, "UNLOAD"), 0);
    EXPECT_TRUE(module->TerminateNow);
    EXPECT_EQ(module->ModuleEnabled(), 0);
    EXPECT_EQ(unloads, 1);
    // An UNLOAD too many changes nothing.
    ASSERT_EQ(RunCommand(*module, rec, "UNLOAD"), 0);
    EXPECT_EQ(module->ModuleLoadCount, 0);
    EXPECT_EQ(unloads, 1);
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

TEST_F(ModuleTest, CommandsCompareCaseSensitively) {
    EXPECT_EQ(RunCommand(*module, rec, "load"), -2);
    EXPECT_EQ(module->ModuleLoadCount, 0);
    std::string seen;
    module->OnCommand = [&](const std::string& command, TPluginCallRecIntf&, std::int32_t& result) {
        seen = command;
        result = 5;
    };
    EXPECT_EQ(RunCommand(*module, rec, "load"), 5);
    EXPECT_EQ(seen, "load");
}

TEST_F(ModuleTest, ItemsAnswersInTheHostsResultItem) {
    EXPECT_EQ(RunCommand(*module, rec, "ITEMS"), -1);
    rec.Params.Add("RESULT", Variant::MakeNull());
    module->OnBeforeGetParserItems = [&] {
        module->ParserItems.clear();
        module->AddParserItem("N", "Described", "x", TParserItemType::NoType);
        module->AddParserItem("T", "Stamp", "", TParserItemType::DateTime);
    };
    ASSERT_EQ(RunCommand(*module, rec, "ITEMS"), 0);
    EXPECT_EQ(rec.Params.GetValue("RESULT").AsString(), "Described|N||x\r\nStamp|T|DateTime|");
}

TEST_F(ModuleTest, ACommandFromInsideAHostCallbackIsRefusedAsNested) {
    rec.Params.Add("HANDLE", static_cast<long long>(platform::GetModuleHandle(nullptr)));
    rec.Params.Add("RESULT", Variant());
    probe.Module = module.get();
    probe.Record = &rec;
    // The data module calls the host during LOAD; the host answers with ITEMS.
    module->OnLoad = [&](TPluginCallRecIntf&, std::int32_t&) {
        ASSERT_NE(module->DataLogger_SendDataEx, nullptr);
        module->DataLogger_SendDataEx(module->ModuleIndex, 1, 0, 0, kSendDataPacket, nullptr, 0);
    };
    std::vector<std::string> debug;
    platform::SetDebugOutputSink([&](std::string_view s) { debug.emplace_back(s); });
    EXPECT_EQ(RunCommand(*module, rec, "LOAD"), 0);
    EXPECT_EQ(probe.Calls, 1);
    EXPECT_EQ(probe.NestedResult, -3);
    // The refusal is not a failure of LOAD, and the next command runs normally.
    EXPECT_TRUE(debug.empty());
    probe.Module = nullptr;
    EXPECT_EQ(RunCommand(*module, rec, "ITEMS"), 0);
}

TEST_F(ModuleTest, ExceptionsEndTheCommandWithMinus3) {
    std::vector<std::string> debug;
    platform::SetDebugOutputSink([&](std::string_view s) { debug.emplace_back(s); });
    module->OnLoad = [](TPluginCallRecIntf&, std::int32_t&) { throw std::runtime_error("no settings"); };
    module->OnUnload = [](TPluginCallRecIntf&, std::int32_t&) { throw std::runtime_error("unload failed"); };
    EXPECT_EQ(RunCommand(*module, rec, "LOAD"), -3);
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(debug[0], "{LOAD} no settings");
    EXPECT_EQ(RunCommand(*module, rec, "UNLOAD"), -3);
    EXPECT_EQ(debug.size(), 1u); // UNLOAD does not log
    // A bad parameter value is an exception too.
    rec.Params.Add("MSG-PROC-HANDLE", "not a window");
    EXPECT_EQ(RunCommand(*module, rec, "ITEMS"), -3);
}

TEST(ModuleConstructionTest, ARecordWithoutParamsMakesATemporaryLoad) {
    TestRecord withList;
    EXPECT_FALSE(MakeModule(withList)->IsTemporaryLoad);
    TestRecord without;
    without.Rec.Params = 0;
    EXPECT_TRUE(MakeModule(without)->IsTemporaryLoad);
    TestRecord marked;
    marked.Params.Add("TEMPORARY-LOAD", std::int32_t{1});
    EXPECT_TRUE(MakeModule(marked)->IsTemporaryLoad);
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
    EXPECT_EQ(m.Language, "EN");
    EXPECT_EQ(m.InfoFlag, 1);
    EXPECT_EQ(m.ModuleRegistryRoot1, 2);
    EXPECT_EQ(m.ModuleRegistryRoot2, 1);
}

TEST(ModuleLanguageTest, OnlyAnotherLanguageIsAChange) {
    TestRecord r;
    auto m = MakeModule(r);
    int changes = 0;
    m->OnLanguageChanged = [&] { ++changes; };
    m->ApplyLanguage(Variant("EN"));
    m->ApplyLanguage(Variant());
    EXPECT_EQ(changes, 0);
    m->ApplyLanguage(Variant("DE"));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(m->Language, "DE");
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

TEST(ParserItemsTest, StandardItemsInOrderWithAndWithoutClientId) {
    TestRecord r;
    auto m = MakeModule(r);
    m->AddStandardParserItems(false);
    EXPECT_EQ(m->ParserItems.size(), 6u);
    m->ParserItems.clear();
    m->AddStandardParserItems(true);
    ASSERT_EQ(m->ParserItems.size(), 7u);
    EXPECT_EQ(m->ParserItems[6].Name, "CLIENTID");
    EXPECT_EQ(m->ParserItemsText().substr(0, 46), "Full data packet|FULL_DATA_PACKET|String|\r\nDat");
}

TEST(CustomCommandsTest, EachCommandIsOneLineOfFiveFields) {
    TestRecord r;
    auto m = MakeModule(r);
    m->CustomCommands.push_back({"CMD", "Caption", "", true, false});
    m->CustomCommands.push_back({"B", "b", "x", false, true});
    EXPECT_EQ(m->CustomCommandsText(), "CMD|Caption||1|0\r\nB|b|x|0|1\r\n");
}

} // namespace

namespace {

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
    setenv("QOR_COMMON_APPDATA", "/srv/qor", 1);
    TestRecord r;
    auto m = MakeModule(r);
    m->ModuleRegistryPath = "Software\\Vendor\\Logger";
    m->INISectionPrefix = "{cfg}";
    EXPECT_EQ(m->AppDataPath(), "/srv/qor/");
    m->ModuleRegistryPath = "Software\\Vendor\\Logger\\..";
    EXPECT_EQ(m->AppDataPath(), "/srv/qor/"); // no way out of the folder
    m->ModuleRegistryPath = "Software\\Vendor\\Logger\\A/B\\C";
    EXPECT_EQ(m->AppDataPath(), "/srv/qor/A-B/");

    m->Description = "Ethernet/IP [Logix]\r\nSecond";
    EXPECT_EQ(m->ModuleDataPath(), "/srv/qor/A-B/cfg/Ethernet-IP [Logix]/");
    m->ConfigList().AddConfig("a\"b*c:d<e>f?g|h");
    m->ModuleLoadForConfig = static_cast<std::int32_t>(ConfigIdentifier("a\"b*c:d<e>f?g|h"));
    EXPECT_EQ(m->ModuleDataPath(), "/srv/qor/A-B/cfg/a-b-c-d-e-f-g-h/");
    m->ModuleLoadForConfig = 0;
    m->Description.clear();
    m->INISectionPrefix.clear();
    m->ModuleName = "EipPlugin.so";
    EXPECT_EQ(m->ModuleDataPath(), "/srv/qor/A-B/eipplugin/");
    unsetenv("QOR_COMMON_APPDATA");
}

} // namespace

namespace {

TEST(ModuleTranslatorTest, TheModulesOwnLanguageFileTranslatesItsTextsOnceAndOnALanguageChange) {
    qortest::TempDir dir;
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
    EXPECT_TRUE(files.substr(0, files.find('|')).ends_with("/plugins.lng"));
    EXPECT_EQ(m.Language, "DE");

    m.AfterConstruction();
    EXPECT_TRUE(m.Translated);
    EXPECT_EQ(m.MsgNoData, "Keine Daten");
    EXPECT_EQ(m.MsgWriteComplete, "Verarbeitet");
    EXPECT_EQ(m.MsgWriteCompleteError, "Data have been processed with errors"); // no translation
    int changes = 0;
    m.OnLanguageChanged = [&] { ++changes; };
    m.ApplyLanguage(Variant("FR"));
    EXPECT_EQ(m.Language, "FR");
    EXPECT_EQ(m.MsgWriteComplete, "Traité");
    EXPECT_EQ(changes, 1);

    EXPECT_TRUE(m.SetModuleParameter("TranslatorComponentProperties", "Filter;Items|Lines"));
    for (const char* name : {"CAPTION", "MsgNoData", "Filter", "Items", "Lines"})
        EXPECT_GE(m.Translator().ComponentProperties.IndexOf(name), 0) << name;
    EXPECT_NE(m.GetModuleParameter("TranslatorComponentProperties").AsString().find("Filter\r\n"),
              std::string::npos);
}

} // namespace
