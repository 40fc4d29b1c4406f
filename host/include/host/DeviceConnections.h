// The host's TCP connection to the device of each configured data source, as
// the data-logging application's port does it for a plug-in:
//
// - one connection per data source, to the address configured for it
//   (host:port, port 44818 when none is given);
// - bytes from the device go to the instance's ProcessData on the host's main
//   thread, in arrival order; the connection opening and closing reach it as
//   the channel events 257 and 258;
// - bytes the plug-in sends (from any thread) go to the device; "<<CLOSE>>"
//   instead closes the connection, which is then opened again at once;
// - a refused or dropped connection is tried again after 0.5 s, doubling up
//   to 10 s while it keeps failing; a connection the device drops before it
//   sent anything counts as failed, and the delay starts afresh only once the
//   device has answered. Each attempt and its outcome is logged, but a retry
//   that fails the same way as the one before it is not.
//
// Nothing polls: each socket asks the platform for one notification at a time
// (AsyncSelect) on a hidden window of the main thread, and the retries are
// window timers, so the host sleeps in its message wait between events.
#pragma once

#include "host/Host.h"
#include "platform/Socket.h"
#include "platform/Types.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host {

class TPluginInstance;

// A data source as the host configures it.
struct TDataSourceConfig {
    std::uint32_t Id = 0;
    std::string Name;
    std::string FullName;
    std::string Address; // device, "host" or "host:port"
};

// "Id;Name;FullName" per line, as SET-STATE's "DATA-SOURCES-IN-CFG" takes them.
std::string DataSourcesText(const std::vector<TDataSourceConfig>& sources);

// "Id=Address" (qorhost's --device); the names become "Device <Id>".
std::optional<TDataSourceConfig> ParseDeviceOption(std::string_view text);

// Splits "host:port" ("[v6]:port" for IPv6); the port defaults to 44818.
// nullopt for an empty host or a port that is not 1..65535.
std::optional<std::pair<std::string, std::uint16_t>> SplitDeviceAddress(std::string_view address);

// Who hands the connections the plug-in's bytes: the host itself (they are
// its raw-bytes sink from construction to destruction), or an owner of
// several instances' connections that routes each instance's bytes to its own
// (and keeps no plug-in thread inside them once it lets them go).
enum class TSinkRole : std::uint8_t { HostSink, Routed };

class TDeviceConnections : public IRawBytesSink {
public:
    static constexpr std::uint16_t kDefaultPort = 44818;
    static constexpr std::uint32_t kFirstRetryMs = 500;
    static constexpr std::uint32_t kLongestRetryMs = 10000;

    // On the host's main thread. As the HostSink, becomes the host's
    // raw-bytes sink; Routed leaves the sink alone, so the instances already
    // running go on sending while another one's connections come and go.
    TDeviceConnections(THost& host, TPluginInstance& instance, TSinkRole role = TSinkRole::HostSink);
    // Closes every connection (without events: the instance may be gone).
    ~TDeviceConnections() override;
    TDeviceConnections(const TDeviceConnections&) = delete;
    TDeviceConnections& operator=(const TDeviceConnections&) = delete;

    // Starts connecting the data source's device (main thread). False when
    // the address cannot be used or the id is taken.
    bool Add(const TDataSourceConfig& source);
    // Closes and forgets the data source's connection (main thread); the
    // instance gets 258 when it was open.
    void Remove(std::uint32_t sourceId);

    // Any thread: the bytes taken, or -1 when the data source has no open
    // connection or the send failed.
    std::int32_t SendToDevice(std::uint32_t moduleIndex, std::uint32_t dataSourceId,
                              std::span<const std::uint8_t> bytes) override;

    // What the host logs about its connections; each line also goes to OnLog.
    std::vector<std::string> LogLines() const;
    std::function<void(const std::string&)> OnLog;

    // State for tests and diagnostics (main thread).
    bool IsOpen(std::uint32_t sourceId) const;
    std::uint32_t Attempts(std::uint32_t sourceId) const;   // connection attempts so far
    std::uint32_t RetryDelay(std::uint32_t sourceId) const; // delay of the retry after the next one, ms
    bool RetryPending(std::uint32_t sourceId) const;        // closed, waiting to try again

private:
    struct Connection;
    static platform::LRESULT WindowProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                        platform::LPARAM lParam);
    Connection* Find(std::uint32_t sourceId) const;
    Connection* FindByCookie(platform::WPARAM cookie) const;
    void Connect(Connection& c);
    void OnConnect(Connection& c, int error);
    void OnRead(Connection& c);
    // Closes the socket; reason says why (empty: quietly, no event).
    void Close(Connection& c, const std::string& reason);
    void ScheduleRetry(Connection& c);
    void Log(const std::string& line);
    void Channel(std::uint32_t sourceId, std::uint32_t event);

    THost& host_;
    TPluginInstance& instance_;
    TSinkRole role_;
    platform::HWND window_ = 0;
    // Changed on the main thread only, under lock_, so plug-in threads can
    // look connections up.
    mutable std::mutex lock_;
    std::map<std::uint32_t, std::unique_ptr<Connection>> connections_;
    platform::WPARAM nextCookie_ = 0;
    mutable std::mutex logLock_;
    TLogHistory<std::string> log_;
};

} // namespace host
