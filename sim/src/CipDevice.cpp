#include "sim/CipDevice.h"

#include <algorithm>

namespace sim {
namespace {

using Kind = PathSegment::Kind;

constexpr std::uint8_t PcccReplyBit = 0x40;
constexpr std::uint8_t PcccIllegalCommand = 0x10;
constexpr std::uint8_t PcccExtendedStatus = 0xF0;
// Extended PCCC status bytes (after status 0xF0).
constexpr std::uint8_t PcccExtUnusableAddress = 0x06;
constexpr std::uint8_t PcccExtTransactionTooLarge = 0x0A;
constexpr std::uint8_t PcccExtIllegalDataType = 0x11;

// Smallest connection size accepted by Forward Open: room for the sequence
// count and a message router reply header.
constexpr std::uint16_t MinConnectionSize = 8;

struct ObjectAddress {
    std::uint32_t Class = 0;
    std::optional<std::uint32_t> Instance;
    std::optional<std::uint32_t> Attribute;
};

// Class, then optionally instance, then optionally attribute; nothing else.
std::optional<ObjectAddress> ToObjectAddress(const std::vector<PathSegment>& path) {
    ObjectAddress a;
    std::size_t i = 0;
    if (i >= path.size() || path[i].SegmentKind != Kind::Class) {
        return std::nullopt;
    }
    a.Class = path[i++].Value;
    if (i < path.size() && path[i].SegmentKind == Kind::Instance) {
        a.Instance = path[i++].Value;
    }
    if (i < path.size() && path[i].SegmentKind == Kind::Attribute) {
        a.Attribute = path[i++].Value;
    }
    if (i != path.size()) {
        return std::nullopt;
    }
    return a;
}

bool StartsWithProgram(std::string_view name) {
    constexpr std::string_view prefix = "PROGRAM:";
    if (name.size() <= prefix.size()) {
        return false;
    }
    return TagDatabase::Key(name.substr(0, prefix.size())) == prefix;
}

// A PCCC address field: one byte, or 0xFF followed by a 16-bit value.
std::uint16_t PcccAddressField(ByteReader& r) {
    const std::uint8_t b = r.U8();
    return b == 0xFF ? r.U16() : b;
}

} // namespace

Bytes MakeReply(std::uint8_t service, GeneralStatus status, std::initializer_list<std::uint16_t> ext,
                ByteView data) {
    Bytes out;
    out.reserve(4 + 2 * ext.size() + data.size());
    PutU8(out, static_cast<std::uint8_t>(service | service::ReplyBit));
    PutU8(out, 0);
    PutU8(out, static_cast<std::uint8_t>(status));
    PutU8(out, static_cast<std::uint8_t>(ext.size()));
    for (std::uint16_t e : ext) {
        PutU16(out, e);
    }
    PutBytes(out, data);
    return out;
}

std::optional<Personality> PersonalityFromName(std::string_view name) {
    const std::string key = TagDatabase::Key(name);
    if (key == "LOGIX") {
        return Personality::Logix;
    }
    if (key == "MICRO800") {
        return Personality::Micro800;
    }
    if (key == "MICROLOGIX") {
        return Personality::MicroLogix;
    }
    return std::nullopt;
}

std::string_view PersonalityName(Personality p) {
    switch (p) {
    case Personality::Micro800:
        return "micro800";
    case Personality::MicroLogix:
        return "micrologix";
    case Personality::Logix:
        break;
    }
    return "logix";
}

IdentityInfo DefaultIdentity(Personality p) {
    IdentityInfo id;
    switch (p) {
    case Personality::Micro800:
        id.ProductCode = 0x00BC;
        id.MajorRevision = 12;
        id.MinorRevision = 11;
        id.SerialNumber = 0x00800800;
        id.ProductName = "Simulated Micro800";
        break;
    case Personality::MicroLogix:
        id.ProductCode = 0x005F;
        id.MajorRevision = 21;
        id.MinorRevision = 3;
        id.SerialNumber = 0x00140014;
        id.ProductName = "Simulated MicroLogix 1400";
        break;
    case Personality::Logix:
        break;
    }
    return id;
}

CipDevice::CipDevice(DeviceConfig config, TagDatabase& tags, DataTable& files, FaultInjector& faults)
    : config_(std::move(config)), tags_(tags), files_(files), faults_(faults) {}

std::uint32_t CipDevice::NewSessionHandle() {
    std::uint32_t h = nextSessionHandle_.fetch_add(1);
    if (h == 0) {
        h = nextSessionHandle_.fetch_add(1);
    }
    return h;
}

Bytes CipDevice::Handle(ByteView request, CipContext& context) {
    ++stats_.Requests;
    if (request.empty()) {
        return MakeReply(0, GeneralStatus::NotEnoughData);
    }
    const std::uint8_t svc = request[0];
    context.Service = svc;
    try {
        ByteReader r(request);
        r.Skip(1);
        if (r.AtEnd()) {
            return MakeReply(svc, GeneralStatus::NotEnoughData);
        }
        const std::size_t words = r.U8();
        if (2 * words > r.Remaining()) {
            return MakeReply(svc, GeneralStatus::PathSizeInvalid);
        }
        std::optional<std::vector<PathSegment>> path = ParsePath(r.Take(2 * words));
        if (!path) {
            return MakeReply(svc, GeneralStatus::PathSegmentError);
        }
        if ((svc & service::ReplyBit) != 0 || context.Depth > MaxDepth) {
            return MakeReply(svc, GeneralStatus::ServiceNotSupported);
        }
        Request req{svc, std::move(*path), r.Rest()};
        Bytes reply = Dispatch(req, context);
        if (reply.size() > context.MaxReply) {
            return MakeReply(svc, GeneralStatus::ReplyDataTooLarge);
        }
        return reply;
    } catch (const ETruncated&) {
        return MakeReply(svc, GeneralStatus::NotEnoughData);
    }
}

Bytes CipDevice::Dispatch(const Request& request, CipContext& context) {
    if (request.Path.empty()) {
        return MakeReply(request.Service, GeneralStatus::PathSegmentError);
    }
    const Personality family = config_.Family;
    const PathSegment& first = request.Path.front();
    if (first.SegmentKind == Kind::Symbolic) {
        if (family == Personality::MicroLogix) {
            return MakeReply(request.Service, GeneralStatus::PathDestinationUnknown);
        }
        // "Program:Main" before the Symbol object: the program's own tags.
        if (request.Path.size() > 1 && request.Path[1].SegmentKind == Kind::Class) {
            if (!StartsWithProgram(first.Name) || request.Path[1].Value != cipclass::Symbol) {
                return MakeReply(request.Service, GeneralStatus::PathSegmentError);
            }
            return HandleSymbol(request, std::string_view(first.Name).substr(8), 1, context);
        }
        return HandleTag(request, context);
    }
    if (first.SegmentKind != Kind::Class) {
        return MakeReply(request.Service, GeneralStatus::PathSegmentError);
    }
    switch (first.Value) {
    case cipclass::Identity:
        return HandleIdentity(request, context);
    case cipclass::MessageRouter:
        return HandleMessageRouter(request, context);
    case cipclass::ConnectionManager:
        return HandleConnectionManager(request, context);
    case cipclass::Pccc:
        return HandlePccc(request, context);
    case cipclass::Symbol:
        if (family == Personality::MicroLogix) {
            break;
        }
        return HandleSymbol(request, {}, 0, context);
    case cipclass::Template:
        if (family != Personality::Logix) {
            break;
        }
        return HandleTemplate(request, context);
    case cipclass::TcpIp:
    case cipclass::EthernetLink:
        return HandleInterface(request);
    default:
        break;
    }
    return MakeReply(request.Service, GeneralStatus::PathDestinationUnknown);
}

// ---- Identity object ----

std::optional<Bytes> CipDevice::IdentityAttribute(std::uint32_t instance, std::uint32_t attribute) const {
    const IdentityInfo& id = config_.Identity;
    Bytes v;
    if (instance == 0) {
        switch (attribute) {
        case 1: // object revision
        case 2: // largest instance number
        case 3: // number of instances
            PutU16(v, 1);
            return v;
        default:
            return std::nullopt;
        }
    }
    switch (attribute) {
    case 1:
        PutU16(v, id.VendorId);
        break;
    case 2:
        PutU16(v, id.DeviceType);
        break;
    case 3:
        PutU16(v, id.ProductCode);
        break;
    case 4:
        PutU8(v, id.MajorRevision);
        PutU8(v, id.MinorRevision);
        break;
    case 5:
        PutU16(v, id.Status);
        break;
    case 6:
        PutU32(v, id.SerialNumber);
        break;
    case 7: {
        const std::size_t n = std::min<std::size_t>(id.ProductName.size(), 255);
        PutU8(v, static_cast<std::uint8_t>(n));
        PutText(v, std::string_view(id.ProductName).substr(0, n));
        break;
    }
    case 8:
        PutU8(v, id.State);
        break;
    default:
        return std::nullopt;
    }
    return v;
}

Bytes CipDevice::HandleIdentity(const Request& request, CipContext&) {
    const std::uint8_t svc = request.Service;
    std::optional<ObjectAddress> a = ToObjectAddress(request.Path);
    if (!a) {
        return MakeReply(svc, GeneralStatus::PathSegmentError);
    }
    if (!a->Instance || *a->Instance > 1) {
        return MakeReply(svc, GeneralStatus::PathDestinationUnknown);
    }
    const std::uint32_t instance = *a->Instance;
    switch (svc) {
    case service::GetAttributeSingle: {
        if (!a->Attribute) {
            return MakeReply(svc, GeneralStatus::PathSegmentError);
        }
        if (!request.Data.empty()) {
            return MakeReply(svc, GeneralStatus::TooMuchData);
        }
        std::optional<Bytes> v = IdentityAttribute(instance, *a->Attribute);
        if (!v) {
            return MakeReply(svc, GeneralStatus::AttributeNotSupported);
        }
        return MakeReply(svc, GeneralStatus::Success, {}, *v);
    }
    case service::GetAttributeList: {
        return AttributeListReply(svc, request.Data,
                                  [&](std::uint16_t id) { return IdentityAttribute(instance, id); });
    }
    case service::GetAttributesAll: {
        if (!request.Data.empty()) {
            return MakeReply(svc, GeneralStatus::TooMuchData);
        }
        Bytes body;
        const std::uint32_t last = instance == 0 ? 3 : 7;
        for (std::uint32_t id = 1; id <= last; ++id) {
            PutBytes(body, *IdentityAttribute(instance, id));
        }
        return MakeReply(svc, GeneralStatus::Success, {}, body);
    }
    default:
        return MakeReply(svc, GeneralStatus::ServiceNotSupported);
    }
}

// ---- Message Router: Multiple Service Packet ----

Bytes CipDevice::HandleMessageRouter(const Request& request, CipContext& context) {
    std::optional<ObjectAddress> a = ToObjectAddress(request.Path);
    if (!a || a->Attribute) {
        return MakeReply(request.Service, GeneralStatus::PathSegmentError);
    }
    if (a->Instance != 1u) {
        return MakeReply(request.Service, GeneralStatus::PathDestinationUnknown);
    }
    if (request.Service != service::MultipleServicePacket || config_.Family != Personality::Logix ||
        !config_.MultipleService) {
        return MakeReply(request.Service, GeneralStatus::ServiceNotSupported);
    }
    return MultipleServicePacket(request, context);
}

Bytes CipDevice::MultipleServicePacket(const Request& request, CipContext& context) {
    const ByteView data = request.Data;
    ByteReader r(data);
    const std::uint16_t count = r.U16();
    if (r.Remaining() < 2u * count) {
        return MakeReply(request.Service, GeneralStatus::NotEnoughData);
    }
    std::vector<std::size_t> offsets(count);
    for (std::uint16_t i = 0; i < count; ++i) {
        offsets[i] = r.U16();
    }
    // Offsets count from the start of the count field; each service runs to
    // the next one's offset, the last to the end of the data.
    const std::size_t first = 2 + 2 * static_cast<std::size_t>(count);
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::size_t end = i + 1 < count ? offsets[i + 1] : data.size();
        if (offsets[i] < first || offsets[i] > end || end > data.size()) {
            return MakeReply(request.Service, GeneralStatus::InvalidParameterValue);
        }
    }

    Bytes body;
    PutU16(body, count);
    body.resize(first, 0);
    // The replies share the reply budget: a Read Tag late in the packet gets
    // what the earlier replies left.
    std::size_t used = 4 + first;
    bool failed = false;
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::size_t end = i + 1 < count ? offsets[i + 1] : data.size();
        CipContext embedded = context;
        embedded.Depth = context.Depth + 1;
        embedded.MaxReply = context.MaxReply > used ? context.MaxReply - used : 0;
        Bytes reply = Handle(data.subspan(offsets[i], end - offsets[i]), embedded);
        if (reply[2] != 0) {
            failed = true;
        }
        SetU16At(body, 2 + 2 * static_cast<std::size_t>(i), static_cast<std::uint16_t>(body.size()));
        used += reply.size();
        PutBytes(body, reply);
        if (body.size() > 0xFFFF) {
            return MakeReply(request.Service, GeneralStatus::ReplyDataTooLarge);
        }
    }
    return MakeReply(request.Service, failed ? GeneralStatus::EmbeddedServiceError : GeneralStatus::Success,
                     {}, body);
}

// ---- Connection Manager: Unconnected Send, Forward Open, Forward Close ----

Bytes CipDevice::HandleConnectionManager(const Request& request, CipContext& context) {
    std::optional<ObjectAddress> a = ToObjectAddress(request.Path);
    if (!a || a->Attribute) {
        return MakeReply(request.Service, GeneralStatus::PathSegmentError);
    }
    if (a->Instance != 1u) {
        return MakeReply(request.Service, GeneralStatus::PathDestinationUnknown);
    }
    switch (request.Service) {
    case service::UnconnectedSend:
        return UnconnectedSend(request, context);
    case service::ForwardOpen:
        return ForwardOpen(request, context);
    case service::ForwardClose:
        return ForwardClose(request, context);
    default:
        return MakeReply(request.Service, GeneralStatus::ServiceNotSupported);
    }
}

std::optional<std::uint16_t> CipDevice::CheckRoute(const std::vector<PathSegment>& path,
                                                   std::size_t& next) const {
    next = 0;
    if (path.empty() || path[0].SegmentKind != Kind::Port) {
        return std::nullopt; // no route: the request is for this device
    }
    const PathSegment& hop = path[0];
    // The small controllers have no backplane to route into.
    if (config_.Family != Personality::Logix || hop.Value != config_.BackplanePort) {
        return extended::InvalidPort;
    }
    if (hop.Link.size() != 1 || hop.Link[0] != config_.Slot) {
        return extended::InvalidLinkAddress;
    }
    next = 1;
    // The controller in the slot routes no further.
    if (next < path.size() && path[next].SegmentKind == Kind::Port) {
        return extended::InvalidPort;
    }
    return std::nullopt;
}

Bytes CipDevice::UnconnectedSend(const Request& request, CipContext& context) {
    const std::uint8_t svc = request.Service;
    ByteReader r(request.Data);
    r.Skip(2); // priority/time tick, time-out ticks
    const std::uint16_t size = r.U16();
    const ByteView message = r.Take(size);
    if (size % 2 != 0) {
        r.Skip(1);
    }
    const std::uint8_t routeWords = r.U8();
    r.Skip(1);
    const ByteView routeBytes = r.Take(2u * routeWords);
    if (!r.AtEnd()) {
        return MakeReply(svc, GeneralStatus::TooMuchData);
    }
    // A routing failure carries the remaining route size (words) and a
    // reserved byte after the status.
    const Bytes remaining{routeWords, 0x00};
    std::optional<std::vector<PathSegment>> route = ParsePath(routeBytes);
    if (!route) {
        return MakeReply(svc, GeneralStatus::ConnectionFailure, {extended::InvalidSegment}, remaining);
    }
    std::size_t next = 0;
    if (std::optional<std::uint16_t> err = CheckRoute(*route, next)) {
        return MakeReply(svc, GeneralStatus::ConnectionFailure, {*err}, remaining);
    }
    if (next != route->size()) {
        return MakeReply(svc, GeneralStatus::ConnectionFailure, {extended::InvalidSegment}, remaining);
    }
    if (message.empty()) {
        return MakeReply(svc, GeneralStatus::NotEnoughData);
    }
    // The target's own reply goes back in place of the Unconnected Send reply.
    ++context.Depth;
    Bytes reply = Handle(message, context);
    --context.Depth;
    return reply;
}

Bytes CipDevice::ForwardOpen(const Request& request, CipContext& context) {
    const std::uint8_t svc = request.Service;
    ByteReader r(request.Data);
    r.Skip(2); // priority/time tick, time-out ticks
    r.U32();   // O->T id proposed by the originator: the target chooses its own
    const std::uint32_t ttoId = r.U32();
    const std::uint16_t serial = r.U16();
    const std::uint16_t vendor = r.U16();
    const std::uint32_t originatorSerial = r.U32();
    r.Skip(4); // time-out multiplier, reserved
    const std::uint32_t otoRpi = r.U32();
    const std::uint16_t otoParams = r.U16();
    const std::uint32_t ttoRpi = r.U32();
    const std::uint16_t ttoParams = r.U16();
    const std::uint8_t transport = r.U8();
    const std::uint8_t pathWords = r.U8();
    const ByteView pathBytes = r.Take(2u * pathWords);
    if (!r.AtEnd()) {
        return MakeReply(svc, GeneralStatus::TooMuchData);
    }

    auto fail = [&](std::uint16_t ext, std::uint8_t remainingWords = 0) {
        Bytes body;
        PutU16(body, serial);
        PutU16(body, vendor);
        PutU32(body, originatorSerial);
        PutU8(body, remainingWords);
        PutU8(body, 0);
        return MakeReply(svc, GeneralStatus::ConnectionFailure, {ext}, body);
    };

    if (std::optional<std::uint16_t> refusal = faults_.TakeForwardOpenRefusal()) {
        return fail(*refusal);
    }
    std::optional<std::vector<PathSegment>> path = ParsePath(pathBytes);
    if (!path) {
        return fail(extended::InvalidSegment, pathWords);
    }
    std::size_t next = 0;
    if (std::optional<std::uint16_t> err = CheckRoute(*path, next)) {
        return fail(*err, pathWords);
    }
    while (next < path->size() && (*path)[next].SegmentKind == Kind::Key) {
        ++next;
    }
    // Class-3 connections end at the Message Router (class 2, instance 1);
    // the small controllers also take an empty path as naming it.
    const bool toRouter = (path->size() == next + 2 && (*path)[next].SegmentKind == Kind::Class &&
                           (*path)[next].Value == cipclass::MessageRouter &&
                           (*path)[next + 1].SegmentKind == Kind::Instance && (*path)[next + 1].Value == 1) ||
                          (path->empty() && config_.Family != Personality::Logix);
    if (!toRouter) {
        return fail(extended::InvalidApplicationPath);
    }
    if ((transport & 0x0F) != 3) {
        return fail(extended::TransportClassNotSupported);
    }
    // Connection type (bits 13..14) must be point-to-point (2) both ways.
    if (((otoParams >> 13) & 3) != 2 || ((ttoParams >> 13) & 3) != 2) {
        return fail(extended::InvalidConnectionParameter);
    }
    const auto otoSize = static_cast<std::uint16_t>(otoParams & 0x01FF);
    const auto ttoSize = static_cast<std::uint16_t>(ttoParams & 0x01FF);
    if (otoSize < MinConnectionSize || ttoSize < MinConnectionSize) {
        return fail(extended::InvalidConnectionSize);
    }

    std::uint32_t otoId = 0;
    {
        std::scoped_lock lock(connectionsMutex_);
        for (const auto& [id, c] : connections_) {
            if (c.Serial == serial && c.VendorId == vendor && c.OriginatorSerial == originatorSerial) {
                return fail(extended::DuplicateForwardOpen);
            }
        }
        if (connections_.size() >= config_.MaxConnections) {
            return fail(extended::OutOfConnections);
        }
        do {
            otoId = nextConnectionId_++;
        } while (otoId == 0 || connections_.count(otoId) != 0);
        ConnectionInfo c;
        c.OtoTId = otoId;
        c.TtoOId = ttoId;
        c.Serial = serial;
        c.VendorId = vendor;
        c.OriginatorSerial = originatorSerial;
        c.OtoTRpi = otoRpi;
        c.TtoORpi = ttoRpi;
        c.TtoOSize = ttoSize;
        c.SessionId = context.SessionId;
        connections_.emplace(otoId, std::move(c));
    }
    ++stats_.ForwardOpens;

    Bytes body;
    PutU32(body, otoId);
    PutU32(body, ttoId);
    PutU16(body, serial);
    PutU16(body, vendor);
    PutU32(body, originatorSerial);
    PutU32(body, otoRpi); // actual packet intervals: as requested
    PutU32(body, ttoRpi);
    PutU8(body, 0); // application reply size
    PutU8(body, 0);
    return MakeReply(svc, GeneralStatus::Success, {}, body);
}

Bytes CipDevice::ForwardClose(const Request& request, CipContext&) {
    const std::uint8_t svc = request.Service;
    ByteReader r(request.Data);
    r.Skip(2);
    const std::uint16_t serial = r.U16();
    const std::uint16_t vendor = r.U16();
    const std::uint32_t originatorSerial = r.U32();
    const std::uint8_t pathWords = r.U8();
    r.Skip(1);
    const ByteView pathBytes = r.Take(2u * pathWords);
    if (!r.AtEnd()) {
        return MakeReply(svc, GeneralStatus::TooMuchData);
    }
    auto reply = [&](GeneralStatus status, std::optional<std::uint16_t> ext, std::uint8_t words) {
        Bytes body;
        PutU16(body, serial);
        PutU16(body, vendor);
        PutU32(body, originatorSerial);
        PutU8(body, words); // application reply size on success, remaining path size on failure
        PutU8(body, 0);
        return ext ? MakeReply(svc, status, {*ext}, body) : MakeReply(svc, status, {}, body);
    };
    std::optional<std::vector<PathSegment>> path = ParsePath(pathBytes);
    if (!path) {
        return reply(GeneralStatus::ConnectionFailure, extended::InvalidSegment, pathWords);
    }
    std::size_t next = 0;
    if (std::optional<std::uint16_t> err = CheckRoute(*path, next)) {
        return reply(GeneralStatus::ConnectionFailure, *err, pathWords);
    }
    {
        std::scoped_lock lock(connectionsMutex_);
        auto it = std::find_if(connections_.begin(), connections_.end(), [&](const auto& entry) {
            const ConnectionInfo& c = entry.second;
            return c.Serial == serial && c.VendorId == vendor && c.OriginatorSerial == originatorSerial;
        });
        if (it == connections_.end()) {
            return reply(GeneralStatus::ConnectionFailure, extended::ConnectionNotFound, 0);
        }
        connections_.erase(it);
    }
    ++stats_.ForwardCloses;
    return reply(GeneralStatus::Success, std::nullopt, 0);
}

std::optional<ConnectionInfo> CipDevice::FindConnection(std::uint32_t otoId, std::uint64_t sessionId) const {
    std::scoped_lock lock(connectionsMutex_);
    auto it = connections_.find(otoId);
    if (it == connections_.end() || it->second.SessionId != sessionId) {
        return std::nullopt;
    }
    return it->second;
}

void CipDevice::StoreConnectedReply(std::uint32_t otoId, std::uint16_t sequence, const Bytes& reply) {
    std::scoped_lock lock(connectionsMutex_);
    auto it = connections_.find(otoId);
    if (it != connections_.end()) {
        it->second.LastSequence = sequence;
        it->second.LastReply = reply;
    }
}

void CipDevice::DropSessionConnections(std::uint64_t sessionId) {
    std::scoped_lock lock(connectionsMutex_);
    std::erase_if(connections_, [&](const auto& entry) { return entry.second.SessionId == sessionId; });
}

std::size_t CipDevice::OpenConnections() const {
    std::scoped_lock lock(connectionsMutex_);
    return connections_.size();
}

// ---- PCCC object: Execute PCCC ----

Bytes CipDevice::HandlePccc(const Request& request, CipContext&) {
    const std::uint8_t svc = request.Service;
    std::optional<ObjectAddress> a = ToObjectAddress(request.Path);
    if (!a || a->Attribute) {
        return MakeReply(svc, GeneralStatus::PathSegmentError);
    }
    if (a->Instance != 1u) {
        return MakeReply(svc, GeneralStatus::PathDestinationUnknown);
    }
    if (svc != service::ExecutePccc) {
        return MakeReply(svc, GeneralStatus::ServiceNotSupported);
    }
    ByteReader r(request.Data);
    // Requester id: its length byte counts itself, then vendor (2) and
    // serial (4), then anything the requester adds; echoed in the reply.
    const std::uint8_t idLength = r.U8();
    if (idLength < 7) {
        return MakeReply(svc, GeneralStatus::InvalidParameterValue);
    }
    r.Skip(idLength - 1u);
    const std::uint8_t command = r.U8();
    r.U8(); // status, 0 in requests
    const std::uint16_t tns = r.U16();
    ++stats_.PcccRequests;

    PcccResult result;
    if (command == 0x0F) {
        try {
            const std::uint8_t function = r.U8();
            if (function == 0xA2 || function == 0xA1) {
                result = PcccTypedRead(r, function);
            } else {
                result.Status = PcccIllegalCommand;
            }
        } catch (const ETruncated&) {
            result = PcccResult{PcccIllegalCommand, std::nullopt, {}};
        }
    } else {
        result.Status = PcccIllegalCommand;
    }

    Bytes body;
    PutBytes(body, request.Data.subspan(0, idLength));
    PutU8(body, static_cast<std::uint8_t>(command | PcccReplyBit));
    PutU8(body, result.Status);
    PutU16(body, tns);
    if (result.ExtStatus) {
        PutU8(body, *result.ExtStatus);
    }
    PutBytes(body, result.Data);
    return MakeReply(svc, GeneralStatus::Success, {}, body);
}

CipDevice::PcccResult CipDevice::PcccTypedRead(ByteReader& r, std::uint8_t function) const {
    const std::uint8_t byteSize = r.U8();
    const std::uint16_t fileNumber = PcccAddressField(r);
    const std::uint8_t fileType = r.U8();
    const std::uint16_t element = PcccAddressField(r);
    const std::uint16_t subElement = function == 0xA2 ? PcccAddressField(r) : 0;
    if (!r.AtEnd()) {
        return PcccResult{PcccIllegalCommand, std::nullopt, {}};
    }
    auto error = [](std::uint8_t ext) { return PcccResult{PcccExtendedStatus, ext, {}}; };
    if (FindFileLayoutByType(fileType) == nullptr) {
        return error(PcccExtIllegalDataType);
    }
    if (fileNumber > 255) {
        return error(PcccExtUnusableAddress);
    }
    PcccResult result = error(PcccExtUnusableAddress);
    files_.With(static_cast<std::uint8_t>(fileNumber), [&](const DataFile& file) {
        const PcccFileLayout& layout = file.Layout();
        if (layout.FileType != fileType) {
            result = error(PcccExtIllegalDataType);
            return;
        }
        if (element >= file.ElementCount() || 2u * subElement >= layout.ElementSize) {
            result = error(PcccExtUnusableAddress);
            return;
        }
        const std::size_t offset = static_cast<std::size_t>(element) * layout.ElementSize + 2u * subElement;
        if (byteSize > file.Data.size() - offset) {
            result = error(PcccExtTransactionTooLarge);
            return;
        }
        result = PcccResult{0, std::nullopt,
                            Bytes(file.Data.begin() + static_cast<std::ptrdiff_t>(offset),
                                  file.Data.begin() + static_cast<std::ptrdiff_t>(offset + byteSize))};
    });
    return result;
}

// ---- Tags: Read Tag, Read Tag Fragmented ----

Bytes CipDevice::HandleTag(const Request& request, CipContext& context) {
    if (request.Service != service::ReadTag && request.Service != service::ReadTagFragmented) {
        return MakeReply(request.Service, GeneralStatus::ServiceNotSupported);
    }
    // A Micro800 answers symbolic reads over a class-3 connection only.
    if (config_.Family == Personality::Micro800 && !context.Connected) {
        return MakeReply(request.Service, GeneralStatus::ServiceNotSupported);
    }
    return ReadTag(request, context);
}

namespace {

// What a Read Tag path names inside a tag: a run of elements of one type
// starting at a byte offset of the tag's data.
struct ReadTarget {
    std::uint16_t TypeWord = 0; // atomic code, or 0x02A0 for a structure
    std::uint16_t Handle = 0;
    std::uint16_t TemplateInstance = 0;
    std::size_t ElementSize = 0;
    std::size_t Begin = 0;     // byte offset of the first element named
    std::size_t Available = 0; // elements from there to the end of the innermost array
    std::vector<std::uint32_t> Dims;
    std::optional<std::uint8_t> Bit; // a BOOL member: its bit in the byte at Begin
};

} // namespace

Bytes CipDevice::ReadTag(const Request& request, CipContext& context) {
    const std::uint8_t svc = request.Service;
    ByteReader r(request.Data);
    const std::uint16_t count = r.U16();
    const std::uint32_t offset = svc == service::ReadTagFragmented ? r.U32() : 0;
    if (!r.AtEnd()) {
        return MakeReply(svc, GeneralStatus::TooMuchData);
    }

    // "Program:Main" followed by "Tag" names the program-scoped tag
    // "Program:Main.Tag"; then come subscripts and members.
    const std::vector<PathSegment>& path = request.Path;
    std::string name = path[0].Name;
    std::size_t i = 1;
    if (StartsWithProgram(name) && path.size() > 1 && path[1].SegmentKind == Kind::Symbolic) {
        name += "." + path[1].Name;
        i = 2;
    }
    if (tags_.IsSystemSymbol(name)) {
        return MakeReply(svc, GeneralStatus::PrivilegeViolation);
    }
    const TemplateStore& types = tags_.Types();

    Bytes reply;
    const bool found = tags_.With(name, [&](const SimTag& tag) {
        ReadTarget t;
        t.TypeWord = tag.TypeCode;
        t.Handle = tag.StructHandle;
        t.TemplateInstance = tag.TemplateInstance;
        t.ElementSize = tag.ElementSize();
        t.Available = tag.ElementCount();
        t.Dims = tag.Dims;
        while (i < path.size()) {
            std::vector<std::uint32_t> indexes;
            while (i < path.size() && path[i].SegmentKind == Kind::Element) {
                indexes.push_back(path[i++].Value);
            }
            if (!indexes.empty()) {
                if (t.Bit || t.Dims.empty()) {
                    reply = MakeReply(svc, GeneralStatus::PathSegmentError);
                    return;
                }
                // A BOOL array is stored as 32-bit words and, as controllers
                // do, its subscript on the wire names the word, not the bit.
                std::size_t start = 0;
                if (indexes.size() != t.Dims.size()) {
                    reply = MakeReply(svc, GeneralStatus::PathSegmentError);
                    return;
                }
                for (std::size_t d = 0; d < indexes.size(); ++d) {
                    if (indexes[d] >= t.Dims[d]) {
                        reply = MakeReply(svc, GeneralStatus::PathDestinationUnknown);
                        return;
                    }
                    start = start * t.Dims[d] + indexes[d];
                }
                t.Begin += start * t.ElementSize;
                t.Available -= start;
                t.Dims.clear();
            }
            if (i == path.size()) {
                break;
            }
            if (path[i].SegmentKind != Kind::Symbolic) {
                reply = MakeReply(svc, GeneralStatus::PathSegmentError);
                return;
            }
            // A member of an atomic value does not exist; one of a whole
            // array names no single element.
            if (t.TypeWord != StructureTypeWord || t.Bit) {
                reply = MakeReply(svc, GeneralStatus::PathDestinationUnknown);
                return;
            }
            if (!t.Dims.empty()) {
                reply = MakeReply(svc, GeneralStatus::PathSegmentError);
                return;
            }
            std::optional<SimTemplate> type = types.FindByInstance(t.TemplateInstance);
            const TemplateMember* m = type ? type->FindMember(path[i].Name) : nullptr;
            if (m == nullptr) {
                reply = MakeReply(svc, GeneralStatus::PathDestinationUnknown);
                return;
            }
            ++i;
            t.Begin += m->Offset;
            t.Dims.clear();
            if (m->IsArray()) {
                t.Dims.push_back(m->Info);
            }
            t.Available = m->IsArray() ? m->Info : 1;
            if (m->IsStructure()) {
                std::optional<SimTemplate> nested = types.FindByInstance(m->TemplateInstance());
                if (!nested) {
                    reply = MakeReply(svc, GeneralStatus::PathDestinationUnknown);
                    return;
                }
                t.TypeWord = StructureTypeWord;
                t.Handle = nested->Handle;
                t.TemplateInstance = nested->Instance;
                t.ElementSize = nested->StructSize;
            } else {
                t.TypeWord = m->Type & 0xFF;
                t.Handle = 0;
                t.ElementSize = AtomicSize(t.TypeWord);
                if (t.TypeWord == static_cast<std::uint16_t>(CipType::Bool)) {
                    t.Bit = static_cast<std::uint8_t>(m->Info & 7);
                }
            }
            if (t.ElementSize == 0 || t.Begin + t.Available * t.ElementSize > tag.Data.size()) {
                reply = MakeReply(svc, GeneralStatus::PathDestinationUnknown);
                return;
            }
        }
        if (count == 0) {
            reply = MakeReply(svc, GeneralStatus::InvalidParameterValue);
            return;
        }
        if (count > t.Available) {
            reply = MakeReply(svc, GeneralStatus::GeneralError, {extended::AccessBeyondEnd});
            return;
        }
        const std::size_t size = t.ElementSize;
        const std::size_t total = count * size;
        if (offset >= total) {
            reply = MakeReply(svc, GeneralStatus::GeneralError, {extended::AccessBeyondEnd});
            return;
        }
        const bool structure = t.TypeWord == StructureTypeWord;
        const std::size_t header = 4 + 2 + (structure ? 2 : 0);
        if (context.MaxReply <= header) {
            reply = MakeReply(svc, GeneralStatus::ReplyDataTooLarge);
            return;
        }
        Bytes body;
        PutU16(body, t.TypeWord);
        if (t.Bit) {
            // A BOOL member reads as a BOOL: all ones on a Logix controller.
            const bool set = ((tag.Data[t.Begin] >> *t.Bit) & 1) != 0;
            PutU8(body, set ? (config_.Family == Personality::Logix ? 0xFF : 0x01) : 0x00);
            reply = MakeReply(svc, GeneralStatus::Success, {}, body);
            return;
        }
        // A reply that does not fit carries as many whole elements as fit,
        // with status 0x06; the client asks for the rest by byte offset.
        const std::size_t budget = context.MaxReply - header;
        const std::size_t remaining = total - offset;
        std::size_t chunk = remaining;
        if (chunk > budget) {
            chunk = budget >= size ? budget - budget % size : budget;
        }
        if (structure) {
            PutU16(body, t.Handle);
        }
        PutBytes(body, ByteView(tag.Data).subspan(t.Begin + offset, chunk));
        reply = MakeReply(svc, chunk < remaining ? GeneralStatus::PartialTransfer : GeneralStatus::Success,
                          {}, body);
    });
    if (!found) {
        return MakeReply(svc, GeneralStatus::PathDestinationUnknown);
    }
    return reply;
}

} // namespace sim
