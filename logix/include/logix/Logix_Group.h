// Tag groups: many tags of one processor read with as few connected requests
// as possible. Each tag's Read Tag request (or, for a reply larger than one
// packet, its series of Read Tag Fragmented requests) is placed into one of the
// group's Multiple Service Packets, and a packet map records where each piece
// of the tag comes back. A scan sends every packet once and routes each
// embedded reply to its tag.
#pragma once

#include "cip/CIP_MultiService.h"
#include "eip/EIP_Conversion.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace logix {

class TLogixProcessor;
class TLogixTag;

using eip::TPacketDataArray;

// A packet takes another request only while its packed size and the replies
// expected from it both stay within this many bytes.
inline constexpr std::int32_t MaxPacketBytes = 480;
// What an embedded reply costs beyond its data: its offset entry in the reply
// (2 bytes) and its own reply header (service, reserved, status, additional
// status size). The device's reply budget is shared by all of them, so the
// packet's reply total counts it too.
inline constexpr std::int32_t EmbeddedReplyOverhead = 6;

// Where one tag's pieces travel: for piece k, the packet PacketIndexes[k] of
// the group's Requests, the service ServiceIndexes[k] inside it, and the
// byte offset Offsets[k] of its value bytes within the tag's data.
struct TPacketMap {
    std::int32_t TagIndex = 0;
    std::vector<std::int32_t> PacketIndexes;
    std::vector<std::int32_t> ServiceIndexes;
    std::int32_t Pieces = 0; // 0 for a tag that could not be read when it joined
    std::vector<std::uint32_t> Offsets;
};

// The reply data of each piece of one tag collected during a scan, in piece
// order (an empty entry for a piece whose packet got no usable reply).
struct TByteReply {
    std::int32_t TagIndex = 0;
    std::vector<TPacketDataArray> Data;
    std::vector<bool> Arrived;
};

using TPacketMapList = std::vector<TPacketMap>;
using TMultiServiceRequestList = std::vector<cip::TMultiServiceRequest>;
using TMultiServiceReplyList = std::vector<cip::TMultiServiceReply>;
using TByteRepliesList = std::vector<TByteReply>;

class TLogixTagGroup {
public:
    using TGroupEvent = std::function<void(TLogixTagGroup&)>;
    using TTagsChangedEvent = std::function<void(TLogixTagGroup&, const std::vector<TLogixTag*>& changed)>;

    TLogixTagGroup(TLogixProcessor& processor, std::string name);
    ~TLogixTagGroup();
    TLogixTagGroup(const TLogixTagGroup&) = delete;
    TLogixTagGroup& operator=(const TLogixTagGroup&) = delete;

    TLogixProcessor* Processor; // not owned
    std::string Name;
    bool Enabled = true;
    std::vector<std::unique_ptr<TLogixTag>> Tags;
    TPacketMapList PacketMaps;
    TMultiServiceRequestList Requests;
    TGroupEvent OnBeforeScan;
    TTagsChangedEvent OnTagsChanged;

    // The group owns the tag from now on; its index is its position in Tags.
    // Reads the tag (one or more live requests) to place its pieces.
    TLogixTag& AddTag(std::unique_ptr<TLogixTag> tag);
    // Frees the tag. With keepMaps the packets stay as they are (the removed
    // tag's replies are no longer routed anywhere); otherwise every remaining
    // tag is read again and placed afresh.
    void RemoveTag(const TLogixTag* tag, bool keepMaps = false);
    // As RemoveTag, but the caller gets the tag instead of it being freed
    // (null when it is not in the group).
    std::unique_ptr<TLogixTag> ExtractTag(const TLogixTag* tag, bool keepMaps = false);
    void Rebuild();
    // OnBeforeScan, then Scan.
    void Update();
    void Scan();

    // Puts a packed request into the first packet with room for it and its
    // expected reply; a new packet when none has. Returns (packet index,
    // service index).
    std::pair<std::int32_t, std::int32_t> Place(const TPacketDataArray& request, std::int32_t expectedReply);

private:
    void BuildPacketMap(TLogixTag& tag, std::int32_t index);
    void RouteReplies(std::size_t packet, const cip::TMultiServiceReply& reply, TByteRepliesList& collected);
};

} // namespace logix
