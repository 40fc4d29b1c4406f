// The subcommands of qorhost; qorhost.cpp only parses and dispatches.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// Exit codes of read and run.
constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;

// The plug-in beside the executable.
std::string DefaultPluginPath();

// qorhost [options]: module information and parser items; qorhost options:
// the options dialog, with --set values stored as the host does after OK.
struct TInspectOptions {
    std::string Plugin;
    std::string IniFile, RegistryPath, SectionPrefix, Type = "Ethernet/IP", Language;
    unsigned ModuleIndex = 1;
    bool RawLists = false;
    double Stay = 0;
    std::vector<std::string> Devices;
    std::vector<std::string> Sets;
    bool Options = false;
};
void AddInspectOptions(CLI::App& app, CLI::App& options, TInspectOptions& opts);
int RunInspectCommand(const TInspectOptions& opts);

// qorhost read: one look at a device without a configuration file.
struct TReadOptions {
    std::string Plugin;
    std::string Device;
    std::string Type = "Ethernet/IP";
    std::string Path = "0";
    std::uint32_t Number = 1;
    std::uint32_t IntervalMs = 1000;
    std::uint32_t Samples = 1;
    double WaitSeconds = 10;
    std::string Format = "jsonl";
    std::vector<std::string> Addresses;
};
CLI::App* AddReadCommand(CLI::App& app, TReadOptions& opts);
int RunReadCommand(const TReadOptions& opts);

// qorhost run: the logger.
struct TRunOptions {
    std::string Plugin;
    std::string Config;
    double DurationSeconds = 0; // 0: until SIGINT or SIGTERM
};
CLI::App* AddRunCommand(CLI::App& app, TRunOptions& opts);
int RunRunCommand(const TRunOptions& opts);

} // namespace host
