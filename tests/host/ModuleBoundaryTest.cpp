// The plug-in module driven through the real boundary: a plug-in library
// (qortestplugin, built like the real one around a small data module) loaded
// with dlopen by the substitute host, and only its exports called.
#include "host/Host.h"
#include "host/PluginInstance.h"
#include "host/PluginLibrary.h"

#include "common/qorParamLstWrap.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace host;
using qor::TPluginCallRec;
using qor::TqorParamsList;
using qor::Variant;

// Keeps what the host received with the last data packet.
struct PacketSink : IPacketSink {
    int Packets = 0;
    std::uint32_t ModuleIndex = 0, SourceId = 0;
    TPluginCallRec Rec{};
    std::string RawText;
    TqorParamsList Items;
    std::function<void()> WhileReceiving;
    void OnDataPacket(std::uint32_t moduleIndex, std::uint32_t dataSourceId,
                      const TPluginCallRec& rec) override {
        ++Packets;
        ModuleIndex = moduleIndex;
        SourceId = dataSourceId;
        Rec = rec;
        RawText.clear();
        if (rec.Value1.Type == 4)
            RawText.assign(reinterpret_cast<const char*>(rec.Value1.Data), rec.Value1.Size);
        Items.Clear();
        qor::TqorParamsRef::FromVariable(reinterpret_cast<const void*>(rec.Value2.Data)).CopyTo(Items);
        if (WhileReceiving)
            WhileReceiving();
    }
};

class ModuleBoundaryTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("QOR_COMMON_APPDATA", "/tmp/qor-common-appdata", 1);
        host.SetPacketSink(&sink);
        ASSERT_EQ(instance.Create(), 0);
        settings.IniFile = "own.ini";
        settings.RegistryPath = "Software\\Vendor\\Logger\\Module";
        settings.IniSectionPrefix = "{Logger:Press 1}";
        settings.DataSourceType = "Test source";
        ASSERT_EQ(instance.Load(settings), 0);
    }
    void TearDown() override { unsetenv("QOR_COMMON_APPDATA"); }

    // A command with the record's Options set; params as a raw list.
    std::int32_t Run(const std::string& command, TqorParamsList& params, std::uint8_t options = 0) {
        params.SetValue("COMMAND", command, true);
        TPluginCallRec rec = instance.NewRecord();
        rec.Options = options;
        rec.Params = reinterpret_cast<std::uintptr_t>(&params);
        return x.ExecutePluginCommand(&rec);
    }
    std::int32_t Log(int level, const std::string& message) {
        TqorParamsList params;
        params.Add("LEVEL", std::int32_t{level});
        params.Add("MESSAGE", message);
        return instance.Execute("TEST-LOG", params);
    }
    // ProcessData with the bytes of text as Value1 (Type Text).
    std::int32_t Process(std::uint8_t options, std::string_view text, TPluginCallRec* out = nullptr) {
        TPluginCallRec rec = instance.NewRecord();
        rec.Options = options;
        rec.Value1.Type = 4;
        rec.Value1.Size = static_cast<std::uint32_t>(text.size());
        rec.Value1.Data = reinterpret_cast<std::uintptr_t>(text.data());
        const std::int32_t result = x.ProcessData(&rec);
        if (out)
            *out = rec;
        return result;
    }
    std::vector<TLogLine> Fetched() {
        host.PumpPending();
        return host.LogLines();
    }
    Variant Param(std::string_view name) { return instance.GetModuleParameter(name); }

    THost host;
    PacketSink sink;
    TPluginLibrary library{QOR_TEST_PLUGIN_PATH};
    const TPluginExports& x = library.Exports();
    TPluginInstance instance{library, host, 4};
    TLoadSettings settings;
};

TEST_F(ModuleBoundaryTest, LoadCountsCommandsCompareExactlyAndTheLastUnloadTerminates) {
    TqorParamsList params;
    EXPECT_EQ(Run("load", params), -2); // not LOAD, and the data module does not know it
    TLoadSettings other = settings;
    other.RegistryPath = "Software\\Other";
    EXPECT_EQ(instance.Load(other), 0);
    EXPECT_EQ(Param("ModuleLoadCount").AsInteger(), 2);
    EXPECT_EQ(Param("ModuleRegistryPath").AsString(), "Software\\Vendor\\Logger\\Module");
    EXPECT_EQ(Param("Custom:Loads").AsInteger(), 1);
    EXPECT_EQ(instance.Unload(), 0);
    EXPECT_FALSE(Param("TerminateNow").AsBoolean());
    EXPECT_EQ(instance.Unload(), 0);
    EXPECT_TRUE(Param("TerminateNow").AsBoolean());
    EXPECT_EQ(Param("Custom:Unloads").AsInteger(), 1);
    EXPECT_EQ(Process(2, "abcd"), -1); // a terminated instance takes no data
}

TEST_F(ModuleBoundaryTest, SetStateSetsTheFlagsOfTheOptionsAndTakesTheConfiguredDataSources) {
    TqorParamsList params;
    params.Add("DATA-SOURCES-IN-CFG", "x;Bad;Line\r\n3;Press;Press line 3\r\n\r\n-1;Gone\n7;Oven");
    params.Add("DATA-SOURCE-LOAD", "3;Press;Press line 3");
    EXPECT_EQ(Run("SET-STATE", params, 0b101), -1); // no RESULT: no flags, no state change
    EXPECT_EQ(Param("ModuleEnabled").AsInteger(), 0);
    EXPECT_TRUE(Param("Custom:State").IsNull());
    EXPECT_EQ(Param("DataSourceLoadFor").AsString(), "3;Press;Press line 3");

    params.Add("RESULT", std::int32_t{1});
    EXPECT_EQ(Run("SET-STATE", params, 0b101), 0);
    EXPECT_EQ(Param("ModuleEnabled").AsInteger(), 5);
    EXPECT_EQ(Param("Custom:State").AsInteger(), 5);
    EXPECT_EQ(Param("Custom:Sources").AsString(),
              "3|Press|Press line 3|3;Press;Press line 3\n7|Oven||7;Oven\n");
    TqorParamsList off;
    off.Add("RESULT", std::int32_t{0});
    EXPECT_EQ(Run("SET-STATE", off, 0b001), 0);
    EXPECT_EQ(Param("ModuleEnabled").AsInteger(), 4);
}

TEST_F(ModuleBoundaryTest, ItemsEventsAndTheirMissingParameters) {
    TqorParamsList params;
    EXPECT_EQ(Run("ITEMS", params), -1);
    EXPECT_EQ(Run("SET-ITEMS", params), -1);
    EXPECT_EQ(Run("EVENTS-SUPPORT", params), 0); // no RESULT: nothing answered
    EXPECT_EQ(Run("EVENT", params), -1);
    params.Add("ITEMS", std::int32_t{5});
    EXPECT_EQ(Run("SET-ITEMS", params), -1); // not a text
    params.SetValue("ITEMS", "Stamp|T|datetime|\r\nNo type|N||x\r\nbroken\r\nAfter|A|String|", false);
    EXPECT_EQ(Run("SET-ITEMS", params), 0);
    EXPECT_EQ(Param("Custom:ItemsChanged").AsInteger(), 1);
    EXPECT_EQ(instance.Items(), "Stamp|T|DateTime|\r\nNo type|N||x");
    EXPECT_EQ(instance.SetModuleParameter("ParserItems", "A|a|Integer|\r\nB|b|Word|\r\nC|c|Byte|"), true);
    EXPECT_EQ(Param("ParserItemsCount").AsInteger(), 3);
    EXPECT_EQ(Param("ParserItemName2").AsString(), "c");
    EXPECT_EQ(Param("parseritemdesc0").AsString(), "A");
    EXPECT_EQ(Param("ParserItemType1").AsInteger(), 7);
    EXPECT_TRUE(Param("ParserItemName3").IsEmpty());

    EXPECT_EQ(instance.SetModuleParameter("EventsSupported", "PORT-OPEN"), true);
    TqorParamsList event;
    event.Add("RESULT", Variant());
    EXPECT_EQ(Run("EVENTS-SUPPORT", event), 0);
    EXPECT_EQ(event.GetValue("RESULT").AsString(), "PORT-OPEN");
    event.Add("EVENT-TYPE", "ECHO");
    EXPECT_EQ(Run("EVENT", event), 7);
    EXPECT_EQ(event.GetValue("RESULT").AsString(), "ECHO");
    event.SetValue("EVENT-TYPE", "GetDataTypeList", false);
    EXPECT_EQ(Run("EVENT", event), -1); // the handler leaves the result as it was
}

TEST_F(ModuleBoundaryTest, ModuleParametersAreReadAndWrittenByName) {
    TqorParamsList params;
    params.Add("RESULT", Variant());
    EXPECT_EQ(Run("GET-MODULE-PARAMETER", params), -2);
    EXPECT_EQ(Run("SET-MODULE-PARAMETER", params), -2);

    EXPECT_EQ(Param("moduleindex").AsInteger(), 4);
    EXPECT_EQ(Param("ModuleName").AsString(), "qortestplugin.so");
    EXPECT_EQ(Param("ModuleLoadForConfig").AsInt64(),
              static_cast<std::int32_t>(ConfigIdentifier("Test source")));
    EXPECT_EQ(Param("ModulePluginHandle").AsInt64(), static_cast<std::int64_t>(instance.Handle()));
    EXPECT_EQ(Param("ModuleConfigId").AsString(), "Press 1");
    EXPECT_EQ(Param("AppDataPath").AsString(), "/tmp/qor-common-appdata/Module/");
    EXPECT_EQ(Param("ModuleDataPath").AsString(), "/tmp/qor-common-appdata/Module/Press 1/Test source/");
    EXPECT_TRUE(Param("NoSuchParameter").IsEmpty());
    EXPECT_EQ(instance.SetModuleParameter("NoSuchParameter", 1), false);
    EXPECT_EQ(instance.SetModuleParameter("ModuleIndex", 9), false); // read-only

    EXPECT_EQ(instance.SetModuleParameter("ModuleType", "not a number"), false);
    EXPECT_EQ(instance.SetModuleParameter("moduletype", 0x1A5), true);
    EXPECT_EQ(Param("ModuleType").AsInteger(), 0xA5);
    EXPECT_EQ(instance.SetModuleParameter("SUBSCRIBE-FOR-DATA", true), true);
    EXPECT_TRUE(Param("SUBSCRIBE-FOR-DATA").IsEmpty()); // write-only
    EXPECT_EQ(instance.SetModuleParameter("CustomCommands", "A|Caption||1|0\r\nshort|line\r\nB|b|x|0|1"),
              true);
    EXPECT_EQ(Param("CustomCommands").AsString(), "A|Caption||1|0\r\nB|b|x|0|1\r\n");
    EXPECT_EQ(instance.GetModuleInfo()->CustomCommands, "A|Caption||1|0\r\nB|b|x|0|1\r\n");
}

TEST_F(ModuleBoundaryTest, CustomParametersByNameByIndexAndCount) {
    EXPECT_EQ(instance.SetModuleParameter("Custom:COUNT", Variant()), true); // clears
    EXPECT_EQ(Param("Custom:COUNT").AsInteger(), 0);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(instance.SetModuleParameter("Custom_K" + std::to_string(i), 100 + i), true);
    EXPECT_EQ(Param("Custom:COUNT").AsInteger(), 8);
    EXPECT_EQ(Param("Custom_7").AsInteger(), 107);
    EXPECT_EQ(Param("Custom K3").AsInteger(), 103);
    EXPECT_TRUE(Param("Custom:Missing").IsNull());
    EXPECT_TRUE(Param("custom:K1").IsEmpty()); // "Custom" is compared exactly
    EXPECT_EQ(instance.SetModuleParameter("Custom:1", "one"), true);
    EXPECT_EQ(Param("Custom:K1").AsString(), "one");
    EXPECT_EQ(instance.SetModuleParameter("Custom:12", "twelve"), true); // past the end: a name
    EXPECT_EQ(Param("Custom_8").AsString(), "twelve");
}

TEST_F(ModuleBoundaryTest, SettingsCommandsSwapTheSettingsFileAndAnswerMinus2) {
    TqorParamsList save;
    save.Add("INI-FILE", "other.ini");
    EXPECT_EQ(Run("SAVE-SETTINGS-NOW", save), -2);
    EXPECT_EQ(Param("Custom:Saved").AsString(), "other.ini;");
    TqorParamsList load;
    load.Add("INI-FILE", "other.ini");
    EXPECT_EQ(Run("LOAD-SETTINGS-NOW", load), -2);
    EXPECT_EQ(Param("Custom:Loaded").AsString(), "other.ini;");
    EXPECT_EQ(Param("Custom:Saved").AsString(), "other.ini;own.ini;");
    load.Add("NO-SAVE", std::int32_t{1});
    EXPECT_EQ(Run("LOAD-SETTINGS-NOW", load), -2);
    EXPECT_EQ(Param("Custom:Saved").AsString(), "other.ini;own.ini;");
    EXPECT_EQ(Param("INIFile").AsString(), "own.ini");
}

TEST_F(ModuleBoundaryTest, PacketsReachTheHostAndACommandFromInsideTheCallbackIsRefused) {
    std::int32_t nested = 0;
    sink.WhileReceiving = [&] {
        TqorParamsList items;
        items.Add("RESULT", Variant());
        nested = instance.Execute("ITEMS", items);
    };
    const auto before = std::chrono::system_clock::now();
    TqorParamsList send;
    send.Add("SOURCE-ID", std::int32_t{12});
    send.Add("FULL", "full text");
    send.Add("RAW1", "a");
    send.Add("RAW2", "b");
    ASSERT_EQ(instance.Execute("TEST-SEND", send), 0);
    ASSERT_EQ(sink.Packets, 1);
    EXPECT_EQ(nested, -3);
    EXPECT_EQ(sink.ModuleIndex, 4u);
    EXPECT_EQ(sink.SourceId, 12u);
    EXPECT_EQ(+sink.Rec.RecSize, qor::kPluginCallRecSize);
    EXPECT_EQ(+sink.Rec.Flags, 1);
    EXPECT_EQ(+sink.Rec.Value1.Type, 4);
    EXPECT_EQ(sink.RawText, "a<{[::]}>b");
    EXPECT_EQ(+sink.Rec.Value2.Type, 9);
    std::vector<std::string> names;
    for (int i = 0; i < sink.Items.Count(); ++i)
        names.push_back(sink.Items.GetItem(i)->Name);
    EXPECT_EQ(names, (std::vector<std::string>{"FULL_DATA_PACKET", "DATE_TIME_STAMP", "DATA_SOURCE_ID",
                                               "DATA_SOURCE_FULL_NAME", "DATA_SOURCE_NAME", "VALUE"}));
    EXPECT_EQ(sink.Items.GetValue("FULL_DATA_PACKET").AsString(), "full text");
    const Variant stamp = sink.Items.GetValue("DATE_TIME_STAMP");
    EXPECT_EQ(stamp.Type(), qor::VarType::Date);
    // Local time: within a day of the UTC time of the call (days since 1899-12-30).
    const double utcDays =
        25569.0 + std::chrono::duration<double>(before.time_since_epoch()).count() / 86400.0;
    EXPECT_NEAR(stamp.AsDateTime(), utcDays, 1.0);
    EXPECT_EQ(sink.Items.GetValue("DATA_SOURCE_ID").AsInteger(), 12);
    EXPECT_EQ(sink.Items.GetValue("DATA_SOURCE_NAME").AsString(), "Source");

    sink.WhileReceiving = nullptr;
    TqorParamsList items;
    items.Add("RESULT", Variant());
    EXPECT_EQ(instance.Execute("ITEMS", items), 0); // the lock was left
}

TEST_F(ModuleBoundaryTest, TheHostIsToldOfNewLinesAndFetchesThem) {
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Log(1, "same"), 0);
    EXPECT_EQ(Log(2, "two\r\nlines"), 0);
    std::vector<TLogLine> lines = Fetched();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].Level, 1);
    EXPECT_EQ(lines[0].ModuleIndex, 4u);
    EXPECT_EQ(lines[0].Text, "Test. same x3");
    EXPECT_EQ(lines[1].Level, 2);
    EXPECT_EQ(lines[1].Text, "Test. two  lines");

    EXPECT_EQ(instance.SetModuleParameter("LogTitle", ""), true);
    TqorParamsList fail;
    fail.Add("MESSAGE", "boom");
    EXPECT_EQ(instance.Execute("TEST-THROW", fail), -3);
    EXPECT_EQ(instance.Execute("TEST-THROW", fail), -3);
    lines = Fetched();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].Level, 0);
    EXPECT_EQ(lines[2].Text, "{TEST-THROW} boom x2");

    // Lines logged before LOAD (no host window known yet) are announced by LOAD.
    TPluginInstance fresh(library, host, 5);
    ASSERT_EQ(fresh.Create(), 0);
    TqorParamsList early;
    early.Add("LEVEL", std::int32_t{1});
    early.Add("MESSAGE", "early");
    EXPECT_EQ(fresh.Execute("TEST-LOG", early), 0);
    EXPECT_EQ(Fetched().size(), 3u);
    ASSERT_EQ(fresh.Load(settings), 0);
    lines = Fetched();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3].ModuleIndex, 5u);
    EXPECT_EQ(lines[3].Text, "Test. early");
}

TEST_F(ModuleBoundaryTest, GetLogExCopiesKeepsOrDropsTheLog) {
    EXPECT_EQ(Log(1, "abc"), 0);
    EXPECT_EQ(Log(1, "abc"), 0);
    std::vector<char> buffer(64, '#');
    TPluginCallRec rec = instance.NewRecord();
    rec.Value1.Data = reinterpret_cast<std::uintptr_t>(buffer.data());
    rec.Value1.Size = 14;
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Too small, twice: nothing copied, the size needed reported, the line kept as it was.
        EXPECT_EQ(x.GetLogEx(&rec), 0);
        EXPECT_EQ(+rec.Value2.Type, 5);
        EXPECT_EQ(+rec.Value2.Data, 15u);
        EXPECT_EQ(buffer[0], '#');
    }
    rec.Value1.Size = 15;
    EXPECT_EQ(x.GetLogEx(&rec), 15);
    EXPECT_EQ(std::string(buffer.data(), 16), "\x02Test. abc x2\r\n#"); // no terminating zero
    EXPECT_EQ(x.GetLogEx(&rec), 0);
    EXPECT_EQ(+rec.Value2.Data, 0u);

    EXPECT_EQ(Log(1, "x"), 0);
    rec.Value1.Size = 0; // the lines are dropped
    EXPECT_EQ(x.GetLogEx(&rec), 0);
    EXPECT_EQ(+rec.Value2.Data, 10u);
    rec.Value1.Size = 64;
    EXPECT_EQ(x.GetLogEx(&rec), 0);
    EXPECT_EQ(+rec.Value2.Data, 0u);
}

TEST_F(ModuleBoundaryTest, ProcessDataOptionsSelectWhatHappens) {
    TPluginCallRec rec{};
    EXPECT_EQ(Process(0, "abcd"), 0); // nothing at all
    EXPECT_TRUE(Param("Custom:Processed").IsNull());
    EXPECT_EQ(Process(2, "abcd", &rec), 4); // the handler's answer
    EXPECT_EQ(+rec.Value1.Data, 0u);        // the input is not the host's to use any more
    EXPECT_TRUE(Fetched().empty());         // without bits 4 and 8 nothing is logged
    EXPECT_EQ(Process(8, "abcd"), 4);
    EXPECT_EQ(Process(8, "FAIL"), -5);
    EXPECT_EQ(Process(8, "THROW"), -3);

    // Bit 4 with an empty list: no data, the handler is not asked.
    TqorParamsList empty;
    rec = instance.NewRecord();
    rec.Options = 4;
    rec.Value1.Type = 1;
    rec.Value1.Data = reinterpret_cast<std::uintptr_t>(&empty);
    EXPECT_EQ(x.ProcessData(&rec), 0);
    const std::vector<TLogLine> lines = Fetched();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].Level, 2);
    EXPECT_EQ(lines[0].Text, "Test. Data have been processed successfully");
    EXPECT_EQ(lines[1].Level, 1);
    EXPECT_EQ(lines[1].Text, "Test. Data have been processed with errors");
    EXPECT_EQ(lines[2].Text, "Test. Data have been processed with errors: bad data");
    EXPECT_EQ(lines[3].Level, 1);
    EXPECT_EQ(lines[3].Text, "Test. No data for processing");
    EXPECT_EQ(Param("Custom:Processed").AsInteger(), 4);

    // With bit 1 as well the empty list counts as data and gets its row ended.
    rec = instance.NewRecord();
    rec.Options = 4 | 1;
    rec.Value1.Type = 1;
    rec.Value1.Data = reinterpret_cast<std::uintptr_t>(&empty);
    EXPECT_EQ(x.ProcessData(&rec), 0);
    EXPECT_EQ(Param("Custom:Processed").AsInteger(), 5);
    ASSERT_EQ(empty.Count(), 1);
    EXPECT_TRUE(empty.GetItem(0)->IsRowMarker());
}

TEST_F(ModuleBoundaryTest, WithoutAHandlerOption32EchoesTheInput) {
    TqorParamsList params;
    EXPECT_EQ(instance.Execute("TEST-UNASSIGN", params), 0);
    const std::string input = "abcd";
    TPluginCallRec rec{};
    EXPECT_EQ(Process(32, input, &rec), 0);
    EXPECT_EQ(+rec.Value2.Type, 4);
    EXPECT_EQ(+rec.Value2.Size, 4u);
    EXPECT_EQ(+rec.Value2.Data, reinterpret_cast<std::uintptr_t>(input.data()));
    // An echoed list slot: the host is not left with the address of the plug-in's freed wrap.
    rec = instance.NewRecord();
    rec.Options = 32;
    rec.Value1.Type = 8;
    rec.Value1.Data = reinterpret_cast<std::uintptr_t>(&params);
    EXPECT_EQ(x.ProcessData(&rec), 0);
    EXPECT_EQ(+rec.Value2.Type, 9);
    EXPECT_EQ(+rec.Value2.Data, 0u);
}

TEST_F(ModuleBoundaryTest, AConfirmedDialogReloadsAnInstanceOfAnotherThreadThroughItsHostWindow) {
    TPluginInstance other(library, host, 6);
    ASSERT_EQ(other.Create(), 0);
    std::thread loader([&] {
        TqorParamsList params;
        params.Add("COMMAND", "LOAD");
        params.Add("MSG-PROC-HANDLE", static_cast<long long>(host.Window()));
        params.Add("REGISTRY-PATH", settings.RegistryPath);
        TPluginCallRec rec = other.NewRecord();
        rec.Params = reinterpret_cast<std::uintptr_t>(&params);
        EXPECT_EQ(x.ExecutePluginCommand(&rec), 0);
    });
    loader.join();

    EXPECT_EQ(instance.ShowOptionsDialog(), 1u);              // the data module confirms
    EXPECT_EQ(Param("Custom:Loaded").AsString(), "own.ini;"); // this thread's instance: at once
    EXPECT_TRUE(other.GetModuleParameter("Custom:Loaded").IsNull());
    host.PumpPending(); // PLUGIN_MSG_RELOAD_SETTINGS: the host has the other one reload
    EXPECT_EQ(other.GetModuleParameter("Custom:Loaded").AsString(), ";");
}

} // namespace
