// The data module's stored form ("TAPLUGIN"): what the build embeds in the
// plug-in library, read back by Free Pascal's reader, and what the module
// makes of it at construction, damaged or missing included.
#include "engine/PluginDM.h"

#include "common/qorComponentStream.h"
#include "common/qorStrUtils.h"
#include "engine/SettingsMap.h"
#include "platform/Resources.h"
#include "plugins/qorPluginCallRec.h"

#include "../ToolSupport.h"
#include "../platform/SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

namespace {

using namespace qor;
using Bytes = std::vector<std::uint8_t>;

Bytes FileBytes(const std::filesystem::path& file) {
    const std::string text = settings_test::ReadText(file);
    return Bytes(text.begin(), text.end());
}
Bytes BuiltForm() {
    return FileBytes(QOR_MODULE_FORM);
}
std::string SourceText() {
    return settings_test::ReadText(std::filesystem::path(QOR_SOURCE_DIR) / "engine/forms/TaPlugin.txt");
}

// The lines of one object of a text form, without its children.
std::string OwnLines(const std::string& text, const std::string& header) {
    const std::size_t at = text.find(header);
    if (at == std::string::npos)
        return {};
    std::string own;
    for (std::size_t pos = at + header.size(); pos < text.size();) {
        const std::size_t end = std::min(text.find('\n', pos), text.size());
        const std::string line = text.substr(pos, end - pos);
        if (Trim(line) == "end" || Trim(line).starts_with("object "))
            break;
        own += line + "\n";
        pos = end + 1;
    }
    return own;
}

TEST(StoredFormTest, FreePascalsReaderPrintsTheEmbeddedStreamAsItsSource) {
    const std::string tool = tooltest::FindTool("QOR_TPF0_TO_TEXT", "tpf0-to-text");
    if (tool.empty())
        GTEST_SKIP() << "tpf0-to-text not found (set QOR_TPF0_TO_TEXT)";
    // The stream as it sits in the library the host loads.
    const Bytes library = FileBytes(QOR_PLUGIN_FILE);
    const Bytes form = BuiltForm();
    ASSERT_GT(form.size(), 4u);
    const auto at = std::search(library.begin(), library.end(), form.begin(), form.end());
    ASSERT_NE(at, library.end()) << "the stored form is not embedded in " << QOR_PLUGIN_FILE;
    int status = -1;
    const std::string text = tooltest::Run("'" + tool + "' '" + std::string(QOR_PLUGIN_FILE) + "' " +
                                               std::to_string(at - library.begin()) + " 2>&1",
                                           &status);
    ASSERT_EQ(status, 0) << text;

    const std::string source = SourceText();
    for (const char* header : {"object aPlugin: TaPlugin\n", "object Properties: TqorStrHolder\n"})
        EXPECT_EQ(OwnLines(text, header), OwnLines(source, header)) << header;
    if (!HasFailure()) {
        EXPECT_EQ(text, source);
    }
    EXPECT_NE(text.find("  OnCreate = qorPluginCreate\n"), std::string::npos);
    const std::string holder = OwnLines(text, "object Properties: TqorStrHolder\n");
    for (const char* line : {"    Tag = 9999\n", "    Capacity = 12\n", "    InternalVer = 2\n"})
        EXPECT_NE(holder.find(line), std::string::npos) << line;
}

class ModuleFormTest : public ::testing::Test {
protected:
    void TearDown() override { platform::UnregisterModuleResources(PluginLibraryModule()); }

    // Offers bytes as the library's "TAPLUGIN" resource.
    void Offer(Bytes bytes) {
        offered = std::move(bytes);
        entry = {"TAPLUGIN", offered.data(), offered.size()};
        resources = {"1.0.0.0", std::span(&entry, 1)};
        platform::RegisterModuleResources(PluginLibraryModule(), &resources);
    }
    void OfferChanged(const std::function<void(TStreamObject&)>& change) {
        TStreamObject form = ReadObjectStream(BuiltForm());
        change(form);
        Offer(WriteObjectStream(form));
    }

    std::shared_ptr<TaPlugin> Construct() {
        rec = {};
        rec.RecSize = kPluginCallRecSize;
        TPluginCallRecIntf intf(rec);
        auto module = std::make_shared<TaPlugin>(intf, 0);
        module->AfterConstruction();
        return module;
    }

    static std::size_t Count(const std::string& text, std::string_view what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    // What every module has, from the resource or not.
    static void ExpectWorkingMap(TaPlugin& module) {
        ASSERT_NE(module.Properties, nullptr);
        EXPECT_EQ(module.FindComponent("Properties"), module.Properties);
        EXPECT_EQ(module.Properties->Tag, 9999);
        EXPECT_EQ(module.Properties->Strings().Lines(),
                  std::vector<std::string>(kSettingsMap.begin(), kSettingsMap.end()));
        EXPECT_EQ(module.LogTitle, "Ethernet/IP"); // the create handler ran
    }

    TPluginCallRec rec{};
    Bytes offered;
    platform::ResourceEntry entry{};
    platform::ModuleResources resources{};
};

TEST_F(ModuleFormTest, PropertiesComeFromTheResourceAndCarryTheSettings) {
    Offer(BuiltForm());
    const auto module = Construct();
    ExpectWorkingMap(*module);
    EXPECT_EQ(module->Properties->StreamVersion(), 2); // read, not built
    EXPECT_EQ(module->Name, "aPlugin");
    EXPECT_EQ(module->LogList().GetText(), "");

    // The map read from the resource stores and restores the options.
    settings_test::TempFolder folder;
    const std::string ini = folder.Write("settings.ini", ""); // an INI file that exists: no registry read
    TqorParamsList params;
    params.Add("INI-FILE", ini);
    rec.Params = reinterpret_cast<std::uintptr_t>(&params);
    TPluginCallRecIntf intf(rec);
    ASSERT_EQ(module->ExecuteCommand("LOAD", intf), 0);
    ASSERT_NE(module->Cfg(), nullptr);
    module->Cfg()->lblParams_Caption = "<MODBUSRTUQUERY/>";
    module->Cfg()->chkExportAll_Checked = false;
    module->ExecuteCommand("SAVE-SETTINGS-NOW", intf);
    const std::string stored = settings_test::ReadText(ini);
    EXPECT_NE(stored.find("Parser config"), std::string::npos) << stored;
    EXPECT_NE(stored.find("Export at once"), std::string::npos) << stored;
    module->Cfg()->lblParams_Caption.clear();
    module->Cfg()->chkExportAll_Checked = true;
    module->ExecuteCommand("LOAD-SETTINGS-NOW", intf);
    EXPECT_EQ(module->Cfg()->lblParams_Caption, "<MODBUSRTUQUERY/>");
    EXPECT_FALSE(module->Cfg()->chkExportAll_Checked);
}

TEST_F(ModuleFormTest, AMissingOrDamagedFormFallsBackToTheBuiltInMapAndSaysSoOnce) {
    const Bytes built = BuiltForm();
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {"no resources", [] {}},
        {"empty", [&] { Offer({}); }},
        {"signature only", [&] { Offer(Bytes(built.begin(), built.begin() + 4)); }},
        {"cut before the end", [&] { Offer(Bytes(built.begin(), built.end() - 1)); }},
        {"another form", [&] { OfferChanged([](TStreamObject& f) { f.ClassName = "TfrmOption"; }); }},
        {"unknown handler",
         [&] {
             OfferChanged([](TStreamObject& f) {
                 for (TStreamProperty& p : f.Properties)
                     if (p.Name == "OnCreate")
                         p.Value = TStreamValue::Identifier("FormCreate");
             });
         }},
        {"no create handler",
         [&] {
             OfferChanged([](TStreamObject& f) {
                 std::erase_if(f.Properties, [](const TStreamProperty& p) { return p.Name == "OnCreate"; });
             });
         }},
        {"no strings",
         [&] {
             OfferChanged([](TStreamObject& f) {
                 std::erase_if(f.Children.at(0).Properties,
                               [](const TStreamProperty& p) { return p.Name == "StrData"; });
             });
         }},
        {"holder of another class",
         [&] { OfferChanged([](TStreamObject& f) { f.Children.at(0).ClassName = "TTimer"; }); }},
        {"unknown holder property",
         [&] {
             OfferChanged([](TStreamObject& f) {
                 f.Children.at(0).Properties.push_back({"Sorted", TStreamValue::Str("yes")});
             });
         }},
    };
    for (const auto& [name, offer] : cases) {
        SCOPED_TRACE(name);
        platform::UnregisterModuleResources(PluginLibraryModule());
        offer();
        const auto module = Construct();
        ExpectWorkingMap(*module);
        EXPECT_EQ(module->Properties->StreamVersion(), 0);
        EXPECT_EQ(module->ComponentCount(), 2); // Properties and the text resources, nothing half-read
        const std::string log = module->LogList().GetText();
        EXPECT_EQ(Count(log, "TAPLUGIN"), 1u) << log;
    }
}

} // namespace
