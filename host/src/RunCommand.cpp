// qorhost run: the logger. Reads the configuration, opens the outputs, starts
// every data source and writes each packet to every output until SIGINT or
// SIGTERM; SIGHUP reads the configuration again. Everything happens on the
// main thread's message loop: packets, signals, timers and log lines.
#include "host/Acquisition.h"
#include "host/Commands.h"
#include "host/HostConfig.h"
#include "host/LiveTable.h"
#include "host/SignalWatcher.h"
#include "host/TempFolder.h"

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/FileAccess.h"
#include "platform/Messages.h"
#include "platform/Paths.h"
#include "platform/Thread.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>

namespace host {

namespace {

constexpr platform::UINT_PTR kTableTimer = 1;
constexpr platform::UINT_PTR kDurationTimer = 2;
constexpr platform::UINT WM_LOG_LINES = platform::WM_USER + 30;
constexpr platform::UINT kTableMs = 250; // at most four drawings a second
constexpr auto kFlushLimit = std::chrono::seconds(10);
// Lines of other threads waiting for the main thread; more are counted, not kept.
constexpr std::size_t kMaxWaitingLines = 10000;

std::string StampText(std::chrono::system_clock::time_point t) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    platform::LocalTime(seconds, &local);
    char text[64]; // room for any year the structure can hold
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms));
    return text;
}

// Time-stamped log lines on standard error and in the log file. Lines from
// other threads (the outputs') are handed to the main thread, which alone
// writes to the terminal, where the live table is. Each line goes to the file
// with one write, so the file holds whole lines.
class TLogWriter {
public:
    TLogWriter()
        : mainThread_(platform::GetCurrentThreadId()),
          window_([this](platform::UINT msg, platform::WPARAM, platform::LPARAM) {
              if (msg != WM_LOG_LINES)
                  return false;
              WritePending();
              return true;
          }) {}
    ~TLogWriter() { WritePending(); }
    // Opens the log file for appending (none for an empty path); empty when
    // it worked, else why not, and the previous file stays.
    std::string OpenFile(const std::string& path) {
        if (path.empty()) {
            file_.Close();
            path_.clear();
            return {};
        }
        platform::AppendFile next;
        if (const std::error_code ec = next.Open(platform::PathFromUtf8(path)))
            return ec.message();
        file_ = std::move(next);
        path_ = path;
        return {};
    }
    // SIGHUP: the file again by its name (log rotation).
    void Reopen() {
        if (path_.empty())
            return;
        if (const std::string why = OpenFile(path_); !why.empty())
            Line("qorhost: cannot open the log file " + path_ + " again (" + why + "); keeping the old one");
    }
    void SetTable(TLiveTable* table) { table_ = table; }

    void Line(const std::string& text) {
        const std::string line = StampText(std::chrono::system_clock::now()) + " " + text;
        if (platform::GetCurrentThreadId() != mainThread_) {
            std::scoped_lock hold(lock_);
            if (pending_.size() >= kMaxWaitingLines) {
                ++droppedLines_;
                return;
            }
            pending_.push_back(line);
            if (pending_.size() == 1)
                window_.Post(WM_LOG_LINES);
            return;
        }
        WritePending();
        Write(line);
    }

private:
    void WritePending() {
        std::deque<std::string> lines;
        std::uint64_t dropped = 0;
        {
            std::scoped_lock hold(lock_);
            lines.swap(pending_);
            dropped = std::exchange(droppedLines_, 0);
        }
        for (const std::string& l : lines)
            Write(l);
        if (dropped > 0)
            Write(StampText(std::chrono::system_clock::now()) + " qorhost: " + std::to_string(dropped) +
                  " log lines of the outputs left out (too many at once)");
    }
    void Write(const std::string& line) {
        if (table_)
            table_->Erase();
        std::fprintf(stderr, "%s\n", line.c_str());
        if (file_.IsOpen())
            file_.WriteRecord(line + "\n");
    }

    platform::DWORD mainThread_;
    platform::AppendFile file_;
    std::string path_;
    TLiveTable* table_ = nullptr;
    std::mutex lock_;
    std::deque<std::string> pending_;
    std::uint64_t droppedLines_ = 0;
    TMessageWindow window_;
};

bool WritesToStdout(const std::string& output) {
    return output == "jsonl:-" || output == "csv:-";
}

// The logger's state between the message loop's events.
class TLogger {
public:
    TLogger(THostConfig config, TSecret environmentPassword, THost& host, TPluginLibrary& library,
            const std::string& settingsFile)
        : config_(std::move(config)), environmentPassword_(std::move(environmentPassword)), host_(host),
          acquisition_(host, library, settingsFile),
          window_([this](platform::UINT msg, platform::WPARAM wParam, platform::LPARAM) {
              if (msg != platform::WM_TIMER)
                  return false;
              if (wParam == kTableTimer && table_)
                  table_->Draw(std::chrono::system_clock::now());
              if (wParam == kDurationTimer) {
                  window_.StopTimer(kDurationTimer);
                  log_.Line("qorhost: the run's duration is over; stopping");
                  host_.Quit(kExitOk);
              }
              return true;
          }) {
        acquisition_.OnLog = [this](const std::string& line) { log_.Line(line); };
        acquisition_.OnPacket = [this](TOutputPacket&& packet) {
            if (table_)
                table_->Update(packet);
            // The last output takes the packet itself.
            for (std::size_t i = 0; i < outputs_.size(); ++i) {
                if (i + 1 < outputs_.size())
                    outputs_[i]->Write(packet);
                else
                    outputs_[i]->WriteMoved(std::move(packet));
            }
        };
    }

    // Opens the log file and the outputs: a failure is the configuration's
    // (exit 2), so a path that cannot work is said at start, not found out
    // at the end of the run.
    void OpenOutputs() {
        if (const std::string why = log_.OpenFile(config_.LogFile); !why.empty())
            throw EConfigError(config_.File, config_.LogFileLine, "host", "log file",
                               "cannot open " + config_.LogFile + ": " + why);
        outputs_ = MakeOutputs(config_);
        UpdateTable();
    }

    // Starts every data source; false when one could not start (logged).
    bool StartSources() {
        bool all = true;
        for (const TSourceSettings& s : config_.Sources) {
            try {
                acquisition_.Start(s);
                log_.Line("qorhost: data source \"" + s.Name + "\" (" + s.Type + ") polls " + s.Device);
            } catch (const std::exception& e) {
                log_.Line(std::string("qorhost: ") + e.what());
                all = false;
            }
        }
        if (table_)
            for (const TSourceSettings& s : acquisition_.Sources())
                table_->AddSource(s.Name);
        return all;
    }

    void RunFor(double seconds) {
        if (seconds > 0)
            window_.StartTimer(kDurationTimer, static_cast<platform::UINT>(seconds * 1000));
    }

    // SIGHUP: the file again. A file that does not read keeps the running
    // configuration; data sources whose identity (name, type, device,
    // language) is unchanged reload in place, any other change restarts them.
    void Reload() {
        // The plug-in's calls pump messages, so a SIGHUP can arrive inside a
        // reload: it is done once this one is over.
        if (reloading_) {
            reloadAgain_ = true;
            return;
        }
        reloading_ = true;
        do {
            reloadAgain_ = false;
            ReloadOnce();
        } while (reloadAgain_);
        reloading_ = false;
    }

    void ReloadOnce() {
        Reopen();
        THostConfig next;
        try {
            next = LoadHostConfig(config_.File, environmentPassword_);
        } catch (const EConfigError& e) {
            log_.Line(std::string("qorhost: configuration not reloaded: ") + e.what());
            return;
        }
        if (!next.Plugin.empty() && next.Plugin != config_.Plugin)
            log_.Line(
                "qorhost: [host] plugin changed: that takes a restart of qorhost; keeping the loaded one");
        next.Plugin = config_.Plugin;
        if (next.LogFile != config_.LogFile) {
            if (const std::string why = log_.OpenFile(next.LogFile); !why.empty()) {
                log_.Line("qorhost: cannot open the log file " + next.LogFile + " (" + why +
                          "); keeping the previous one");
                next.LogFile = config_.LogFile;
            }
        }
        // A new password (its file is read again) or TLS file makes the MQTT
        // outputs anew, as a new list of outputs does.
        if (next.Outputs != config_.Outputs || next.Mqtt != config_.Mqtt) {
            try {
                std::vector<std::unique_ptr<IOutput>> made = MakeOutputs(next);
                FlushOutputs();
                for (std::unique_ptr<IOutput>& o : outputs_)
                    retired_.push_back({o->Target(), o->Tally()});
                outputs_ = std::move(made);
            } catch (const std::exception& e) {
                log_.Line(std::string("qorhost: outputs not changed: ") + e.what());
                next.Outputs = config_.Outputs;
                next.OutputLines = config_.OutputLines;
                next.Mqtt = config_.Mqtt;
            }
        }
        const std::vector<TSourceSettings> running = acquisition_.Sources();
        bool restart = running.size() != next.Sources.size();
        for (std::size_t i = 0; !restart && i < running.size(); ++i)
            restart = running[i].NeedsRestart(next.Sources[i]);
        config_ = std::move(next);
        UpdateTable();
        if (restart) {
            log_.Line("qorhost: the data sources changed; restarting them");
            acquisition_.Stop();
            if (table_) {
                // A fresh table for the new data sources.
                window_.StopTimer(kTableTimer);
                table_->Erase();
                table_.reset();
                UpdateTable();
            }
            StartSources();
        } else {
            for (std::size_t i = 0; i < running.size(); ++i) {
                const TSourceSettings& s = config_.Sources[i];
                if (s.RequestXml == running[i].RequestXml && s.MinIntervalMs == running[i].MinIntervalMs &&
                    s.ExportAtOnce == running[i].ExportAtOnce && s.CombineRequests == running[i].CombineRequests)
                    continue;
                try {
                    acquisition_.Reload(s);
                    log_.Line("qorhost: data source \"" + s.Name + "\" reloaded its requests");
                } catch (const std::exception& e) {
                    log_.Line(std::string("qorhost: ") + e.what());
                }
            }
        }
        log_.Line("qorhost: configuration reloaded from " + config_.File);
    }

    // SIGHUP: the log file and the outputs' files opened again by their
    // names (log rotation), then the configuration read again.
    void Reopen() {
        log_.Reopen();
        for (const std::unique_ptr<IOutput>& o : outputs_)
            o->Reopen();
    }

    // Clean stop: the data sources end, and what they delivered reaches
    // every output. The number of packets that did not reach an output,
    // over all outputs, including those replaced by a reload; each output
    // with such packets is logged.
    std::uint64_t Stop() {
        acquisition_.Stop();
        FlushOutputs();
        std::vector<TRetired> all = retired_;
        for (const std::unique_ptr<IOutput>& o : outputs_)
            all.push_back({o->Target(), o->Tally()});
        std::uint64_t unwritten = 0;
        for (const TRetired& o : all) {
            if (o.Tally.Unwritten() == 0)
                continue;
            unwritten += o.Tally.Unwritten();
            log_.Line("qorhost: output " + o.Target + ": " + std::to_string(o.Tally.Unwritten()) + " of " +
                      std::to_string(o.Tally.Given) + " packets not written");
        }
        if (table_) {
            // The last values stay on the screen; what is logged after them goes below.
            window_.StopTimer(kTableTimer);
            table_->StateOf = [](const std::string&) { return std::string("stopped"); };
            table_->Draw(std::chrono::system_clock::now());
            log_.SetTable(nullptr);
        }
        return unwritten;
    }

    void Log(const std::string& line) { log_.Line(line); }

private:
    std::vector<std::unique_ptr<IOutput>> MakeOutputs(const THostConfig& config) {
        TMqttOptions mqtt;
        mqtt.User = config.Mqtt.User;
        mqtt.Password = config.Mqtt.Password.Reveal();
        mqtt.CaFile = config.Mqtt.CaFile;
        mqtt.CertFile = config.Mqtt.CertFile;
        mqtt.KeyFile = config.Mqtt.KeyFile;
        mqtt.Insecure = config.Mqtt.Insecure;
        const TWipeOnExit wipe(mqtt.Password);
        std::vector<std::unique_ptr<IOutput>> made;
        for (std::size_t i = 0; i < config.Outputs.size(); ++i) {
            std::string problem;
            try {
                made.push_back(MakeOutput(
                    config.Outputs[i], config.Folder,
                    [this](const std::string& line) { log_.Line("qorhost: " + line); }, mqtt));
                problem = made.back()->StartProblem();
            } catch (const std::exception& e) {
                problem = e.what();
            }
            if (!problem.empty())
                throw EConfigError(config.File, config.OutputLines.at(i), "host", "outputs",
                                   "output " + config.Outputs[i] + ": " + problem);
        }
        return made;
    }

    void FlushOutputs() {
        for (const std::unique_ptr<IOutput>& o : outputs_)
            o->Flush(kFlushLimit);
    }

    // The table is for a terminal whose standard output no output uses.
    void UpdateTable() {
        bool wanted = platform::StandardOutputIsTerminal();
        for (const std::string& output : config_.Outputs)
            wanted = wanted && !WritesToStdout(output);
        if (wanted && !table_) {
            table_ = std::make_unique<TLiveTable>(stdout);
            table_->StateOf = [this](const std::string& source) {
                return std::string(LinkStateName(acquisition_.State(source)));
            };
            window_.StartTimer(kTableTimer, kTableMs);
        } else if (!wanted && table_) {
            window_.StopTimer(kTableTimer);
            table_->Erase();
            table_.reset();
        }
        log_.SetTable(table_.get());
    }

    struct TRetired {
        std::string Target;
        TOutputTally Tally;
    };

    THostConfig config_;
    TSecret environmentPassword_; // QORHOST_MQTT_PASSWORD, taken at start
    THost& host_;
    std::vector<TRetired> retired_; // outputs a reload replaced, as they ended
    TLogWriter log_;
    std::vector<std::unique_ptr<IOutput>> outputs_;
    std::unique_ptr<TLiveTable> table_;
    TAcquisition acquisition_;
    TMessageWindow window_;
    bool reloading_ = false;
    bool reloadAgain_ = false;
};


} // namespace

CLI::App* AddRunCommand(CLI::App& app, TRunOptions& opts) {
    CLI::App* run = app.add_subcommand("run", "Log the data sources of a configuration file to its outputs");
    run->fallthrough(false);
    run->add_option("-c,--config", opts.Config, "The configuration file (see examples/demo.ini)")->required();
    run->add_option("--plugin", opts.Plugin, "Path of the plug-in library (overrides [host] plugin)");
    run->add_option("--duration", opts.DurationSeconds,
                    "Stop after this many seconds (0: at SIGINT or SIGTERM)")
        ->check(CLI::Range(0.0, 4000000.0)); // a window timer counts 32-bit milliseconds
    return run;
}

int RunRunCommand(const TRunOptions& opts) {
    platform::TreatFileSizeLimitAsWriteError();
    std::string fromEnvironment = platform::TakeEnvironmentSecret("QORHOST_MQTT_PASSWORD");
    TSecret environmentPassword(fromEnvironment);
    THostConfig config;
    try {
        config = LoadHostConfig(opts.Config, environmentPassword);
    } catch (const EConfigError& e) {
        std::fprintf(stderr, "qorhost run: %s\n", e.what());
        return kExitUsage;
    }
    const std::string plugin = !opts.Plugin.empty()     ? opts.Plugin
                               : !config.Plugin.empty() ? config.Plugin
                                                        : DefaultPluginPath();
    try {
        TLogger* logger = nullptr;
        bool reload = false;
        using platform::ProcessSignal;
        TSignalWatcher signals({ProcessSignal::Interrupt, ProcessSignal::Terminate, ProcessSignal::Reload},
                               [&](ProcessSignal s) {
            if (s == ProcessSignal::Reload) {
                if (logger)
                    logger->Reload();
                else
                    reload = true;
                return;
            }
            if (logger)
                logger->Log("qorhost: " + std::string(platform::ProcessSignalName(s)) + "; stopping");
            platform::PostQuitMessage(kExitOk);
        });
        TTempFolder folder("qorhost-run");
        THost host;
        std::optional<TPluginLibrary> library;
        try {
            library.emplace(plugin);
        } catch (const EPluginLoad& e) {
            std::fprintf(stderr, "qorhost run: %s\n", e.what());
            return kExitFailed;
        }
        TLogger run(config, std::move(environmentPassword), host, *library, folder.File("settings"));
        try {
            run.OpenOutputs();
        } catch (const EConfigError& e) {
            std::fprintf(stderr, "qorhost run: %s\n", e.what());
            return kExitUsage;
        }
        logger = &run;
        const bool started = run.StartSources();
        int code = kExitFailed;
        if (started) {
            run.Log("qorhost: running " + std::to_string(config.Sources.size()) + " data source(s) of " +
                    config.File);
            if (reload)
                run.Reload();
            run.RunFor(opts.DurationSeconds);
            code = host.RunMessageLoop();
        }
        logger = nullptr; // signals from here on only stop
        const std::uint64_t unwritten = run.Stop();
        if (!started)
            run.Log("qorhost: stopped: a data source did not start");
        else if (unwritten > 0)
            run.Log("qorhost: stopped: " + std::to_string(unwritten) +
                    " packets were not written (see above)");
        else
            run.Log("qorhost: stopped cleanly");
        if (unwritten > 0)
            code = kExitFailed;
        library->GlobalShutdown();
        return code;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qorhost run: %s\n", e.what());
        return kExitFailed;
    }
}

} // namespace host
