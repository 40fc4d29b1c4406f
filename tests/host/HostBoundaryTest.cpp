// The plug-in library through its real boundary: loaded with dlopen by the
// host library, driven only through the eight exports.
#include "host/Host.h"
#include "host/PluginInstance.h"
#include "host/PluginLibrary.h"
#include "platform/Resources.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

using namespace host;
using qor::TPluginCallRec;

const char* const kParserItems =
    "Full data packet|FULL_DATA_PACKET|String|\r\n"
    "Data packet|DATA_PACKET|String|\r\n"
    "Datetime stamp|DATE_TIME_STAMP|DateTime|\r\n"
    "Data source ID|DATA_SOURCE_ID|Integer|\r\n"
    "Data source name|DATA_SOURCE_NAME|String|\r\n"
    "Data source long name|DATA_SOURCE_FULL_NAME|String|\r\n"
    "EIP device ID|EIP_DEVICE_ID|Integer|";

const char* const kDescription =
    "Ethernet/IP\r\nEthernet/IP [AB Micro 800]\r\nEthernet/IP [Logix 5550]\r\nEthernet/IP [MicroLogix 1400]";

class PluginBoundaryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(instance.Create(), 0); }

    THost host;
    TPluginLibrary library{QOR_PLUGIN_PATH};
    const TPluginExports& x = library.Exports();
    TPluginInstance instance{library, host, 1};
};

TEST_F(PluginBoundaryTest, TheLibraryRegistersItsFileVersionAtStart) {
    EXPECT_EQ(platform::GetFileVersion(library.Handle()), QOR_FILE_VERSION);
}

TEST_F(PluginBoundaryTest, CreateAndFreeKnowOnlyLiveInstancesAndShutdownIsHarmlessTwice) {
    TPluginCallRec named{};
    named.RecSize = qor::kPluginCallRecSize;
    named.Instance = 0x1000; // create refuses a record that already names an instance
    EXPECT_EQ(x.CreatePluginInstance(&named), -1);
    EXPECT_EQ(+named.Instance, 0x1000u);
    EXPECT_EQ(x.FreePluginInstance(&named), -1);

    TPluginCallRec rec = instance.NewRecord();
    rec.Instance += 1;
    EXPECT_EQ(x.FreePluginInstance(&rec), -1);
    rec = instance.NewRecord();
    EXPECT_EQ(x.FreePluginInstance(&rec), 0);
    EXPECT_EQ(x.FreePluginInstance(&rec), -1); // freed: unknown now

    TPluginCallRec shutdown{};
    shutdown.RecSize = qor::kPluginCallRecSize;
    shutdown.Value1.Type = 6;
    shutdown.Value1.Data = 65281;
    EXPECT_EQ(x.FreePluginInstance(&shutdown), 0);
    EXPECT_EQ(x.FreePluginInstance(&shutdown), 0);
}

TEST_F(PluginBoundaryTest, ModuleInformationFollowsTheBufferSize) {
    const std::uint32_t fixed = qor::kPluginModuleInfoFixedSize; // 41 on x86-64, 33 on 32-bit
    const std::uint32_t needed = fixed + static_cast<std::uint32_t>(std::strlen(kDescription));

    std::vector<std::uint8_t> buffer(256, 0xEE);
    auto* info = reinterpret_cast<qor::TPluginModuleInfo*>(buffer.data());
    TPluginCallRec rec = instance.NewRecord();
    std::uint32_t size = 0;

    // Below the fixed part: only the needed size is written.
    info->Size = 32;
    EXPECT_FALSE(x.GetModuleInfo(&rec, info, &size));
    EXPECT_EQ(size, needed);
    EXPECT_EQ(buffer[4], 0xEE);
    info->Size = fixed - 1;
    EXPECT_FALSE(x.GetModuleInfo(&rec, info, &size));
    EXPECT_EQ(buffer[fixed - 1], 0xEE);

    // The fixed part only: fields filled, no texts.
    info->Size = fixed;
    EXPECT_FALSE(x.GetModuleInfo(&rec, info, &size));
    EXPECT_EQ(+info->Size, fixed);
    EXPECT_EQ(+info->TypeAndCapabilities, 0x00040003u);
    EXPECT_EQ(+info->InterfaceVersion, 4u);
    EXPECT_EQ(+info->VersionNumber, 5.0f);
    EXPECT_EQ(+info->InfoFlag, 1);
    EXPECT_EQ(+info->DescriptionLength, 0u);
    EXPECT_EQ(+info->DescriptionText, 0u);
    EXPECT_EQ(buffer[fixed], 0xEE);

    // Exactly the needed size: the texts follow the fixed part.
    info->Size = needed;
    ASSERT_TRUE(x.GetModuleInfo(&rec, info, &size));
    EXPECT_EQ(+info->DescriptionLength, std::strlen(kDescription));
    EXPECT_EQ(+info->DescriptionText, reinterpret_cast<std::uintptr_t>(buffer.data() + fixed));
    EXPECT_EQ(std::memcmp(buffer.data() + fixed, kDescription, std::strlen(kDescription)), 0);
    // No custom commands: an empty text leaves its two fields 0.
    EXPECT_EQ(+info->CustomCommandsLength, 0u);
    EXPECT_EQ(+info->CustomCommandsText, 0u);
    EXPECT_EQ(buffer[needed], 0xEE);

    rec.Instance = 0;
    EXPECT_FALSE(x.GetModuleInfo(&rec, info, &size));
}

TEST_F(PluginBoundaryTest, RecordsOfAnotherSizeAndUnknownInstancesAreRefused) {
    qor::TqorParamsList params;
    params.Add("COMMAND", "ITEMS");
    params.Add("RESULT", qor::Variant());
    TPluginCallRec rec = instance.NewRecord();
    rec.Params = reinterpret_cast<std::uintptr_t>(&params);
    rec.RecSize = qor::kPluginCallRecSize - 1;
    EXPECT_EQ(x.ExecutePluginCommand(&rec), -1);
    EXPECT_EQ(x.ProcessData(&rec), -1);
    rec.RecSize = qor::kPluginCallRecSize;
    EXPECT_EQ(x.ExecutePluginCommand(&rec), 0);
    rec.Instance = 0;
    EXPECT_EQ(x.ExecutePluginCommand(&rec), -1);
    EXPECT_EQ(x.ProcessData(&rec), -1);
    EXPECT_EQ(x.GetLogEx(&rec), 0);
    EXPECT_EQ(+rec.Value2.Type, 5);
    EXPECT_EQ(+rec.Value2.Data, 0u);
    EXPECT_EQ(x.ExecutePluginCommand(nullptr), -1);
}

TEST_F(PluginBoundaryTest, LoadItemsAndUnloadInBothListForms) {
    for (TParamsForm form : {TParamsForm::Interface, TParamsForm::RawList}) {
        TPluginInstance each(library, host, 3);
        each.ParamsForm = form;
        ASSERT_EQ(each.Create(), 0);
        TLoadSettings settings;
        settings.ApplicationName = "test";
        settings.DataSourceType = "Ethernet/IP [Logix 5550]";
        EXPECT_EQ(each.Load(settings), 0);
        auto items = each.Items();
        ASSERT_TRUE(items);
        EXPECT_EQ(*items, kParserItems);
        // The answer goes only into a RESULT item the host provides.
        qor::TqorParamsList withoutResult;
        EXPECT_EQ(each.Execute("ITEMS", withoutResult), -1);
        EXPECT_EQ(withoutResult.Count(), 1); // COMMAND only
        EXPECT_EQ(each.Unload(), 0);
        EXPECT_EQ(each.Free(), 0);
    }
}

TEST_F(PluginBoundaryTest, TheDialogTellsTheSizeItNeedsAndIsConfirmed) {
    // No form name (a zero byte first), then bytes the plug-in must leave alone.
    std::vector<std::uint8_t> buffer = {0, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5};
    const std::vector<std::uint8_t> before = buffer;
    TPluginCallRec rec = instance.NewRecord();
    rec.Value1.Size = 8;
    rec.Value1.Data = reinterpret_cast<std::uintptr_t>(buffer.data());
    x.GetOptionsDialog(&rec);
    EXPECT_EQ(+rec.Value2.Type, 5);
    EXPECT_EQ(+rec.Value2.Data, 3u); // too small: the buffer is left alone
    EXPECT_GT(+rec.Value2.Size, 24u);
    EXPECT_EQ(buffer, before);
    x.ShowOptionsDialog(&rec);
    EXPECT_EQ(+rec.Value2.Size, 4u);
    EXPECT_EQ(+rec.Value2.Data, 1u);
    rec.Instance = 0;
    x.GetOptionsDialog(&rec);
    EXPECT_EQ(+rec.Value2.Data, 1u);
    x.ShowOptionsDialog(&rec);
    EXPECT_EQ(+rec.Value2.Data, 2u);
}

TEST_F(PluginBoundaryTest, ReceivedBytesAreTakenByAKnownLoadedInstanceOnly) {
    const std::uint8_t bytes[] = {0x65, 0x00, 0x04, 0x00};
    EXPECT_EQ(instance.ProcessData(1, 2, bytes), -1); // not loaded: nowhere to go
    ASSERT_EQ(instance.Load({}), 0);
    EXPECT_EQ(instance.ProcessData(1, 2, bytes), 0); // no such data source: taken and dropped
    instance.Unload();
    instance.Free();
    EXPECT_EQ(instance.ProcessData(1, 2, bytes), -1);
}

std::string DataTypeList(TPluginInstance& instance) {
    qor::TqorParamsList params;
    params.Add("EVENT-TYPE", "GetDataTypeList");
    params.Add("RESULT", "");
    EXPECT_EQ(instance.Execute("EVENT", params), 0);
    return params.GetValue("RESULT").AsString();
}

TEST_F(PluginBoundaryTest, TheDataTypeListSpeaksTheModulesLanguage) {
    EXPECT_EQ(DataTypeList(instance),
              "None==T00||Signed Decimal (8 Bit)==TC2||Unsigned Decimal (8 Bit)==TC6||"
              "Signed Decimal (16 Bit)==TC3||Unsigned Decimal (16 Bit)==TC7||"
              "Signed Decimal (32 Bit)==TC4||Unsigned Decimal (32 Bit)==TC8||"
              "Signed Decimal (64 Bit)==TC5||Unsigned Decimal (64 Bit)==TC9||Float (32 Bit)==TCA||"
              "Float (64 Bit)==TCB||Boolean==TC1||String==TD0||Time==TCC||Date==TCD||DateTime==TCF||"
              "Structure==T2A0");
    // A copy of the library with a language file of its own beside it.
    const auto dir = std::filesystem::temp_directory_path() / ("qor-lng-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto copy = dir / std::filesystem::path(QOR_PLUGIN_PATH).filename();
    std::filesystem::copy_file(QOR_PLUGIN_PATH, copy, std::filesystem::copy_options::overwrite_existing);
    std::ofstream(std::filesystem::path(copy).replace_extension(".lng"))
        << "[Languages]\n$EN = #1\n$DE = #2 (Default)\nDefault = DE\n\nEN:>Bit\nDE:>Bits\n\n";
    {
        TPluginLibrary translated(copy.string());
        TPluginInstance other(translated, host, 2);
        ASSERT_EQ(other.Create(), 0);
        const std::string list = DataTypeList(other);
        EXPECT_NE(list.find("Signed Decimal (8 Bits)==TC2"), std::string::npos) << list;
        EXPECT_NE(list.find("Float (64 Bits)==TCB"), std::string::npos) << list;
        EXPECT_EQ(list.find(" Bit)"), std::string::npos) << list;
        EXPECT_EQ(other.Free(), 0);
    }
    std::filesystem::remove_all(dir);
}

} // namespace
