// A program of the build run as a child process: its standard output and
// error read line by line with a deadline (never a fixed sleep), signals,
// and its exit code.
#pragma once

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace clitest {

using namespace std::chrono_literals;

class TChild {
public:
    explicit TChild(std::vector<std::string> args) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        fds_[0] = out[0];
        fds_[1] = err[0];
    }
    ~TChild() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : fds_)
            if (fd >= 0)
                ::close(fd);
    }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    void Signal(int s) const { ::kill(pid_, s); }

    // Reads until a line of stdout (stream 0) or stderr (1) satisfies the
    // predicate; that line, or nothing when the deadline passed or the stream ended.
    std::optional<std::string> WaitForLine(int stream, const std::function<bool(const std::string&)>& match,
                                           std::chrono::milliseconds limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            while (next_[stream] < lines_[stream].size())
                if (const std::string& l = lines_[stream][next_[stream]++]; match(l))
                    return l;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count())))
                return std::nullopt;
        }
    }
    std::optional<std::string> WaitForText(int stream, const std::string& text,
                                           std::chrono::milliseconds limit = 20s) {
        return WaitForLine(
            stream, [&](const std::string& l) { return l.find(text) != std::string::npos; }, limit);
    }

    // Reads both streams to their end, then the exit code (-1: killed by a signal).
    int Wait() {
        while (ReadSome(-1)) {
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::vector<std::string>& Lines(int stream) const { return lines_[stream]; }
    std::string Text(int stream) const {
        std::string all;
        for (const std::string& l : lines_[stream])
            all += l + "\n";
        return all + partial_[stream];
    }

private:
    // False when both streams ended or the time ran out.
    bool ReadSome(int timeoutMs) {
        pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        if (fds_[0] < 0 && fds_[1] < 0)
            return false;
        if (::poll(p, 2, timeoutMs) <= 0)
            return false;
        for (int s = 0; s < 2; ++s) {
            if (fds_[s] < 0 || (p[s].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            char buf[4096];
            const ssize_t n = ::read(fds_[s], buf, sizeof buf);
            if (n <= 0) {
                ::close(fds_[s]);
                fds_[s] = -1;
                continue;
            }
            partial_[s].append(buf, static_cast<std::size_t>(n));
            for (std::size_t nl; (nl = partial_[s].find('\n')) != std::string::npos;) {
                lines_[s].push_back(partial_[s].substr(0, nl));
                partial_[s].erase(0, nl + 1);
            }
        }
        return true;
    }

    pid_t pid_ = 0;
    bool exited_ = false;
    int fds_[2] = {-1, -1};
    std::vector<std::string> lines_[2];
    std::size_t next_[2] = {0, 0};
    std::string partial_[2];
};

// eipsim on a free loopback port; Port() is 0 when it did not start.
class TSim {
public:
    explicit TSim(std::vector<std::string> args = {})
        : child_([&] {
              args.insert(args.begin(), {EIPSIM_PATH, "--port", "0"});
              return args;
          }()) {
        if (auto line = child_.WaitForText(0, "listening on 127.0.0.1:"))
            port_ = std::stoi(line->substr(line->rfind(':') + 1));
    }
    int Port() const { return port_; }
    std::string Device() const { return "127.0.0.1:" + std::to_string(port_); }
    TChild& Process() { return child_; }

private:
    TChild child_;
    int port_ = 0;
};

} // namespace clitest
