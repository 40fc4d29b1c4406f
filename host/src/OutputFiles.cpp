// The text file outputs: JSON lines and CSV. Lines are formatted on the
// caller's thread into a buffer and handed to the file with one write when
// the last write is 200 ms old or 64 KiB are waiting, so a slow source's lines
// reach the file at once and a fast one costs one system call per batch. What
// the file refuses (disk full, folder gone) stays buffered, up to a bound, and
// is written when the file takes it again.
//
// A packet's text (one JSON line, or a CSV row per value) is a record that is
// in the file whole or not at all: when a write stops inside a record (the
// disk filled up), the file is cut back to the end of the last whole record
// and the rest stays buffered.
#include "OutputKinds.h"

#include "platform/FileAccess.h"
#include "platform/Paths.h"

#include <deque>

namespace host::outputs {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBatchBytes = 64 * 1024;
constexpr auto kBatchAge = std::chrono::milliseconds(200);
// Buffered while the file refuses writes; newer packets beyond it are dropped.
constexpr std::size_t kMaxPendingBytes = 64 * 1024 * 1024;

class TTextFileOutput : public IOutput {
public:
    // An empty path writes to standard output. header is written first when
    // the file is new or empty.
    TTextFileOutput(std::string target, std::string path, std::string header, TLog log)
        : target_(std::move(target)), path_(std::move(path)), header_(std::move(header)), log_(std::move(log)) {
        if (path_.empty()) {
            file_.UseStandardOutput();
            AddHeader();
        } else if (!Open()) {
            startProblem_ = lastError_;
        }
    }
    ~TTextFileOutput() override { WritePending(); }
    TTextFileOutput(const TTextFileOutput&) = delete;
    TTextFileOutput& operator=(const TTextFileOutput&) = delete;

    const std::string& Target() const override { return target_; }

    bool Write(const TOutputPacket& packet) override {
        ++tally_.Given;
        const std::size_t before = pending_.size();
        try {
            Format(packet, pending_);
        } catch (const std::exception& e) {
            pending_.resize(before);
            ++tally_.Lost;
            Report("cannot format a packet, dropped: " + std::string(e.what()));
            return false;
        }
        if (pending_.size() > kMaxPendingBytes) {
            pending_.resize(before);
            ++tally_.Lost;
            if (dropped_++ == 0)
                Report("buffer full (" + std::to_string(kMaxPendingBytes >> 20) +
                       " MiB), dropping new packets");
            return false;
        }
        records_.push_back({pending_.size(), true});
        const auto now = Clock::now();
        if (pending_.size() >= kBatchBytes || now - lastWrite_ >= kBatchAge)
            WritePending();
        return true;
    }

    bool Flush(std::chrono::milliseconds) override {
        if (!WritePending())
            return false;
        if (const std::error_code ec = file_.Sync()) {
            Fail("cannot sync", ec.message());
            return false;
        }
        return true;
    }

    TOutputTally Tally() const override { return tally_; }
    std::string StartProblem() const override {
        return startProblem_.empty() ? "" : "cannot open " + path_ + ": " + startProblem_;
    }

    void Reopen() override {
        if (path_.empty())
            return;
        WritePending();
        file_.Close();
        Open();
    }

protected:
    virtual void Format(const TOutputPacket& packet, std::string& out) = 0;

private:
    struct TRecord {
        std::size_t End = 0; // in pending_
        bool Packet = false; // false: the header
    };

    bool Open() {
        if (const std::error_code ec = file_.Open(platform::PathFromUtf8(path_))) {
            Fail("cannot open", ec.message());
            return false;
        }
        if (file_.Size() == 0)
            AddHeader();
        return true;
    }

    // The header goes before everything waiting.
    void AddHeader() {
        if (header_.empty() || (!records_.empty() && !records_.front().Packet))
            return;
        pending_.insert(0, header_);
        for (TRecord& r : records_)
            r.End += header_.size();
        records_.push_front({header_.size(), false});
    }

    // Whether everything buffered reached the file.
    bool WritePending() {
        lastWrite_ = Clock::now();
        if (!file_.IsOpen() && !Open())
            return false;
        if (pending_.empty())
            return true;
        const std::int64_t sizeBefore = file_.Size();
        const platform::AppendFile::Written written = file_.Write(pending_);
        // The records that are in the file whole.
        std::size_t whole = 0;
        std::size_t records = 0;
        while (records < records_.size() && records_[records].End <= written.Bytes)
            whole = records_[records++].End;
        if (written.Error && whole < written.Bytes) {
            // Part of a record went out: cut it off, so that a reader never
            // sees half a line and the record goes out whole later.
            if (sizeBefore < 0)
                Report("cannot remove a partly written record (not a file)");
            else if (const std::error_code ec = file_.TruncateTo(sizeBefore + static_cast<std::int64_t>(whole)))
                Report("cannot remove a partly written record (" + ec.message() + ")");
        }
        for (std::size_t i = 0; i < records; ++i)
            if (records_[i].Packet)
                ++tally_.Written;
        records_.erase(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(records));
        for (TRecord& r : records_)
            r.End -= whole;
        pending_.erase(0, whole);
        if (written.Error) {
            Fail("cannot write", written.Error.message());
            return false;
        }
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

    void Fail(const char* what, const std::string& why) {
        lastError_ = why;
        if (failing_)
            return;
        failing_ = true;
        Report(std::string(what) + ": " + why + "; keeping lines in memory and retrying");
    }

    void Report(const std::string& text) {
        if (log_)
            log_("output " + target_ + ": " + text);
    }

    std::string target_;
    std::string path_;
    std::string header_;
    TLog log_;
    platform::AppendFile file_;
    std::string pending_;
    std::deque<TRecord> records_; // what pending_ holds, in order
    Clock::time_point lastWrite_{};
    bool failing_ = false;
    std::string lastError_;
    std::string startProblem_;
    std::uint64_t dropped_ = 0;
    TOutputTally tally_;
};

class TJsonlOutput : public TTextFileOutput {
public:
    using TTextFileOutput::TTextFileOutput;

protected:
    void Format(const TOutputPacket& packet, std::string& out) override {
        out += PacketJson(packet);
        out += '\n';
    }
};

// RFC 4180: CRLF line ends; a field holding a comma, quote, CR or LF is
// quoted, its quotes doubled. One row per value, so packets of different
// items share one file.
class TCsvOutput : public TTextFileOutput {
public:
    using TTextFileOutput::TTextFileOutput;

    static void AppendField(std::string& out, std::string_view field) {
        if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
            out += field;
            return;
        }
        out += '"';
        for (char c : field) {
            if (c == '"')
                out += '"';
            out += c;
        }
        out += '"';
    }

protected:
    void Format(const TOutputPacket& packet, std::string& out) override {
        const std::string time = IsoUtc(packet.Time);
        for (const TOutputValue& value : packet.Values) {
            out += time;
            out += ',';
            AppendField(out, packet.Source);
            out += ',';
            AppendField(out, value.Name);
            out += ',';
            AppendField(out, ValueText(value, packet.Time));
            out += "\r\n";
        }
    }
};

} // namespace

std::unique_ptr<IOutput> MakeJsonlOutput(std::string target, std::string path, TLog log) {
    return std::make_unique<TJsonlOutput>(std::move(target), std::move(path), std::string(), std::move(log));
}

std::unique_ptr<IOutput> MakeCsvOutput(std::string target, std::string path, TLog log) {
    return std::make_unique<TCsvOutput>(std::move(target), std::move(path), "time,source,item,value\r\n",
                                        std::move(log));
}

} // namespace host::outputs
