// The SQLite output: one row per value in table "samples". The caller's
// thread only queues a copy of each packet; a writer thread of this output
// inserts them in batched transactions (every kBatchPackets packets or
// kBatchAge after the first waiting one), so commits, WAL checkpoints and
// their syncs never hold up the host.
//
// Packets stay in memory until their transaction commits, so a database that
// is locked by another writer, full or gone loses nothing: the rows stay
// pending (up to kMaxPendingPackets, then the oldest go) and are retried every
// kBatchAge. WAL journal: readers (any SQLite client) neither block the writer
// nor are blocked by it; another writer holding the lock delays a commit by at
// most kBusyWaitMs before the next retry.
#include "OutputKinds.h"

#include <sqlite3.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace host::outputs {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBatchPackets = 1000;
constexpr auto kBatchAge = std::chrono::milliseconds(200);
constexpr int kBusyWaitMs = 20;
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
    TSqliteOutput(std::string target, std::string path, TLog log)
        : target_(std::move(target)), path_(std::move(path)), log_(std::move(log)) {
        // The file and its table exist when the constructor returns (a reader
        // may open it at once); a failure here is retried by the writer.
        Open();
        writer_ = std::thread([this] { Run(); });
    }
    ~TSqliteOutput() override {
        {
            std::scoped_lock hold(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        writer_.join();
    }
    TSqliteOutput(const TSqliteOutput&) = delete;
    TSqliteOutput& operator=(const TSqliteOutput&) = delete;

    const std::string& Target() const override { return target_; }

    void Write(const TOutputPacket& packet) override {
        TOutputPacket copy = packet;
        bool wake = false;
        {
            std::scoped_lock hold(lock_);
            if (incoming_.size() + writing_ >= kMaxPendingPackets && !incoming_.empty()) {
                incoming_.pop_front();
                ++committed_; // gone: a flush does not wait for it
                NoteDropped(1);
            }
            incoming_.push_back(std::move(copy));
            ++accepted_;
            if (incoming_.size() == 1)
                firstWaiting_ = Clock::now();
            wake = incoming_.size() == 1 || incoming_.size() == kBatchPackets;
        }
        if (wake)
            wake_.notify_all();
    }

    void Flush(std::chrono::milliseconds timeout) override {
        std::unique_lock hold(lock_);
        const std::uint64_t target = accepted_;
        flushUntil_ = Clock::now() + timeout;
        ++flushRequests_;
        wake_.notify_all();
        done_.wait_until(hold, flushUntil_, [&] { return committed_ >= target; });
    }

private:
    // The writer thread: takes what is waiting when a batch is due, a flush
    // is asked for or the output closes, and commits it.
    void Run() {
        std::unique_lock hold(lock_);
        std::uint64_t flushesSeen = 0;
        for (;;) {
            for (;;) {
                if (stopping_ || flushRequests_ != flushesSeen ||
                    (incoming_.size() >= kBatchPackets && pending_.empty()))
                    break;
                if (incoming_.empty() && pending_.empty()) {
                    wake_.wait(hold);
                    continue;
                }
                // Rows wait at most a batch age; after a failed commit the
                // next attempt comes a batch age after it.
                const auto dueAt = (pending_.empty() ? firstWaiting_ : lastAttempt_) + kBatchAge;
                if (Clock::now() >= dueAt)
                    break;
                wake_.wait_until(hold, dueAt);
            }
            const bool stopping = stopping_;
            const bool flushing = flushRequests_ != flushesSeen;
            flushesSeen = flushRequests_;
            std::move(incoming_.begin(), incoming_.end(), std::back_inserter(pending_));
            incoming_.clear();
            if (pending_.size() > kMaxPendingPackets) {
                const std::size_t excess = pending_.size() - kMaxPendingPackets;
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(excess));
                committed_ += excess; // gone: a flush does not wait for them
                NoteDropped(excess);
            }
            writing_ = pending_.size();
            // A flush or the last attempt may wait for another writer's lock
            // up to the flush's time limit; a batch only kBusyWaitMs.
            int busyWaitMs = stopping ? 1000 : kBusyWaitMs;
            if (flushing)
                busyWaitMs = static_cast<int>(std::clamp<std::int64_t>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(flushUntil_ - Clock::now()).count(),
                    1, 60000));
            const std::size_t count = pending_.size();
            const bool wasFailing = failing_;
            hold.unlock();
            const bool ok = Commit(busyWaitMs);
            hold.lock();

            lastAttempt_ = Clock::now();
            writing_ = pending_.size();
            if (ok) {
                committed_ += count;
                if (wasFailing) {
                    std::string note = "writing again";
                    if (dropped_ > 0)
                        note += "; " + std::to_string(dropped_) +
                                " packets were dropped while the buffer was full";
                    dropped_ = 0;
                    Report(note);
                }
            }
            done_.notify_all();
            if (stopping)
                return;
        }
    }

    void NoteDropped(std::size_t count) {
        if (dropped_ == 0)
            Report("more than " + std::to_string(kMaxPendingPackets) +
                   " packets pending, dropping the oldest");
        dropped_ += count;
    }

private:
    bool Open() {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open_v2(
            path_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
        std::unique_ptr<sqlite3, TDbCloser> db(raw);
        if (rc != SQLITE_OK) {
            Fail("cannot open", raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
            return false;
        }
        sqlite3_busy_timeout(db.get(), kBusyWaitMs);
        sqlite3_extended_result_codes(db.get(), 1);
        // NORMAL is durable across a crash of this process in WAL mode; a
        // power loss may cost the last commits, not the database. The larger
        // page cache keeps the (item, time) index's hot pages across batches.
        char* error = nullptr;
        if (sqlite3_exec(db.get(),
                         "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-16384;",
                         nullptr, nullptr, &error) != SQLITE_OK ||
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
    bool Commit(int busyWaitMs) {
        if (pending_.empty())
            return true;
        if (!db_) {
            insert_.reset();
            if (!Open())
                return false;
        }
        sqlite3* db = db_.get();
        sqlite3_busy_timeout(db, busyWaitMs);
        int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            Fail((rc & 0xFF) == SQLITE_BUSY ? "database locked by another writer"
                                            : "cannot begin a transaction",
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
        failing_ = false;
        return true;
    }

    int InsertPacket(const TOutputPacket& packet) {
        sqlite3_stmt* s = insert_.get();
        const std::string time = IsoUtc(packet.Time);
        for (const TOutputValue& value : packet.Values) {
            sqlite3_reset(s);
            sqlite3_bind_int64(s, 1, UnixMilliseconds(packet.Time));
            sqlite3_bind_text(s, 2, time.data(), static_cast<int>(time.size()), SQLITE_STATIC);
            sqlite3_bind_text(s, 3, packet.Source.data(), static_cast<int>(packet.Source.size()),
                              SQLITE_STATIC);
            sqlite3_bind_text(s, 4, value.Name.data(), static_cast<int>(value.Name.size()), SQLITE_STATIC);
            BindValue(s, 5, value.Value);
            const std::string& type = TypeName(value.Value.Type());
            sqlite3_bind_text(s, 6, type.data(), static_cast<int>(type.size()), SQLITE_STATIC);
            const int rc = sqlite3_step(s);
            if (rc != SQLITE_DONE) {
                sqlite3_reset(s);
                return rc;
            }
        }
        sqlite3_reset(s);
        return SQLITE_DONE;
    }

    const std::string& TypeName(qor::VarType type) {
        auto found = typeNames_.find(qor::VarTypeCode(type));
        if (found == typeNames_.end())
            found = typeNames_.emplace(qor::VarTypeCode(type), qor::VarTypeName(type)).first;
        return found->second;
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
            log_("output " + target_ + ": " + text);
    }

    const std::string target_;
    const std::string path_;
    const TLog log_;

    // The writer thread's own (and the constructor's, before it starts).
    std::unique_ptr<sqlite3, TDbCloser> db_;
    std::unique_ptr<sqlite3_stmt, TStmtFinalizer> insert_; // finalized before db_ closes
    std::deque<TOutputPacket> pending_;                    // taken, not yet committed
    bool failing_ = false;                                 // a failure is reported until a commit succeeds
    std::unordered_map<std::uint16_t, std::string> typeNames_;

    std::mutex lock_;
    std::condition_variable wake_; // to the writer
    std::condition_variable done_; // from the writer, after each attempt
    std::deque<TOutputPacket> incoming_;
    std::size_t writing_ = 0; // pending_.size() as of the writer's last look
    Clock::time_point firstWaiting_{};
    Clock::time_point lastAttempt_{};
    std::uint64_t accepted_ = 0, committed_ = 0, flushRequests_ = 0;
    Clock::time_point flushUntil_{};
    bool stopping_ = false;
    std::uint64_t dropped_ = 0;
    std::thread writer_; // last: joined in the destructor
};

} // namespace

std::unique_ptr<IOutput> MakeSqliteOutput(std::string target, std::string path, TLog log) {
    return std::make_unique<TSqliteOutput>(std::move(target), std::move(path), std::move(log));
}

} // namespace host::outputs
