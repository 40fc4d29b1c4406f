// What the programs that run the real logger share (bench_scale, soak): the
// programs as child processes, their CPU time and memory from /proc, the
// simulated controllers' listening line, and a read-only SQLite file.
#pragma once

#include <sqlite3.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

extern char** environ;

namespace benchsupport {

using RunClock = std::chrono::steady_clock;

[[noreturn]] inline void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::system_category(), what);
}

class TFd {
public:
    explicit TFd(int fd = -1) : fd_(fd) {}
    ~TFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TFd(TFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    TFd& operator=(TFd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int Get() const { return fd_; }

private:
    int fd_;
};

// A program run as a child process; stopped with SIGTERM and reaped when the
// object goes, so a failed run leaves no process behind.
class TChild {
public:
    // stdoutPipe: the child's standard output is read with ReadLine, else it
    // goes to /dev/null; its standard error goes to the file errPath.
    TChild(const std::vector<std::string>& argv, bool stdoutPipe, const std::string& errPath,
           const std::vector<std::string>& extraEnv = {}) {
        int pipeFds[2] = {-1, -1};
        if (stdoutPipe && ::pipe2(pipeFds, O_CLOEXEC) != 0)
            ThrowErrno("pipe");
        TFd readEnd(pipeFds[0]);
        TFd writeEnd(pipeFds[1]);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (stdoutPipe)
            posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 1);
        else
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<std::string> envText(extraEnv);
        for (char** e = environ; *e != nullptr; ++e)
            envText.emplace_back(*e);
        std::vector<char*> env;
        for (std::string& e : envText)
            env.push_back(e.data());
        env.push_back(nullptr);

        const int rc = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            throw std::system_error(rc, std::system_category(), "cannot start " + argv[0]);
        // Through the system call: glibc 2.36 declares pidfd_open without C linkage.
        pidFd_ = TFd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
        if (pidFd_.Get() < 0)
            ThrowErrno("pidfd_open");
        out_ = std::move(readEnd);
        started_ = RunClock::now();
        name_ = std::filesystem::path(argv[0]).filename().string();
    }
    ~TChild() {
        if (!reaped_) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    pid_t Pid() const { return pid_; }
    RunClock::time_point Started() const { return started_; }
    // Sends the signal while the child runs (not once it has been reaped).
    void Signal(int signal) const {
        if (!reaped_)
            ::kill(pid_, signal);
    }

    // The next line of the child's standard output, without its end; throws
    // when none comes within timeoutMs.
    std::string ReadLine(int timeoutMs) {
        const auto until = RunClock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (const auto end = buffered_.find('\n'); end != std::string::npos) {
                std::string line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - RunClock::now()).count();
            pollfd p{out_.Get(), POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
                throw std::runtime_error(name_ + " wrote no line in time");
            char chunk[256];
            const ssize_t got = ::read(out_.Get(), chunk, sizeof chunk);
            if (got <= 0)
                throw std::runtime_error(name_ + " ended its output");
            buffered_.append(chunk, static_cast<std::size_t>(got));
        }
    }

    // Waits up to timeoutMs for the child to end: its exit status, or none
    // while it still runs.
    std::optional<int> WaitFor(int timeoutMs) {
        if (reaped_)
            return exitStatus_;
        pollfd p{pidFd_.Get(), POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return std::nullopt;
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_)
            ThrowErrno("waitpid");
        reaped_ = true;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitStatus_;
    }

private:
    pid_t pid_ = -1;
    TFd pidFd_;
    TFd out_;
    std::string buffered_;
    std::string name_;
    RunClock::time_point started_;
    bool reaped_ = false;
    int exitStatus_ = 0;
};

// The port of a simulated controller from its first line, "listening on
// ADDRESS:PORT", which it writes once it accepts connections.
inline unsigned ListeningPort(TChild& sim, int timeoutMs) {
    const std::string line = sim.ReadLine(timeoutMs);
    const auto colon = line.rfind(':');
    unsigned port = 0;
    if (line.rfind("listening on ", 0) != 0 || colon == std::string::npos ||
        std::from_chars(line.data() + colon + 1, line.data() + line.size(), port).ec != std::errc{})
        throw std::runtime_error("eipsim said \"" + line + "\" instead of its port");
    return port;
}

// CPU time (user and system) from a stat file of /proc: a process's (every
// thread) or one thread's; 0 once it is gone.
inline double StatCpuSeconds(const std::string& statPath) {
    std::ifstream in(statPath);
    std::string text;
    std::getline(in, text);
    // The command name in brackets may hold blanks: fields count from after it.
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    for (int i = 0; i < 11 && fields >> field; ++i) {
    }
    fields >> utime >> stime;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// CPU time of a process's threads whose name starts with prefix, together.
inline double ThreadsCpuSeconds(pid_t pid, std::string_view prefix) {
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    double total = 0;
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name.compare(0, prefix.size(), prefix) == 0)
            total += StatCpuSeconds((task.path() / "stat").string());
    }
    return total;
}

// A "Vm...:" line of /proc/PID/status in KiB, 0 when absent.
inline long StatusKiB(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, key.size(), key) == 0)
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return 0;
}

// The whole machine's busy time (every CPU, seconds) from /proc/stat.
inline double MachineBusySeconds() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    return static_cast<double>(user + nice + system + irq + softirq + steal) /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A SQLite file opened read-only.
class TDatabase {
public:
    explicit TDatabase(const std::string& path) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            throw std::runtime_error("cannot open " + path);
        }
        db_.reset(db);
    }
    // Calls row(statement) for every row of the query.
    template <class Row>
    void Query(const char* sql, Row row) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("query failed: ") + sqlite3_errmsg(db_.get()));
        const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement(raw, &sqlite3_finalize);
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(raw)) == SQLITE_ROW)
            row(raw);
        if (rc != SQLITE_DONE)
            throw std::runtime_error(std::string("query failed: ") + sqlite3_errmsg(db_.get()));
    }

private:
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db_{nullptr, &sqlite3_close};
};

inline std::string Text(sqlite3_stmt* s, int column) {
    const auto* text = sqlite3_column_text(s, column);
    return text == nullptr ? std::string() : reinterpret_cast<const char*>(text);
}

} // namespace benchsupport
