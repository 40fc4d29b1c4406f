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
#include <optional>

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
        EXPECT_EQ(tooltest::OwnLines(text, header), tooltest::OwnLines(source, header)) << header;
    if (!HasFailure()) {
        EXPECT_EQ(text, source);
    }
    EXPECT_NE(text.find("  OnCreate = qorPluginCreate\n"), std::string::npos);
    const std::string holder = tooltest::OwnLines(text, "object Properties: TqorStrHolder\n");
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

    std::shared_ptr<TaPlugin> Construct() {
        rec = {};
        rec.RecSize = kPluginCallRecSize;
        TPluginCallRecIntf intf(rec);
        auto module = std::make_shared<TaPlugin>(intf, 0);
        module->AfterConstruction();
        return module;
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

TEST_F(ModuleFormTest, PropertiesComeFromTheResource) {
    Offer(BuiltForm());
    const auto module = Construct();
    ExpectWorkingMap(*module);
    EXPECT_EQ(module->Properties->StreamVersion(), 2); // read, not built
    EXPECT_EQ(module->Name, "aPlugin");
    EXPECT_EQ(module->LogList().GetText(), "");
}

TEST_F(ModuleFormTest, AMissingOrDamagedFormFallsBackToTheBuiltInMapAndSaysSoOnce) {
    const Bytes built = BuiltForm();
    const auto changed = [&built](const std::function<void(TStreamObject&)>& change) {
        TStreamObject form = ReadObjectStream(built);
        change(form);
        return WriteObjectStream(form);
    };
    const std::vector<std::pair<std::string, std::optional<Bytes>>> cases = {
        {"no resource", std::nullopt},
        {"cut before the end", Bytes(built.begin(), built.end() - 1)},
        {"another form", changed([](TStreamObject& f) { f.ClassName = "TfrmOption"; })},
        // OnCreate, after OldCreateOrder.
        {"another handler", changed([](TStreamObject& f) { f.Properties.at(1).Value.Text = "FormCreate"; })},
        // StrData, after Tag, Capacity and InternalVer.
        {"no strings",
         changed([](TStreamObject& f) { f.Children.at(0).Properties.at(3).Value.Items.resize(1); })},
        {"holder of another class", changed([](TStreamObject& f) { f.Children.at(0).ClassName = "TTimer"; })},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        platform::UnregisterModuleResources(PluginLibraryModule());
        if (bytes)
            Offer(*bytes);
        const auto module = Construct();
        ExpectWorkingMap(*module);
        EXPECT_EQ(module->Properties->StreamVersion(), 0);
        EXPECT_EQ(module->ComponentCount(), 2); // Properties and the text resources, nothing half-read
        const std::string log = module->LogList().GetText();
        EXPECT_NE(log.find("TAPLUGIN"), std::string::npos);
        EXPECT_EQ(log.find("TAPLUGIN"), log.rfind("TAPLUGIN")) << log;
    }
}

} // namespace
