// The data source's results: the worker's reads become named, scaled values in
// data packets, one per answered request or one for all requests at once.
#include "engine/PluginDM.h"
#include "engine/SerialPortDM.h"
#include "logix/Logix_Struct.h"
#include "logix/Logix_Types.h"

namespace qor {

namespace {

using logix::TLogixType;

constexpr std::uint16_t kBooleanType = 0xC1;
constexpr std::uint16_t kStringType = 0xD0;

// What the walk over one item's values needs to know about the item.
struct TValueTarget {
    const TRequestItem& Item;
    std::string_view BitPart;
    bool Scaled;
    TqorParamsList& Params;

    void Add(const std::string& name, const Variant& value) const {
        if (!name.empty())
            Params.Add(name, value);
    }
    // An integer element: bits when the user chose Boolean, else the value,
    // scaled when a scale is set.
    void Number(std::string& name, const Variant& value, std::uint32_t typeSize) const {
        if (Item.DataType == kBooleanType) {
            const std::string base = std::move(name);
            name.clear();
            const std::uint64_t bits = value.AsUInt64();
            const auto [first, last] = ParseBitRange(BitPart, typeSize * 8);
            for (std::uint32_t b = first; b <= last && b < 32; ++b)
                Add(base + std::to_string(b), Variant(((bits >> b) & 1u) != 0));
            return;
        }
        if (Scaled)
            Add(name, Variant(static_cast<double>(value.AsDouble() * static_cast<double>(Item.Response.Scale))));
        else
            Add(name, value);
    }
};

const logix::TLogixTagEx* AsEx(const logix::TLogixTag& tag) { return dynamic_cast<const logix::TLogixTagEx*>(&tag); }

} // namespace

void TSerialPortDM::AddTagValues(TRequestItem& item, const logix::TLogixTag& tag, bool single,
                                 std::string_view bitPart, std::size_t tagIndex, TqorParamsList& params) {
    const TResponseItem& response = item.Response;
    const TValueTarget target{item, bitPart, response.Scale != 1.0L, params};
    const TLogixType type = tag.LogixType();
    const auto* ex = AsEx(tag);
    const auto* udt = dynamic_cast<const logix::TLogixUDT*>(&tag);
    const std::size_t elements = item.Number > 1 && single ? std::max<std::size_t>(tag.ElementCount, 1) : 1;
    for (std::size_t e = 0; e < elements; ++e) {
        std::string name = response.NameCount > static_cast<std::int32_t>(tagIndex) &&
                                   tagIndex < response.Names.size()
                               ? response.Names[tagIndex]
                           : !response.Names.empty() ? response.Names[0]
                                                     : std::string("VALUE");
        if (item.Number > 1)
            name += std::to_string(e + 1);
        const bool haveValue = ex != nullptr && e < ex->ValueCount();
        const auto element = [&] { return ex->Values[e]; };
        bool singleValue = false;
        switch (type) {
        case TLogixType::STRING:
            if (const auto* s = dynamic_cast<const logix::TLogixSTRING*>(&tag))
                target.Add(name, Variant(s->Text()));
            singleValue = true;
            break;
        case TLogixType::BOOL: {
            const std::uint16_t code = tag.DataType & 0x0FFF;
            if (code >= 0xD1 && code <= 0xD4 && ex != nullptr) {
                // The bits the elements read hold; the tag keeps room for
                // more (32 per element), which would export as bits the
                // device never sent.
                const std::size_t bits = logix::TypeSize(code) * 8 * std::max<std::size_t>(tag.ElementCount, 1);
                const auto width = static_cast<std::uint32_t>(std::min(bits, ex->ValueCount()));
                const auto [first, last] = ParseBitRange(bitPart, width);
                for (std::uint32_t b = first; b <= last && b < ex->ValueCount(); ++b)
                    target.Add(name + std::to_string(b), Variant(ex->Values[b].AsBoolean()));
                name.clear();
            } else {
                if (haveValue)
                    target.Add(name, Variant(element().AsBoolean()));
                singleValue = true;
            }
            break;
        }
        case TLogixType::CONTROL:
            if (udt != nullptr)
                target.Add(name, Variant(udt->GetMember("POS").AsInteger()));
            singleValue = true;
            break;
        case TLogixType::COUNTER:
        case TLogixType::TIMER:
            if (udt != nullptr)
                target.Add(name, Variant(udt->GetMember("ACC").AsInteger()));
            singleValue = true;
            break;
        case TLogixType::DINT:
        case TLogixType::INT:
        case TLogixType::LINT:
        case TLogixType::SINT:
        case TLogixType::USINT:
        case TLogixType::UINT:
        case TLogixType::UDINT:
        case TLogixType::ULINT:
            if (haveValue) {
                std::uint32_t size = 4;
                switch (type) {
                case TLogixType::INT: case TLogixType::UINT: size = 2; break;
                case TLogixType::SINT: case TLogixType::USINT: size = 1; break;
                case TLogixType::LINT: case TLogixType::ULINT: size = 8; break;
                default: break;
                }
                target.Number(name, element(), size);
            }
            break;
        case TLogixType::REAL:
        case TLogixType::LREAL:
            if (haveValue) {
                double v = element().AsDouble();
                if (target.Scaled)
                    v *= static_cast<double>(response.Scale);
                target.Add(name, Variant(v));
            }
            break;
        case TLogixType::SSTRING:
        case TLogixType::DATETIME:
        case TLogixType::DATE:
        case TLogixType::TIME:
            if (haveValue)
                target.Add(name, element());
            break;
        case TLogixType::USER:
            if (udt == nullptr)
                break;
            if (item.DataType == kStringType) {
                if (auto text = udt->AsString()) {
                    target.Add(name, Variant(*text));
                    break;
                }
            }
            // Each element's own members: S1.A, S2.A for an array.
            if (e < udt->ItemCount()) {
                const logix::TUDTItem& element = udt->ItemAt(static_cast<std::ptrdiff_t>(e));
                for (const std::string& member : udt->MemberNames()) {
                    const Variant v = element.GetMember(member);
                    if (udt->MemberKind(member) == TLogixType::USER && v.IsArray()) {
                        const auto& pairs = v.AsArray();
                        for (std::size_t i = 0; i + 1 < pairs.size(); i += 2)
                            target.Add(pairs[i].AsString(), pairs[i + 1]);
                    } else {
                        target.Add(name + "." + member, v);
                    }
                }
            }
            name.clear();
            break;
        default:
            break;
        }
        if (singleValue)
            break;
    }
}

void TSerialPortDM::ProcessResults() {
    if (!Thd)
        return;
    // Freed when this call ends, after the results that point into them.
    const auto retired = Thd->TakeRetired();
    TParsedDataList params;
    while (auto popped = QueueItemCast<TEipResult>(Thd->Results.Pop())) {
        TEipResult& result = *popped;
        if (!result.Tag && !result.List)
            continue;
        const bool single = result.Tag != nullptr;
        std::vector<const logix::TLogixTag*> tags;
        std::string raw;
        if (single) {
            tags.push_back(result.Tag.get());
            raw = result.Tag->RawData;
        } else {
            for (const auto& tag : result.List->Tags)
                tags.push_back(tag.get());
            raw = result.List->RawData;
        }
        params.Clear();
        TRequestList::SectionLock lock(RequestList);
        for (const auto& entry : RequestList) {
            TRequestItem& item = *entry;
            if (item.Key != result.Key)
                continue;
            FOwner.AddStandardValues(params, {}, {}, static_cast<std::int32_t>(SourceId), SourceFullName, 0, {},
                                     SourceName);
            if (result.Identity) {
                params.Add("EIP_DEVICE", Variant(result.Identity->ProductName));
                params.Add("EIP_DEVICE_SN", Variant(result.Identity->SerialNumber));
            }
            params.Add("EIP_REQ", Variant(item.Name));
            params.Add("EIP_ADDRESS", Variant(item.Address));
            const auto [base, bitPart] = SplitBitSpec(item.Address);
            item.HeaderCount = params.Count();
            item.Busy = false;
            for (std::size_t t = 0; t < tags.size(); ++t) {
                try {
                    AddTagValues(item, *tags[t], single, bitPart, t, params);
                } catch (const std::exception&) {
                    // A value the tag cannot give is left out; the others go.
                }
            }
            if (params.Count() > item.HeaderCount) {
                if (ExportAll) {
                    if (!item.PendingList)
                        item.PendingList = std::make_unique<TParsedDataList>();
                    item.PendingList->Clear();
                    item.PendingList->RawText = raw;
                    item.PendingList->AddList(&params);
                    item.Pending = true;
                } else {
                    TParsedDataList packet;
                    packet.RawText = raw;
                    packet.AddList(&params);
                    Deliver(packet);
                }
            }
            break;
        }
        if (ExportAll)
            ExportCombined();
    }
}

} // namespace qor
