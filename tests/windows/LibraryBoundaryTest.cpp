// The plug-in library as a host meets it: loaded by its file name, its eight
// exports found by their plain names and called through the boundary's
// function pointer types (standard call on 32-bit x86, as the host calls
// them). A wrong calling convention or a decorated name fails here, not in a
// customer's host.
#include "platform/Module.h"
#include "plugins/PluginBoundary.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace qor;

class LibraryBoundaryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { library_ = platform::LoadLibrary(QOR_PLUGIN_FILE); }
    static void TearDownTestSuite() {
        if (library_)
            platform::FreeLibrary(library_);
    }

    template <typename F>
    static F Export(const char* name) {
        return reinterpret_cast<F>(platform::GetProcAddress(library_, name));
    }

    static TPluginCallRec Record(std::uintptr_t instance = 0) {
        TPluginCallRec rec{};
        rec.RecSize = kPluginCallRecSize;
        rec.Instance = instance;
        return rec;
    }

    static inline platform::HMODULE library_ = 0;
};

TEST_F(LibraryBoundaryTest, EveryExportIsFoundByItsPlainName) {
    ASSERT_NE(library_, 0u) << "cannot load " << QOR_PLUGIN_FILE;
    for (const char* name : {kExportCreatePluginInstance, kExportFreePluginInstance, kExportGetModuleInfo,
                             kExportExecutePluginCommand, kExportProcessData, kExportGetLogEx,
                             kExportGetOptionsDialog, kExportShowOptionsDialog})
        EXPECT_NE(platform::GetProcAddress(library_, name), nullptr) << name;
    // A 32-bit build would also export a decorated name when the export list
    // were wrong: the host looks the plain one up, and nothing else is there.
    EXPECT_EQ(platform::GetProcAddress(library_, "CreatePluginInstance@4"), nullptr);
    EXPECT_EQ(platform::GetProcAddress(library_, "_CreatePluginInstance@4"), nullptr);
}

TEST_F(LibraryBoundaryTest, AnInstanceLivesThroughEveryExport) {
    ASSERT_NE(library_, 0u);
    const auto create = Export<TCreatePluginInstanceFn>(kExportCreatePluginInstance);
    const auto freeInstance = Export<TFreePluginInstanceFn>(kExportFreePluginInstance);
    const auto info = Export<TGetModuleInfoFn>(kExportGetModuleInfo);
    const auto execute = Export<TExecutePluginCommandFn>(kExportExecutePluginCommand);
    const auto process = Export<TProcessDataFn>(kExportProcessData);
    const auto log = Export<TGetLogExFn>(kExportGetLogEx);
    const auto getDialog = Export<TGetOptionsDialogFn>(kExportGetOptionsDialog);
    const auto showDialog = Export<TShowOptionsDialogFn>(kExportShowOptionsDialog);
    ASSERT_TRUE(create && freeInstance && info && execute && process && log && getDialog && showDialog);

    TPluginCallRec rec = Record();
    ASSERT_EQ(create(&rec), 0);
    const std::uintptr_t instance = rec.Instance;
    ASSERT_NE(instance, 0u);
    // The callee popped exactly its arguments: a mismatch of the calling
    // convention would have broken the stack by now, and this record (on the
    // caller's frame) would read back differently.
    EXPECT_EQ(rec.RecSize, kPluginCallRecSize);

    // Module information: the needed size first, then the whole.
    std::uint32_t needed = 0;
    TPluginModuleInfo small{};
    small.Size = 16;
    TPluginCallRec infoRec = Record(instance);
    EXPECT_FALSE(info(&infoRec, &small, &needed));
    ASSERT_GT(needed, kPluginModuleInfoFixedSize);
    std::vector<std::uint8_t> buffer(needed);
    auto* full = reinterpret_cast<TPluginModuleInfo*>(buffer.data());
    full->Size = needed;
    EXPECT_TRUE(info(&infoRec, full, &needed));
    EXPECT_EQ(full->InterfaceVersion, kModuleInterfaceVersion);
    EXPECT_FLOAT_EQ(full->VersionNumber, 5.0f);
    EXPECT_EQ(full->DescriptionText, reinterpret_cast<std::uintptr_t>(buffer.data()) + kPluginModuleInfoFixedSize);

    // Records the plug-in must refuse, through the same pointers.
    TPluginCallRec wrongSize = Record(instance);
    wrongSize.RecSize = kPluginCallRecSize - 1;
    EXPECT_EQ(execute(&wrongSize), -1);
    EXPECT_EQ(process(&wrongSize), -1);
    TPluginCallRec noCommand = Record(instance);
    EXPECT_EQ(execute(&noCommand), -1);

    // The log export with nowhere to copy to copies nothing.
    TPluginCallRec logRec = Record(instance);
    EXPECT_EQ(log(&logRec), 0);

    // The options dialog's form: too small a buffer tells the size needed.
    std::array<std::uint8_t, 8> tiny{};
    TPluginCallRec dialog = Record(instance);
    dialog.Value1.Size = tiny.size();
    dialog.Value1.Data = reinterpret_cast<std::uintptr_t>(tiny.data());
    getDialog(&dialog);
    EXPECT_EQ(dialog.Value2.Data, kOptionsDialogBufferTooSmall);
    const std::uint32_t total = dialog.Value2.Size;
    ASSERT_GT(total, 24u);
    std::vector<std::uint8_t> form(total);
    dialog = Record(instance);
    dialog.Value1.Size = total;
    dialog.Value1.Data = reinterpret_cast<std::uintptr_t>(form.data());
    getDialog(&dialog);
    EXPECT_EQ(dialog.Value2.Data, total);
    // Block 1, the layout, is a binary component stream.
    std::uint32_t offset1 = 0;
    std::memcpy(&offset1, form.data(), 4);
    ASSERT_EQ(offset1, 24u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(form.data() + 24), 4), "TPF0");

    TPluginCallRec show = Record(instance + 1);
    showDialog(&show);
    EXPECT_EQ(show.Value2.Data, kShowDialogUnknownInstance);

    TPluginCallRec freeRec = Record(instance);
    EXPECT_EQ(freeInstance(&freeRec), 0);
    EXPECT_EQ(freeInstance(&freeRec), -1); // already gone
    TPluginCallRec shutdown = Record();
    shutdown.Value1.Type = static_cast<std::uint8_t>(TPluginValueType::Command);
    shutdown.Value1.Data = kGlobalShutdownCode;
    EXPECT_EQ(freeInstance(&shutdown), 0);
    EXPECT_EQ(freeInstance(&shutdown), 0); // harmless when repeated
}

} // namespace
