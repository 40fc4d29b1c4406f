#include "logix/Logix_Read.h"

#include "cip/CIP_IOI.h"
#include "cip/CIP_MR_Request.h"
#include "cip/CIP_MultiService.h"
#include "cip/CIP_ReadTag.h"
#include "cip/CIP_UnconnectedSend.h"
#include "common/Variant.h"
#include "common/qorStrUtils.h"
#include "logix/Logix_Factory.h"
#include "logix/Logix_Group.h"
#include "logix/Logix_Processor.h"

#include <algorithm>
#include <array>
#include <exception>
#include <optional>

namespace logix {

namespace {

using eip::TEncapsReply;

constexpr std::int32_t ErrNoTagClass = ErrTypeMismatch;
constexpr std::int32_t ErrInvalidResponse = ErrInvalidResponseSize;
constexpr std::int32_t ErrTemplateNotFound = -11;
// An embedded reply the packet had no room for.
constexpr std::uint8_t StatusReplyTooLarge = 0x11;
// The largest value data a read can name: 65,535 elements of the largest
// structure. A device that keeps answering "partial transfer" is not followed
// past it.
constexpr std::uint64_t MaxWholeReadBytes = 65535ull * 65535ull;

void SetError(TLogixProcessor& processor, std::int32_t code, std::string text) {
    processor.ErrorCode = code;
    processor.ErrorText = std::move(text);
}

void SetTableError(TLogixProcessor& processor, std::int32_t code) {
    SetError(processor, code, TLogixProcessor::ErrorTextOf(code));
}

void AppendRaw(std::string* raw, const TEncapsReply& reply) {
    if (raw != nullptr && reply.Raw)
        raw->append(reply.Raw->begin(), reply.Raw->end());
}

// One request to the device: routed to the controller by Unconnected Send, or
// (routed false) to the device itself. Nothing when no reply came or the
// encapsulation status is not 0; the processor's error fields say why.
std::optional<TEncapsReply> Exchange(TLogixProcessor& processor, const cip::TMR_Request& request, bool routed,
                                     std::string* raw) {
    if (!processor.Session) {
        SetTableError(processor, ErrSessionNotEstablished);
        return std::nullopt;
    }
    auto reply = routed ? cip::SendUnconnectedSend(*processor.Session, request, processor.RoutePath)
                        : cip::TMessageRouter::SendUnconnectedRequest(*processor.Session, request);
    if (!reply) {
        processor.SetFailureCount(processor.FailureCount + 1);
        SetError(processor, ErrInvalidResponse, "No response");
        return std::nullopt;
    }
    processor.SetFailureCount(0);
    AppendRaw(raw, *reply);
    if (reply->Status != 0) {
        SetError(processor, static_cast<std::int32_t>(reply->Status),
                 cip::StatusText(static_cast<std::uint16_t>(reply->Status)));
        return std::nullopt;
    }
    return reply;
}

// The embedded reply of a routed single request with status 0 or 6 ("partial
// transfer"): its status and data. Any other status is the processor's error.
struct TRoutedReply {
    std::uint8_t GeneralStatus = 0;
    TPacketDataArray Data;
};

std::optional<TRoutedReply> SendRouted(TLogixProcessor& processor, const cip::TMR_Request& request,
                                       std::string* raw) {
    const auto reply = Exchange(processor, request, true, raw);
    if (!reply)
        return std::nullopt;
    const auto typed = cip::TUnconnectedSendReply::FromReply(*reply);
    if (!typed) {
        SetTableError(processor, ErrInvalidResponse);
        return std::nullopt;
    }
    if (const auto* failure = dynamic_cast<const cip::TUnconnectedSendReply_Failure*>(typed.get())) {
        SetError(processor, failure->GeneralStatus,
                 failure->Message.empty() ? cip::StatusText(failure->GeneralStatus) : failure->Message);
        return std::nullopt;
    }
    const auto& success = dynamic_cast<const cip::TUnconnectedSendReply_Success&>(*typed);
    return TRoutedReply{success.GeneralStatus, success.ResponseData};
}

cip::TMR_Request Packed(TPacketDataArray bytes) {
    cip::TMR_Request request;
    request.Request_Path = std::move(bytes);
    request.IsPacked = true;
    return request;
}

// Bytes in front of the values of a read reply: the type word, and for a
// structure its handle.
std::size_t HeaderBytes(std::uint16_t type) {
    return type == cipType::Structure ? 4 : 2;
}

// A whole Read Tag reply (type word, handle, values), followed with Read Tag
// Fragmented while the device answers "partial transfer".
std::optional<TPacketDataArray> ReadWhole(TLogixProcessor& processor, const TPacketDataArray& path,
                                          std::uint16_t elementCount, std::string* raw) {
    auto reply =
        SendRouted(processor, Packed(cip::TReadDataServiceRequest::ReadTag(path, elementCount).Pack()), raw);
    if (!reply)
        return std::nullopt;
    TPacketDataArray data = std::move(reply->Data);
    if (data.size() < 2) {
        SetTableError(processor, ErrInvalidResponse);
        return std::nullopt;
    }
    const std::uint16_t type = eip::ToUInt16(data, 0);
    const std::size_t header = HeaderBytes(type);
    if (data.size() < header) {
        SetTableError(processor, ErrInvalidResponse);
        return std::nullopt;
    }
    std::uint64_t offset = data.size() - header;
    std::uint8_t status = reply->GeneralStatus;
    // What the elements asked for can hold at most; a device still saying
    // "partial transfer" past it is not followed.
    const std::size_t size = TypeSize(type);
    const std::uint64_t limit =
        std::min<std::uint64_t>(MaxWholeReadBytes, std::uint64_t{std::max<std::uint16_t>(elementCount, 1)} *
                                                       (size != 0 ? size : 0xFFFF));
    while (status == cip::StatusPartialTransfer) {
        if (offset >= limit) {
            SetTableError(processor, ErrInvalidResponse);
            return std::nullopt;
        }
        auto next = SendRouted(processor,
                               Packed(cip::TReadDataServiceRequest::ReadTagFragmented(
                                          path, elementCount, static_cast<std::uint32_t>(offset))
                                          .Pack()),
                               raw);
        if (!next)
            return std::nullopt;
        // Each piece repeats the type word (and handle); one that brings no
        // value bytes, or another type, would never finish the tag.
        if (next->Data.size() <= header || eip::ToUInt16(next->Data, 0) != type) {
            SetTableError(processor, ErrInvalidResponse);
            return std::nullopt;
        }
        data.insert(data.end(), next->Data.begin() + static_cast<std::ptrdiff_t>(header), next->Data.end());
        offset += next->Data.size() - header;
        status = next->GeneralStatus;
    }
    return data;
}

// The template instance of the structure tag the address starts with; 0xFFFF
// when the symbol table knows no such structure.
std::uint16_t TemplateInstanceOf(TLogixProcessor& processor, std::string_view address) {
    const TLogixTagInfo* info = processor.FindTagInfo(std::string(BaseTagName(address)));
    if (info == nullptr || !info->IsStructure)
        return 0xFFFF;
    return static_cast<std::uint16_t>(info->SymbolType & 0x0FFF);
}

bool TemplateFits(const TTemplateInfo& templateInfo, std::uint16_t handle, std::size_t valueBytes) {
    if (templateInfo.Handle != handle)
        return false;
    return templateInfo.StructureSize == 0 || valueBytes % templateInfo.StructureSize == 0;
}

// The tag for a read reply (type word, then the values; a structure's handle
// first), filled with it. Nothing, with the processor's error set, when no tag
// class or no fitting template is found.
std::unique_ptr<TLogixTag> MakeTag(TLogixProcessor& processor, std::string_view address,
                                   const TPacketDataArray& data) {
    const std::uint16_t type = eip::ToUInt16(data, 0);
    std::unique_ptr<TLogixTag> tag;
    if (type != cipType::Structure) {
        const std::size_t size = TypeSize(type);
        const std::size_t count = size == 0 ? 1 : (data.size() - 2) / size;
        tag = TLogixTagFactory::CreateByType(type, std::string(address), static_cast<std::uint16_t>(count),
                                             &processor);
    } else {
        if (data.size() < 4) {
            SetTableError(processor, ErrInvalidResponse);
            return nullptr;
        }
        const std::uint16_t handle = eip::ToUInt16(data, 2);
        const std::size_t valueBytes = data.size() - 4;
        TTemplateInfo* found = nullptr;
        for (int attempt = 0; attempt < 2 && found == nullptr; ++attempt) {
            // A download on the controller changes its symbols and templates
            // under a running logger: read them again once.
            if (attempt > 0)
                processor.ClearCaches();
            const std::uint16_t instance = TemplateInstanceOf(processor, address);
            TTemplateInfo* candidate =
                instance < 0xFFFF
                    ? FindMemberTemplate(GetTemplate(instance, 1, processor), address, processor)
                    : nullptr;
            // A handle or size the cached template does not have means the
            // program changed: never decode with it.
            if (candidate != nullptr && TemplateFits(*candidate, handle, valueBytes))
                found = candidate;
        }
        if (found == nullptr) {
            SetError(processor, ErrTemplateNotFound, "Structure template not found");
            return nullptr;
        }
        const std::size_t count = found->StructureSize == 0 ? 1 : valueBytes / found->StructureSize;
        tag = TLogixTagFactory::CreateStructTag(std::string(address), &processor, found->Clone(),
                                                static_cast<std::uint16_t>(count));
    }
    if (!tag) {
        SetTableError(processor, ErrNoTagClass);
        return nullptr;
    }
    tag->SetData(data, 0);
    return tag;
}

TLogixReadOutcome Failed(TLogixProcessor& processor, std::string name) {
    TLogixReadOutcome outcome;
    outcome.Name = std::move(name);
    outcome.ErrorCode = processor.ErrorCode != 0 ? processor.ErrorCode : ErrInvalidResponse;
    outcome.ErrorText =
        processor.ErrorCode != 0 ? processor.ErrorText : TLogixProcessor::ErrorTextOf(ErrInvalidResponse);
    return outcome;
}

using TPlans = std::vector<TLogixProcessor::TReadPlan*>;

// The read plans of the addresses, in their order: those known are given,
// the others (null) are made now. A processor asked for ever new addresses
// (a browser reading a whole controller) starts its plans afresh now and then
// rather than keep every one.
void MakePlans(TLogixProcessor& processor, const std::vector<std::string>& addresses, TPlans& plans) {
    constexpr std::size_t kMostPlans = 65536;
    const auto unknown = static_cast<std::size_t>(std::count(plans.begin(), plans.end(), nullptr));
    if (unknown > 0 && processor.ReadPlans.size() + unknown > kMostPlans) {
        processor.ReadPlans.clear();
        std::fill(plans.begin(), plans.end(), nullptr);
    }
    for (std::size_t i = 0; i < plans.size(); ++i) {
        if (plans[i] != nullptr)
            continue;
        TLogixProcessor::TReadPlan& plan = processor.ReadPlans[addresses[i]];
        if (plan.Request.empty())
            plan.Request = cip::TReadDataServiceRequest::ReadTag(cip::TIOI::BuildPath(addresses[i]), 1).Pack();
        plans[i] = &plan;
    }
}

// Reads one batch of addresses in one Multiple Service Packet into outcomes.
// With tagRaw each tag keeps the packet's whole reply as its raw text.
void ReadBatch(TLogixProcessor& processor, const std::vector<std::string>& addresses, const TPlans& plans,
               std::size_t first, std::size_t count, std::vector<TLogixReadOutcome>& outcomes, std::string* raw,
               bool tagRaw) {
    cip::TMultiServiceRequest packet;
    for (std::size_t i = first; i < first + count; ++i)
        packet.AddService(plans[i]->Request);
    const auto fail = [&] {
        for (std::size_t i = first; i < first + count; ++i)
            outcomes[i] = Failed(processor, addresses[i]);
    };
    const auto reply = Exchange(processor, Packed(packet.Pack()), true, raw);
    if (!reply)
        return fail();
    const cip::TMultiServiceReply multi = cip::TMultiServiceReply::Create(*reply);
    if (multi.GeneralStatus == StatusReplyTooLarge && count > 1) {
        // The replies together did not fit one packet: each half in one.
        const std::size_t half = count / 2;
        ReadBatch(processor, addresses, plans, first, half, outcomes, raw, tagRaw);
        ReadBatch(processor, addresses, plans, first + half, count - half, outcomes, raw, tagRaw);
        return;
    }
    if (multi.GeneralStatus == StatusReplyTooLarge) {
        outcomes[first].Name = addresses[first];
        if (auto tag = ReadLogixTag(processor, addresses[first], 1, raw))
            outcomes[first].Tag = std::move(tag);
        else
            outcomes[first] = Failed(processor, addresses[first]);
        return;
    }
    if (multi.GeneralStatus != cip::StatusSuccess && multi.GeneralStatus != cip::StatusEmbeddedServiceError) {
        SetError(processor, multi.GeneralStatus, cip::StatusText(multi.GeneralStatus));
        return fail();
    }
    // Replies are matched to addresses by position: a reply that does not
    // answer every service in order cannot be attributed safely.
    bool inOrder = multi.Replies.size() == count;
    for (std::size_t j = 0; inOrder && j < count; ++j)
        inOrder = multi.Replies[j].ReplyService ==
                  (cip::ServiceCode(cip::TCIPService::ReadTag) | cip::ReplyServiceBit);
    if (!inOrder) {
        SetTableError(processor, ErrInvalidResponse);
        return fail();
    }
    std::string replyText;
    if (tagRaw && !multi.Replies.empty() && multi.Replies.front().ReplyData)
        replyText.assign(multi.Replies.front().ReplyData->begin(), multi.Replies.front().ReplyData->end());
    for (std::size_t j = 0; j < count; ++j) {
        const auto& service = multi.Replies[j];
        TLogixReadOutcome& outcome = outcomes[first + j];
        outcome.Name = addresses[first + j];
        if (service.GeneralStatus == cip::StatusPartialTransfer ||
            service.GeneralStatus == StatusReplyTooLarge) {
            // Too large to share the packet: read on its own.
            if (auto tag = ReadLogixTag(processor, outcome.Name, 1, raw))
                outcome.Tag = std::move(tag);
            else
                outcome = Failed(processor, outcome.Name);
            continue;
        }
        if (service.GeneralStatus != cip::StatusSuccess) {
            outcome.ErrorCode = service.GeneralStatus;
            outcome.ErrorText =
                cip::StatusTextWithExtended(service.GeneralStatus, cip::ExtendedStatusWords(service.Status));
            continue;
        }
        if (service.ResponseData.size() < 2) {
            outcome.ErrorCode = ErrInvalidResponse;
            outcome.ErrorText = TLogixProcessor::ErrorTextOf(ErrInvalidResponse);
            continue;
        }
        plans[first + j]->ReplySize = static_cast<std::uint32_t>(service.ResponseData.size());
        outcome.Tag = MakeTag(processor, outcome.Name, service.ResponseData);
        if (!outcome.Tag)
            outcome = Failed(processor, outcome.Name);
        else if (tagRaw)
            outcome.Tag->RawData = replyText; // after SetData, which empties it
    }
}

} // namespace

std::unique_ptr<TLogixTag> ReadLogixTag(TLogixProcessor& processor, std::string_view address,
                                        std::uint16_t elementCount, std::string* raw) {
    // A bit part is taken out of the value by whoever names it; the read is of
    // the address in front of it. "Flags[1].31" is bit 31 of word 1, so only
    // an address without one can name a BOOL array's bit.
    const auto [base, bitPart] = SplitBitSpec(address);
    if (const auto error = AddressError(base)) {
        SetError(processor, ErrInvalidAddress, "Invalid address: " + *error);
        return nullptr;
    }
    if (bitPart.empty())
        if (auto bits = ReadBoolArrayBits(processor, base, elementCount, raw))
            return std::move(*bits);
    const auto data = ReadWhole(processor, cip::TIOI::BuildPath(base), elementCount, raw);
    if (!data)
        return nullptr;
    return MakeTag(processor, base, *data);
}

std::unique_ptr<TLogixTag> MakeBitTag(std::string name, const std::vector<bool>& bits,
                                      TLogixProcessor* processor) {
    auto tag = TLogixBOOL::Create(std::move(name), static_cast<std::uint16_t>(bits.size()), processor);
    tag->DataType = cipType::BOOL;
    tag->Values.assign(bits.begin(), bits.end());
    tag->UpdateStatus(std::array<std::uint8_t, 2>{0, 0});
    tag->TimeStamp = qor::LocalDateTimeNow();
    return tag;
}

std::optional<std::unique_ptr<TLogixTag>> ReadBoolArrayBits(TLogixProcessor& processor, std::string_view address,
                                                            std::uint16_t bitCount, std::string* raw) {
    // A Logix BOOL array is kept, listed and read as 32-bit words, and a
    // subscript on the wire names the word. "Alarms[33]" is bit 33: bit 1 of
    // word 1.
    if (processor.ProcessorKind != ProcessorKindLogix)
        return std::nullopt;
    const auto subscript = SingleSubscript(address);
    if (!subscript)
        return std::nullopt;
    const TLogixTagInfo* info = processor.FindTagInfo(subscript->first);
    if (info == nullptr || info->IsStructure || (info->SymbolType & 0xFF) != cipType::DWORD || info->DimCount != 1)
        return std::nullopt;
    const std::uint32_t bit = subscript->second;
    const std::uint32_t count = std::max<std::uint32_t>(bitCount, 1);
    const std::uint64_t words = (bit % 32 + std::uint64_t{count} + 31) / 32;
    if (words > 0xFFFF) {
        SetError(processor, ErrInvalidAddress, "Invalid address: too many bits");
        return std::unique_ptr<TLogixTag>();
    }
    const std::string word = subscript->first + "[" + std::to_string(bit / 32) + "]";
    const auto data = ReadWhole(processor, cip::TIOI::BuildPath(word), static_cast<std::uint16_t>(words), raw);
    if (!data)
        return std::unique_ptr<TLogixTag>();
    if (eip::ToUInt16(*data, 0) != cipType::DWORD || data->size() < 2 + 4 * words) {
        SetTableError(processor, ErrTypeMismatch);
        return std::unique_ptr<TLogixTag>();
    }
    std::vector<bool> bits(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t at = bit % 32 + i;
        bits[i] = ((eip::ToUInt32(*data, 2 + 4 * (at / 32)) >> (at % 32)) & 1u) != 0;
    }
    return MakeBitTag(std::string(address), bits, &processor);
}

namespace {

std::vector<TLogixReadOutcome> ReadTagsEach(TLogixProcessor& processor, const std::vector<std::string>& addresses,
                                            std::string* raw, bool tagRaw) {
    std::vector<TLogixReadOutcome> outcomes(addresses.size());
    // Addresses that cannot be encoded are refused here; the others go out in
    // packets that stay within what one request may carry.
    std::vector<std::string> valid;
    std::vector<std::size_t> where;
    TPlans plans;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        outcomes[i].Name = addresses[i];
        const auto [base, bitPart] = SplitBitSpec(addresses[i]);
        // An address with a read plan was checked when the plan was made.
        const auto planned = processor.ReadPlans.find(base);
        TLogixProcessor::TReadPlan* plan = planned != processor.ReadPlans.end() ? &planned->second : nullptr;
        if (const auto error = plan != nullptr ? std::nullopt : AddressError(base)) {
            outcomes[i].ErrorCode = ErrInvalidAddress;
            outcomes[i].ErrorText = "Invalid address: " + *error;
            continue;
        }
        // A BOOL array element is a bit of a word, read on its own.
        if (bitPart.empty() && SingleSubscript(base) && processor.ProcessorKind == ProcessorKindLogix) {
            if (auto bits = ReadBoolArrayBits(processor, base, 1, raw)) {
                if (*bits)
                    outcomes[i].Tag = std::move(*bits);
                else
                    outcomes[i] = Failed(processor, addresses[i]);
                continue;
            }
        }
        valid.push_back(base);
        where.push_back(i);
        plans.push_back(plan);
    }
    MakePlans(processor, valid, plans);
    std::vector<TLogixReadOutcome> read(valid.size());
    // The packet's own bytes in front of its services.
    const std::size_t header = cip::TMultiServiceRequest().PackedSize() - 2;
    std::size_t start = 0;
    while (start < valid.size()) {
        // A packet holds as many requests as fit, and as many as their
        // replies will: the replies share one reply's room. A reply's size is
        // known from its address's last read; one never read counts as a
        // DINT (a reply that does not fit is read again on its own).
        std::size_t n = 0;
        std::size_t replies = 4 + 2;
        std::size_t requests = 2; // the service count
        while (start + n < valid.size()) {
            const TLogixProcessor::TReadPlan& plan = *plans[start + n];
            const std::size_t reply = 2 + 4 + (plan.ReplySize != 0 ? plan.ReplySize : 6);
            // Each service takes its offset word beside its request.
            if (n > 0 && (header + requests + plan.Request.size() + 2 >
                              static_cast<std::size_t>(MaxPacketBytes) ||
                          replies + reply > static_cast<std::size_t>(MaxPacketBytes)))
                break;
            requests += plan.Request.size() + 2;
            replies += reply;
            ++n;
        }
        ReadBatch(processor, valid, plans, start, n, read, raw, tagRaw);
        start += n;
    }
    for (std::size_t k = 0; k < read.size(); ++k) {
        outcomes[where[k]] = std::move(read[k]);
        outcomes[where[k]].Name = addresses[where[k]];
    }
    return outcomes;
}

} // namespace

std::vector<TLogixReadOutcome>
ReadLogixTagsEach(TLogixProcessor& processor, const std::vector<std::string>& addresses, std::string* raw) {
    return ReadTagsEach(processor, addresses, raw, false);
}

std::unique_ptr<TLogixTagList> ReadLogixTags(TLogixProcessor& processor,
                                             const std::vector<std::string>& addresses, std::string* raw) {
    auto outcomes = ReadTagsEach(processor, addresses, raw, true);
    std::unique_ptr<TLogixTagList> list;
    for (auto& outcome : outcomes) {
        if (!outcome.Tag)
            continue;
        if (!list)
            list = std::make_unique<TLogixTagList>();
        list->Tags.push_back(std::move(outcome.Tag));
    }
    if (list && raw != nullptr)
        list->RawData = *raw;
    return list;
}

std::unique_ptr<TLogixTag> ReadAttribute(TLogixProcessor& processor, std::string_view address,
                                         std::uint16_t elementCount, std::uint16_t typeCode,
                                         std::string* raw) {
    if (const auto error = AddressError(address)) {
        SetError(processor, ErrInvalidAddress, "Invalid address: " + *error);
        return nullptr;
    }
    TPacketDataArray path = cip::TIOI::BuildPath(address);
    const auto reply =
        Exchange(processor,
                 cip::TMessageRouter::BuildRequest(cip::ServiceCode(cip::TCIPService::GetAttributeSingle),
                                                   std::move(path), {}),
                 false, raw);
    if (!reply)
        return nullptr;
    const cip::TMR_Response response = cip::ExpandMRResponse(*reply);
    // The device's refusal is an error, not a value made of its status words.
    if (response.GeneralStatus != cip::StatusSuccess) {
        std::vector<std::uint16_t> extended(response.AdditionalStatus.begin(), response.AdditionalStatus.end());
        SetError(processor, response.GeneralStatus, cip::StatusTextWithExtended(response.GeneralStatus, extended));
        return nullptr;
    }
    const TPacketDataArray& data = response.ResponseData;
    if (data.empty()) {
        SetTableError(processor, ErrInvalidResponse);
        return nullptr;
    }
    std::unique_ptr<TLogixTag> tag;
    TPacketDataArray fed;
    if (typeCode != 0 && typeCode != cipType::STRING && typeCode != cipType::Structure) {
        tag = TLogixTagFactory::CreateByType(typeCode, std::string(address), elementCount, &processor);
        eip::AppendUInt16(fed, typeCode);
    } else {
        // Unknown layout: the reply bytes as they came, as one string.
        tag = TLogixTagFactory::CreateByType(cipType::STRING, std::string(address), 1, &processor);
        eip::AppendUInt16(fed, cipType::STRING);
        eip::AppendUInt16(fed, static_cast<std::uint16_t>(data.size()));
    }
    if (!tag) {
        SetTableError(processor, ErrNoTagClass);
        return nullptr;
    }
    eip::AppendArray(fed, data);
    tag->SetData(fed, 0);
    return tag;
}

TTemplateInfo* GetTemplate(std::uint16_t instance, int depth, TLogixProcessor& processor) {
    if (TTemplateInfo* cached = processor.Templates.FindByInstance(instance))
        return cached;
    auto read = TLogixTagFactory::ReadTemplate(instance, processor);
    if (!read)
        return nullptr;
    read->InstanceId = instance;
    TTemplateInfo* templateInfo = processor.Templates.Add(std::move(read));
    // The template is in the cache before its members are fetched, so one that
    // names itself is found there instead of read again.
    if (depth < MaxTemplateDepth) {
        std::vector<std::uint16_t> nested;
        for (const auto& member : templateInfo->Members)
            if (member->IsStructure())
                nested.push_back(member->TemplateInstance());
        for (const std::uint16_t sub : nested)
            GetTemplate(sub, depth + 1, processor);
    }
    templateInfo->ResolveSizes(processor.Templates);
    return templateInfo;
}

TTemplateInfo* FindMemberTemplate(TTemplateInfo* templateInfo, std::string_view address,
                                  TLogixProcessor& processor) {
    if (templateInfo == nullptr)
        return nullptr;
    const cip::TIOISegments tokens = cip::TIOI::Tokenize(address);
    std::vector<std::string_view> names;
    for (const auto& token : tokens)
        if (token.Kind == cip::TIOISegmentKind::Symbolic)
            names.push_back(token.Text);
    // The tag's own name is one token, or two for a program-scoped tag.
    std::size_t next = 1;
    if (!names.empty() && names.front().size() > 8 && qor::SameText(names.front().substr(0, 8), "Program:"))
        next = 2;
    TTemplateInfo* current = templateInfo;
    // The walk is as long as the address; each template it reaches brings the
    // templates of its own members, as a tag's template does.
    for (; next < names.size(); ++next) {
        const TMemberInfo* member = current->FindMember(names[next]);
        if (member == nullptr || !member->IsStructure())
            return current;
        TTemplateInfo* nested = GetTemplate(member->TemplateInstance(), 1, processor);
        if (nested == nullptr)
            return nullptr;
        current = nested;
    }
    return current;
}

namespace {

// One address of a small controller, read on its own over the connection.
TLogixReadOutcome ReadSmallController(TLogixProcessor& processor, const std::string& address,
                                      std::uint16_t elementCount, std::string* raw) {
    const std::string base = SplitBitSpec(address).first;
    const bool micro800 = processor.ProcessorKind == ProcessorKindMicro800;
    if (micro800)
        if (const auto error = AddressError(base))
            return {address, nullptr, ErrInvalidAddress, "Invalid address: " + *error};
    std::string text;
    auto tag = micro800 ? processor.ReadMicro800(base, elementCount, &text)
                        : processor.ReadMicroLogix(base, elementCount, &text);
    if (raw != nullptr)
        raw->append(text);
    if (!tag)
        return Failed(processor, address);
    TLogixReadOutcome outcome;
    outcome.Name = address;
    outcome.Tag = std::move(tag);
    outcome.Tag->RawData = std::move(text);
    return outcome;
}

} // namespace

std::vector<TLogixReadOutcome> ReadAddressText(TLogixProcessor& processor, std::string_view text,
                                               std::uint16_t elementCount, std::uint16_t typeCode,
                                               std::string* raw) {
    const std::vector<TLogixAddress> addresses = SplitAddresses(text);
    std::vector<TLogixReadOutcome> outcomes(addresses.size());
    const auto guarded = [&](std::size_t i, auto&& read) {
        processor.ErrorCode = 0;
        processor.ErrorText.clear();
        try {
            outcomes[i] = read();
        } catch (const std::exception& e) {
            outcomes[i] = {addresses[i].Text, nullptr, ErrUnknown, e.what()};
        }
        outcomes[i].Name = addresses[i].Text;
    };
    const auto tagOrError = [&](std::size_t i, std::unique_ptr<TLogixTag> tag) {
        if (!tag)
            return Failed(processor, addresses[i].Text);
        TLogixReadOutcome outcome;
        outcome.Tag = std::move(tag);
        return outcome;
    };
    const bool logix = processor.ProcessorKind == ProcessorKindLogix;
    std::vector<std::size_t> symbolic;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (addresses[i].Kind == TLogixAddressKind::Attribute) {
            guarded(i, [&] {
                return tagOrError(i, ReadAttribute(processor, addresses[i].Text, elementCount, typeCode, raw));
            });
        } else if (logix) {
            symbolic.push_back(i);
        } else {
            guarded(i, [&] { return ReadSmallController(processor, addresses[i].Text, elementCount, raw); });
        }
    }
    // The symbolic addresses of a Logix controller: one by Read Tag with the
    // element count, several in Multiple Service Packets of one element each.
    if (symbolic.size() == 1) {
        const std::size_t i = symbolic.front();
        guarded(i, [&] {
            return tagOrError(i, ReadLogixTag(processor, addresses[i].Text, elementCount, raw));
        });
    } else if (symbolic.size() > 1) {
        std::vector<std::string> names;
        for (const std::size_t i : symbolic)
            names.push_back(addresses[i].Text);
        std::vector<TLogixReadOutcome> read;
        try {
            read = ReadLogixTagsEach(processor, names, raw);
        } catch (const std::exception& e) {
            read.clear();
            for (const auto& name : names)
                read.push_back({name, nullptr, ErrUnknown, e.what()});
        }
        for (std::size_t k = 0; k < symbolic.size() && k < read.size(); ++k)
            outcomes[symbolic[k]] = std::move(read[k]);
    }
    // A reply that did not fit its tag (a type mismatch, a refused status)
    // is no value.
    for (auto& outcome : outcomes) {
        if (outcome.Tag && outcome.Tag->Status < 0) {
            outcome.ErrorCode = outcome.Tag->ErrorCode;
            outcome.ErrorText = ErrorTextOf(outcome.Tag->ErrorCode);
            outcome.Tag.reset();
        }
        if (!outcome.Tag && outcome.ErrorCode == 0) {
            outcome.ErrorCode = ErrInvalidResponseSize;
            outcome.ErrorText = ErrorTextOf(ErrInvalidResponseSize);
        }
    }
    return outcomes;
}

} // namespace logix
