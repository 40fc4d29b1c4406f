// Request/reply exchanges with the simulated controller over loopback: through
// the stack (TSessionInfo, TDataLoggerSession and the ready-made TCP channel)
// and, in the same run, the same pre-encoded request over a bare socket. The
// ratio of the two rates is what the session transport costs on top of the
// device's round trip.
//
//   bench_exchange [exchanges]      (default 8000)
#include "cip/CIP_IOI.h"
#include "cip/CIP_UnconnectedSend.h"
#include "eip/EIP_CommonPacket.h"
#include "eip/EIP_TcpChannel.h"
#include "sim/SimController.h"

#include "BenchSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace {

using benchsupport::BareSocket;
using benchsupport::Median;
using Clock = std::chrono::steady_clock;
using eip::TPacketDataArray;

const TPacketDataArray Slot0{0x01, 0x00};

cip::TMR_Request ReadCounter() {
    return cip::TMessageRouter::BuildRequest(cip::ServiceCode(cip::TCIPService::ReadTag),
                                             cip::TIOI::BuildPath("Counter"), {0x01, 0x00});
}

double Throughput(const std::vector<double>& seconds) {
    return static_cast<double>(seconds.size()) / std::accumulate(seconds.begin(), seconds.end(), 0.0);
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 8000;
    sim::SimController plc;
    plc.Tags().Set(sim::MakeTag<std::int32_t>("Counter", sim::CipType::Dint, {}, {42}));
    plc.Start();

    // The stack: register, then read through the route.
    eip::TSessionManager::InstallTransport<eip::TDataLoggerSession>();
    eip::TTcpChannel channel;
    if (!channel.Open("127.0.0.1", plc.Port())) {
        std::fprintf(stderr, "connect failed: %s\n", channel.LastError().c_str());
        return 1;
    }
    const eip::TSenderContext context{'m', 'i', 'r', 'd', 'e', 'n', 'o', 0};
    const auto stackSession = eip::TSessionManager::RegisterSession(&channel, "127.0.0.1", 5000, context, plc.Port());
    eip::TSessionInfo& session = *stackSession;
    if (!session.Registered) {
        std::fprintf(stderr, "register failed: %s\n", session.LastError.c_str());
        return 1;
    }
    session.SetConnectionParameters(1, 1800000, 0x000EFFEC, 0xFACE, 7);
    const cip::TMR_Request read = ReadCounter();
    auto stackExchange = [&] {
        const auto reply = cip::SendUnconnectedSend(session, read, Slot0);
        if (!reply || reply->Status != 0)
            throw std::runtime_error("stack exchange failed: " + session.LastError);
    };

    // The bare socket: its own session, and the same request pre-encoded.
    BareSocket bare(plc.Port());
    const TPacketDataArray registered = bare.Exchange(eip::TEncapsPacketFactory::CreateRegisterSession().Pack());
    const std::uint32_t handle = eip::ToUInt32(registered, 4);
    cip::TUnconnectedSend us;
    us.PriorityTimeTick = session.ConnectionParameters.PriorityTimeTick;
    us.TimeoutTicks = session.ConnectionParameters.TimeoutTicks;
    us.MessageRequest = read;
    us.RoutePath = Slot0;
    eip::TEncapsRRData rr;
    rr.Timeout = 5000;
    rr.CommonPacket.DataItem = eip::TCommonPacketItem::UnconnectedDataItem(us.Pack());
    const TPacketDataArray request =
        eip::TEncapsPacketFactory::CreateSendRRData(handle, rr.Pack(), session.SenderContext).Pack();
    auto bareExchange = [&] { bare.Exchange(request); };

    for (int i = 0; i < 200; ++i) {
        stackExchange();
        bareExchange();
    }
    // Interleaved rounds, each exchange timed on its own. The rates come from
    // the median exchange of each side: other processes on the machine stall
    // either side now and then, and the median keeps those stalls from
    // deciding the comparison. The throughput over all exchanges is printed
    // beside it.
    constexpr std::size_t rounds = 16;
    const std::size_t perRound = std::max<std::size_t>(1, n / rounds);
    std::vector<double> stackTimes, bareTimes;
    stackTimes.reserve(perRound * rounds);
    bareTimes.reserve(perRound * rounds);
    auto timed = [](auto&& exchange, std::vector<double>& times) {
        const auto t0 = Clock::now();
        exchange();
        times.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    };
    for (std::size_t r = 0; r < rounds; ++r) {
        for (std::size_t i = 0; i < perRound; ++i)
            timed(stackExchange, stackTimes);
        for (std::size_t i = 0; i < perRound; ++i)
            timed(bareExchange, bareTimes);
    }
    const double stackRate = 1.0 / Median(stackTimes);
    const double bareRate = 1.0 / Median(bareTimes);
    std::printf("exchanges=%zu\n", stackTimes.size());
    std::printf("stack_exchanges_per_s=%.0f\n", stackRate);
    std::printf("bare_exchanges_per_s=%.0f\n", bareRate);
    std::printf("stack_throughput_per_s=%.0f\n", Throughput(stackTimes));
    std::printf("bare_throughput_per_s=%.0f\n", Throughput(bareTimes));
    std::printf("exchange_ratio=%.3f\n", stackRate / bareRate);
    channel.Detach();
    return 0;
}
