// The simulated controller: a TCP server on loopback that answers as an
// EtherNet/IP device, one encapsulation session per TCP connection, each
// connection served by its own thread.
//
//   sim::SimController plc;                  // default identity, slot 0
//   plc.Tags().Set(sim::MakeTag("Counter", sim::CipType::Dint, {}, {42}));
//   plc.Start();                             // listening when it returns
//   connect to 127.0.0.1:plc.Port() ...
//   plc.Stop();                              // or the destructor
//
// Tags, data files and fault rules may be changed while the server runs.
#pragma once

#include "sim/CipDevice.h"
#include "sim/DataTable.h"
#include "sim/Faults.h"
#include "sim/TagDatabase.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace sim {

struct SimConfig {
    std::string Address = "127.0.0.1";
    std::uint16_t Port = 0; // 0 picks a free port
    // TCP connections served at once; further ones are accepted and closed
    // at once, as a device out of sessions does.
    std::size_t MaxTcpConnections = 64;
    DeviceConfig Device;
};

// A snapshot of what the server has seen.
struct SimCounters {
    std::uint64_t Connections = 0;   // TCP connections accepted
    std::uint64_t Packets = 0;       // encapsulation packets handled
    std::uint64_t CipRequests = 0;   // message router requests handled (embedded ones included)
    std::uint64_t ForwardOpens = 0;  // successful
    std::uint64_t ForwardCloses = 0; // successful
    std::uint64_t PcccRequests = 0;
    std::size_t OpenConnections = 0; // class-3 connections now open
    std::size_t LiveConnections = 0; // TCP connections now open
    std::uint64_t Restarts = 0;      // times the listener came back after a restart
};

class SimController {
public:
    explicit SimController(SimConfig config = {});
    ~SimController();
    SimController(const SimController&) = delete;
    SimController& operator=(const SimController&) = delete;

    // Binds, listens and starts the accept thread. Throws std::system_error
    // when the address cannot be bound, std::logic_error when already started.
    void Start();
    // Wakes every thread, closes every connection and joins them. Returns
    // promptly even with replies held back by a fault. Safe to call twice.
    void Stop();
    bool Running() const;
    // A device restart: the listener and every TCP connection close at once
    // (a client sees its connection drop, then refused connections); after
    // `pause` it listens on the same port again. Returns at once; the
    // Restarts counter goes up when the listener is back.
    void RestartListener(std::chrono::milliseconds pause);

    // The port it listens on (the chosen one when started with port 0).
    std::uint16_t Port() const { return port_; }
    const SimConfig& Config() const { return config_; }

    TagDatabase& Tags() { return tags_; }
    DataTable& Files() { return files_; }
    FaultInjector& Faults() { return faults_; }
    CipDevice& Device() { return *device_; }

    SimCounters Counters() const;
    // Blocks until the predicate holds for the counters (checked whenever a
    // packet was handled or a connection ended) or the time-out passed; true
    // when it holds.
    bool WaitUntil(const std::function<bool(const SimCounters&)>& predicate,
                   std::chrono::milliseconds timeout);
    // Blocks until the server has handled at least n encapsulation packets
    // (counted since Start) or the time-out passed; true when reached.
    bool WaitForPackets(std::uint64_t n, std::chrono::milliseconds timeout);
    // Blocks until no TCP connection is open (the server noticed the peer's
    // close, or closed it itself); true when reached.
    bool WaitForNoConnections(std::chrono::milliseconds timeout);

private:
    struct Connection;
    void AcceptLoop();
    // Binds and listens on the configured address and `port` (0: any).
    void Listen(std::uint16_t port);
    // The accept thread's half of RestartListener; false when stopped meanwhile.
    bool Restart();
    void Serve(Connection& connection);
    void ReapFinished();
    SimCounters CountersLocked() const;

    SimConfig config_;
    TagDatabase tags_;
    DataTable files_;
    FaultInjector faults_;
    std::unique_ptr<CipDevice> device_;

    int listenFd_ = -1;
    int stopRead_ = -1;
    int stopWrite_ = -1;
    int restartRead_ = -1;
    int restartWrite_ = -1;
    // Written again by a restart on the accept thread.
    std::atomic<std::uint16_t> port_{0};
    std::atomic<std::uint32_t> address_{0};
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::list<std::unique_ptr<Connection>> connections_;
    std::uint64_t accepted_ = 0;
    std::uint64_t packets_ = 0;
    std::size_t live_ = 0;
    std::uint64_t nextSessionId_ = 1;
    std::uint64_t restarts_ = 0;
    std::chrono::milliseconds restartPause_{0};
    bool running_ = false;
};

} // namespace sim
