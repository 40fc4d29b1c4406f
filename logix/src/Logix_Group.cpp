#include "logix/Logix_Group.h"

#include "cip/CIP_ForwardOpen.h"
#include "cip/CIP_IOI.h"
#include "cip/CIP_ReadTag.h"
#include "logix/Logix_Processor.h"
#include "logix/Logix_Tag.h"
#include "logix/Logix_Types.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace logix {

namespace {

// A device that keeps answering "partial transfer" is not followed past the
// largest tag a read can name (65,535 elements of the largest structure).
constexpr std::uint64_t MaxGroupTagBytes = 65535ull * 65535ull;

// The bytes a piece adds to the tag's value data: a structure's reply repeats
// the two handle bytes in front of every piece.
std::uint32_t ValueBytes(const cip::TReadDataServiceReply& reply) {
    const std::size_t skip = reply.DataType == cipType::Structure ? 2 : 0;
    return reply.Data.size() > skip ? static_cast<std::uint32_t>(reply.Data.size() - skip) : 0;
}

// The connected exchanges of the group, counted like every request of the
// processor: a reply resets the failure count, silence adds one.
template <class Exchange>
auto Counted(TLogixProcessor& processor, Exchange exchange) -> decltype(exchange()) {
    if (!processor.Session)
        return std::nullopt;
    auto reply = exchange();
    processor.SetFailureCount(reply ? 0 : processor.FailureCount + 1);
    return reply;
}

std::optional<cip::TReadDataServiceReply> ReadConnected(TLogixProcessor& processor, const std::string& name,
                                                        std::uint16_t count) {
    return Counted(processor, [&] {
        return cip::ReadTagConnected(*processor.Session, name, count, processor.Sequencer);
    });
}

std::optional<cip::TMultiServiceReply> SendPacket(TLogixProcessor& processor,
                                                  const TPacketDataArray& packet) {
    return Counted(processor, [&]() -> std::optional<cip::TMultiServiceReply> {
        const auto reply = cip::SendConnected(*processor.Session, packet, processor.Sequencer);
        if (!reply || (reply->Status != 0 && reply->Status != 6))
            return std::nullopt;
        return cip::TMultiServiceReply::Create(*reply);
    });
}

std::int32_t ExpectedReply(const cip::TReadDataServiceReply& reply) {
    return static_cast<std::int32_t>(reply.Data.size()) + 2;
}

} // namespace

TLogixTagGroup::TLogixTagGroup(TLogixProcessor& processor, std::string name)
    : Processor(&processor), Name(std::move(name)) {}

TLogixTagGroup::~TLogixTagGroup() = default;

TLogixTag& TLogixTagGroup::AddTag(std::unique_ptr<TLogixTag> tag) {
    if (!tag)
        throw std::invalid_argument("TLogixTagGroup::AddTag: no tag");
    const auto index = static_cast<std::int32_t>(Tags.size());
    Tags.push_back(std::move(tag));
    BuildPacketMap(*Tags.back(), index);
    return *Tags.back();
}

void TLogixTagGroup::RemoveTag(const TLogixTag* tag, bool keepMaps) {
    ExtractTag(tag, keepMaps);
}

std::unique_ptr<TLogixTag> TLogixTagGroup::ExtractTag(const TLogixTag* tag, bool keepMaps) {
    const auto it = std::find_if(Tags.begin(), Tags.end(), [&](const auto& t) { return t.get() == tag; });
    if (it == Tags.end())
        return nullptr;
    const auto index = static_cast<std::int32_t>(it - Tags.begin());
    std::unique_ptr<TLogixTag> taken = std::move(*it);
    Tags.erase(it);
    if (!keepMaps) {
        Rebuild();
        return taken;
    }
    // The packets stay as they are, but the tags behind the removed one moved
    // down by one: their maps follow them, and the removed tag's map goes, so
    // its replies reach no other tag.
    std::erase_if(PacketMaps, [&](const TPacketMap& map) { return map.TagIndex == index; });
    for (auto& map : PacketMaps)
        if (map.TagIndex > index)
            --map.TagIndex;
    return taken;
}

void TLogixTagGroup::Rebuild() {
    PacketMaps.clear();
    Requests.clear();
    for (std::size_t i = 0; i < Tags.size(); ++i)
        BuildPacketMap(*Tags[i], static_cast<std::int32_t>(i));
}

void TLogixTagGroup::Update() {
    if (OnBeforeScan)
        OnBeforeScan(*this);
    Scan();
}

std::pair<std::int32_t, std::int32_t> TLogixTagGroup::Place(const TPacketDataArray& request,
                                                            std::int32_t expectedReply) {
    const auto requestBytes = static_cast<std::int64_t>(request.size());
    const std::int64_t replyBytes = std::int64_t{expectedReply} + EmbeddedReplyOverhead;
    for (std::size_t i = 0; i < Requests.size(); ++i) {
        auto& packet = Requests[i];
        // A further service also costs its offset entry in the packet.
        if (static_cast<std::int64_t>(packet.PackedSize()) + requestBytes + 2 <= MaxPacketBytes &&
            packet.ReplySize + replyBytes <= MaxPacketBytes) {
            const auto service = static_cast<std::int32_t>(packet.AddService(request));
            packet.ReplySize += static_cast<std::int32_t>(replyBytes);
            return {static_cast<std::int32_t>(i), service};
        }
    }
    cip::TMultiServiceRequest packet;
    packet.AddService(request);
    packet.ReplySize = static_cast<std::int32_t>(replyBytes);
    Requests.push_back(std::move(packet));
    return {static_cast<std::int32_t>(Requests.size() - 1), 0};
}

void TLogixTagGroup::BuildPacketMap(TLogixTag& tag, std::int32_t index) {
    TLogixProcessor& processor = *Processor;
    const TPacketDataArray path = cip::TIOI::BuildPath(tag.Name);
    if (path.empty())
        return; // an address that cannot be encoded is never placed
    auto first = ReadConnected(processor, tag.Name, tag.ElementCount);
    if (!first)
        return;

    TPacketMap map;
    map.TagIndex = index;
    const auto addPiece = [&](const TPacketDataArray& request, std::int32_t expected, std::uint32_t offset) {
        const auto [packet, service] = Place(request, expected);
        map.PacketIndexes.push_back(packet);
        map.ServiceIndexes.push_back(service);
        map.Offsets.push_back(offset);
        map.Pieces = static_cast<std::int32_t>(map.PacketIndexes.size());
    };

    const bool fits = first->GeneralStatus == cip::StatusSuccess && !first->Data.empty() &&
                      ExpectedReply(*first) + EmbeddedReplyOverhead <= MaxPacketBytes;
    if (fits) {
        addPiece(cip::TReadDataServiceRequest::ReadTag(path, tag.ElementCount).Pack(), ExpectedReply(*first),
                 0);
    } else if (first->GeneralStatus == cip::StatusPartialTransfer ||
               (first->GeneralStatus == cip::StatusSuccess && !first->Data.empty())) {
        // Too large to share a packet: the tag travels as Read Tag Fragmented
        // pieces. Inside a Multiple Service Packet the device has less room
        // than for a lone read, so each piece is sized by asking for it the
        // way the scan will (alone in a packet); pieces sized by the lone
        // reads would leave gaps the scans never fill.
        std::uint64_t offset = 0;
        // What the elements asked for can hold at most: a device that goes on
        // answering "partial transfer" past it is not followed.
        const std::size_t size = TypeSize(first->DataType);
        const std::uint64_t limit = std::min<std::uint64_t>(
            MaxGroupTagBytes,
            std::uint64_t{std::max<std::uint16_t>(tag.ElementCount, 1)} * (size != 0 ? size : 0xFFFF));
        while (offset < limit) {
            const TPacketDataArray request = cip::TReadDataServiceRequest::ReadTagFragmented(
                                                 path, tag.ElementCount, static_cast<std::uint32_t>(offset))
                                                 .Pack();
            cip::TMultiServiceRequest probe;
            probe.AddService(request);
            std::optional<cip::TMultiServiceReply> reply;
            try {
                reply = SendPacket(processor, probe.Pack());
            } catch (const std::exception&) {
                reply.reset();
            }
            if (!reply || reply->Replies.size() != 1)
                break;
            const auto& piece = reply->Replies.front();
            if (piece.GeneralStatus != cip::StatusSuccess &&
                piece.GeneralStatus != cip::StatusPartialTransfer)
                break;
            cip::TReadDataServiceReply answer;
            answer.DataType = piece.ResponseData.size() >= 2 ? eip::ToUInt16(piece.ResponseData, 0) : 0;
            if (piece.ResponseData.size() >= 2)
                answer.Data.assign(piece.ResponseData.begin() + 2, piece.ResponseData.end());
            const std::uint32_t bytes = ValueBytes(answer);
            if (bytes == 0)
                break; // no progress: the device sent nothing for this offset
            addPiece(request, ExpectedReply(answer), static_cast<std::uint32_t>(offset));
            offset += bytes;
            if (piece.GeneralStatus == cip::StatusSuccess)
                break;
        }
    }
    PacketMaps.push_back(std::move(map));
}

void TLogixTagGroup::Scan() {
    for (std::size_t i = 0; i < Requests.size(); ++i) {
        TByteRepliesList collected;
        std::optional<cip::TMultiServiceReply> reply;
        try {
            reply = SendPacket(*Processor, Requests[i].Pack());
        } catch (const std::exception&) {
            // A reply that does not parse updates nobody; the other packets
            // still go out.
            reply.reset();
        }
        if (!reply)
            continue;
        RouteReplies(i, *reply, collected);

        std::vector<TLogixTag*> changed;
        for (const auto& pieces : collected) {
            TLogixTag& tag = *Tags[static_cast<std::size_t>(pieces.TagIndex)];
            const TPacketMap* map = nullptr;
            for (const auto& m : PacketMaps)
                if (m.TagIndex == pieces.TagIndex)
                    map = &m;
            bool completed = false;
            for (std::size_t k = 0; k < pieces.Data.size(); ++k) {
                if (!pieces.Arrived[k] || pieces.Data[k].size() < 2)
                    continue;
                try {
                    completed = tag.SetData(pieces.Data[k], map->Offsets[k]) || completed;
                } catch (const std::exception&) {
                    // a piece too short for its type code adds nothing
                }
            }
            if (completed)
                changed.push_back(&tag);
        }
        if (OnTagsChanged)
            OnTagsChanged(*this, changed);
    }
}

void TLogixTagGroup::RouteReplies(std::size_t packet, const cip::TMultiServiceReply& reply,
                                  TByteRepliesList& collected) {
    const auto& request = Requests[packet];
    // Embedded replies are matched to requests by position only; a reply that
    // failed as a whole, or that does not answer each service in order, cannot
    // be routed without risking one tag's value under another's name.
    if (reply.GeneralStatus != cip::StatusSuccess && reply.GeneralStatus != cip::StatusEmbeddedServiceError)
        return;
    if (reply.Replies.size() != request.Services.size())
        return;
    for (std::size_t s = 0; s < reply.Replies.size(); ++s) {
        const auto& service = request.Services[s];
        if (service.empty() || reply.Replies[s].ReplyService != (service[0] | cip::ReplyServiceBit))
            return;
    }

    const auto index = static_cast<std::int32_t>(packet);
    for (const auto& map : PacketMaps) {
        if (map.TagIndex < 0 || static_cast<std::size_t>(map.TagIndex) >= Tags.size())
            continue;
        for (std::size_t k = 0; k < map.PacketIndexes.size(); ++k) {
            if (map.PacketIndexes[k] != index)
                continue;
            const auto s = static_cast<std::size_t>(map.ServiceIndexes[k]);
            if (s >= reply.Replies.size())
                continue;
            const auto& embedded = reply.Replies[s];
            Tags[static_cast<std::size_t>(map.TagIndex)]->UpdateStatus(embedded.Status);
            auto it = std::find_if(collected.begin(), collected.end(),
                                   [&](const TByteReply& r) { return r.TagIndex == map.TagIndex; });
            if (it == collected.end()) {
                collected.push_back({map.TagIndex, std::vector<TPacketDataArray>(map.PacketIndexes.size()),
                                     std::vector<bool>(map.PacketIndexes.size(), false)});
                it = collected.end() - 1;
            }
            if (embedded.GeneralStatus == cip::StatusSuccess ||
                embedded.GeneralStatus == cip::StatusPartialTransfer) {
                it->Data[k] = embedded.ResponseData;
                it->Arrived[k] = true;
            }
        }
    }
}

} // namespace logix
