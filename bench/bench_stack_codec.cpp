// Packing and parsing of the packets every exchange builds and reads.
#include "cip/CIP_MultiService.h"
#include "cip/CIP_ReadTag.h"
#include "cip/CIP_UnconnectedSend.h"
#include "cip/CIP_IOI.h"
#include "eip/EIP_CommonPacket.h"
#include "eip/EIP_EncapsPacket.h"

#include <benchmark/benchmark.h>

namespace {

using namespace eip;
using namespace cip;

const TSenderContext Context{'m', 'i', 'r', 'd', 'e', 'n', 'o', 0};

TPacketDataArray ReadTagThroughRoute() {
    TUnconnectedSend us;
    us.PriorityTimeTick = 0x0D;
    us.TimeoutTicks = 0xDB;
    TMR_Request embedded;
    embedded.IsPacked = true;
    embedded.Request_Path = TReadDataServiceRequest::ReadTag(TIOI::BuildPath("Program:Main.Counter[3]"), 1).Pack();
    us.MessageRequest = embedded;
    us.RoutePath = {0x01, 0x00};
    return us.Pack();
}

void BM_PackSendRRData(benchmark::State& state) {
    for (auto _ : state) {
        TEncapsRRData rr;
        rr.Timeout = 5000;
        rr.CommonPacket.DataItem = TCommonPacketItem::UnconnectedDataItem(ReadTagThroughRoute());
        const TPacketDataArray bytes = TEncapsPacketFactory::CreateSendRRData(0x01020304, rr.Pack(), Context).Pack();
        benchmark::DoNotOptimize(bytes.data());
    }
}
BENCHMARK(BM_PackSendRRData);

void BM_PackSendUnitData(benchmark::State& state) {
    const TPacketDataArray request = TReadDataServiceRequest::ReadTag(TIOI::BuildPath("Counter"), 1).Pack();
    std::uint16_t sequence = 0;
    for (auto _ : state) {
        TEncapsRRData rr;
        rr.CommonPacket.AddressItem = TCommonPacketItem::ConnectedAddressItem(0x5A000001);
        rr.CommonPacket.DataItem = TCommonPacketItem::ConnectedDataItem(request, ++sequence);
        const TPacketDataArray bytes = TEncapsPacketFactory::CreateSendUnitData(0x01020304, Context, rr.Pack()).Pack();
        benchmark::DoNotOptimize(bytes.data());
    }
}
BENCHMARK(BM_PackSendUnitData);

TPacketDataArray ReadReply(std::size_t valueBytes) {
    TPacketDataArray item{0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00};
    item.resize(item.size() + valueBytes, 0x5A);
    TEncapsRRData rr;
    rr.CommonPacket.DataItem = TCommonPacketItem::UnconnectedDataItem(item);
    TEncapsPacket p = TEncapsPacketFactory::CreateSendRRData(0x01020304, rr.Pack(), Context);
    return p.Pack();
}

void BM_ParseReadTagReply(benchmark::State& state) {
    const TPacketDataArray bytes = ReadReply(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        TEncapsReply reply;
        reply.Expand(bytes, 0);
        const auto us = TUnconnectedSendReply::FromReply(reply);
        benchmark::DoNotOptimize(us.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ParseReadTagReply)->Arg(4)->Arg(480);

void BM_ParseMultiServiceReply(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    TPacketDataArray data;
    AppendUInt16(data, static_cast<std::uint16_t>(n));
    for (std::size_t i = 0; i < n; ++i)
        AppendUInt16(data, static_cast<std::uint16_t>(2 + 2 * n + 10 * i));
    for (std::size_t i = 0; i < n; ++i)
        AppendArray(data, TPacketDataArray{0xCC, 0, 0, 0, 0xC4, 0, 1, 2, 3, 4});
    TEncapsRRData rr;
    TPacketDataArray item{0x8A, 0, 0, 0};
    AppendArray(item, data);
    rr.CommonPacket.DataItem = TCommonPacketItem::UnconnectedDataItem(item);
    const TPacketDataArray bytes = TEncapsPacketFactory::CreateSendRRData(1, rr.Pack(), Context).Pack();
    for (auto _ : state) {
        TEncapsReply reply;
        reply.Expand(bytes, 0);
        const auto parsed = TMultiServiceReply::Create(reply);
        benchmark::DoNotOptimize(parsed.Replies.data());
    }
}
BENCHMARK(BM_ParseMultiServiceReply)->Arg(20);

} // namespace

BENCHMARK_MAIN();
