#include "platform/Registry.h"

#include "platform/Paths.h"
#include "platform/Text.h"

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>

namespace platform {
namespace {

// "QOR1": marks the file as a registry store, so a foreign database is refused
// rather than written into.
constexpr std::int32_t kApplicationId = 0x514F5231;
constexpr std::int32_t kSchemaVersion = 1;
// A writer waits this long for another process's transaction to end.
constexpr int kBusyTimeoutMs = 10000;
// The limits Windows puts on names.
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxValueName = 16383;

constexpr std::array<std::string_view, 6> kRootNames = {
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS", "HKEY_CURRENT_CONFIG", ""};
constexpr std::array<std::string_view, 5> kRootShortNames = {"HKCR", "HKCU", "HKLM", "HKU", "HKCC"};

// Roots are the first five rows of the key table, in index order.
constexpr std::int64_t RootId(RegistryRoot root) {
    return static_cast<std::int64_t>(root) + 1;
}

const char* const kSchema = R"sql(
CREATE TABLE keys(
  id     INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,
  name   TEXT NOT NULL,
  fold   TEXT NOT NULL,
  UNIQUE(parent, fold));
CREATE TABLE vals(
  key  INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  fold TEXT NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  UNIQUE(key, fold));
INSERT INTO keys(id, parent, name, fold) VALUES
  (1, NULL, 'HKEY_CLASSES_ROOT', 'hkey_classes_root'),
  (2, NULL, 'HKEY_CURRENT_USER', 'hkey_current_user'),
  (3, NULL, 'HKEY_LOCAL_MACHINE', 'hkey_local_machine'),
  (4, NULL, 'HKEY_USERS', 'hkey_users'),
  (5, NULL, 'HKEY_CURRENT_CONFIG', 'hkey_current_config');
)sql";

std::atomic<unsigned> deniedRoots{0};

RegStatus FromSqlite(int rc) {
    if (rc == SQLITE_CONSTRAINT_FOREIGNKEY)
        return RegStatus::KeyDeleted;
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return RegStatus::Success;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return RegStatus::Busy;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        return RegStatus::BadDb;
    case SQLITE_CANTOPEN:
        return RegStatus::CantOpen;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return RegStatus::AccessDenied;
    case SQLITE_CONSTRAINT:
    case SQLITE_TOOBIG:
    case SQLITE_RANGE:
    case SQLITE_MISUSE:
        return RegStatus::InvalidParameter;
    default:
        return RegStatus::IoFailed;
    }
}

class Statement {
public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int PrepareResult() const { return rc_; }
    void Bind(int index, std::int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
    void Bind(int index, std::string_view text) {
        // A non-null pointer even for "", so the text binds as '' and not NULL.
        sqlite3_bind_text64(stmt_, index, text.empty() ? "" : text.data(), text.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8);
    }
    void BindBlob(int index, std::span<const std::uint8_t> data) {
        if (data.empty())
            sqlite3_bind_zeroblob(stmt_, index, 0);
        else
            sqlite3_bind_blob64(stmt_, index, data.data(), data.size(), SQLITE_TRANSIENT);
    }
    int Step() { return rc_ == SQLITE_OK ? sqlite3_step(stmt_) : rc_; }
    std::int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
    std::string Text(int column) {
        const auto* p = sqlite3_column_text(stmt_, column);
        const int n = sqlite3_column_bytes(stmt_, column);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n)) : std::string();
    }
    std::vector<std::uint8_t> Blob(int column) {
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
        const int n = sqlite3_column_bytes(stmt_, column);
        return p ? std::vector<std::uint8_t>(p, p + n) : std::vector<std::uint8_t>();
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

int Exec(sqlite3* db, const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
}

std::int64_t PragmaInt(sqlite3* db, const char* sql, int* rc) {
    Statement st(db, sql);
    *rc = st.Step();
    if (*rc != SQLITE_ROW)
        return 0;
    *rc = SQLITE_OK;
    return st.Int(0);
}

// Splits a key path into its names; one leading and one trailing "\" are
// allowed, an empty or overlong name inside is not.
bool SplitPath(std::string_view path, std::vector<std::string_view>* parts) {
    if (!path.empty() && path.front() == '\\')
        path.remove_prefix(1);
    if (!path.empty() && path.back() == '\\')
        path.remove_suffix(1);
    if (path.empty())
        return true;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find('\\', start);
        const std::string_view name = path.substr(start, end == std::string_view::npos ? end : end - start);
        if (name.empty() || name.size() > kMaxKeyName)
            return false;
        parts->push_back(name);
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

bool RootDeniedByEnvironment(RegistryRoot root) {
    const char* v = std::getenv("QOR_REGISTRY_DENY_ROOTS");
    if (!v || !*v)
        return false;
    const auto index = static_cast<std::size_t>(root);
    std::string_view list(v);
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        while (!item.empty() && item.front() == ' ')
            item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ')
            item.remove_suffix(1);
        const std::string upper = AnsiUpperCase(item);
        if (upper == kRootNames[index] || upper == kRootShortNames[index])
            return true;
    }
    return false;
}

} // namespace

struct RegistryStore::Impl {
    std::filesystem::path file;
    sqlite3* db = nullptr;
    // Serialises the connection between threads and keeps a transaction's
    // statements together: a transaction holds it from begin to end.
    std::recursive_mutex mutex;
    int depth = 0; // open transactions and savepoints (under mutex)

    ~Impl() { sqlite3_close_v2(db); }

    // A failure inside a transaction can make SQLite roll the whole of it back;
    // the statements after that would each commit on their own, so nothing more
    // is written until the transaction object ends.
    bool TransactionLost() const { return depth > 0 && sqlite3_get_autocommit(db) != 0; }

    bool KeyExists(std::int64_t id) {
        Statement st(db, "SELECT 1 FROM keys WHERE id = ?");
        st.Bind(1, id);
        return st.Step() == SQLITE_ROW;
    }

    // "Not found" for a value or subkey of a key, or the key itself is gone.
    RegStatus Missing(std::int64_t id) {
        return KeyExists(id) ? RegStatus::FileNotFound : RegStatus::KeyDeleted;
    }
};

using StoreImpl = RegistryStore::Impl;

// Reaches the private parts of the store class for the helpers below.
struct RegistryAccess {
    static StoreImpl& ImplOf(const RegistryStore& store) { return *store.impl_; }
    static std::shared_ptr<RegistryStore> MakeStore(std::unique_ptr<StoreImpl> impl) {
        return std::make_shared<RegistryStore>(std::move(impl), RegistryStore::Token{});
    }
};

namespace {

// One transaction or savepoint on a store, ended by Commit or by rollback.
class Transaction {
public:
    Transaction(StoreImpl& store, bool write) : store_(store), lock_(store.mutex) {
        if (store.TransactionLost()) {
            // A savepoint now would begin a new transaction of its own.
            status_ = RegStatus::IoFailed;
            return;
        }
        const int rc = store.depth == 0 ? Exec(store.db, write ? "BEGIN IMMEDIATE" : "BEGIN")
                                        : Exec(store.db, "SAVEPOINT sp" + std::to_string(store.depth));
        status_ = FromSqlite(rc);
        if (status_ == RegStatus::Success)
            level_ = ++store.depth;
    }
    ~Transaction() { Rollback(); }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    RegStatus Status() const { return status_; }

    RegStatus Commit() {
        if (level_ == 0)
            return status_ == RegStatus::Success ? RegStatus::InvalidHandle : status_;
        sqlite3* db = store_.db;
        RegStatus result;
        if (level_ == 1) {
            if (sqlite3_get_autocommit(db)) {
                result = RegStatus::IoFailed; // rolled back by SQLite after a failure
            } else {
                result = FromSqlite(Exec(db, "COMMIT"));
                if (result != RegStatus::Success && !sqlite3_get_autocommit(db))
                    Exec(db, "ROLLBACK");
            }
        } else {
            result = store_.TransactionLost()
                         ? RegStatus::IoFailed
                         : FromSqlite(Exec(db, "RELEASE sp" + std::to_string(level_ - 1)));
            if (result != RegStatus::Success)
                RollbackSavepoint();
        }
        End();
        return result;
    }

    void Rollback() noexcept {
        if (level_ == 0)
            return;
        if (level_ == 1) {
            if (!sqlite3_get_autocommit(store_.db))
                sqlite3_exec(store_.db, "ROLLBACK", nullptr, nullptr, nullptr);
        } else {
            RollbackSavepoint();
        }
        End();
    }

private:
    void RollbackSavepoint() noexcept {
        if (store_.TransactionLost())
            return;
        char sql[64];
        std::snprintf(sql, sizeof sql, "ROLLBACK TO sp%d; RELEASE sp%d", level_ - 1, level_ - 1);
        sqlite3_exec(store_.db, sql, nullptr, nullptr, nullptr);
    }
    void End() noexcept {
        --store_.depth;
        level_ = 0;
    }

    StoreImpl& store_;
    std::unique_lock<std::recursive_mutex> lock_;
    RegStatus status_ = RegStatus::Success;
    int level_ = 0;
};

enum class Layout : std::uint8_t { Ours, Empty, Foreign };

// What the file holds; fills rc with the SQLite result.
Layout ReadLayout(sqlite3* db, int* rc) {
    const std::int64_t appId = PragmaInt(db, "PRAGMA application_id", rc);
    const std::int64_t version = *rc == SQLITE_OK ? PragmaInt(db, "PRAGMA user_version", rc) : 0;
    const std::int64_t tables =
        *rc == SQLITE_OK ? PragmaInt(db, "SELECT count(*) FROM sqlite_master", rc) : 0;
    if (appId == kApplicationId && version == kSchemaVersion)
        return Layout::Ours;
    return appId == 0 && version == 0 && tables == 0 ? Layout::Empty : Layout::Foreign;
}

std::string JournalMode(sqlite3* db) {
    Statement st(db, "PRAGMA journal_mode");
    return st.Step() == SQLITE_ROW ? st.Text(0) : std::string();
}

// Prepares a connection. Opening an existing store takes no lock that another
// process's write transaction holds, so a process can open the store while
// another saves.
RegStatus InitSchema(sqlite3* db) {
    // Per connection: cascades delete subkeys and values with their key; FULL
    // makes a commit durable once it returns.
    int rc = Exec(db, "PRAGMA foreign_keys = ON; PRAGMA synchronous = FULL");
    if (rc != SQLITE_OK)
        return FromSqlite(rc);
    // The write-ahead log lets readers of other processes go on while one
    // writes. The mode stays in the file, so only a new file is switched;
    // should the file system refuse it, the rollback journal still keeps every
    // change atomic.
    if (JournalMode(db) != "wal")
        Exec(db, "PRAGMA journal_mode = WAL");

    Layout layout = ReadLayout(db, &rc);
    if (rc != SQLITE_OK)
        return FromSqlite(rc);
    if (layout != Layout::Empty)
        return layout == Layout::Ours ? RegStatus::Success : RegStatus::BadDb;

    // A new file: make the tables, unless another process got there first.
    rc = Exec(db, "BEGIN IMMEDIATE");
    if (rc != SQLITE_OK)
        return FromSqlite(rc);
    layout = ReadLayout(db, &rc);
    RegStatus status = FromSqlite(rc);
    if (status == RegStatus::Success && layout == Layout::Empty) {
        rc = Exec(db, kSchema);
        if (rc == SQLITE_OK)
            rc = Exec(db, "PRAGMA application_id = " + std::to_string(kApplicationId) +
                              "; PRAGMA user_version = " + std::to_string(kSchemaVersion));
        status = FromSqlite(rc);
    } else if (status == RegStatus::Success && layout == Layout::Foreign) {
        status = RegStatus::BadDb;
    }
    if (status == RegStatus::Success)
        status = FromSqlite(Exec(db, "COMMIT"));
    if (status != RegStatus::Success && !sqlite3_get_autocommit(db))
        Exec(db, "ROLLBACK");
    return status;
}

} // namespace

std::optional<RegistryRoot> RegistryRootFromIndex(int index) {
    if (index < 0 || index > static_cast<int>(RegistryRoot::None))
        return std::nullopt;
    return static_cast<RegistryRoot>(index);
}

std::string_view RegistryRootName(RegistryRoot root) {
    const auto index = static_cast<std::size_t>(root);
    return index < kRootNames.size() ? kRootNames[index] : std::string_view{};
}

void SetRegistryRootDenied(RegistryRoot root, bool denied) {
    const unsigned bit = 1u << static_cast<unsigned>(root);
    if (denied)
        deniedRoots.fetch_or(bit);
    else
        deniedRoots.fetch_and(~bit);
}

bool IsRegistryRootDenied(RegistryRoot root) {
    return (deniedRoots.load() & (1u << static_cast<unsigned>(root))) != 0 || RootDeniedByEnvironment(root);
}

// ---- RegistryStore

RegistryStore::RegistryStore(std::unique_ptr<Impl> impl, Token) : impl_(std::move(impl)) {}
RegistryStore::~RegistryStore() = default;

const std::filesystem::path& RegistryStore::File() const {
    return impl_->file;
}

std::shared_ptr<RegistryStore> RegistryStore::Open(const std::filesystem::path& file, RegStatus* status) {
    RegStatus result = RegStatus::Success;
    std::shared_ptr<RegistryStore> store;
    try {
        std::error_code ec;
        if (file.empty())
            result = RegStatus::CantOpen;
        else if (file.has_parent_path())
            std::filesystem::create_directories(file.parent_path(), ec);
        if (ec)
            result = RegStatus::CantOpen;
        auto impl = std::make_unique<Impl>();
        impl->file = file;
        if (result == RegStatus::Success) {
            const int rc =
                sqlite3_open_v2(file.c_str(), &impl->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
            result = rc == SQLITE_OK ? RegStatus::Success : FromSqlite(rc);
        }
        if (result == RegStatus::Success) {
            sqlite3_extended_result_codes(impl->db, 1);
            sqlite3_busy_timeout(impl->db, kBusyTimeoutMs);
            result = InitSchema(impl->db);
        }
        if (result == RegStatus::Success) {
            store = RegistryAccess::MakeStore(std::move(impl));
        }
    } catch (const std::bad_alloc&) {
        result = RegStatus::IoFailed;
    } catch (const std::filesystem::filesystem_error&) {
        result = RegStatus::CantOpen;
    }
    if (status)
        *status = result;
    return store;
}

std::filesystem::path RegistryStore::DefaultFile() {
    const char* v = std::getenv("QOR_REGISTRY_FILE");
    if (v && *v)
        return v;
    const auto config = UserConfigFolder();
    return config.empty() ? config : config / "qor-datalogger" / "registry.sqlite3";
}

std::shared_ptr<RegistryStore> RegistryStore::Default(RegStatus* status) {
    static std::mutex mutex;
    static std::shared_ptr<RegistryStore> store;
    const auto file = DefaultFile();
    std::lock_guard lock(mutex);
    if (store && store->File() == file) {
        if (status)
            *status = RegStatus::Success;
        return store;
    }
    auto opened = Open(file, status);
    if (opened)
        store = opened;
    return opened;
}

// ---- RegistryKey

struct RegistryKey::State {
    std::shared_ptr<RegistryStore> store;
    std::int64_t id = 0;
    RegistryRoot root = RegistryRoot::None;
    std::string path;
    RegAccess access = RegAccess::Read;

    StoreImpl& Impl() const { return RegistryAccess::ImplOf(*store); }
};

namespace {

// Walks (and with create, makes) the names below the key id, under the store's
// lock. On success id is the last key and path has its names appended.
RegStatus Walk(StoreImpl& s, const std::vector<std::string_view>& parts, bool create, std::int64_t* id,
               std::string* path, bool* created) {
    if (!s.KeyExists(*id))
        return RegStatus::KeyDeleted;
    bool made = false;
    for (const std::string_view name : parts) {
        const std::string fold = AnsiLowerCase(name);
        Statement find(s.db, "SELECT id, name FROM keys WHERE parent = ? AND fold = ?");
        find.Bind(1, *id);
        find.Bind(2, fold);
        const int rc = find.Step();
        std::string stored;
        if (rc == SQLITE_ROW) {
            *id = find.Int(0);
            stored = find.Text(1);
            made = false;
        } else if (rc != SQLITE_DONE) {
            return FromSqlite(rc);
        } else if (!create) {
            return RegStatus::FileNotFound;
        } else {
            Statement insert(s.db, "INSERT INTO keys(parent, name, fold) VALUES(?, ?, ?)");
            insert.Bind(1, *id);
            insert.Bind(2, name);
            insert.Bind(3, fold);
            const int irc = insert.Step();
            if (irc != SQLITE_DONE)
                return FromSqlite(irc);
            *id = sqlite3_last_insert_rowid(s.db);
            stored = std::string(name);
            made = true;
        }
        if (!path->empty())
            *path += '\\';
        *path += stored;
    }
    if (created)
        *created = made;
    return RegStatus::Success;
}

} // namespace

RegistryKey::RegistryKey() noexcept = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

void RegistryKey::Close() noexcept {
    state_.reset();
}
bool RegistryKey::IsOpen() const noexcept {
    return state_ != nullptr;
}
RegistryRoot RegistryKey::Root() const noexcept {
    return state_ ? state_->root : RegistryRoot::None;
}

const std::string& RegistryKey::Path() const noexcept {
    static const std::string none;
    return state_ ? state_->path : none;
}

const std::shared_ptr<RegistryStore>& RegistryKey::Store() const noexcept {
    static const std::shared_ptr<RegistryStore> none;
    return state_ ? state_->store : none;
}

namespace {

// Where opening starts: a root of a store, or an open key.
struct Start {
    std::shared_ptr<RegistryStore> store;
    std::int64_t id = 0;
    RegistryRoot root = RegistryRoot::None;
    std::string path;
};

RegStatus RootStart(RegistryRoot root, const std::shared_ptr<RegistryStore>& store, Start* out) {
    if (static_cast<unsigned>(root) >= static_cast<unsigned>(RegistryRoot::None))
        return RegStatus::InvalidHandle;
    if (IsRegistryRootDenied(root))
        return RegStatus::AccessDenied;
    RegStatus status = RegStatus::Success;
    out->store = store ? store : RegistryStore::Default(&status);
    out->id = RootId(root);
    out->root = root;
    return out->store ? RegStatus::Success : status;
}

RegStatus KeyStart(const RegistryKey::State* parent, bool write, Start* out) {
    if (!parent)
        return RegStatus::InvalidHandle;
    if (write && parent->access != RegAccess::ReadWrite)
        return RegStatus::AccessDenied;
    out->store = parent->store;
    out->id = parent->id;
    out->root = parent->root;
    out->path = parent->path;
    return RegStatus::Success;
}

// Walks subKey from start (creating what is missing when create is set) and
// gives the state of the key reached.
RegStatus OpenBelow(Start start, std::string_view subKey, RegAccess access, bool create, bool* created,
                    std::unique_ptr<RegistryKey::State>* out) {
    std::vector<std::string_view> parts;
    if (!SplitPath(subKey, &parts))
        return RegStatus::InvalidParameter;
    auto state = std::make_unique<RegistryKey::State>();
    state->store = std::move(start.store);
    state->id = start.id;
    state->root = start.root;
    state->path = std::move(start.path);
    state->access = access;
    StoreImpl& s = state->Impl();
    RegStatus status;
    if (create) {
        Transaction tx(s, true);
        status = tx.Status();
        if (status == RegStatus::Success)
            status = Walk(s, parts, true, &state->id, &state->path, created);
        if (status == RegStatus::Success)
            status = tx.Commit();
    } else {
        std::lock_guard lock(s.mutex);
        status = Walk(s, parts, false, &state->id, &state->path, created);
    }
    if (status == RegStatus::Success)
        *out = std::move(state);
    return status;
}

// Replaces a key's state by what open makes (nothing on failure). open reads
// the parent before the state is replaced, so the parent may be the key itself.
template <class Open>
RegStatus Reopen(std::unique_ptr<RegistryKey::State>* state, Open open) {
    try {
        std::unique_ptr<RegistryKey::State> opened;
        const RegStatus status = open(&opened);
        *state = std::move(opened);
        return status;
    } catch (const std::bad_alloc&) {
        state->reset();
        return RegStatus::IoFailed;
    }
}

} // namespace

RegStatus RegistryKey::Open(RegistryRoot root, std::string_view subKey, RegAccess access,
                            const std::shared_ptr<RegistryStore>& store) {
    return Reopen(&state_, [&](std::unique_ptr<State>* out) {
        Start start;
        const RegStatus status = RootStart(root, store, &start);
        return status == RegStatus::Success ? OpenBelow(std::move(start), subKey, access, false, nullptr, out)
                                            : status;
    });
}

RegStatus RegistryKey::Open(const RegistryKey& parent, std::string_view subKey, RegAccess access) {
    return Reopen(&state_, [&](std::unique_ptr<State>* out) {
        Start start;
        const RegStatus status = KeyStart(parent.state_.get(), false, &start);
        return status == RegStatus::Success ? OpenBelow(std::move(start), subKey, access, false, nullptr, out)
                                            : status;
    });
}

RegStatus RegistryKey::Create(RegistryRoot root, std::string_view subKey, bool* created,
                              const std::shared_ptr<RegistryStore>& store) {
    return Reopen(&state_, [&](std::unique_ptr<State>* out) {
        Start start;
        const RegStatus status = RootStart(root, store, &start);
        return status == RegStatus::Success
                   ? OpenBelow(std::move(start), subKey, RegAccess::ReadWrite, true, created, out)
                   : status;
    });
}

RegStatus RegistryKey::Create(const RegistryKey& parent, std::string_view subKey, bool* created) {
    return Reopen(&state_, [&](std::unique_ptr<State>* out) {
        Start start;
        const RegStatus status = KeyStart(parent.state_.get(), true, &start);
        return status == RegStatus::Success
                   ? OpenBelow(std::move(start), subKey, RegAccess::ReadWrite, true, created, out)
                   : status;
    });
}

namespace {

bool ValidValueName(std::string_view name) {
    return name.size() <= kMaxValueName;
}

} // namespace

RegStatus RegistryKey::SetValue(std::string_view name, RegValueType type,
                                std::span<const std::uint8_t> data) {
    if (!state_)
        return RegStatus::InvalidHandle;
    if (state_->access != RegAccess::ReadWrite)
        return RegStatus::AccessDenied;
    if (!ValidValueName(name))
        return RegStatus::InvalidParameter;
    switch (type) {
    case RegValueType::Dword:
        if (data.size() != 4)
            return RegStatus::InvalidParameter;
        break;
    case RegValueType::None:
    case RegValueType::Sz:
    case RegValueType::Binary:
        break;
    default:
        return RegStatus::InvalidParameter;
    }
    try {
        StoreImpl& s = state_->Impl();
        std::lock_guard lock(s.mutex);
        if (s.TransactionLost())
            return RegStatus::IoFailed;
        Statement st(s.db, "INSERT INTO vals(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?) "
                           "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
        st.Bind(1, state_->id);
        st.Bind(2, name);
        st.Bind(3, AnsiLowerCase(name));
        st.Bind(4, static_cast<std::int64_t>(type));
        st.BindBlob(5, data);
        const int rc = st.Step();
        return rc == SQLITE_DONE ? RegStatus::Success : FromSqlite(rc);
    } catch (const std::bad_alloc&) {
        return RegStatus::IoFailed;
    }
}

RegStatus RegistryKey::QueryValue(std::string_view name, RegValue* out) const {
    if (!state_)
        return RegStatus::InvalidHandle;
    try {
        StoreImpl& s = state_->Impl();
        std::lock_guard lock(s.mutex);
        Statement st(s.db, "SELECT type, data FROM vals WHERE key = ? AND fold = ?");
        st.Bind(1, state_->id);
        st.Bind(2, AnsiLowerCase(name));
        const int rc = st.Step();
        if (rc == SQLITE_DONE)
            return s.Missing(state_->id);
        if (rc != SQLITE_ROW)
            return FromSqlite(rc);
        RegValue value;
        switch (st.Int(0)) {
        case 0:
            value.Type = RegValueType::None;
            break;
        case 1:
            value.Type = RegValueType::Sz;
            break;
        case 3:
            value.Type = RegValueType::Binary;
            break;
        case 4:
            value.Type = RegValueType::Dword;
            break;
        default:
            return RegStatus::BadDb;
        }
        value.Data = st.Blob(1);
        if (out)
            *out = std::move(value);
        return RegStatus::Success;
    } catch (const std::bad_alloc&) {
        return RegStatus::IoFailed;
    }
}

RegStatus RegistryKey::DeleteValue(std::string_view name) {
    if (!state_)
        return RegStatus::InvalidHandle;
    if (state_->access != RegAccess::ReadWrite)
        return RegStatus::AccessDenied;
    try {
        StoreImpl& s = state_->Impl();
        std::lock_guard lock(s.mutex);
        if (s.TransactionLost())
            return RegStatus::IoFailed;
        Statement st(s.db, "DELETE FROM vals WHERE key = ? AND fold = ?");
        st.Bind(1, state_->id);
        st.Bind(2, AnsiLowerCase(name));
        const int rc = st.Step();
        if (rc != SQLITE_DONE)
            return FromSqlite(rc);
        return sqlite3_changes(s.db) > 0 ? RegStatus::Success : s.Missing(state_->id);
    } catch (const std::bad_alloc&) {
        return RegStatus::IoFailed;
    }
}

bool RegistryKey::ValueExists(std::string_view name) const {
    return GetDataType(name).has_value();
}

std::optional<RegValueType> RegistryKey::GetDataType(std::string_view name) const {
    RegValue value;
    if (QueryValue(name, &value) != RegStatus::Success)
        return std::nullopt;
    return value.Type;
}

RegStatus RegistryKey::WriteDword(std::string_view name, std::uint32_t value) {
    const std::array<std::uint8_t, 4> bytes = {
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return SetValue(name, RegValueType::Dword, bytes);
}

RegStatus RegistryKey::WriteString(std::string_view name, std::string_view value) {
    return SetValue(name, RegValueType::Sz,
                    std::span(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
}

RegStatus RegistryKey::WriteBinary(std::string_view name, std::span<const std::uint8_t> value) {
    return SetValue(name, RegValueType::Binary, value);
}

RegStatus RegistryKey::WriteFloat(std::string_view name, double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    std::array<std::uint8_t, 8> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    return SetValue(name, RegValueType::Binary, bytes);
}

std::optional<std::uint32_t> RegistryKey::ReadDword(std::string_view name) const {
    RegValue v;
    if (QueryValue(name, &v) != RegStatus::Success || v.Type != RegValueType::Dword || v.Data.size() != 4)
        return std::nullopt;
    return static_cast<std::uint32_t>(v.Data[0]) | static_cast<std::uint32_t>(v.Data[1]) << 8 |
           static_cast<std::uint32_t>(v.Data[2]) << 16 | static_cast<std::uint32_t>(v.Data[3]) << 24;
}

std::optional<std::string> RegistryKey::ReadString(std::string_view name) const {
    RegValue v;
    if (QueryValue(name, &v) != RegStatus::Success || v.Type != RegValueType::Sz)
        return std::nullopt;
    std::string text(v.Data.begin(), v.Data.end());
    if (const auto nul = text.find('\0'); nul != std::string::npos)
        text.resize(nul);
    return text;
}

std::optional<std::vector<std::uint8_t>> RegistryKey::ReadBinary(std::string_view name) const {
    RegValue v;
    if (QueryValue(name, &v) != RegStatus::Success || v.Type != RegValueType::Binary)
        return std::nullopt;
    return std::move(v.Data);
}

std::optional<double> RegistryKey::ReadFloat(std::string_view name) const {
    RegValue v;
    if (QueryValue(name, &v) != RegStatus::Success || v.Type != RegValueType::Binary || v.Data.size() != 8)
        return std::nullopt;
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < 8; ++i)
        bits |= static_cast<std::uint64_t>(v.Data[i]) << (8 * i);
    return std::bit_cast<double>(bits);
}

namespace {

RegStatus ListNames(StoreImpl& s, std::int64_t id, const char* sql, std::vector<std::string>* names) {
    std::lock_guard lock(s.mutex);
    // One snapshot for the check and the list.
    Transaction tx(s, false);
    if (tx.Status() != RegStatus::Success)
        return tx.Status();
    if (!s.KeyExists(id))
        return RegStatus::KeyDeleted;
    Statement st(s.db, sql);
    st.Bind(1, id);
    std::vector<std::string> result;
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW)
        result.push_back(st.Text(0));
    if (rc != SQLITE_DONE)
        return FromSqlite(rc);
    if (names)
        *names = std::move(result);
    return RegStatus::Success;
}

} // namespace

RegStatus RegistryKey::EnumKeys(std::vector<std::string>* names) const {
    if (!state_)
        return RegStatus::InvalidHandle;
    try {
        return ListNames(state_->Impl(), state_->id, "SELECT name FROM keys WHERE parent = ? ORDER BY fold",
                         names);
    } catch (const std::bad_alloc&) {
        return RegStatus::IoFailed;
    }
}

RegStatus RegistryKey::EnumValues(std::vector<std::string>* names) const {
    if (!state_)
        return RegStatus::InvalidHandle;
    try {
        return ListNames(state_->Impl(), state_->id, "SELECT name FROM vals WHERE key = ? ORDER BY rowid",
                         names);
    } catch (const std::bad_alloc&) {
        return RegStatus::IoFailed;
    }
}

bool RegistryKey::HasSubKeys() const {
    std::vector<std::string> names;
    return EnumKeys(&names) == RegStatus::Success && !names.empty();
}

bool RegistryKey::KeyExists(std::string_view subKey) const {
    RegistryKey key;
    return key.Open(*this, subKey, RegAccess::Read) == RegStatus::Success;
}

RegStatus RegistryKey::DeleteKey(std::string_view subKey) {
    if (!state_)
        return RegStatus::InvalidHandle;
    if (state_->access != RegAccess::ReadWrite)
        return RegStatus::AccessDenied;
    try {
        std::vector<std::string_view> parts;
        if (!SplitPath(subKey, &parts) || parts.empty())
            return RegStatus::InvalidParameter;
        StoreImpl& s = state_->Impl();
        Transaction tx(s, true);
        RegStatus status = tx.Status();
        std::int64_t id = state_->id;
        std::string path;
        if (status == RegStatus::Success)
            status = Walk(s, parts, false, &id, &path, nullptr);
        if (status == RegStatus::Success) {
            Statement st(s.db, "DELETE FROM keys WHERE id = ?");
            st.Bind(1, id);
            const int rc = st.Step();
            status = rc == SQLITE_DONE ? RegStatus::Success : FromSqlite(rc);
        }
        if (status == RegStatus::Success)
            status = tx.Commit();
        return status;
    } catch (const std::bad_alloc&) {
        return RegStatus::IoFailed;
    }
}

RegStatus RegDeleteTree(RegistryRoot root, std::string_view subKey,
                        const std::shared_ptr<RegistryStore>& store) {
    RegistryKey key;
    const RegStatus status = key.Open(root, {}, RegAccess::ReadWrite, store);
    return status == RegStatus::Success ? key.DeleteKey(subKey) : status;
}

bool RegKeyExists(RegistryRoot root, std::string_view subKey, const std::shared_ptr<RegistryStore>& store) {
    RegistryKey key;
    return key.Open(root, subKey, RegAccess::Read, store) == RegStatus::Success;
}

// ---- RegistryTransaction

struct RegistryTransaction::State {
    std::shared_ptr<RegistryStore> store; // keeps the connection alive
    std::optional<Transaction> tx;
    RegStatus status = RegStatus::Success;
};

namespace {

void BeginOn(std::shared_ptr<RegistryStore> store, bool write, RegStatus status,
             std::unique_ptr<RegistryTransaction::State>* out);

} // namespace

RegistryTransaction::RegistryTransaction(const std::shared_ptr<RegistryStore>& store, Kind kind) {
    RegStatus status = RegStatus::Success;
    auto s = store ? store : RegistryStore::Default(&status);
    BeginOn(std::move(s), kind == Kind::Write, status, &state_);
}

RegistryTransaction::RegistryTransaction(const RegistryKey& key, Kind kind) {
    BeginOn(key.Store(), kind == Kind::Write, RegStatus::InvalidHandle, &state_);
}

namespace {

// Begins on store; without one the transaction carries the status that says why.
void BeginOn(std::shared_ptr<RegistryStore> store, bool write, RegStatus status,
             std::unique_ptr<RegistryTransaction::State>* out) {
    try {
        auto state = std::make_unique<RegistryTransaction::State>();
        state->status = status;
        state->store = std::move(store);
        if (state->store) {
            state->tx.emplace(RegistryAccess::ImplOf(*state->store), write);
            state->status = state->tx->Status();
        }
        *out = std::move(state);
    } catch (const std::bad_alloc&) {
        out->reset(); // Status() then reports the failure
    }
}

} // namespace

RegistryTransaction::~RegistryTransaction() = default;

RegStatus RegistryTransaction::Status() const noexcept {
    return state_ ? state_->status : RegStatus::IoFailed;
}

RegStatus RegistryTransaction::Commit() {
    if (!state_ || !state_->tx)
        return Status() == RegStatus::Success ? RegStatus::InvalidHandle : Status();
    return state_->tx->Commit();
}

void RegistryTransaction::Rollback() noexcept {
    if (state_ && state_->tx)
        state_->tx->Rollback();
}

} // namespace platform
