// The Symbol object (class 0x6B: the tag table, browsed with Get Instance
// Attribute List) and the Template objects (class 0x6C: structure
// definitions read with Get Attribute List and Read Template).
#include "sim/CipDevice.h"

namespace sim {
namespace {

using Kind = PathSegment::Kind;

// Symbol attributes a browse may ask for: 1 name, 2 type word, 7 element
// size, 8 the three dimensions, 10 external access (0: read/write).
bool KnownSymbolAttribute(std::uint16_t id) {
    return id == 1 || id == 2 || id == 7 || id == 8 || id == 10;
}

void PutSymbolAttribute(Bytes& out, const SymbolEntry& e, std::uint16_t id) {
    switch (id) {
    case 1:
        PutU16(out, static_cast<std::uint16_t>(e.Name.size()));
        PutText(out, e.Name);
        break;
    case 2:
        PutU16(out, e.Type);
        break;
    case 7:
        PutU16(out, e.ElementSize);
        break;
    case 8:
        for (std::uint32_t d : e.Dims) {
            PutU32(out, d);
        }
        break;
    default:
        PutU8(out, 0);
        break;
    }
}

// Template attributes: 1 structure handle, 2 member count, 3 structure size
// (16-bit), 4 definition size in 32-bit words, 5 structure size (32-bit).
std::optional<Bytes> TemplateAttribute(const SimTemplate& t, std::uint32_t id) {
    Bytes v;
    switch (id) {
    case 1:
        PutU16(v, t.Handle);
        break;
    case 2:
        PutU16(v, static_cast<std::uint16_t>(t.Members.size()));
        break;
    case 3:
        PutU16(v, static_cast<std::uint16_t>(t.StructSize));
        break;
    case 4:
        PutU32(v, t.DefinitionWords());
        break;
    case 5:
        PutU32(v, t.StructSize);
        break;
    default:
        return std::nullopt;
    }
    return v;
}

// The attribute ids of a Get Attribute List or Get Instance Attribute List
// request: a count, then that many 16-bit ids, nothing after them.
std::optional<std::vector<std::uint16_t>> AttributeIds(ByteView data, GeneralStatus& error) {
    ByteReader r(data);
    const std::uint16_t count = r.U16();
    if (r.Remaining() < 2u * count) {
        error = GeneralStatus::NotEnoughData;
        return std::nullopt;
    }
    if (r.Remaining() > 2u * count) {
        error = GeneralStatus::TooMuchData;
        return std::nullopt;
    }
    std::vector<std::uint16_t> ids(count);
    for (std::uint16_t& id : ids) {
        id = r.U16();
    }
    return ids;
}

// The TCP/IP Interface (0xF5) and Ethernet Link (0xF6) objects: the
// network attributes a diagnostic tool reads from a controller's port.
std::optional<Bytes> InterfaceAttribute(std::uint32_t cls, std::uint32_t attribute) {
    Bytes v;
    auto putString = [&v](std::string_view s) {
        PutU16(v, static_cast<std::uint16_t>(s.size()));
        PutText(v, s);
        if (s.size() % 2 != 0) {
            PutU8(v, 0);
        }
    };
    if (cls == cipclass::TcpIp) {
        switch (attribute) {
        case 1: // status: configured
            PutU32(v, 1);
            return v;
        case 5: // address, mask, gateway, two name servers, domain
            PutU32(v, 0x7F000001);
            PutU32(v, 0xFF000000);
            PutU32(v, 0);
            PutU32(v, 0);
            PutU32(v, 0);
            putString("");
            return v;
        case 6:
            putString("sim-plc");
            return v;
        default:
            return std::nullopt;
        }
    }
    switch (attribute) {
    case 1: // speed, Mb/s
        PutU32(v, 100);
        return v;
    case 2: // link up, full duplex, speed negotiated
        PutU32(v, 0x0000000F);
        return v;
    case 3: {
        const Bytes mac = {0x00, 0x00, 0xBC, 0x51, 0x4D, 0x01};
        PutBytes(v, mac);
        return v;
    }
    default:
        return std::nullopt;
    }
}

} // namespace

Bytes AttributeListReply(std::uint8_t service, ByteView requestData,
                         const std::function<std::optional<Bytes>(std::uint16_t)>& attribute) {
    GeneralStatus error = GeneralStatus::Success;
    const std::optional<std::vector<std::uint16_t>> ids = AttributeIds(requestData, error);
    if (!ids) {
        return MakeReply(service, error);
    }
    Bytes body;
    PutU16(body, static_cast<std::uint16_t>(ids->size()));
    bool failed = false;
    for (const std::uint16_t id : *ids) {
        PutU16(body, id);
        if (std::optional<Bytes> v = attribute(id)) {
            PutU16(body, 0);
            PutBytes(body, *v);
        } else {
            PutU16(body, static_cast<std::uint16_t>(GeneralStatus::AttributeNotSupported));
            failed = true;
        }
    }
    return MakeReply(service, failed ? GeneralStatus::AttributeListError : GeneralStatus::Success, {}, body);
}

// ---- TCP/IP Interface and Ethernet Link ----

Bytes CipDevice::HandleInterface(const Request& request) {
    const std::uint8_t svc = request.Service;
    const std::vector<PathSegment>& path = request.Path;
    if (path.size() < 2 || path.size() > 3 || path[1].SegmentKind != Kind::Instance ||
        (path.size() == 3 && path[2].SegmentKind != Kind::Attribute)) {
        return MakeReply(svc, GeneralStatus::PathSegmentError);
    }
    if (path[1].Value != 1) {
        return MakeReply(svc, GeneralStatus::PathDestinationUnknown);
    }
    const std::uint32_t cls = path[0].Value;
    if (svc == service::GetAttributeSingle) {
        if (path.size() != 3) {
            return MakeReply(svc, GeneralStatus::PathSegmentError);
        }
        if (!request.Data.empty()) {
            return MakeReply(svc, GeneralStatus::TooMuchData);
        }
        std::optional<Bytes> v = InterfaceAttribute(cls, path[2].Value);
        if (!v) {
            return MakeReply(svc, GeneralStatus::AttributeNotSupported);
        }
        return MakeReply(svc, GeneralStatus::Success, {}, *v);
    }
    if (svc != service::GetAttributeList || path.size() != 2) {
        return MakeReply(svc, GeneralStatus::ServiceNotSupported);
    }
    return AttributeListReply(svc, request.Data, [&](std::uint16_t id) { return InterfaceAttribute(cls, id); });
}

// ---- Symbol object ----

Bytes CipDevice::HandleSymbol(const Request& request, std::string_view program, std::size_t first,
                              CipContext& context) {
    const std::uint8_t svc = request.Service;
    const std::vector<PathSegment>& path = request.Path;
    if (path.size() < first + 2 || path[first + 1].SegmentKind != Kind::Instance) {
        return MakeReply(svc, GeneralStatus::PathSegmentError);
    }
    const std::uint32_t instance = path[first + 1].Value;
    const bool attribute = path.size() == first + 3 && path[first + 2].SegmentKind == Kind::Attribute;
    if (path.size() != first + 2 && !attribute) {
        return MakeReply(svc, GeneralStatus::PathSegmentError);
    }
    switch (svc) {
    case service::GetInstanceAttributeList:
        if (attribute) {
            return MakeReply(svc, GeneralStatus::PathSegmentError);
        }
        return BrowseSymbols(request, program, instance, context);
    case service::GetAttributeList:
    case service::GetAttributeSingle:
        return SymbolAttributes(request, program, instance);
    default:
        return MakeReply(svc, GeneralStatus::ServiceNotSupported);
    }
}

Bytes CipDevice::BrowseSymbols(const Request& request, std::string_view program, std::uint32_t start,
                               CipContext& context) {
    const std::uint8_t svc = request.Service;
    GeneralStatus error = GeneralStatus::Success;
    std::optional<std::vector<std::uint16_t>> ids = AttributeIds(request.Data, error);
    if (!ids) {
        return MakeReply(svc, error);
    }
    for (std::uint16_t id : *ids) {
        if (!KnownSymbolAttribute(id)) {
            return MakeReply(svc, GeneralStatus::AttributeNotSupported);
        }
    }
    std::optional<std::vector<SymbolEntry>> symbols = tags_.Symbols(program);
    if (!symbols) {
        return MakeReply(svc, GeneralStatus::PathDestinationUnknown);
    }
    // Records from the start instance on, as many as fit the reply; a page
    // that stops early says so with 0x06 and the client continues after the
    // last instance it got.
    const std::size_t budget = context.MaxReply > 4 ? context.MaxReply - 4 : 0;
    Bytes body;
    bool more = false;
    for (const SymbolEntry& e : *symbols) {
        if (e.Instance < start) {
            continue;
        }
        Bytes record;
        PutU32(record, e.Instance);
        for (std::uint16_t id : *ids) {
            PutSymbolAttribute(record, e, id);
        }
        if (body.size() + record.size() > budget) {
            more = true;
            break;
        }
        PutBytes(body, record);
    }
    if (more && body.empty()) {
        return MakeReply(svc, GeneralStatus::ReplyDataTooLarge);
    }
    return MakeReply(svc, more ? GeneralStatus::PartialTransfer : GeneralStatus::Success, {}, body);
}

Bytes CipDevice::SymbolAttributes(const Request& request, std::string_view program, std::uint32_t instance) {
    const std::uint8_t svc = request.Service;
    std::optional<std::vector<SymbolEntry>> symbols = tags_.Symbols(program);
    const SymbolEntry* entry = nullptr;
    if (symbols) {
        for (const SymbolEntry& e : *symbols) {
            if (e.Instance == instance) {
                entry = &e;
            }
        }
    }
    if (entry == nullptr) {
        return MakeReply(svc, GeneralStatus::PathDestinationUnknown);
    }
    if (svc == service::GetAttributeSingle) {
        const PathSegment& last = request.Path.back();
        if (last.SegmentKind != Kind::Attribute) {
            return MakeReply(svc, GeneralStatus::PathSegmentError);
        }
        if (!request.Data.empty()) {
            return MakeReply(svc, GeneralStatus::TooMuchData);
        }
        if (last.Value > 0xFFFF || !KnownSymbolAttribute(static_cast<std::uint16_t>(last.Value))) {
            return MakeReply(svc, GeneralStatus::AttributeNotSupported);
        }
        Bytes v;
        PutSymbolAttribute(v, *entry, static_cast<std::uint16_t>(last.Value));
        return MakeReply(svc, GeneralStatus::Success, {}, v);
    }
    return AttributeListReply(svc, request.Data, [&](std::uint16_t id) -> std::optional<Bytes> {
        if (!KnownSymbolAttribute(id)) {
            return std::nullopt;
        }
        Bytes v;
        PutSymbolAttribute(v, *entry, id);
        return v;
    });
}

// ---- Template objects ----

Bytes CipDevice::HandleTemplate(const Request& request, CipContext& context) {
    const std::uint8_t svc = request.Service;
    const std::vector<PathSegment>& path = request.Path;
    if (path.size() < 2 || path.size() > 3 || path[1].SegmentKind != Kind::Instance ||
        (path.size() == 3 && path[2].SegmentKind != Kind::Attribute)) {
        return MakeReply(svc, GeneralStatus::PathSegmentError);
    }
    std::optional<SimTemplate> t;
    if (path[1].Value <= 0xFFFF) {
        t = tags_.Types().FindByInstance(static_cast<std::uint16_t>(path[1].Value));
    }
    if (!t) {
        return MakeReply(svc, GeneralStatus::PathDestinationUnknown);
    }
    switch (svc) {
    case service::GetAttributeSingle: {
        if (path.size() != 3) {
            return MakeReply(svc, GeneralStatus::PathSegmentError);
        }
        if (!request.Data.empty()) {
            return MakeReply(svc, GeneralStatus::TooMuchData);
        }
        std::optional<Bytes> v = TemplateAttribute(*t, path[2].Value);
        if (!v) {
            return MakeReply(svc, GeneralStatus::AttributeNotSupported);
        }
        return MakeReply(svc, GeneralStatus::Success, {}, *v);
    }
    case service::GetAttributeList: {
        return AttributeListReply(svc, request.Data, [&](std::uint16_t id) { return TemplateAttribute(*t, id); });
    }
    case service::GetAttributesAll: {
        if (!request.Data.empty()) {
            return MakeReply(svc, GeneralStatus::TooMuchData);
        }
        // Handle, member count, size (16-bit), definition words, size (32-bit), 0.
        Bytes body;
        PutU16(body, t->Handle);
        PutU16(body, static_cast<std::uint16_t>(t->Members.size()));
        PutU16(body, static_cast<std::uint16_t>(t->StructSize));
        PutU32(body, t->DefinitionWords());
        PutU32(body, t->StructSize);
        PutU16(body, 0);
        return MakeReply(svc, GeneralStatus::Success, {}, body);
    }
    case service::ReadTemplate: {
        if (path.size() != 2) {
            return MakeReply(svc, GeneralStatus::PathSegmentError);
        }
        ByteReader r(request.Data);
        const std::uint32_t offset = r.U32();
        const std::uint16_t size = r.U16();
        if (!r.AtEnd()) {
            return MakeReply(svc, GeneralStatus::TooMuchData);
        }
        const Bytes definition = t->Definition();
        if (offset >= definition.size()) {
            return MakeReply(svc, GeneralStatus::GeneralError, {extended::AccessBeyondEnd});
        }
        // A request past the end gets what there is; one larger than a reply
        // gets what fits with 0x06, and the client continues at the offset
        // plus what it received.
        const std::size_t available = std::min<std::size_t>(size, definition.size() - offset);
        const std::size_t budget = context.MaxReply > 4 ? context.MaxReply - 4 : 0;
        const std::size_t chunk = std::min(available, budget);
        if (chunk == 0 && available > 0) {
            return MakeReply(svc, GeneralStatus::ReplyDataTooLarge);
        }
        return MakeReply(svc, chunk < available ? GeneralStatus::PartialTransfer : GeneralStatus::Success, {},
                         ByteView(definition).subspan(offset, chunk));
    }
    default:
        return MakeReply(svc, GeneralStatus::ServiceNotSupported);
    }
}

} // namespace sim
