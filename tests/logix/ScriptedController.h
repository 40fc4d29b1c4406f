// A controller played by the test at the host boundary: it is the processor's
// channel, answers RegisterSession, ListIdentity, Forward Open/Close itself,
// and hands every other message router request (unwrapped from Unconnected
// Send or from a connected data item) to the test's handler, whose reply
// bytes go back through the processor as the host would deliver them.
#pragma once

#include "eip/EIP_CommonPacket.h"
#include "eip/EIP_EncapsPacket.h"
#include "eip/EIP_Session.h"
#include "logix/Logix_Processor.h"
#include "VectorFiles.h"

#include <functional>
#include <vector>

namespace logixtest {

using eip::TPacketDataArray;

inline TPacketDataArray Cat(std::initializer_list<TPacketDataArray> parts) {
    TPacketDataArray all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A message router reply: service | 0x80, reserved, status, no extended
// status, data.
inline TPacketDataArray MRReply(std::uint8_t service, std::uint8_t status, const TPacketDataArray& data = {}) {
    return Cat({{static_cast<std::uint8_t>(service | 0x80), 0x00, status, 0x00}, data});
}

class ScriptedController : public eip::ISessionOwner {
public:
    // One embedded request (service first); returns the whole message router
    // reply, or nothing to stay silent.
    using THandler = std::function<std::optional<TPacketDataArray>(const TPacketDataArray& request)>;

    struct TRouted {
        std::uint8_t Tick = 0, Ticks = 0;
        TPacketDataArray Route;
        TPacketDataArray Request;
    };

    logix::TLogixProcessor* Processor = nullptr;
    THandler Handler;
    std::vector<TRouted> Routed;             // requests that came through Unconnected Send
    std::vector<TPacketDataArray> Direct;    // unconnected requests without a route
    std::vector<TPacketDataArray> Connected; // connected requests
    std::vector<TPacketDataArray> ForwardOpens, ForwardCloses;
    std::uint32_t ListIdentityStatus = 0;
    bool RefuseForwardOpen = false;

    eip::TSessionInfo* AttachedSession() override { return Processor->AttachedSession(); }
    void AttachSession(eip::TSessionInfo& session) override { Processor->AttachSession(session); }

    int SendToHost(std::span<const std::uint8_t> bytes) override {
        eip::TEncapsPacket request;
        request.Expand(bytes, 0);
        const auto reply = Answer(request);
        if (reply)
            Processor->DataReceived(*reply);
        return static_cast<int>(bytes.size());
    }

private:
    std::optional<TPacketDataArray> Answer(const eip::TEncapsPacket& request) {
        eip::TEncapsPacket reply;
        reply.Command = request.Command;
        reply.SessionHandle = 0x11223344;
        reply.SenderContext = request.SenderContext;
        switch (request.Command) {
        case 0x65:
            reply.EncapsData = {0x01, 0x00, 0x00, 0x00};
            return reply.Pack();
        case 0x63: {
            reply.Status = ListIdentityStatus;
            eip::TIdentityItem item;
            item.ItemType = 0x0C;
            item.ProductName = "Scripted";
            reply.EncapsData = Cat({{0x01, 0x00}, item.Pack()});
            return reply.Pack();
        }
        case 0x6F:
        case 0x70:
            break;
        default:
            return std::nullopt;
        }
        eip::TEncapsRRData rr;
        rr.Expand(request.EncapsData, 0);
        const bool connected = request.Command == 0x70;
        const TPacketDataArray& item = rr.CommonPacket.DataItem.Data;
        std::optional<TPacketDataArray> answer;
        TPacketDataArray sequence;
        if (connected) {
            sequence.assign(item.begin(), item.begin() + 2);
            const TPacketDataArray mr(item.begin() + 2, item.end());
            Connected.push_back(mr);
            answer = Handler(mr);
        } else {
            answer = AnswerUnconnected(item);
        }
        if (!answer)
            return std::nullopt;
        eip::TEncapsRRData out;
        if (connected) {
            out.CommonPacket.AddressItem = rr.CommonPacket.AddressItem;
            out.CommonPacket.DataItem = eip::TCommonPacketItem::ConnectedDataItem(*answer, eip::ToUInt16(sequence, 0));
        } else {
            out.CommonPacket.DataItem = eip::TCommonPacketItem::UnconnectedDataItem(*answer);
        }
        reply.EncapsData = out.Pack();
        return reply.Pack();
    }

    std::optional<TPacketDataArray> AnswerUnconnected(const TPacketDataArray& mr) {
        const std::uint8_t service = mr[0];
        const std::size_t pathBytes = 2u * mr[1];
        const TPacketDataArray path(mr.begin() + 2, mr.begin() + 2 + static_cast<std::ptrdiff_t>(pathBytes));
        const TPacketDataArray data(mr.begin() + 2 + static_cast<std::ptrdiff_t>(pathBytes), mr.end());
        const bool toConnectionManager = path == TPacketDataArray{0x20, 0x06, 0x24, 0x01};
        if (toConnectionManager && service == 0x54) {
            ForwardOpens.push_back(data);
            if (RefuseForwardOpen)
                return Cat({{0xD4, 0x00, 0x01, 0x01, 0x13, 0x01}});
            TPacketDataArray ok = Hex("01000080 02000080");
            ok.insert(ok.end(), data.begin() + 10, data.begin() + 18); // serial, vendor, originator serial
            return MRReply(0x54, 0, Cat({ok, Hex("20a10700 20a10700 00 00")}));
        }
        if (toConnectionManager && service == 0x4E) {
            ForwardCloses.push_back(data);
            return MRReply(0x4E, 0, TPacketDataArray(data.begin() + 2, data.begin() + 10));
        }
        if (toConnectionManager && service == 0x52) {
            const std::uint16_t length = eip::ToUInt16(data, 2);
            TRouted routed;
            routed.Tick = data[0];
            routed.Ticks = data[1];
            routed.Request.assign(data.begin() + 4, data.begin() + 4 + length);
            const std::size_t routeAt = 4u + length + (length % 2);
            routed.Route.assign(data.begin() + static_cast<std::ptrdiff_t>(routeAt) + 2, data.end());
            Routed.push_back(routed);
            return Handler(routed.Request);
        }
        Direct.push_back(mr);
        return Handler(mr);
    }
};

} // namespace logixtest
