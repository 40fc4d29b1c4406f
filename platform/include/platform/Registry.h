// The registry: a tree of keys under five roots, each key holding named,
// typed values, shared by every process of the user.
//
// The settings of a plug-in instance were designed to live in the Windows
// registry. Here the tree is kept in one SQLite database file:
// - the file is $QOR_REGISTRY_FILE when that is set, else
//   <user config folder>/qor-datalogger/registry.sqlite3 (Paths.h), created
//   with its folder on first use;
// - every change is one SQLite transaction (write-ahead log, synchronous
//   commits), so a process that dies while writing leaves the store as it was
//   before that change; a RegistryTransaction makes many changes one;
// - several processes may use the file at once: readers never wait, a writer
//   waits up to 10 s for another writer to finish (then RegStatus::Busy).
//
// Key paths use "\" between names; one leading and one trailing "\" are
// ignored, an empty name inside a path is invalid. Key and value names are
// compared without regard to case (ASCII and the Latin-1 letters, as
// platform::AnsiLowerCase folds them) and keep the spelling they were first
// created with. The empty value name is the key's default value.
//
// All five roots live in the same per-user file and all are writable:
// HKEY_LOCAL_MACHINE is the first root the plug-in module tries and it falls
// back to HKEY_CURRENT_USER only when opening fails, so refusing it would only
// move every setting one root down. Point QOR_REGISTRY_FILE at a shared file
// to give several users one machine-wide store. Tests that need a root to fail
// deny it (SetRegistryRootDenied or $QOR_REGISTRY_DENY_ROOTS); opening any key
// under a denied root then fails with RegStatus::AccessDenied, as a user
// without rights on the machine's hive sees on Windows.
//
// A store connection must not be carried across fork(): a child process opens
// its own (RegistryStore::Open).
#pragma once

#include "platform/Types.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// In the order the settings component numbers them (0..5).
enum class RegistryRoot : std::uint8_t { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig, None };
inline constexpr RegistryRoot HKEY_CLASSES_ROOT = RegistryRoot::ClassesRoot;
inline constexpr RegistryRoot HKEY_CURRENT_USER = RegistryRoot::CurrentUser;
inline constexpr RegistryRoot HKEY_LOCAL_MACHINE = RegistryRoot::LocalMachine;
inline constexpr RegistryRoot HKEY_USERS = RegistryRoot::Users;
inline constexpr RegistryRoot HKEY_CURRENT_CONFIG = RegistryRoot::CurrentConfig;

// The root of a stored index (0..5); nothing for any other number.
QOR_PLATFORM_API std::optional<RegistryRoot> RegistryRootFromIndex(int index);
// "HKEY_LOCAL_MACHINE" etc.; "" for None.
QOR_PLATFORM_API std::string_view RegistryRootName(RegistryRoot root);

// Value types, numbered as Windows numbers them.
enum class RegValueType : DWORD { None = 0, Sz = 1, Binary = 3, Dword = 4 };
inline constexpr RegValueType REG_NONE = RegValueType::None;
inline constexpr RegValueType REG_SZ = RegValueType::Sz;
inline constexpr RegValueType REG_BINARY = RegValueType::Binary;
inline constexpr RegValueType REG_DWORD = RegValueType::Dword;

// Results, numbered as the Windows error codes of the same meaning.
enum class RegStatus : DWORD {
    Success = 0,
    FileNotFound = 2,      // no such key or value
    AccessDenied = 5,      // denied root, or a write through a key opened for reading
    InvalidHandle = 6,     // the key is not open, or the root is None
    InvalidParameter = 87, // malformed path or name, wrong data size for the type
    Busy = 170,            // another process held the store longer than the busy time-out
    BadDb = 1009,          // the file is not a registry store (or is damaged)
    CantOpen = 1011,       // the store file or its folder could not be created or opened
    IoFailed = 1016,       // the store could not be read or written (disk full, I/O error)
    KeyDeleted = 1018,     // the open key was deleted meanwhile
};

enum class RegAccess : std::uint8_t { Read, ReadWrite };

struct RegValue {
    RegValueType Type = RegValueType::None;
    std::vector<std::uint8_t> Data; // REG_SZ: UTF-8 text without terminator; REG_DWORD: 4 bytes little-endian
};

class RegistryStore;
class RegistryTransaction;

// Whether another connection sees a transaction's changes only once it is
// committed. Linux: yes (SQLite). Windows: no: the registry has no
// transactions a program should still use, so a transaction there is an undo
// log: a rollback puts everything back, but until then the changes are seen.
#if defined(_WIN32)
inline constexpr bool kRegistryTransactionsIsolated = false;
#else
inline constexpr bool kRegistryTransactionsIsolated = true;
#endif

// Denies (or allows again) opening keys under a root in this process. Roots
// named in $QOR_REGISTRY_DENY_ROOTS (comma-separated, e.g.
// "HKEY_LOCAL_MACHINE,HKEY_USERS") are denied as well.
QOR_PLATFORM_API void SetRegistryRootDenied(RegistryRoot root, bool denied);
QOR_PLATFORM_API bool IsRegistryRootDenied(RegistryRoot root);

// One open registry database. Connections of one file, in one process or in
// several, see each other's committed changes.
class QOR_PLATFORM_API RegistryStore {
public:
    // Opens (creating the file and its folder) the store in file.
    static std::shared_ptr<RegistryStore> Open(const std::filesystem::path& file,
                                               RegStatus* status = nullptr);
    // The store of DefaultFile(), opened on first use and kept for the process;
    // reopened when DefaultFile() changes. Null when it cannot be opened.
    static std::shared_ptr<RegistryStore> Default(RegStatus* status = nullptr);
    // $QOR_REGISTRY_FILE, else <UserConfigFolder()>/qor-datalogger/registry.sqlite3.
    static std::filesystem::path DefaultFile();

    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    const std::filesystem::path& File() const;

    struct Impl;
    // Only Open can make the token: stores are always shared.
    class Token {
        explicit Token() = default;
        friend struct RegistryAccess;
    };
    RegistryStore(std::unique_ptr<Impl> impl, Token);

private:
    std::unique_ptr<Impl> impl_;
    friend struct RegistryAccess;
};

// An open key (RAII: closed by the destructor). Open and Create replace what
// the object held before; on failure it is left closed.
class QOR_PLATFORM_API RegistryKey {
public:
    RegistryKey() noexcept;
    ~RegistryKey();
    RegistryKey(RegistryKey&&) noexcept;
    RegistryKey& operator=(RegistryKey&&) noexcept;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens an existing key (an empty path opens the root itself); FileNotFound
    // when any key on the path does not exist. A null store means the default.
    RegStatus Open(RegistryRoot root, std::string_view subKey, RegAccess access = RegAccess::ReadWrite,
                   const std::shared_ptr<RegistryStore>& store = {});
    RegStatus Open(const RegistryKey& parent, std::string_view subKey,
                   RegAccess access = RegAccess::ReadWrite);
    // Opens the key, creating it and every missing key above it (one
    // transaction). created, when given, tells whether the last key was new.
    RegStatus Create(RegistryRoot root, std::string_view subKey, bool* created = nullptr,
                     const std::shared_ptr<RegistryStore>& store = {});
    RegStatus Create(const RegistryKey& parent, std::string_view subKey, bool* created = nullptr);
    void Close() noexcept;

    bool IsOpen() const noexcept;
    RegistryRoot Root() const noexcept;
    // The path below the root in the stored spelling, without leading "\".
    const std::string& Path() const noexcept;
    const std::shared_ptr<RegistryStore>& Store() const noexcept;

    // Values.
    RegStatus SetValue(std::string_view name, RegValueType type, std::span<const std::uint8_t> data);
    RegStatus QueryValue(std::string_view name, RegValue* out) const;
    RegStatus DeleteValue(std::string_view name);
    bool ValueExists(std::string_view name) const;
    // The type of a value; nothing when it does not exist.
    std::optional<RegValueType> GetDataType(std::string_view name) const;

    // Typed access. The readers give nothing when the value is missing or has
    // another type (or size): a REG_DWORD is 4 bytes, a float 8 bytes of
    // REG_BINARY holding the IEEE 754 double little-endian, as the Windows
    // settings code wrote it. ReadString gives the text up to the first NUL.
    RegStatus WriteDword(std::string_view name, std::uint32_t value);
    RegStatus WriteInteger(std::string_view name, std::int32_t value) {
        return WriteDword(name, static_cast<std::uint32_t>(value));
    }
    RegStatus WriteString(std::string_view name, std::string_view value);
    RegStatus WriteBinary(std::string_view name, std::span<const std::uint8_t> value);
    RegStatus WriteFloat(std::string_view name, double value);
    std::optional<std::uint32_t> ReadDword(std::string_view name) const;
    std::optional<std::int32_t> ReadInteger(std::string_view name) const {
        auto v = ReadDword(name);
        return v ? std::optional<std::int32_t>(static_cast<std::int32_t>(*v)) : std::nullopt;
    }
    std::optional<std::string> ReadString(std::string_view name) const;
    std::optional<std::vector<std::uint8_t>> ReadBinary(std::string_view name) const;
    std::optional<double> ReadFloat(std::string_view name) const;

    // Names of the direct subkeys (sorted without regard to case, as Windows
    // lists them) and of the values (in creation order).
    RegStatus EnumKeys(std::vector<std::string>* names) const;
    RegStatus EnumValues(std::vector<std::string>* names) const;
    bool HasSubKeys() const;
    bool KeyExists(std::string_view subKey) const;

    // Deletes a subkey with everything below it (one transaction).
    RegStatus DeleteKey(std::string_view subKey);

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Deletes root\subKey with everything below it. The root itself cannot be
// deleted (InvalidParameter).
QOR_PLATFORM_API RegStatus RegDeleteTree(RegistryRoot root, std::string_view subKey,
                                         const std::shared_ptr<RegistryStore>& store = {});
QOR_PLATFORM_API bool RegKeyExists(RegistryRoot root, std::string_view subKey,
                                   const std::shared_ptr<RegistryStore>& store = {});

// Makes every change made through the store, on this thread, until Commit one
// atomic change: all of it is stored, or (Rollback, destruction without
// Commit, the process dying) none of it. A Read transaction gives a stable
// snapshot for a series of reads; changes belong in a Write transaction,
// which waits for other writers when it begins. Transactions nest (the
// inner ones become savepoints). Other threads' use of the store waits until
// the transaction ends, so it belongs to the thread that began it and should
// be short.
class QOR_PLATFORM_API RegistryTransaction {
public:
    enum class Kind : std::uint8_t { Read, Write };
    explicit RegistryTransaction(const std::shared_ptr<RegistryStore>& store = {}, Kind kind = Kind::Write);
    explicit RegistryTransaction(const RegistryKey& key, Kind kind = Kind::Write);
    ~RegistryTransaction();
    RegistryTransaction(const RegistryTransaction&) = delete;
    RegistryTransaction& operator=(const RegistryTransaction&) = delete;

    // Success when the transaction began; nothing is stored through it otherwise.
    RegStatus Status() const noexcept;
    RegStatus Commit();
    void Rollback() noexcept;

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace platform
