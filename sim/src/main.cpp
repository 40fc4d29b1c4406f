// eipsim: the simulated controller as a program. Listens on loopback, prints
// "listening on ADDRESS:PORT" once it accepts connections, and runs until
// interrupted (SIGINT or SIGTERM). --personality picks the controller family
// it answers as (logix, micro800, micrologix); --animate makes the scalar
// values change every second; --chaos SEED[:RATE] gives replies random faults
// and --close-on-error closes the connection after every error reply. The
// faults fired are counted on standard error at the end.
#include "sim/Animator.h"
#include "sim/SimController.h"
#include "sim/TagFile.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>

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
    CLI11_PARSE(app, argc, argv);
    std::optional<sim::ChaosConfig> chaos;
    if (!chaosText.empty()) {
        chaos = sim::ParseChaos(chaosText);
        if (!chaos) {
            std::fprintf(stderr, "eipsim: --chaos takes SEED or SEED:RATE (RATE 0..1), not '%s'\n",
                         chaosText.c_str());
            return 2;
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
