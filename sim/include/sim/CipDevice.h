// The CIP side of the simulated controller: the message router with the
// objects it holds (Identity, Message Router, Connection Manager, PCCC, the
// tags), the class-3 connection table, and the routing check of an Ethernet
// module in front of a chassis.
//
// Handle() takes one message router request and returns its reply; the
// encapsulation layer (EncapsSession) calls it for SendRRData and SendUnitData.
// It never throws for anything received: malformed requests get an error
// status. It is safe to call from several session threads at once.
#pragma once

#include "sim/CipPath.h"
#include "sim/CipTypes.h"
#include "sim/DataTable.h"
#include "sim/Faults.h"
#include "sim/SimBytes.h"
#include "sim/TagDatabase.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

struct IdentityInfo {
    std::uint16_t VendorId = 0x04D2;
    std::uint16_t DeviceType = 0x000E; // programmable logic controller
    std::uint16_t ProductCode = 0x005A;
    std::uint8_t MajorRevision = 20;
    std::uint8_t MinorRevision = 11;
    std::uint16_t Status = 0x0060;
    std::uint32_t SerialNumber = 0x00C0FFEE;
    std::string ProductName = "Simulated Controller";
    std::uint8_t State = 3;
};

// The controller family the device answers as.
//  - Logix: reached through the backplane (Unconnected Send routed to the
//    slot, Forward Open through it), symbol browse, templates, Multiple
//    Service Packet.
//  - Micro800: no backplane (a route naming a port is refused with 0x0311),
//    symbolic reads only over a class-3 connection, no Multiple Service Packet.
//  - MicroLogix: no backplane, no tags: data-table files read by PCCC.
enum class Personality : std::uint8_t { Logix, Micro800, MicroLogix };

std::optional<Personality> PersonalityFromName(std::string_view name);
std::string_view PersonalityName(Personality p);
// The identity a device of the family reports unless the caller sets its own.
IdentityInfo DefaultIdentity(Personality p);

struct DeviceConfig {
    IdentityInfo Identity;
    Personality Family = Personality::Logix;
    // The route an Unconnected Send (and a Forward Open's connection path)
    // must name: backplane port and the controller's slot. A request without
    // any route is taken by the device itself.
    std::uint8_t BackplanePort = 1;
    std::uint8_t Slot = 0;
    // Largest message router reply (4-byte header included) sent without a
    // connection; a controller answers roughly this much unconnected.
    std::size_t MaxUnconnectedReply = 500;
    std::size_t MaxConnections = 32;
    // Some Logix-like devices take no Multiple Service Packets: they answer
    // them "service not supported".
    bool MultipleService = true;
};

// Where one request came from and how much reply it may produce.
struct CipContext {
    std::uint64_t SessionId = 0;
    bool Connected = false;
    std::size_t MaxReply = 500;
    // Set by Handle: the service that was carried out (the embedded one of an
    // Unconnected Send), for fault filters.
    std::optional<std::uint8_t> Service;
    int Depth = 0;
};

struct ConnectionInfo {
    std::uint32_t OtoTId = 0;
    std::uint32_t TtoOId = 0;
    std::uint16_t Serial = 0;
    std::uint16_t VendorId = 0;
    std::uint32_t OriginatorSerial = 0;
    std::uint32_t OtoTRpi = 0;
    std::uint32_t TtoORpi = 0;
    std::uint16_t TtoOSize = 0; // bytes a connected reply may take, sequence count included
    std::uint64_t SessionId = 0;
    std::optional<std::uint16_t> LastSequence;
    Bytes LastReply;
};

struct DeviceStats {
    std::atomic<std::uint64_t> Requests{0};
    std::atomic<std::uint64_t> ForwardOpens{0};
    std::atomic<std::uint64_t> ForwardCloses{0};
    std::atomic<std::uint64_t> PcccRequests{0};
};

class CipDevice {
public:
    CipDevice(DeviceConfig config, TagDatabase& tags, DataTable& files, FaultInjector& faults);

    Bytes Handle(ByteView request, CipContext& context);

    // Connected messaging: the connection of an O->T id opened on that
    // session; nothing for unknown ids or another session's connection.
    std::optional<ConnectionInfo> FindConnection(std::uint32_t otoId, std::uint64_t sessionId) const;
    void StoreConnectedReply(std::uint32_t otoId, std::uint16_t sequence, const Bytes& reply);
    // A session that ends takes its connections with it.
    void DropSessionConnections(std::uint64_t sessionId);
    std::size_t OpenConnections() const;

    std::uint32_t NewSessionHandle();

    const DeviceConfig& Config() const { return config_; }
    const DeviceStats& Stats() const { return stats_; }

    static constexpr int MaxDepth = 4;

private:
    struct Request {
        std::uint8_t Service = 0;
        std::vector<PathSegment> Path;
        ByteView Data;
    };

    Bytes Dispatch(const Request& request, CipContext& context);
    Bytes HandleIdentity(const Request& request, CipContext& context);
    Bytes HandleMessageRouter(const Request& request, CipContext& context);
    Bytes HandleConnectionManager(const Request& request, CipContext& context);
    Bytes HandlePccc(const Request& request, CipContext& context);
    Bytes HandleTag(const Request& request, CipContext& context);
    Bytes HandleSymbol(const Request& request, std::string_view program, std::size_t first,
                       CipContext& context);
    Bytes HandleTemplate(const Request& request, CipContext& context);
    Bytes HandleInterface(const Request& request);
    Bytes BrowseSymbols(const Request& request, std::string_view program, std::uint32_t start,
                        CipContext& context);
    Bytes SymbolAttributes(const Request& request, std::string_view program, std::uint32_t instance);

    Bytes UnconnectedSend(const Request& request, CipContext& context);
    Bytes ForwardOpen(const Request& request, CipContext& context);
    Bytes ForwardClose(const Request& request, CipContext& context);
    Bytes MultipleServicePacket(const Request& request, CipContext& context);
    Bytes ReadTag(const Request& request, CipContext& context);
    struct PcccResult {
        std::uint8_t Status = 0;
        std::optional<std::uint8_t> ExtStatus;
        Bytes Data;
    };
    PcccResult PcccTypedRead(ByteReader& command, std::uint8_t function) const;

    std::optional<Bytes> IdentityAttribute(std::uint32_t instance, std::uint32_t attribute) const;
    // Checks the port segments at the front of a route or connection path
    // against the configured backplane port and slot; returns the extended
    // status of a routing error, and the index of the first segment after the route.
    std::optional<std::uint16_t> CheckRoute(const std::vector<PathSegment>& path, std::size_t& next) const;

    DeviceConfig config_;
    TagDatabase& tags_;
    DataTable& files_;
    FaultInjector& faults_;
    DeviceStats stats_;

    mutable std::mutex connectionsMutex_;
    std::map<std::uint32_t, ConnectionInfo> connections_; // by O->T id
    std::uint32_t nextConnectionId_ = 0x5A000001;
    std::atomic<std::uint32_t> nextSessionHandle_{0x00010001};
};

// A message router reply: service | 0x80, reserved, status, extended status
// words, data.
Bytes MakeReply(std::uint8_t service, GeneralStatus status, std::initializer_list<std::uint16_t> ext = {},
                ByteView data = {});

// A Get Attribute List (or Get Instance Attribute List) reply to the request
// data (a count, then that many 16-bit ids, nothing after them): each id with
// status 0 and the value `attribute` gives, or status 0x14 and no value when
// it gives none, the whole reply then carrying 0x0A.
Bytes AttributeListReply(std::uint8_t service, ByteView requestData,
                         const std::function<std::optional<Bytes>(std::uint16_t)>& attribute);

} // namespace sim
