// What the logger runs: the configuration file of `qorhost run` and the
// request list a data source polls.
//
// The file is INI text (read with SimpleIni): a [host] section (plug-in,
// outputs, log file) and one section per data source. Paths are relative to
// the file's folder. Every mistake is reported with the file, the line and the
// key, before anything starts. examples/demo.ini shows every key.
#pragma once

#include "host/OptionsDialog.h"
#include "host/Secret.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// One polling read as `qorhost read` and inline addresses configure it.
struct TPollRequest {
    std::string Address;
    std::string Path = "0";   // device path (route) text
    std::uint32_t Number = 1; // elements, 1..65535
    std::uint32_t IntervalMs = 1000;
};

// The request list in its stored XML form: one enabled polling item per request,
// named (caption) after its address, export name left empty so that the
// plug-in derives it from the address. Repeated addresses get " #n" names.
std::string RequestListXml(const std::vector<TPollRequest>& requests);

// The item names RequestListXml gives the requests ("EIP_REQ" of their packets).
std::vector<std::string> RequestNames(const std::vector<TPollRequest>& requests);

// The data source types the plug-in offers.
inline constexpr std::string_view kDataSourceTypes[] = {
    "Ethernet/IP", "Ethernet/IP [Logix 5550]", "Ethernet/IP [AB Micro 800]", "Ethernet/IP [MicroLogix 1400]"};

// Checks of the values a data source takes; each returns an empty string or
// what is wrong. A device is HOST or HOST:PORT: a host name, a dotted IPv4
// address or an IPv6 address ("[ADDRESS]:PORT" with a port), the port
// 1..65535; anything else is refused rather than read as something it may
// not mean.
std::string CheckDevice(std::string_view device);
std::string CheckPath(std::string_view path);
std::string CheckType(std::string_view type);

// Where an output writes, the same text for two targets that write to the
// same place (jsonl:a.jsonl and csv:./a.jsonl, csv:- and jsonl:-): "file:"
// and the absolute path, "stdout", "mqtt:" host, port and prefix, "null".
std::string OutputDestination(std::string_view output, const std::string& folder);

// A mistake in the configuration: "FILE:LINE: [section] key: what" (LINE 0
// when the file itself is the problem).
class EConfigError : public std::runtime_error {
public:
    EConfigError(const std::string& file, int line, const std::string& section, const std::string& key,
                 const std::string& what);
    int Line() const { return line_; }
    const std::string& Key() const { return key_; }

private:
    int line_;
    std::string key_;
};

struct TSourceSettings {
    std::string Section;
    std::string Name;
    std::string Type = "Ethernet/IP";
    std::string Device;   // host[:port]
    std::string Language; // empty: the plug-in's own
    std::string RequestXml;
    std::uint32_t MinIntervalMs = 0;
    bool ExportAtOnce = true;
    bool CombineRequests = true; // requests due together share packets (Logix)

    // The values the options dialog would store for this data source.
    std::vector<TOptionsValue> DialogValues() const;
    // Whether the instance must be made afresh (rather than reloaded) to go
    // from this data source to the other.
    bool NeedsRestart(const TSourceSettings& other) const;
};

// How the MQTT outputs log in and check the broker: the [host] keys
// "mqtt user", "mqtt password file", "mqtt ca file", "mqtt cert file",
// "mqtt key file" and "mqtt insecure". The password comes from its file
// (which only its owner may read) or else from the environment variable
// QORHOST_MQTT_PASSWORD; a password in the configuration itself is refused,
// so that the file can be shown and shared.
struct TMqttSettings {
    std::string User;
    std::string PasswordFile; // absolute, or empty
    TSecret Password;
    std::string CaFile, CertFile, KeyFile; // absolute, or empty
    bool Insecure = false;
    bool operator==(const TMqttSettings&) const = default;
};

struct THostConfig {
    std::string File;   // the configuration file, absolute
    std::string Folder; // its folder: relative paths start here
    std::string Plugin; // absolute; empty: the one beside the executable
    std::vector<std::string> Outputs;
    std::vector<int> OutputLines; // the line of each output's key
    std::string LogFile;          // absolute, or empty
    int LogFileLine = 0;          // the line of its key
    std::vector<TSourceSettings> Sources;
    TMqttSettings Mqtt;
};

// Reads and checks the file. The MQTT password is the one of "mqtt password
// file", else environmentPassword (when "mqtt user" is given). Throws
// EConfigError.
THostConfig LoadHostConfig(const std::string& file, const TSecret& environmentPassword = {});

} // namespace host
