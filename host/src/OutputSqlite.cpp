// The SQLite output: one row per value in table "samples", written in
// batched transactions from the caller's thread. Packets are kept in memory
// until their transaction commits, so a database that is locked by another
// connection, full or gone loses nothing: the rows stay pending (up to a
// bound) and go in with the next commit that succeeds.
//
// WAL journal, so readers (any SQLite client) never block the writer and are
// never blocked by it; only another writer can hold the lock, and then Write
// waits at most kBusyWait before leaving the rows for the next attempt.
#include "OutputKinds.h"

#include <sqlite3.h>

#include <algorithm>
#include <deque>

namespace host::outputs {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBatchPackets = 1000;
constexpr auto kBatchAge = std::chrono::milliseconds(200);
constexpr int kBusyWaitMs = 20;
// Packets kept while the database refuses them; beyond it the oldest go.
constexpr std::size_t kMaxPendingPackets = 100000;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS samples (
    time_ms INTEGER NOT NULL, -- receive time, milliseconds since 1970 UTC
    time    TEXT    NOT NULL, -- the same as ISO-8601 UTC text
    source  TEXT    NOT NULL, -- data source name
    item    TEXT    NOT NULL,
    value,                    -- INTEGER, REAL, TEXT or NULL
    type    TEXT    NOT NULL  -- the value's type name as the plug-in gave it
);
CREATE INDEX IF NOT EXISTS samples_item_time ON samples (item, time_ms);
)sql";

struct TDbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct TStmtFinalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};

class TSqliteOutput : public IOutput {
public:
    TSqliteOutput(std::string spec, std::string path, TLog log)
        : spec_(std::move(spec)), path_(std::move(path)), log_(std::move(log)) {
        Open();
    }
    ~TSqliteOutput() override { Commit(); }
    TSqliteOutput(const TSqliteOutput&) = delete;
    TSqliteOutput& operator=(const TSqliteOutput&) = delete;

    const std::string& Spec() const override { return spec_; }

    void Write(const TOutputPacket& packet) override {
        if (pending_.size() >= kMaxPendingPackets) {
            pending_.pop_front();
            if (dropped_++ == 0)
                Report("more than " + std::to_string(kMaxPendingPackets) +
                       " packets pending, dropping the oldest");
        }
        pending_.push_back(packet);
        // While the database refuses rows, each attempt may wait kBusyWaitMs:
        // retry once per batch age then, not on every packet.
        if ((pending_.size() >= kBatchPackets && !failing_) || Clock::now() - lastCommit_ >= kBatchAge)
            Commit();
    }

    void Flush(std::chrono::milliseconds timeout) override {
        if (Commit() || !db_)
            return;
        // Another connection may hold the write lock: on a clean stop wait
        // for it once, up to the time given, in SQLite's own busy handler.
        sqlite3_busy_timeout(db_.get(), static_cast<int>(std::clamp<std::int64_t>(timeout.count(), 1, INT32_MAX)));
        Commit();
        if (db_)
            sqlite3_busy_timeout(db_.get(), kBusyWaitMs);
    }

private:
    bool Open() {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        std::unique_ptr<sqlite3, TDbCloser> db(raw);
        if (rc != SQLITE_OK) {
            Fail("cannot open", raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
            return false;
        }
        sqlite3_busy_timeout(db.get(), kBusyWaitMs);
        sqlite3_extended_result_codes(db.get(), 1);
        // NORMAL is durable across a crash of this process in WAL mode; a
        // power loss may cost the last commits, not the database.
        char* error = nullptr;
        if (sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                         &error) != SQLITE_OK ||
            sqlite3_exec(db.get(), kSchema, nullptr, nullptr, &error) != SQLITE_OK) {
            Fail("cannot prepare the database", error ? error : sqlite3_errmsg(db.get()));
            sqlite3_free(error);
            return false;
        }
        sqlite3_stmt* insert = nullptr;
        if (sqlite3_prepare_v3(db.get(),
                               "INSERT INTO samples (time_ms, time, source, item, value, type) "
                               "VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                               -1, SQLITE_PREPARE_PERSISTENT, &insert, nullptr) != SQLITE_OK) {
            Fail("cannot prepare the insert", sqlite3_errmsg(db.get()));
            return false;
        }
        insert_.reset(insert);
        db_ = std::move(db);
        return true;
    }

    // Writes every pending packet in one transaction; whether they are in.
    bool Commit() {
        lastCommit_ = Clock::now();
        if (pending_.empty())
            return true;
        if (!db_) {
            insert_.reset();
            if (!Open())
                return false;
        }
        sqlite3* db = db_.get();
        int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            Fail((rc & 0xFF) == SQLITE_BUSY ? "database locked by another writer" : "cannot begin a transaction",
                 sqlite3_errmsg(db));
            return false;
        }
        for (const TOutputPacket& packet : pending_) {
            rc = InsertPacket(packet);
            if (rc != SQLITE_DONE)
                break;
        }
        if (rc == SQLITE_DONE)
            rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            const std::string why = sqlite3_errmsg(db);
            if (!sqlite3_get_autocommit(db))
                sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            Fail("cannot write", why.c_str());
            // A database that lost its file or went corrupt is reopened on
            // the next attempt; a full disk or lock just retries.
            const int primary = rc & 0xFF;
            if (primary != SQLITE_FULL && primary != SQLITE_BUSY && primary != SQLITE_LOCKED) {
                insert_.reset();
                db_.reset();
            }
            return false;
        }
        pending_.clear();
        if (failing_) {
            failing_ = false;
            std::string note = "writing again";
            if (dropped_ > 0)
                note += "; " + std::to_string(dropped_) + " packets were dropped while the buffer was full";
            dropped_ = 0;
            Report(note);
        }
        return true;
    }

    int InsertPacket(const TOutputPacket& packet) {
        sqlite3_stmt* s = insert_.get();
        const std::string time = IsoUtc(packet.Time);
        for (const TOutputValue& value : packet.Values) {
            sqlite3_reset(s);
            sqlite3_bind_int64(s, 1, UnixMilliseconds(packet.Time));
            sqlite3_bind_text(s, 2, time.data(), static_cast<int>(time.size()), SQLITE_STATIC);
            sqlite3_bind_text(s, 3, packet.Source.data(), static_cast<int>(packet.Source.size()), SQLITE_STATIC);
            sqlite3_bind_text(s, 4, value.Name.data(), static_cast<int>(value.Name.size()), SQLITE_STATIC);
            BindValue(s, 5, value.Value);
            const std::string type = qor::VarTypeName(value.Value.Type());
            sqlite3_bind_text(s, 6, type.data(), static_cast<int>(type.size()), SQLITE_TRANSIENT);
            const int rc = sqlite3_step(s);
            if (rc != SQLITE_DONE) {
                sqlite3_reset(s);
                return rc;
            }
        }
        sqlite3_reset(s);
        return SQLITE_DONE;
    }

    static void BindValue(sqlite3_stmt* s, int index, const qor::Variant& value) {
        using qor::VarType;
        try {
            if (!value.IsArray()) {
                switch (value.Type()) {
                case VarType::Empty:
                case VarType::Null:
                    sqlite3_bind_null(s, index);
                    return;
                case VarType::Boolean:
                    sqlite3_bind_int(s, index, value.AsBoolean() ? 1 : 0);
                    return;
                case VarType::Single:
                case VarType::Double:
                case VarType::Currency: {
                    const double d = value.AsDouble();
                    sqlite3_bind_double(s, index, value.Type() == VarType::Single ? SingleAsDouble(d) : d);
                    return;
                }
                case VarType::UInt64:
                    // Beyond the signed range only text keeps every digit.
                    if (value.AsUInt64() > static_cast<std::uint64_t>(INT64_MAX))
                        break;
                    sqlite3_bind_int64(s, index, static_cast<std::int64_t>(value.AsUInt64()));
                    return;
                default:
                    if (qor::IsIntegerType(value.Type())) {
                        sqlite3_bind_int64(s, index, value.AsInt64());
                        return;
                    }
                    break;
                }
            }
            const std::string text = ValueText(value);
            sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        } catch (const std::exception&) {
            sqlite3_bind_null(s, index);
        }
    }

    void Fail(const char* what, const char* why) {
        if (failing_)
            return;
        failing_ = true;
        Report(std::string(what) + ": " + why + "; keeping " + std::to_string(pending_.size()) +
               " packets pending and retrying");
    }

    void Report(const std::string& text) {
        if (log_)
            log_("output " + spec_ + ": " + text);
    }

    std::string spec_;
    std::string path_;
    TLog log_;
    std::unique_ptr<sqlite3, TDbCloser> db_;
    std::unique_ptr<sqlite3_stmt, TStmtFinalizer> insert_; // finalized before db_ closes
    std::deque<TOutputPacket> pending_;
    Clock::time_point lastCommit_ = Clock::now();
    bool failing_ = false;
    std::uint64_t dropped_ = 0;
};

} // namespace

std::unique_ptr<IOutput> MakeSqliteOutput(std::string spec, std::string path, TLog log) {
    return std::make_unique<TSqliteOutput>(std::move(spec), std::move(path), std::move(log));
}

} // namespace host::outputs
