#include "platform/Registry.h"

#include "SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using namespace platform;
using settings_test::ScopedEnv;
using settings_test::TempFolder;

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegStatus status{};
        store_ = RegistryStore::Open(File(), &status);
        ASSERT_EQ(status, RegStatus::Success);
        ASSERT_TRUE(store_);
    }

    std::filesystem::path File() const { return folder_ / "registry.sqlite3"; }

    RegistryKey CreateKey(RegistryRoot root, std::string_view path) {
        RegistryKey key;
        EXPECT_EQ(key.Create(root, path, nullptr, store_), RegStatus::Success) << path;
        return key;
    }

    TempFolder folder_;
    std::shared_ptr<RegistryStore> store_;
};

// ---- values

TEST_F(RegistryTest, EachValueTypeRoundTripsWithItsStoredBytes) {
    {
        RegistryKey key = CreateKey(HKEY_CURRENT_USER, "Software\\Company name\\App name");
        EXPECT_EQ(key.WriteDword("Left", 0x04030201u), RegStatus::Success);
        EXPECT_EQ(key.WriteInteger("Offset", -2), RegStatus::Success);
        EXPECT_EQ(key.WriteString("Parser config", "Gr\xC3\xBC\xC3\x9F"
                                                   "e <a b=\"1\"/>"),
                  RegStatus::Success);
        EXPECT_EQ(key.WriteBinary("Blob", std::vector<std::uint8_t>{0x00, 0xFF, 0x10}), RegStatus::Success);
        EXPECT_EQ(key.WriteFloat("Min interval", 0.1), RegStatus::Success);
        EXPECT_EQ(key.WriteString("Empty", ""), RegStatus::Success);
    }
    // A second connection on the same file: what was written is on disk.
    auto other = RegistryStore::Open(File());
    ASSERT_TRUE(other);
    RegistryKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, "Software\\Company name\\App name", RegAccess::Read, other),
              RegStatus::Success);

    RegValue raw;
    ASSERT_EQ(key.QueryValue("Left", &raw), RegStatus::Success);
    EXPECT_EQ(raw.Type, REG_DWORD);
    EXPECT_EQ(raw.Data, (std::vector<std::uint8_t>{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(key.ReadDword("Left"), 0x04030201u);
    EXPECT_EQ(key.ReadInteger("Offset"), -2);
    EXPECT_EQ(key.ReadDword("Offset"), 0xFFFFFFFEu);

    ASSERT_EQ(key.QueryValue("Min interval", &raw), RegStatus::Success);
    EXPECT_EQ(raw.Type, REG_BINARY);
    // 0.1 is 0x3FB999999999999A, stored little-endian.
    EXPECT_EQ(raw.Data, (std::vector<std::uint8_t>{0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F}));
    EXPECT_EQ(key.ReadFloat("Min interval"), 0.1);

    EXPECT_EQ(key.ReadString("Parser config"), "Gr\xC3\xBC\xC3\x9F"
                                               "e <a b=\"1\"/>");
    EXPECT_EQ(key.GetDataType("Parser config"), REG_SZ);
    EXPECT_EQ(key.ReadString("Empty"), "");
    EXPECT_TRUE(key.ValueExists("Empty"));
    EXPECT_EQ(key.ReadBinary("Blob"), (std::vector<std::uint8_t>{0x00, 0xFF, 0x10}));
}

TEST_F(RegistryTest, TypedReadsRefuseOtherTypesAndOverwritingChangesTheType) {
    RegistryKey key = CreateKey(HKEY_CURRENT_USER, "Types");
    ASSERT_EQ(key.WriteString("Text", "12"), RegStatus::Success);
    ASSERT_EQ(key.WriteBinary("Short", std::vector<std::uint8_t>{1, 2, 3, 4}), RegStatus::Success);
    ASSERT_EQ(key.WriteDword("Number", 7), RegStatus::Success);
    EXPECT_EQ(key.ReadDword("Text"), std::nullopt);
    EXPECT_EQ(key.ReadFloat("Short"), std::nullopt); // a float is exactly 8 bytes
    EXPECT_EQ(key.ReadString("Number"), std::nullopt);
    EXPECT_EQ(key.ReadDword("Missing"), std::nullopt);
    EXPECT_EQ(key.GetDataType("Missing"), std::nullopt);
    EXPECT_EQ(key.SetValue("Bad", REG_DWORD, std::vector<std::uint8_t>{1, 2}), RegStatus::InvalidParameter);
    EXPECT_FALSE(key.ValueExists("Bad"));
    // A string value with a terminator (as Windows stores them) reads without it.
    const std::vector<std::uint8_t> terminated{'a', 'b', 0};
    ASSERT_EQ(key.SetValue("Terminated", REG_SZ, terminated), RegStatus::Success);
    EXPECT_EQ(key.ReadString("Terminated"), "ab");

    ASSERT_EQ(key.WriteString("Number", "five"), RegStatus::Success);
    EXPECT_EQ(key.GetDataType("Number"), REG_SZ);
    EXPECT_EQ(key.DeleteValue("Number"), RegStatus::Success);
    EXPECT_EQ(key.DeleteValue("Number"), RegStatus::FileNotFound);
    RegValue v;
    EXPECT_EQ(key.QueryValue("Number", &v), RegStatus::FileNotFound);
}

// The roots named in the environment fail to open, as a denied root does.
TEST_F(RegistryTest, RootsNamedInTheEnvironmentAreDenied) {
    CreateKey(HKEY_LOCAL_MACHINE, "Software\\App");
    ScopedEnv deny("QOR_REGISTRY_DENY_ROOTS", "HKEY_USERS, hklm");
    EXPECT_TRUE(IsRegistryRootDenied(HKEY_USERS));
    EXPECT_FALSE(IsRegistryRootDenied(HKEY_CURRENT_USER));
    RegistryKey key;
    EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\App", RegAccess::Read, store_),
              RegStatus::AccessDenied);
}

// ---- the store file


// ---- transactions and crashes

TEST_F(RegistryTest, TransactionStoresAllOrNothing) {
    auto reader = RegistryStore::Open(File());
    ASSERT_TRUE(reader);
    RegistryKey key = CreateKey(HKEY_LOCAL_MACHINE, "Software\\App");
    ASSERT_EQ(key.WriteDword("Left", 1), RegStatus::Success);
    RegistryKey seen;
    ASSERT_EQ(seen.Open(HKEY_LOCAL_MACHINE, "Software\\App", RegAccess::Read, reader), RegStatus::Success);

    {
        RegistryTransaction tx(store_);
        ASSERT_EQ(tx.Status(), RegStatus::Success);
        ASSERT_EQ(key.WriteDword("Left", 2), RegStatus::Success);
        RegistryKey net;
        ASSERT_EQ(net.Create(key, "Net"), RegStatus::Success);
        ASSERT_EQ(net.WriteDword("Interval", 100), RegStatus::Success);
        // Inside, the changes are visible; to another connection not yet
        // where the store isolates transactions (Windows' registry does not).
        EXPECT_EQ(key.ReadDword("Left"), 2u);
        if (platform::kRegistryTransactionsIsolated) {
            EXPECT_EQ(seen.ReadDword("Left"), 1u);
            EXPECT_FALSE(seen.KeyExists("Net"));
        }
        // Ends without Commit: rolled back.
    }
    EXPECT_EQ(key.ReadDword("Left"), 1u);
    EXPECT_FALSE(key.KeyExists("Net"));

    {
        RegistryTransaction tx(key);
        ASSERT_EQ(key.WriteDword("Left", 3), RegStatus::Success);
        {
            // A nested transaction that fails undoes only its own part.
            RegistryTransaction inner(key);
            ASSERT_EQ(key.WriteDword("Top", 9), RegStatus::Success);
            inner.Rollback();
        }
        RegistryKey net;
        ASSERT_EQ(net.Create(key, "Net"), RegStatus::Success);
        EXPECT_EQ(tx.Commit(), RegStatus::Success);
        EXPECT_EQ(tx.Commit(), RegStatus::InvalidHandle);
    }
    EXPECT_EQ(seen.ReadDword("Left"), 3u);
    EXPECT_FALSE(seen.ValueExists("Top"));
    EXPECT_TRUE(seen.KeyExists("Net"));
}


} // namespace
