// eipsim: the simulated controller as a program. Listens on loopback, prints
// "listening on ADDRESS:PORT" once it accepts connections, and runs until
// interrupted (SIGINT or SIGTERM). --personality picks the controller family
// it answers as (logix, micro800, micrologix); --animate makes the scalar
// values change every second; --chaos SEED[:RATE] gives replies random faults
// (--chaos-spacing-ms, --chaos-max-delay-ms and --chaos-restart-ms shape them)
// and --close-on-error closes the connection after every error reply. The
// faults fired are counted on standard error at the end; --fault-log FILE
// also writes one line per fault as it fires (see sim/README.md), so that a
// soak can tell a client's recovery from the fault's own duration.
#include "sim/Animator.h"
#include "sim/SimController.h"
#include "sim/TagFile.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>

namespace {

struct TFileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// "TIME_MS KIND LASTS_MS COMMAND SERVICE": the wall-clock time in ms since
// 1970 UTC when the fault fired, its kind, how long the device misbehaves by
// itself (a delay's or split's pauses, a restart's time away; 0 for the
// others), the encapsulation command and CIP service of the request it
// struck in hex ("-" for a refused Forward Open and a request without a
// service).
class TFaultLog {
public:
    explicit TFaultLog(std::FILE* file) : file_(file) {}
    void Write(const sim::FaultEvent& event) {
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        char command[8] = "-";
        char service[8] = "-";
        if (!event.ForwardOpen) {
            std::snprintf(command, sizeof command, "0x%02x", static_cast<unsigned>(event.Command));
            if (event.Service) {
                std::snprintf(service, sizeof service, "0x%02x", static_cast<unsigned>(*event.Service));
            }
        }
        std::scoped_lock lock(mutex_);
        // One line at a time, whole: a reader may look while the device runs.
        std::fprintf(file_.get(), "%lld %s %lld %s %s\n", static_cast<long long>(now),
                     std::string(sim::FaultKindName(event.Kind)).c_str(),
                     static_cast<long long>(event.Lasts.count()), command, service);
        std::fflush(file_.get());
    }

private:
    std::mutex mutex_;
    std::unique_ptr<std::FILE, TFileCloser> file_;
};

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Simulated EtherNet/IP controller"};
    sim::SimConfig config;
    config.Port = 44818;
    std::string tagsFile;
    std::string personality = "logix";
    bool printSample = false;
    bool animate = false;
    int silent = 0;
    int refuseForwardOpen = 0;
    int delayMs = 0;
    std::size_t splitParts = 0;
    int splitPauseMs = 50;
    std::string chaosText;
    std::string faultLogPath;
    int chaosSpacingMs = 0;
    int chaosMaxDelayMs = -1;
    int chaosRestartMs = -1;
    bool closeOnError = false;
    sim::IdentityInfo& identity = config.Device.Identity;

    app.add_option("--port", config.Port, "TCP port; 0 picks a free one")->capture_default_str();
    app.add_option("--address", config.Address, "IPv4 address to listen on")->capture_default_str();
    app.add_option("--tags", tagsFile, "tag and data-file text (default: the built-in sample)")
        ->check(CLI::ExistingFile);
    app.add_flag("--animate", animate,
                 "change values every second: integers count, REALs follow a sine, BOOLs toggle "
                 "(scalar tags, element 0 of N and F files)");
    app.add_flag("--print-sample", printSample, "print the built-in sample tag text and exit");
    app.add_option("--personality", personality, "controller family: logix, micro800 or micrologix")
        ->check(CLI::IsMember({"logix", "micro800", "micrologix"}, CLI::ignore_case))
        ->capture_default_str();
    app.add_option("--backplane-port", config.Device.BackplanePort, "port a route must name")
        ->capture_default_str();
    app.add_option("--slot", config.Device.Slot, "slot a route must name")->capture_default_str();
    app.add_option("--max-reply", config.Device.MaxUnconnectedReply, "largest unconnected CIP reply in bytes")
        ->check(CLI::Range(16, 65000))
        ->capture_default_str();
    app.add_option("--max-connections", config.Device.MaxConnections, "class-3 connections at most")
        ->capture_default_str();
    app.add_option("--product-name", identity.ProductName, "identity product name")->capture_default_str();
    app.add_option("--serial", identity.SerialNumber, "identity serial number")->capture_default_str();
    app.add_option("--vendor", identity.VendorId, "identity vendor id")->capture_default_str();
    app.add_option("--product-code", identity.ProductCode, "identity product code")->capture_default_str();
    app.add_option("--silent", silent, "give no reply to the next N requests")->check(CLI::NonNegativeNumber);
    app.add_option("--delay-ms", delayMs, "answer every request this late")->check(CLI::NonNegativeNumber);
    app.add_option("--split", splitParts, "send every reply in this many TCP segments")
        ->check(CLI::Range(2, 64));
    app.add_option("--split-pause-ms", splitPauseMs, "pause between split segments")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--refuse-forward-open", refuseForwardOpen, "refuse the next N Forward Opens")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--close-on-error", closeOnError,
                 "close the TCP connection after every reply that carries an error status");
    app.add_option("--chaos", chaosText,
                   "random faults: SEED[:RATE], each reply faulty with probability RATE (default 0.05): "
                   "silence, delay, split, truncation, garbage, wrong length, close, restart of the "
                   "listener, refused Forward Open");
    app.add_option("--chaos-spacing-ms", chaosSpacingMs,
                   "with --chaos: after each random fault, this long without one (Forward Opens "
                   "excepted, but never two refused in a row)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--chaos-max-delay-ms", chaosMaxDelayMs, "with --chaos: the longest random delay (400)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--chaos-restart-ms", chaosRestartMs,
                   "with --chaos: how long a random restart keeps the listener away (300)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--fault-log", faultLogPath,
                   "write one line per fault as it fires: TIME_MS KIND LASTS_MS COMMAND SERVICE");
    CLI11_PARSE(app, argc, argv);
    std::optional<sim::ChaosConfig> chaos;
    if (!chaosText.empty()) {
        chaos = sim::ParseChaos(chaosText);
        if (!chaos) {
            std::fprintf(stderr, "eipsim: --chaos takes SEED or SEED:RATE (RATE 0..1), not '%s'\n",
                         chaosText.c_str());
            return 2;
        }
        chaos->Spacing = std::chrono::milliseconds(chaosSpacingMs);
        if (chaosMaxDelayMs >= 0) {
            chaos->MaxDelay = std::chrono::milliseconds(chaosMaxDelayMs);
        }
        if (chaosRestartMs >= 0) {
            chaos->RestartPause = std::chrono::milliseconds(chaosRestartMs);
        }
    }

    // The family's own identity, with whatever the options set on top.
    config.Device.Family = *sim::PersonalityFromName(personality);
    {
        sim::IdentityInfo family = sim::DefaultIdentity(config.Device.Family);
        if (app.count("--product-name") == 0) {
            identity.ProductName = family.ProductName;
        }
        if (app.count("--serial") == 0) {
            identity.SerialNumber = family.SerialNumber;
        }
        if (app.count("--product-code") == 0) {
            identity.ProductCode = family.ProductCode;
        }
        identity.MajorRevision = family.MajorRevision;
        identity.MinorRevision = family.MinorRevision;
    }

    if (printSample) {
        std::cout << sim::SampleTagText();
        return 0;
    }

    // The signals are taken by sigwait below; blocking them before any thread
    // starts keeps them away from the server's threads.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::optional<TFaultLog> faultLog;
    if (!faultLogPath.empty()) {
        std::FILE* file = std::fopen(faultLogPath.c_str(), "w");
        if (file == nullptr) {
            std::fprintf(stderr, "eipsim: cannot write the fault log %s\n", faultLogPath.c_str());
            return 2;
        }
        faultLog.emplace(file);
    }

    try {
        sim::SimController plc(config);
        if (tagsFile.empty()) {
            sim::LoadTagText(sim::SampleTagText(), plc.Tags(), plc.Files());
        } else {
            sim::LoadTagFile(tagsFile, plc.Tags(), plc.Files());
        }
        sim::FaultInjector& faults = plc.Faults();
        if (silent > 0) {
            faults.Add(sim::FaultRule(sim::FaultKind::Silent, silent));
        }
        if (refuseForwardOpen > 0) {
            faults.Add(sim::FaultRule(sim::FaultKind::RefuseForwardOpen, refuseForwardOpen));
        }
        if (delayMs > 0) {
            faults.Add(sim::FaultRule(sim::FaultKind::Delay, sim::FaultRule::Always)
                           .WithPause(std::chrono::milliseconds(delayMs)));
        }
        if (splitParts > 0) {
            faults.Add(sim::FaultRule(sim::FaultKind::Split, sim::FaultRule::Always)
                           .WithPause(std::chrono::milliseconds(splitPauseMs))
                           .InParts(splitParts));
        }
        if (closeOnError) {
            faults.Add(sim::FaultRule(sim::FaultKind::CloseAfterError, sim::FaultRule::Always));
        }
        faults.SetChaos(chaos);
        if (faultLog) {
            faults.SetObserver([&faultLog](const sim::FaultEvent& event) { faultLog->Write(event); });
        }
        plc.Start();
        std::optional<sim::SimAnimator> animator;
        if (animate) {
            animator.emplace(plc.Tags(), plc.Files());
            animator->Start();
        }
        std::fprintf(stderr, "eipsim: answering as %s\n",
                     std::string(sim::PersonalityName(config.Device.Family)).c_str());
        std::printf("listening on %s:%u\n", config.Address.c_str(), static_cast<unsigned>(plc.Port()));
        std::fflush(stdout);
        int signal = 0;
        sigwait(&signals, &signal);
        animator.reset();
        plc.Stop();
        const sim::SimCounters c = plc.Counters();
        std::fprintf(stderr, "eipsim: stopped after %llu connections, %llu packets\n",
                     static_cast<unsigned long long>(c.Connections),
                     static_cast<unsigned long long>(c.Packets));
        if (faults.TotalHits() > 0) {
            std::string counts;
            for (std::size_t k = 0; k < sim::FaultKindCount; ++k) {
                const auto kind = static_cast<sim::FaultKind>(k);
                if (const std::uint64_t n = faults.Hits(kind); n > 0) {
                    counts += " " + std::string(sim::FaultKindName(kind)) + "=" + std::to_string(n);
                }
            }
            std::fprintf(stderr, "eipsim: %llu faults fired:%s\n",
                         static_cast<unsigned long long>(faults.TotalHits()), counts.c_str());
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "eipsim: %s\n", e.what());
        return 1;
    }
    return 0;
}
