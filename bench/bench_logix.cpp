// The Logix layer against the simulated controller over loopback, each figure
// beside a baseline measured in the same run:
//
//   logix_read_ratio   connected reads of one DINT through the processor's
//                      ReadTag per second / bare-socket exchanges per second
//   group_tags_ratio   tags per second when 100 DINTs are read by scanning one
//                      tag group / tags per second reading them one ReadTag
//                      at a time
//
// and the time to browse 1,000 symbols and to read and parse a template of 50
// members.
//
//   bench_logix [reads]      (default 4000)
#include "eip/EIP_CommonPacket.h"
#include "eip/EIP_EncapsPacket.h"
#include "logix/Logix_Client.h"
#include "logix/Logix_Factory.h"
#include "logix/Logix_Group.h"
#include "logix/Logix_Tag.h"
#include "sim/SimController.h"

#include "BenchSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using benchsupport::BareSocket;
using benchsupport::Median;
using Clock = std::chrono::steady_clock;
using eip::TPacketDataArray;

// Interleaved rounds of the two sides, each call timed on its own; the median
// call of each side keeps stalls of other processes from deciding.
std::pair<double, double> MedianSeconds(const std::function<void()>& a, const std::function<void()>& b,
                                        std::size_t calls) {
    constexpr std::size_t rounds = 16;
    const std::size_t perRound = std::max<std::size_t>(1, calls / rounds);
    std::vector<double> ta, tb;
    const auto timed = [](const std::function<void()>& f, std::vector<double>& times) {
        const auto t0 = Clock::now();
        f();
        times.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    };
    for (std::size_t r = 0; r < rounds; ++r) {
        for (std::size_t i = 0; i < perRound; ++i)
            timed(a, ta);
        for (std::size_t i = 0; i < perRound; ++i)
            timed(b, tb);
    }
    return {Median(ta), Median(tb)};
}

std::unique_ptr<logix::TLogixClient> Connect(std::uint16_t port) {
    auto client = std::make_unique<logix::TLogixClient>();
    logix::TLogixClientOptions options;
    options.Port = port;
    options.Connected = true;
    if (!client->Connect("127.0.0.1", options))
        throw std::runtime_error("connect: " + client->ErrorText());
    return client;
}

// The same Read Tag of one DINT as the processor sends it connected, here
// unconnected and pre-encoded on a bare socket of its own session.
std::function<void()> BareRead(BareSocket& bare) {
    const TPacketDataArray registered =
        bare.Exchange(eip::TEncapsPacketFactory::CreateRegisterSession().Pack());
    const std::uint32_t handle = eip::ToUInt32(registered, 4);
    const TPacketDataArray read{0x4C, 0x04, 0x91, 0x07, 'C', 'o', 'u', 'n', 't', 'e', 'r', 0x00, 0x01, 0x00};
    eip::TEncapsRRData rr;
    rr.CommonPacket.DataItem = eip::TCommonPacketItem::UnconnectedDataItem(read);
    const auto request = std::make_shared<TPacketDataArray>(
        eip::TEncapsPacketFactory::CreateSendRRData(handle, rr.Pack(), eip::TSenderContext{}).Pack());
    return [&bare, request] { bare.Exchange(*request); };
}

} // namespace

int main(int argc, char** argv) try {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 4000;
    sim::SimController plc;
    plc.Tags().Set(sim::MakeTag<std::int32_t>("Counter", sim::CipType::Dint, {}, {42}));
    for (int i = 0; i < 100; ++i)
        plc.Tags().Set(sim::MakeTag<std::int32_t>("Group_" + std::to_string(i), sim::CipType::Dint, {}, {i}));
    plc.Start();

    // Connected reads through the processor against the bare socket.
    auto client = Connect(plc.Port());
    logix::TLogixProcessor& processor = *client->Processor();
    auto counter = logix::TLogixDINT::Create("Counter", 1, &processor);
    BareSocket bare(plc.Port());
    const auto bareRead = BareRead(bare);
    const auto processorRead = [&] {
        if (!processor.ReadTag(counter.get()))
            throw std::runtime_error("ReadTag failed");
    };
    for (int i = 0; i < 200; ++i) {
        processorRead();
        bareRead();
    }
    const auto [readSeconds, bareSeconds] = MedianSeconds(processorRead, bareRead, n);
    std::printf("logix_reads_per_s=%.0f\n", 1.0 / readSeconds);
    std::printf("bare_exchanges_per_s=%.0f\n", 1.0 / bareSeconds);
    std::printf("logix_read_ratio=%.3f\n", bareSeconds / readSeconds);

    // 100 DINTs by one group scan against the same 100 one ReadTag at a time.
    logix::TLogixTagGroup& group = processor.CreateGroup("Bench");
    std::vector<std::unique_ptr<logix::TLogixTag>> single;
    for (int i = 0; i < 100; ++i) {
        group.AddTag(logix::TLogixDINT::Create("Group_" + std::to_string(i), 1, &processor));
        single.push_back(logix::TLogixDINT::Create("Group_" + std::to_string(i), 1, &processor));
    }
    const auto scan = [&] { group.Scan(); };
    const auto oneByOne = [&] {
        for (auto& tag : single)
            processor.ReadTag(tag.get());
    };
    const auto [scanSeconds, singleSeconds] =
        MedianSeconds(scan, oneByOne, std::max<std::size_t>(32, n / 100));
    std::printf("group_packets=%zu\n", group.Requests.size());
    std::printf("group_tags_per_s=%.0f\n", 100.0 / scanSeconds);
    std::printf("single_tags_per_s=%.0f\n", 100.0 / singleSeconds);
    std::printf("group_tags_ratio=%.2f\n", singleSeconds / scanSeconds);

    // A symbol table of 1,000 tags, and a template of 50 members.
    sim::SimController big;
    for (int i = 0; i < 1000; ++i)
        big.Tags().Set(sim::MakeTag("Symbol_" + std::to_string(i), sim::CipType::Dint));
    std::vector<sim::MemberDecl> members;
    for (int i = 0; i < 50; ++i)
        members.push_back(
            {"Member_" + std::to_string(i), i % 3 == 0 ? "REAL" : (i % 3 == 1 ? "DINT" : "BOOL"), 0});
    big.Tags().DefineType("FIFTY", members);
    big.Tags().SetStructure("Fifty", "FIFTY", {}, {});
    big.Start();
    auto browser = Connect(big.Port());
    logix::TLogixProcessor& other = *browser->Processor();
    std::vector<double> browse, templates;
    std::size_t symbols = 0;
    const std::uint16_t instance = other.GetTemplateInstance("Fifty");
    std::size_t parsed = 0;
    for (int i = 0; i < 9; ++i) {
        auto t0 = Clock::now();
        symbols = other.BrowseTags()->Count();
        browse.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        t0 = Clock::now();
        auto read = logix::TLogixTagFactory::ReadTemplate(instance, other);
        templates.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        parsed = read ? read->Members.Count() : 0;
    }
    std::printf("browse_symbols=%zu\n", symbols);
    std::printf("browse_1000_symbols_ms=%.3f\n", Median(browse) * 1000);
    std::printf("template_members=%zu\n", parsed);
    std::printf("template_50_members_ms=%.3f\n", Median(templates) * 1000);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_logix: %s\n", e.what());
    return 1;
}
