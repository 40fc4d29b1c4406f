// The registry store of the Linux build: a database file, and what a process
// dying inside a transaction leaves (fork()).
#include "platform/Registry.h"

#include "ChildProcess.h"
#include "SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using namespace platform;
using settings_test::RunInChild;
using settings_test::TempFolder;

TEST(RegistryStoreTest, FileThatIsNotAStoreIsRefusedAndLeftAlone) {
    TempFolder folder;
    const auto path = folder / "settings.ini";
    settings_test::WriteText(path, "[Section]\nKey=Value\n");
    RegStatus status{};
    EXPECT_FALSE(RegistryStore::Open(path, &status));
    EXPECT_EQ(status, RegStatus::BadDb);
    EXPECT_EQ(settings_test::ReadText(path), "[Section]\nKey=Value\n");
}

TEST(RegistryPosixTest, ProcessDyingInsideATransactionLeavesTheStoreAsItWas) {
    TempFolder folder;
    const auto file = folder / "registry.sqlite3";
    {
        // No connection crosses the fork: the children open their own.
        auto store = RegistryStore::Open(file);
        RegistryKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, "Software\\App", nullptr, store), RegStatus::Success);
        ASSERT_EQ(key.WriteString("Parser config", "old"), RegStatus::Success);
        ASSERT_EQ(key.WriteDword("Left", 326), RegStatus::Success);
    }
    auto save = [file](bool commit) {
        auto store = RegistryStore::Open(file);
        RegistryKey key;
        if (!store ||
            key.Open(HKEY_LOCAL_MACHINE, "Software\\App", RegAccess::ReadWrite, store) != RegStatus::Success)
            return 2;
        RegistryTransaction tx(store);
        key.WriteString("Parser config", "new");
        key.WriteDword("Left", 1);
        RegistryKey net;
        net.Create(key, "Net");
        // More than the page cache holds, so uncommitted pages reach the log file.
        const std::vector<std::uint8_t> block(64 * 1024, 0xA5);
        for (int i = 0; i < 64; ++i)
            if (net.WriteBinary("Block" + std::to_string(i), block) != RegStatus::Success)
                return 3;
        if (commit && tx.Commit() != RegStatus::Success)
            return 4;
        ::_exit(0); // no destructor runs: the transaction is neither committed nor rolled back
    };

    ASSERT_EQ(RunInChild([&] { return save(false); }), 0);
    auto store = RegistryStore::Open(file);
    ASSERT_TRUE(store);
    RegistryKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\App", RegAccess::Read, store), RegStatus::Success);
    EXPECT_EQ(key.ReadString("Parser config"), "old");
    EXPECT_EQ(key.ReadDword("Left"), 326u);
    EXPECT_FALSE(key.KeyExists("Net"));

    // The same save committed is all there, so the child really wrote.
    key.Close();
    store.reset();
    ASSERT_EQ(RunInChild([&] { return save(true); }), 0);
    store = RegistryStore::Open(file);
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\App", RegAccess::Read, store), RegStatus::Success);
    EXPECT_EQ(key.ReadString("Parser config"), "new");
    EXPECT_TRUE(key.KeyExists("Net"));
}

} // namespace
