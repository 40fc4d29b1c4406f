// qorhost read: a first look at a device without a configuration file. The
// addresses become the request list of one data source, stored as the options
// dialog stores it in a settings file of the command's own; the command runs
// until every request delivered its samples, or the wait is over.
#include "host/TempFolder.h"
#include "host/Acquisition.h"
#include "host/Commands.h"
#include "host/HostConfig.h"
#include "host/SignalWatcher.h"

#include "platform/Clock.h"
#include "platform/Messages.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>

namespace host {

namespace {

constexpr platform::UINT_PTR kWaitTimer = 1;


std::string ClockText(std::chrono::system_clock::time_point t) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    platform::LocalTime(seconds, &local);
    char text[32];
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms));
    return text;
}

// One line of the table: line breaks and other control characters of a text
// would break it.
std::string TableText(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < ' ')
            c = ' ';
    return text;
}

const qor::Variant* FindValue(const TOutputPacket& packet, std::string_view name) {
    for (const TOutputValue& v : packet.Values)
        if (v.Name == name)
            return &v.Value;
    return nullptr;
}

} // namespace

CLI::App* AddReadCommand(CLI::App& app, TReadOptions& opts) {
    CLI::App* read = app.add_subcommand("read", "Read addresses from a device and print the values");
    read->fallthrough(false);
    read->add_option("--device", opts.Device, "HOST[:PORT] of the controller (port 44818 when none)")
        ->required();
    read->add_option(
            "--type", opts.Type,
            "Data source type: \"Ethernet/IP\", \"Ethernet/IP [Logix 5550]\", \"Ethernet/IP [AB Micro "
            "800]\", \"Ethernet/IP [MicroLogix 1400]\"")
        ->capture_default_str();
    read->add_option("--path", opts.Path, "Device path (route) of the requests")->capture_default_str();
    read->add_option("--number", opts.Number, "Elements to read per address")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    read->add_option("--interval", opts.IntervalMs, "Polling interval in ms")
        ->check(CLI::Range(1, 655350))
        ->capture_default_str();
    read->add_option("--samples", opts.Samples, "Packets each address delivers before the command ends")
        ->check(CLI::Range(1, 1000000))
        ->capture_default_str();
    read->add_option("--wait", opts.WaitSeconds, "Seconds to wait for them")
        ->check(CLI::Range(0.01, 86400.0))
        ->capture_default_str();
    read->add_option("--format", opts.Format, "jsonl, csv or table")
        ->check(CLI::IsMember({"jsonl", "csv", "table"}))
        ->capture_default_str();
    read->add_option("--plugin", opts.Plugin,
                     "Path of the plug-in library (default: eipplugin.so beside qorhost)");
    read->add_option("ADDRESS", opts.Addresses, "Addresses to read (one request each)")->required();
    return read;
}

int RunReadCommand(const TReadOptions& opts) {
    for (const auto& [what, wrong] :
         {std::pair{"--device", CheckDevice(opts.Device)}, std::pair{"--path", CheckPath(opts.Path)},
          std::pair{"--type", CheckType(opts.Type)}})
        if (!wrong.empty()) {
            std::fprintf(stderr, "qorhost read: %s: %s\n", what, wrong.c_str());
            return kExitUsage;
        }
    std::vector<TPollRequest> requests;
    for (const std::string& address : opts.Addresses) {
        if (address.empty() || address.find_first_of(" \t\r\n<>&") != std::string::npos) {
            std::fprintf(stderr, "qorhost read: not an address: \"%s\"\n", address.c_str());
            return kExitUsage;
        }
        requests.push_back({address, opts.Path, opts.Number, opts.IntervalMs});
    }
    TSourceSettings source;
    source.Name = "device";
    source.Type = opts.Type;
    source.Device = opts.Device;
    source.RequestXml = RequestListXml(requests);
    source.ExportAtOnce = false; // a packet per request, each counted by its name

    try {
        std::optional<platform::ProcessSignal> stopped;
        TSignalWatcher signals({platform::ProcessSignal::Interrupt, platform::ProcessSignal::Terminate},
                               [&](platform::ProcessSignal s) {
            stopped = s;
            platform::PostQuitMessage(kExitFailed);
        });
        TTempFolder folder;
        THost host;
        TPluginLibrary library(opts.Plugin.empty() ? DefaultPluginPath() : opts.Plugin);
        std::unique_ptr<IOutput> csv;
        if (opts.Format == "csv")
            csv = MakeOutput("csv:-", ".", [](const std::string& line) {
                std::fprintf(stderr, "qorhost read: %s\n", line.c_str());
            });
        if (opts.Format == "table")
            std::printf("%-12s  %-24s  %s\n", "TIME", "ITEM", "VALUE");

        std::map<std::string, std::uint32_t> counts;
        for (const std::string& name : RequestNames(requests))
            counts[name] = 0;
        std::size_t complete = 0;
        bool done = false;
        TAcquisition acquisition(host, library, folder.File("settings"));
        acquisition.OnPacket = [&](TOutputPacket&& packet) {
            if (done)
                return;
            // Which request answered: its name, or the only one there is.
            std::string request;
            if (const qor::Variant* name = FindValue(packet, "EIP_REQ"))
                request = name->AsString();
            else if (counts.size() == 1)
                request = counts.begin()->first;
            auto counted = counts.find(request);
            if (counted == counts.end() || counted->second >= opts.Samples)
                return;
            if (opts.Format == "jsonl") {
                std::printf("%s\n", PacketJson(packet).c_str());
            } else if (csv) {
                csv->Write(packet);
            } else {
                for (const TOutputValue& v : packet.Values)
                    if (!IsHeaderItem(v.Name))
                        std::printf("%-12s  %-24s  %s\n", ClockText(packet.Time).c_str(), v.Name.c_str(),
                                    TableText(ValueTextOf(v, packet.Time)).c_str());
            }
            std::fflush(stdout);
            if (++counted->second == opts.Samples && ++complete == counts.size()) {
                done = true;
                host.Quit(kExitOk);
            }
        };
        int code = kExitFailed;
        std::string failure;
        try {
            acquisition.Start(source);
            TMessageWindow timer([&](platform::UINT msg, platform::WPARAM wParam, platform::LPARAM) {
                if (msg != platform::WM_TIMER || wParam != kWaitTimer)
                    return false;
                host.Quit(kExitFailed);
                return true;
            });
            timer.StartTimer(kWaitTimer, static_cast<platform::UINT>(opts.WaitSeconds * 1000));
            code = host.RunMessageLoop();
            done = true;
        } catch (const std::exception& e) {
            failure = e.what();
        }
        acquisition.Stop();
        if (csv)
            csv->Flush(std::chrono::seconds(5));
        if (code != kExitOk) {
            if (const std::uint64_t dropped = acquisition.LogLinesDropped(); dropped > 0)
                std::fprintf(stderr, "qorhost read: (%llu earlier log lines not kept)\n",
                             static_cast<unsigned long long>(dropped));
            for (const std::string& line : acquisition.LogLines())
                std::fprintf(stderr, "%s\n", line.c_str());
            if (!failure.empty())
                std::fprintf(stderr, "qorhost read: %s\n", failure.c_str());
            else if (stopped)
                std::fprintf(stderr, "qorhost read: stopped by %s\n",
                             std::string(platform::ProcessSignalName(*stopped)).c_str());
            else
                for (const auto& [name, count] : counts)
                    if (count < opts.Samples)
                        std::fprintf(stderr, "qorhost read: %s: %u of %u packet(s) within %g s\n",
                                     name.c_str(), count, opts.Samples, opts.WaitSeconds);
        }
        library.GlobalShutdown();
        return code;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qorhost read: %s\n", e.what());
        return kExitFailed;
    }
}

} // namespace host
