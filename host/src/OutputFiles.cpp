// The text file outputs: JSON lines and CSV. Lines are formatted on the
// caller's thread into a buffer and handed to the file with one write(2) when
// the last write is 200 ms old or 64 KiB are waiting, so a slow source's lines
// reach the file at once and a fast one costs one system call per batch. What
// the file refuses (disk full, folder gone) stays buffered, up to a bound, and
// is written when the file takes it again.
#include "OutputKinds.h"

#include "platform/AtomicFile.h"
#include "platform/Paths.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace host::outputs {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kBatchBytes = 64 * 1024;
constexpr auto kBatchAge = std::chrono::milliseconds(200);
// Buffered while the file refuses writes; newer lines beyond it are dropped.
constexpr std::size_t kMaxPendingBytes = 64 * 1024 * 1024;

class TTextFileOutput : public IOutput {
public:
    // An empty path writes to standard output. header is written first when
    // the file is new or empty.
    TTextFileOutput(std::string target, std::string path, std::string header, TLog log)
        : target_(std::move(target)), path_(std::move(path)), header_(std::move(header)), log_(std::move(log)) {
        if (path_.empty()) {
            fd_ = STDOUT_FILENO;
            pending_ = header_;
        } else {
            Open();
        }
    }
    ~TTextFileOutput() override {
        WritePending();
        if (fd_ >= 0 && fd_ != STDOUT_FILENO)
            ::close(fd_);
    }
    TTextFileOutput(const TTextFileOutput&) = delete;
    TTextFileOutput& operator=(const TTextFileOutput&) = delete;

    const std::string& Target() const override { return target_; }

    void Write(const TOutputPacket& packet) override {
        const std::size_t before = pending_.size();
        try {
            Format(packet, pending_);
        } catch (const std::exception& e) {
            pending_.resize(before);
            Report("cannot format a packet: " + std::string(e.what()));
            return;
        }
        if (pending_.size() > kMaxPendingBytes) {
            pending_.resize(before);
            if (dropped_++ == 0)
                Report("buffer full (" + std::to_string(kMaxPendingBytes >> 20) +
                       " MiB), dropping new packets");
        }
        const auto now = Clock::now();
        if (pending_.size() >= kBatchBytes || now - lastWrite_ >= kBatchAge)
            WritePending();
    }

    void Flush(std::chrono::milliseconds) override {
        if (!WritePending() || fd_ < 0 || fd_ == STDOUT_FILENO)
            return;
        if (!platform::FlushDescriptor(fd_))
            Fail("cannot sync", errno);
    }

protected:
    virtual void Format(const TOutputPacket& packet, std::string& out) = 0;

private:
    bool Open() {
        fd_ = platform::OpenForAppend(platform::PathFromUtf8(path_));
        if (fd_ < 0) {
            Fail("cannot open", errno);
            return false;
        }
        struct stat st {};
        if (!header_.empty() && ::fstat(fd_, &st) == 0 && st.st_size == 0)
            pending_.insert(0, header_);
        return true;
    }

    // Whether everything buffered reached the file.
    bool WritePending() {
        lastWrite_ = Clock::now();
        if (fd_ < 0 && !Open())
            return false;
        std::size_t done = 0;
        while (done < pending_.size()) {
            const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                pending_.erase(0, done);
                Fail("cannot write", n < 0 ? errno : ENOSPC);
                return false;
            }
            done += static_cast<std::size_t>(n);
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

    void Fail(const char* what, int error) {
        if (failing_)
            return;
        failing_ = true;
        Report(std::string(what) + ": " + std::strerror(error) + "; keeping lines in memory and retrying");
    }

    void Report(const std::string& text) {
        if (log_)
            log_("output " + target_ + ": " + text);
    }

    std::string target_;
    std::string path_;
    std::string header_;
    TLog log_;
    int fd_ = -1;
    std::string pending_;
    Clock::time_point lastWrite_{};
    bool failing_ = false;
    std::uint64_t dropped_ = 0;
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
            AppendField(out, ValueText(value.Value));
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
