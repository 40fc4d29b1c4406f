// The SQLite output: one row per value in table "samples". The caller's
// thread only queues a copy of each packet; a writer thread of this output
// inserts them in batched transactions (every kBatchPackets packets or
// kBatchAge after the first waiting one), so commits, WAL checkpoints and
// their syncs never hold up the host.
//
// Packets stay in memory until their transaction commits, so a database that
// is locked by another writer, full or gone loses nothing: the rows stay
// pending (up to kMaxPendingPackets, then the oldest go) and are retried every
// kBatchAge. A transaction holds whole packets and commits only when every
// INSERT of it went in; a packet the database itself refuses (a constraint or
// trigger of the table, a value too large) can never go in, so it alone is
// dropped, counted as lost, and the others are written again without it. WAL journal: readers (any SQLite
// client) neither block the writer nor are blocked by it; another writer holding the lock delays a commit by
// at most kBusyWaitMs before the next retry.
#include "OutputKinds.h"

#include "platform/Thread.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace host::outputs {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBatchPackets = 1000;
constexpr auto kBatchAge = std::chrono::milliseconds(1000);
constexpr int kBusyWaitMs = 20;
constexpr std::size_t kMaxPendingPackets = 100000;
// The page cache: every item adds its rows at the end of its own part of the
// (item, time) index, so a batch touches one index page per item logged. A
// cache that holds fewer pages than that spills them into the journal in the
// middle of a batch and reads them back from the file in the next (at 5000
// items and 50,000 rows per second, a third of a core more after a minute).
// It starts at kCacheMinKiB and grows (never shrinks) to kCacheKiBPerItem for
// each item name written, up to kCacheMaxKiB; names are counted up to
// kCacheMaxKiB / kCacheKiBPerItem.
constexpr std::int64_t kCacheMinKiB = 16384;
constexpr std::int64_t kCacheMaxKiB = 262144;
constexpr std::int64_t kCacheKiBPerItem = 8;
// The page size of a file this output makes (one made before keeps its own).
// Every batch rewrites one index page per item, whatever it adds to it: at
// 5000 items, pages of 2 KiB instead of SQLite's 4 KiB halve the bytes each
// commit writes and copies (a fifth less of the writer's time).
constexpr int kPageBytes = 2048;
// Pages the journal (WAL) may hold before they are copied into the database.
// A batch rewrites the same index pages as the one before it (the last page
// of each item's part); copied every 1000 pages (SQLite's default), at 5000
// items each batch was copied in full, and the journal read back, after every
// commit. At 20,000 (40 MiB of 2 KiB pages) a page rewritten by several
// batches is copied once: about a tenth less of the writer's time.
constexpr int kJournalPages = 20000;

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
        if (!Open())
            startProblem_ = lastError_;
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

    bool Write(const TOutputPacket& packet) override { return WriteMoved(TOutputPacket(packet)); }

    bool WriteMoved(TOutputPacket&& packet) override {
        TOutputPacket copy = std::move(packet);
        bool wake = false;
        {
            std::scoped_lock hold(lock_);
            if (incoming_.size() + writing_ >= kMaxPendingPackets && !incoming_.empty()) {
                incoming_.pop_front();
                ++settled_; // gone: a flush does not wait for it
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
        return true;
    }

    bool Flush(std::chrono::milliseconds timeout) override {
        std::unique_lock hold(lock_);
        const std::uint64_t target = accepted_;
        flushUntil_ = Clock::now() + timeout;
        ++flushRequests_;
        wake_.notify_all();
        done_.wait_until(hold, flushUntil_, [&] { return settled_ >= target; });
        return written_ == accepted_;
    }

    TOutputTally Tally() const override {
        std::scoped_lock hold(lock_);
        return {accepted_, written_, lost_};
    }

    std::string StartProblem() const override { return startProblem_; }

    // The next attempt opens the file again by its path.
    void Reopen() override {
        std::scoped_lock hold(lock_);
        reopen_ = true;
    }

private:
    // The writer thread: takes what is waiting when a batch is due, a flush
    // is asked for or the output closes, and commits it.
    void Run() {
        // Named, so that a look at the process's threads (top -H, the scale
        // benchmark) tells the writer's share of the CPU.
        platform::SetThreadName("out-sqlite");
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
                settled_ += excess; // gone: a flush does not wait for them
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
            const bool reopen = std::exchange(reopen_, false);
            hold.unlock();
            if (reopen)
                Close();
            std::size_t refused = 0;
            const bool ok = Commit(busyWaitMs, refused);
            hold.lock();

            lastAttempt_ = Clock::now();
            writing_ = pending_.size();
            // Refused packets are gone for good: counted, and a flush does
            // not wait for them.
            lost_ += refused;
            settled_ += refused;
            if (ok) {
                written_ += count - refused;
                settled_ += count - refused;
                if (wasFailing && count > refused) {
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
        lost_ += count;
        if (dropped_ == 0)
            Report("more than " + std::to_string(kMaxPendingPackets) +
                   " packets pending, dropping the oldest");
        dropped_ += count;
    }

private:
    // The statements first: a connection closes once they are finalized.
    void Close() {
        insert_.reset();
        lastRow_.reset();
        db_.reset();
    }

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
        // SQLite opens a file it may not write read-only without a word.
        if (sqlite3_db_readonly(db.get(), "main") == 1) {
            Fail("cannot open", "the database is read-only");
            return false;
        }
        // NORMAL is durable across a crash of this process in WAL mode; a
        // power loss may cost the last commits, not the database. The page
        // size takes effect only while the file is still empty, before the
        // journal mode is written into it.
        char* error = nullptr;
        const std::string pragmas = "PRAGMA page_size=" + std::to_string(kPageBytes) +
                                    "; PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=" +
                                    std::to_string(kJournalPages) + "; " + CachePragma();
        if (sqlite3_exec(db.get(), pragmas.c_str(), nullptr, nullptr, &error) != SQLITE_OK ||
            sqlite3_exec(db.get(), kSchema, nullptr, nullptr, &error) != SQLITE_OK) {
            Fail("cannot prepare the database", error ? error : sqlite3_errmsg(db.get()));
            sqlite3_free(error);
            return false;
        }
        // Rows are given the numbers (rowid) they come in with (see
        // InsertBatch); a table of another make that has none takes them as
        // they come.
        sqlite3_stmt* insert = nullptr;
        sqlite3_stmt* last = nullptr;
        numbered_ = sqlite3_prepare_v3(db.get(),
                                       "INSERT INTO samples (rowid, time_ms, time, source, item, value, type) "
                                       "VALUES (?7, ?1, ?2, ?3, ?4, ?5, ?6)",
                                       -1, SQLITE_PREPARE_PERSISTENT, &insert, nullptr) == SQLITE_OK &&
                    sqlite3_prepare_v3(db.get(), "SELECT max(rowid) FROM samples", -1, SQLITE_PREPARE_PERSISTENT,
                                       &last, nullptr) == SQLITE_OK;
        lastRow_.reset(numbered_ ? last : nullptr);
        if (!numbered_) {
            sqlite3_finalize(last);
            sqlite3_finalize(insert);
            insert = nullptr;
            if (sqlite3_prepare_v3(db.get(),
                                   "INSERT INTO samples (time_ms, time, source, item, value, type) "
                                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                                   -1, SQLITE_PREPARE_PERSISTENT, &insert, nullptr) != SQLITE_OK) {
                Fail("cannot prepare the insert", sqlite3_errmsg(db.get()));
                return false;
            }
        }
        insert_.reset(insert);
        db_ = std::move(db);
        return true;
    }

    // Writes every pending packet in one transaction; whether they are in.
    // refused counts the packets the database refused and that are gone.
    bool Commit(int busyWaitMs, std::size_t& refused) {
        for (;;) {
            if (pending_.empty())
                return true;
            if (!db_) {
                Close();
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
            std::size_t failed = pending_.size();
            rc = InsertBatch(failed);
            if (rc == SQLITE_DONE)
                rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK) {
                pending_.clear();
                failing_ = false;
                GrowCache(db);
                return true;
            }
            // Nothing of a failed batch stays: the rows inserted before the
            // failure are rolled back with it.
            const std::string why = sqlite3_errmsg(db);
            if (!sqlite3_get_autocommit(db))
                sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            const int primary = rc & 0xFF;
            if (failed < pending_.size() && RefusedByTheDatabase(primary)) {
                pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(failed));
                ++refused;
                // Said once: a table that refuses every packet would fill the log.
                if (!refusalReported_)
                    Report("a packet the database refuses (" + why +
                           ") is dropped; writing the others (said once)");
                refusalReported_ = true;
                continue;
            }
            Fail("cannot write", why.c_str());
            // A database that lost its file or went corrupt is reopened on
            // the next attempt; a full disk or lock just retries.
            if (primary != SQLITE_FULL && primary != SQLITE_BUSY && primary != SQLITE_LOCKED)
                Close();
            return false;
        }
    }

    // The failures an INSERT gets for what the packet holds, not for the
    // state of the database: writing the same packet again fails again.
    static bool RefusedByTheDatabase(int primary) {
        return primary == SQLITE_CONSTRAINT || primary == SQLITE_TOOBIG || primary == SQLITE_MISMATCH ||
               primary == SQLITE_RANGE;
    }

    // Inserts the rows of every pending packet; failed is set to the packet
    // whose row the database refused.
    //
    // In the index on (item, time) every item adds its rows at the end of a
    // part of its own. Rows inserted as they come (one item after another)
    // each search the index from its root and land on another page; item by
    // item, each row lands beside the one before (at 5000 items, a third less
    // of the writer's time). The rows keep the numbers (rowid) they would
    // have had in the order they came, so the table reads the same.
    int InsertBatch(std::size_t& failed) {
        sqlite3_int64 last = 0;
        if (numbered_) {
            sqlite3_stmt* q = lastRow_.get();
            sqlite3_reset(q);
            const int rc = sqlite3_step(q);
            if (rc != SQLITE_ROW) {
                sqlite3_reset(q);
                return rc;
            }
            last = sqlite3_column_int64(q, 0);
            sqlite3_reset(q);
        }
        rows_.clear();
        times_.resize(pending_.size());
        for (std::size_t p = 0; p < pending_.size(); ++p) {
            const TOutputPacket& packet = pending_[p];
            times_[p] = IsoUtc(packet.Time);
            for (const TOutputValue& value : packet.Values) {
                if (items_.size() < static_cast<std::size_t>(kCacheMaxKiB / kCacheKiBPerItem))
                    items_.insert(value.Name);
                rows_.push_back({&value, p, rows_.size()});
            }
        }
        // Past the largest number SQLite picks free ones at random: the
        // rows go as they came.
        const bool sorted = numbered_ && last < std::numeric_limits<sqlite3_int64>::max() -
                                                    static_cast<sqlite3_int64>(rows_.size());
        if (sorted)
            std::stable_sort(rows_.begin(), rows_.end(),
                             [](const TRow& a, const TRow& b) { return a.Value->Name < b.Value->Name; });
        sqlite3_stmt* s = insert_.get();
        std::size_t bound = pending_.size(); // the packet whose columns are bound
        for (const TRow& row : rows_) {
            const TOutputPacket& packet = pending_[row.Packet];
            // A reset keeps the bindings: a packet's own columns are bound
            // when its first row comes.
            sqlite3_reset(s);
            if (row.Packet != bound) {
                bound = row.Packet;
                const std::string& time = times_[row.Packet];
                sqlite3_bind_int64(s, 1, UnixMilliseconds(packet.Time));
                sqlite3_bind_text(s, 2, time.data(), static_cast<int>(time.size()), SQLITE_STATIC);
                sqlite3_bind_text(s, 3, packet.Source.data(), static_cast<int>(packet.Source.size()),
                                  SQLITE_STATIC);
            }
            if (numbered_) {
                if (sorted)
                    sqlite3_bind_int64(s, 7, last + 1 + static_cast<sqlite3_int64>(row.Order));
                else
                    sqlite3_bind_null(s, 7);
            }
            const TOutputValue& value = *row.Value;
            sqlite3_bind_text(s, 4, value.Name.data(), static_cast<int>(value.Name.size()), SQLITE_STATIC);
            BindValue(s, 5, value, packet.Time);
            const std::string& type = TypeName(value.Value.Type());
            sqlite3_bind_text(s, 6, type.data(), static_cast<int>(type.size()), SQLITE_STATIC);
            const int rc = sqlite3_step(s);
            if (rc != SQLITE_DONE) {
                sqlite3_reset(s);
                failed = row.Packet;
                return rc;
            }
        }
        sqlite3_reset(s);
        return SQLITE_DONE;
    }

    // The page cache as large as the items written so far need.
    void GrowCache(sqlite3* db) {
        const std::int64_t wanted = std::clamp(static_cast<std::int64_t>(items_.size()) * kCacheKiBPerItem,
                                               kCacheMinKiB, kCacheMaxKiB);
        if (wanted <= cacheKiB_)
            return;
        cacheKiB_ = wanted;
        sqlite3_exec(db, CachePragma().c_str(), nullptr, nullptr, nullptr);
    }

    // A negative size counts KiB, not pages.
    std::string CachePragma() const { return "PRAGMA cache_size=-" + std::to_string(cacheKiB_) + ";"; }

    const std::string& TypeName(qor::VarType type) {
        auto found = typeNames_.find(qor::VarTypeCode(type));
        if (found == typeNames_.end())
            found = typeNames_.emplace(qor::VarTypeCode(type), qor::VarTypeName(type)).first;
        return found->second;
    }

    static void BindValue(sqlite3_stmt* s, int index, const TOutputValue& item,
                          std::chrono::system_clock::time_point received) {
        using qor::VarType;
        const qor::Variant& value = item.Value;
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
                    if (!std::isfinite(d))
                        break; // as text, like every output
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
            const std::string text = ValueText(item, received);
            sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        } catch (const std::exception&) {
            sqlite3_bind_null(s, index);
        }
    }

    void Fail(const char* what, const char* why) {
        lastError_ = std::string(what) + ": " + why;
        if (failing_)
            return;
        failing_ = true;
        Report(std::string(what) + ": " + why +
               (pending_.empty()
                    ? std::string("; retrying")
                    : "; keeping " + std::to_string(pending_.size()) + " packets pending and retrying"));
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
    std::unique_ptr<sqlite3_stmt, TStmtFinalizer> insert_;  // finalized before db_ closes
    std::unique_ptr<sqlite3_stmt, TStmtFinalizer> lastRow_; // the largest rowid so far
    bool numbered_ = false;                                 // insert_ takes the rowid as ?7
    // One batch's rows, in the order they are inserted (kept between
    // batches, so their room is not asked for again).
    struct TRow {
        const TOutputValue* Value;
        std::size_t Packet; // index in pending_
        std::size_t Order;  // the row's place in the order the rows came
    };
    std::vector<TRow> rows_;
    std::vector<std::string> times_; // each pending packet's time as text
    // The item names written (writer thread), and the page cache they call for.
    std::unordered_set<std::string> items_;
    std::int64_t cacheKiB_ = kCacheMinKiB;
    std::deque<TOutputPacket> pending_;                    // taken, not yet committed
    bool failing_ = false;                                 // a failure is reported until a commit succeeds
    std::unordered_map<std::uint16_t, std::string> typeNames_;
    std::string lastError_;
    bool refusalReported_ = false;
    std::string startProblem_; // set by the constructor only

    mutable std::mutex lock_;
    std::condition_variable wake_; // to the writer
    std::condition_variable done_; // from the writer, after each attempt
    std::deque<TOutputPacket> incoming_;
    std::size_t writing_ = 0; // pending_.size() as of the writer's last look
    Clock::time_point firstWaiting_{};
    Clock::time_point lastAttempt_{};
    // settled_: written or lost; what a flush waits for.
    std::uint64_t accepted_ = 0, settled_ = 0, written_ = 0, lost_ = 0, flushRequests_ = 0;
    bool reopen_ = false;
    Clock::time_point flushUntil_{};
    bool stopping_ = false;
    std::uint64_t dropped_ = 0;
    std::thread writer_; // last: joined in the destructor
};

} // namespace

void PrepareSqlite() {
    // SQLite keeps memory statistics under one lock taken on every
    // allocation it makes, for a status call the outputs never make: without
    // them the writer spends about a twentieth less at 50,000 rows a second.
    // Refused (and harmless) once SQLite is in use.
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
}

std::unique_ptr<IOutput> MakeSqliteOutput(std::string target, std::string path, TLog log) {
    return std::make_unique<TSqliteOutput>(std::move(target), std::move(path), std::move(log));
}

} // namespace host::outputs
