#include "sim/EncapsSession.h"

namespace sim {
namespace {

constexpr std::uint16_t ProtocolVersion = 1;

constexpr std::uint16_t ItemNullAddress = 0x0000;
constexpr std::uint16_t ItemIdentity = 0x000C;
constexpr std::uint16_t ItemConnectedAddress = 0x00A1;
constexpr std::uint16_t ItemConnectedData = 0x00B1;
constexpr std::uint16_t ItemUnconnectedData = 0x00B2;
constexpr std::uint16_t ItemServices = 0x0100;

struct Item {
    std::uint16_t Type = 0;
    ByteView Data;
};

// Interface handle (0 for CIP), time-out, then at least two items: address
// and data. Further items (socket address items) are allowed and ignored.
// The items must fill the data exactly.
std::optional<std::pair<Item, Item>> ReadItems(ByteView data) {
    try {
        ByteReader r(data);
        if (r.U32() != 0) {
            return std::nullopt;
        }
        r.U16(); // time-out: the device answers at once
        const std::uint16_t count = r.U16();
        if (count < 2) {
            return std::nullopt;
        }
        Item items[2];
        for (std::uint16_t i = 0; i < count; ++i) {
            Item item;
            item.Type = r.U16();
            const std::uint16_t length = r.U16();
            item.Data = r.Take(length);
            if (i < 2) {
                items[i] = item;
            }
        }
        if (!r.AtEnd()) {
            return std::nullopt;
        }
        return std::make_pair(items[0], items[1]);
    } catch (const ETruncated&) {
        return std::nullopt;
    }
}

void PutItemHeader(Bytes& out, std::uint16_t type, std::size_t length) {
    PutU16(out, type);
    PutU16(out, static_cast<std::uint16_t>(length));
}

// A message router reply whose general status is neither success nor a
// partial transfer.
bool IsErrorReply(const Bytes& reply) {
    return reply.size() >= 3 && reply[2] != 0x00 && reply[2] != 0x06;
}

// Interface handle 0, time-out 0, two items.
Bytes RRDataHead() {
    Bytes out;
    PutU32(out, 0);
    PutU16(out, 0);
    PutU16(out, 2);
    return out;
}

} // namespace

EncapsSession::EncapsSession(CipDevice& device, std::uint64_t sessionId, std::uint32_t localAddress,
                             std::uint16_t localPort)
    : device_(device), sessionId_(sessionId), localAddress_(localAddress), localPort_(localPort) {}

EncapsSession::~EncapsSession() {
    device_.DropSessionConnections(sessionId_);
}

EncapsOutcome EncapsSession::Handle(ByteView packet) {
    EncapsOutcome outcome;
    if (packet.size() < HeaderSize) {
        return outcome;
    }
    ByteReader r(packet);
    const std::uint16_t command = r.U16();
    const std::uint16_t length = r.U16();
    const std::uint32_t handle = r.U32();
    r.U32(); // status: 0 in requests, not looked at
    const ByteView context = r.Take(8);
    r.U32(); // options
    const ByteView data = r.Rest();
    outcome.Command = command;

    auto status = static_cast<std::uint32_t>(EncapsStatus::Success);
    std::uint32_t replyHandle = handle;
    Bytes replyData;

    if (data.size() != length) {
        status = static_cast<std::uint32_t>(EncapsStatus::InvalidLength);
    } else {
        switch (static_cast<EncapsCommand>(command)) {
        case EncapsCommand::Nop:
            return outcome; // never answered
        case EncapsCommand::ListIdentity:
            replyData = ListIdentityData();
            break;
        case EncapsCommand::ListServices:
            PutU16(replyData, 1);
            PutItemHeader(replyData, ItemServices, 20);
            PutU16(replyData, ProtocolVersion);
            PutU16(replyData, 0x0120); // CIP over TCP, class 0/1 over UDP
            PutText(replyData, std::string_view("Communications\0\0", 16));
            break;
        case EncapsCommand::ListInterfaces:
            PutU16(replyData, 0);
            break;
        case EncapsCommand::RegisterSession: {
            if (length != 4) {
                status = static_cast<std::uint32_t>(EncapsStatus::InvalidLength);
                break;
            }
            ByteReader body(data);
            const std::uint16_t version = body.U16();
            const std::uint16_t flags = body.U16();
            if (handle_ != 0) {
                // One session per TCP connection: a second registration is
                // refused and told the handle it already has.
                status = static_cast<std::uint32_t>(EncapsStatus::InvalidCommand);
                replyHandle = handle_;
                PutBytes(replyData, data);
            } else if (version != ProtocolVersion || flags != 0) {
                status = static_cast<std::uint32_t>(EncapsStatus::UnsupportedProtocol);
                replyHandle = 0;
                PutU16(replyData, ProtocolVersion);
                PutU16(replyData, 0);
            } else {
                handle_ = device_.NewSessionHandle();
                replyHandle = handle_;
                PutU16(replyData, ProtocolVersion);
                PutU16(replyData, 0);
            }
            break;
        }
        case EncapsCommand::UnRegisterSession:
            if (handle_ != 0 && handle == handle_) {
                outcome.Close = true;
                return outcome;
            }
            status = static_cast<std::uint32_t>(EncapsStatus::InvalidSessionHandle);
            break;
        case EncapsCommand::SendRRData:
        case EncapsCommand::SendUnitData:
            if (handle_ == 0 || handle != handle_) {
                status = static_cast<std::uint32_t>(EncapsStatus::InvalidSessionHandle);
            } else if (command == static_cast<std::uint16_t>(EncapsCommand::SendRRData)) {
                replyData = SendRRData(data, status, outcome);
            } else {
                replyData = SendUnitData(data, status, outcome);
            }
            break;
        default:
            status = static_cast<std::uint32_t>(EncapsStatus::InvalidCommand);
            break;
        }
    }
    if (status != static_cast<std::uint32_t>(EncapsStatus::Success)) {
        outcome.ErrorStatus = true;
    }
    if (status != static_cast<std::uint32_t>(EncapsStatus::Success) &&
        command != static_cast<std::uint16_t>(EncapsCommand::RegisterSession)) {
        replyData.clear();
    }
    if (replyData.size() > 0xFFFF - HeaderSize) {
        status = static_cast<std::uint32_t>(EncapsStatus::InvalidLength);
        replyData.clear();
    }

    Bytes reply;
    reply.reserve(HeaderSize + replyData.size());
    PutU16(reply, command);
    PutU16(reply, static_cast<std::uint16_t>(replyData.size()));
    PutU32(reply, replyHandle);
    PutU32(reply, status);
    PutBytes(reply, context);
    PutU32(reply, 0);
    PutBytes(reply, replyData);
    outcome.Reply = std::move(reply);
    return outcome;
}

Bytes EncapsSession::ListIdentityData() const {
    const IdentityInfo& id = device_.Config().Identity;
    Bytes item;
    PutU16(item, ProtocolVersion);
    // The socket address is in network byte order, unlike everything else.
    const std::uint8_t family[2] = {0x00, 0x02};
    PutBytes(item, family);
    PutU8(item, static_cast<std::uint8_t>(localPort_ >> 8));
    PutU8(item, static_cast<std::uint8_t>(localPort_));
    for (int shift = 24; shift >= 0; shift -= 8) {
        PutU8(item, static_cast<std::uint8_t>(localAddress_ >> shift));
    }
    for (int i = 0; i < 8; ++i) {
        PutU8(item, 0);
    }
    PutU16(item, id.VendorId);
    PutU16(item, id.DeviceType);
    PutU16(item, id.ProductCode);
    PutU8(item, id.MajorRevision);
    PutU8(item, id.MinorRevision);
    PutU16(item, id.Status);
    PutU32(item, id.SerialNumber);
    const std::size_t n = std::min<std::size_t>(id.ProductName.size(), 255);
    PutU8(item, static_cast<std::uint8_t>(n));
    PutText(item, std::string_view(id.ProductName).substr(0, n));
    PutU8(item, id.State);

    Bytes out;
    PutU16(out, 1);
    PutItemHeader(out, ItemIdentity, item.size());
    PutBytes(out, item);
    return out;
}

Bytes EncapsSession::SendRRData(ByteView data, std::uint32_t& status, EncapsOutcome& outcome) {
    std::optional<std::pair<Item, Item>> items = ReadItems(data);
    if (!items || items->first.Type != ItemNullAddress || !items->first.Data.empty() ||
        items->second.Type != ItemUnconnectedData || items->second.Data.empty()) {
        status = static_cast<std::uint32_t>(EncapsStatus::IncorrectData);
        return {};
    }
    CipContext context;
    context.SessionId = sessionId_;
    context.Connected = false;
    context.MaxReply = device_.Config().MaxUnconnectedReply;
    Bytes reply = device_.Handle(items->second.Data, context);
    outcome.Service = context.Service;
    outcome.ErrorStatus = IsErrorReply(reply);

    Bytes out = RRDataHead();
    PutItemHeader(out, ItemNullAddress, 0);
    PutItemHeader(out, ItemUnconnectedData, reply.size());
    PutBytes(out, reply);
    return out;
}

Bytes EncapsSession::SendUnitData(ByteView data, std::uint32_t& status, EncapsOutcome& outcome) {
    std::optional<std::pair<Item, Item>> items = ReadItems(data);
    if (!items || items->first.Type != ItemConnectedAddress || items->first.Data.size() != 4 ||
        items->second.Type != ItemConnectedData || items->second.Data.size() < 3) {
        status = static_cast<std::uint32_t>(EncapsStatus::IncorrectData);
        return {};
    }
    ByteReader address(items->first.Data);
    const std::uint32_t otoId = address.U32();
    ByteReader message(items->second.Data);
    const std::uint16_t sequence = message.U16();
    const ByteView request = message.Rest();

    // Only a connection this session opened carries its messages; anything
    // else is refused rather than silently dropped, so a client sees why.
    std::optional<ConnectionInfo> connection = device_.FindConnection(otoId, sessionId_);
    if (!connection) {
        status = static_cast<std::uint32_t>(EncapsStatus::IncorrectData);
        return {};
    }
    Bytes reply;
    if (connection->LastSequence == sequence && !connection->LastReply.empty()) {
        // A repeated sequence count is a retransmission: answer it again
        // without carrying the request out twice.
        reply = connection->LastReply;
        outcome.Service = request[0];
        outcome.ErrorStatus = IsErrorReply(reply);
    } else {
        CipContext context;
        context.SessionId = sessionId_;
        context.Connected = true;
        context.MaxReply = connection->TtoOSize - 2u;
        reply = device_.Handle(request, context);
        outcome.Service = context.Service;
        outcome.ErrorStatus = IsErrorReply(reply);
        device_.StoreConnectedReply(otoId, sequence, reply);
    }

    Bytes out = RRDataHead();
    PutItemHeader(out, ItemConnectedAddress, 4);
    PutU32(out, connection->TtoOId);
    PutItemHeader(out, ItemConnectedData, reply.size() + 2);
    PutU16(out, sequence);
    PutBytes(out, reply);
    return out;
}

} // namespace sim
