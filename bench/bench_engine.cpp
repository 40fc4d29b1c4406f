// The whole product end to end: the substitute host loads the plug-in library,
// configures one data source as the options dialog does, owns its TCP
// connection to the simulated controller on loopback, and counts the data
// packets the plug-in delivers. Each figure stands beside a baseline or a
// limit measured in the same run:
//
//   e2e_ratio           answered requests per second of one data source whose
//                       DINT items poll without pause (one packet per
//                       answer) / Read Tag exchanges per second of a bare
//                       blocking socket against the same controller
//   cpu_us_per_request  process CPU time per answered request, both sides
//                       (the controller runs in this process for both)
//   rss_growth_kib      resident memory after the last answered request minus
//                       after the warm-up
//   idle_cpu_pct        process CPU time / wall time of a host configured the
//                       same way whose device never answers
//   sqlite_sink_ratio   answered requests per second with every packet also
//                       written to an SQLite output (committed by the end) /
//                       the same with a null output
//
// and where the end-to-end time goes: context switches per request on both
// sides; the median gap between two answers (the engine's round trip while
// an item is due) and the share of the wall time spent in gaps of 1 ms and
// 5 ms or more (no item was due, or the scheduler waited for its timer);
// e2e_due_ratio, what e2e_ratio would be if an item were always due; and the
// context switches per second of the idle host (its wake-ups).
//
// The environment sizes the run (defaults in brackets):
//   QOR_BENCH_E2E_REQUESTS   answered requests measured after the warm-up [100000]
//   QOR_BENCH_E2E_WARMUP     answered requests before the measurement [10000]
//   QOR_BENCH_E2E_ITEMS      DINT items of the data source [64]
//   QOR_BENCH_E2E_COMBINE    1: items due together share packets [0: each request alone]
//   QOR_BENCH_SINK_REQUESTS  answered requests per output in the output phase [20000; 0 skips it]
//   QOR_BENCH_BARE_EXCHANGES bare-socket exchanges, half before and half after
//                            the end-to-end run [20000]
//   QOR_BENCH_IDLE_MS        wall time of the idle measurement, 0 skips it [10000]
#include "cip/CIP_IOI.h"
#include "cip/CIP_UnconnectedSend.h"
#include "common/qorParamLstWrap.h"
#include "eip/EIP_CommonPacket.h"
#include "eip/EIP_EncapsPacket.h"
#include "host/DeviceConnections.h"
#include "host/Host.h"
#include "host/Outputs.h"
#include "host/TempFolder.h"
#include "host/OptionsDialog.h"
#include "host/PluginInstance.h"
#include "host/PluginLibrary.h"
#include "platform/Messages.h"
#include "sim/SimController.h"

#include "BenchSupport.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using benchsupport::BareSocket;
using Clock = std::chrono::steady_clock;
using eip::TPacketDataArray;

// Longest wait for any one phase of the end-to-end run; reaching it means the
// engine stalled, which the figures report rather than hang on.
constexpr std::uint32_t kPhaseLimitMs = 600000;

std::uint64_t EnvCount(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return *end == '\0' ? value : fallback;
}

// Process CPU time and context switches, every thread counted.
struct Usage {
    double CpuSeconds = 0;
    std::uint64_t Switches = 0;
};

Usage ProcessUsage() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return {seconds(usage.ru_utime) + seconds(usage.ru_stime),
            static_cast<std::uint64_t>(usage.ru_nvcsw + usage.ru_nivcsw)};
}

// Resident set size from /proc/self/statm (its second field, in pages).
long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// Wall time, process CPU time and context switches from construction on.
class Meter {
public:
    Meter() : wall_(Clock::now()), usage_(ProcessUsage()) {}
    double WallSeconds() const { return std::chrono::duration<double>(Clock::now() - wall_).count(); }
    double CpuSeconds() const { return ProcessUsage().CpuSeconds - usage_.CpuSeconds; }
    std::uint64_t Switches() const { return ProcessUsage().Switches - usage_.Switches; }

private:
    Clock::time_point wall_;
    Usage usage_;
};


// Counts the answered requests (packets carrying "EIP_REQ"; the plug-in may
// call from any thread) and ends the host's message loop once a target count
// is reached.
class CountingSink : public host::IPacketSink {
public:
    explicit CountingSink(platform::DWORD hostThread) : hostThread_(hostThread) {}

    void OnDataPacket(std::uint32_t, std::uint32_t, const qor::TPluginCallRec& rec) override {
        const bool isList =
            rec.Value2.Type == static_cast<std::uint8_t>(qor::TPluginValueType::ListInterface);
        const qor::TqorParamsRef list =
            isList ? qor::TqorParamsRef::FromVariable(reinterpret_cast<const void*>(rec.Value2.Data))
                   : qor::TqorParamsRef();
        if (!list || list.IndexOf("EIP_REQ") < 0) {
            ++others_;
            return;
        }
        if (Output != nullptr) {
            // As the logger hands a packet to its outputs.
            host::TOutputPacket packet;
            packet.Time = std::chrono::system_clock::now();
            packet.Source = "Bench";
            packet.SourceId = 1;
            qor::TqorParamsList items;
            list.CopyTo(items);
            for (int i = 0; i < items.Count(); ++i) {
                const qor::TqorParamsListItem& item = *items.GetItem(i);
                if (!item.IsRowMarker())
                    packet.Values.push_back({item.Name, item.Value});
            }
            Output->Write(packet);
        }
        if (measuring_.load())
            RecordGap();
        if (++answered_ >= target_.load())
            QuitOnce();
    }

    // Gaps between answers are recorded from now on, to the microsecond.
    void Measure() {
        lastNs_ = 0;
        measuring_ = true;
    }
    // The median gap between two answers, µs.
    double MedianGapMicroseconds() const {
        std::uint64_t total = 0;
        for (const auto& count : gaps_)
            total += count.load();
        std::uint64_t seen = 0;
        for (std::size_t us = 0; us < gaps_.size(); ++us) {
            seen += gaps_[us].load();
            if (2 * seen >= total && total > 0)
                return static_cast<double>(us) + 0.5;
        }
        return 0;
    }
    // The time spent in gaps of at least limitUs, seconds.
    double SecondsInGapsOf(std::size_t limitUs) const { return longGapsNs_[LongIndex(limitUs)].load() / 1e9; }
    // How many gaps of at least limitUs there were.
    std::uint64_t GapsOf(std::size_t limitUs) const { return longGaps_[LongIndex(limitUs)].load(); }

    // The message loop run next ends once count requests were answered.
    void StopAt(std::uint64_t count) {
        quitPosted_ = false;
        target_ = count;
        if (answered_.load() >= count)
            QuitOnce();
    }
    std::uint64_t Answered() const { return answered_.load(); }
    std::uint64_t Others() const { return others_.load(); }
    host::IOutput* Output = nullptr; // where each packet also goes (main thread)

private:
    void QuitOnce() {
        if (!quitPosted_.exchange(true))
            platform::PostThreadMessage(hostThread_, platform::WM_QUIT, 0, 0);
    }

    static constexpr std::size_t kGapBuckets = 20000; // 1 µs each; the last takes everything longer
    static constexpr std::size_t kLongLimitsUs[] = {1000, 5000};
    static constexpr std::size_t LongIndex(std::size_t limitUs) {
        return limitUs == kLongLimitsUs[0] ? 0 : 1;
    }

    void RecordGap() {
        const auto now = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
        const std::uint64_t last = lastNs_.exchange(now);
        if (last == 0 || now < last)
            return;
        const std::uint64_t gapNs = now - last;
        ++gaps_[std::min<std::uint64_t>(gapNs / 1000, kGapBuckets - 1)];
        for (std::size_t i = 0; i < std::size(kLongLimitsUs); ++i)
            if (gapNs >= kLongLimitsUs[i] * 1000) {
                longGapsNs_[i] += gapNs;
                ++longGaps_[i];
            }
    }

    platform::DWORD hostThread_;
    // Allocated (and its pages touched) before the memory baseline is taken.
    std::vector<std::atomic<std::uint32_t>> gaps_ = std::vector<std::atomic<std::uint32_t>>(kGapBuckets);
    std::atomic<std::uint64_t> longGapsNs_[std::size(kLongLimitsUs)]{};
    std::atomic<std::uint64_t> longGaps_[std::size(kLongLimitsUs)]{};
    std::atomic<std::uint64_t> lastNs_{0};
    std::atomic<bool> measuring_{false};
    std::atomic<std::uint64_t> answered_{0};
    std::atomic<std::uint64_t> others_{0};
    std::atomic<std::uint64_t> target_{UINT64_MAX};
    std::atomic<bool> quitPosted_{false};
};

// The request list as the options dialog stores it: items DINT D0, D1, ...
// polled through the controller's route 0 with interval 0, so one is always
// due however fast the machine answers. (At 1 ms, a machine that answers 64
// requests within the millisecond runs out of due items, and the scheduler's
// timer, 10 ms at the least as a window timer's, sets the pace instead.)
std::string RequestList(std::size_t items) {
    std::string xml = "<?xml version=\"1.0\"?><Root><Params><MODBUSRTUQUERY>";
    for (std::size_t i = 0; i < items; ++i)
        xml += "<Item caption=\"D" + std::to_string(i) +
               "\"><Enabled>1</Enabled><Device>0</Device><Address>D" + std::to_string(i) +
               "</Address><DataType>TC4</DataType><RequestMethod><MethodPoll check=\"2\"><PollInterval>0"
               "</PollInterval><PollUnits>MS</PollUnits></MethodPoll></RequestMethod></Item>";
    return xml + "</MODBUSRTUQUERY></Params></Root>";
}

// One plug-in instance driven as the host drives it: created, loaded with an
// INI file of its own, its options confirmed, told its one data source and
// connected to that data source's device. Ends in the host's order.
class DataSourceRun {
public:
    DataSourceRun(host::THost& host, host::TPluginLibrary& library, std::uint32_t moduleIndex,
                  std::uint16_t devicePort, std::size_t items)
        : host_(host), instance_(library, host, moduleIndex), sink_(host.ThreadId()) {
        if (instance_.Create() != 0)
            throw std::runtime_error("CreatePluginInstance failed");
        host::TLoadSettings settings;
        settings.ApplicationName = "bench_engine";
        settings.IniFile = folder_.File("bench.ini");
        settings.IniSectionPrefix = "DS";
        settings.DataSourceType = "Ethernet/IP";
        if (instance_.Load(settings) != 0)
            throw std::runtime_error("LOAD failed");
        const host::TOptionsDialog dialog = host::FetchOptionsDialog(instance_);
        // Each request on its own (the path one request takes), unless
        // QOR_BENCH_E2E_COMBINE asks for the requests due together to share
        // packets.
        const std::string combine = EnvCount("QOR_BENCH_E2E_COMBINE", 0) != 0 ? "1" : "0";
        if (host::ConfirmOptionsDialog(host, instance_, dialog,
                                       {{"Parser config", RequestList(items)},
                                        {"Min interval", "0"},
                                        {"Export at once ", "0"},
                                        {"Combine requests", combine}}) !=
            1)
            throw std::runtime_error("the options were not confirmed");
        host.SetPacketSink(&sink_);
        connections_.emplace(host, instance_);
        const host::TDataSourceConfig source{1, "Bench", "Bench", "127.0.0.1:" + std::to_string(devicePort)};
        if (instance_.SetState(host::DataSourcesText({source}), host::kStatePollAndReceive, 1) != 0)
            throw std::runtime_error("SET-STATE failed");
        if (!connections_->Add(source))
            throw std::runtime_error("the device connection was refused");
    }
    ~DataSourceRun() {
        instance_.SetState("", host::kStatePollAndReceive, 0);
        connections_.reset();
        host_.SetPacketSink(nullptr);
        instance_.Unload();
        host_.PumpPending();
        instance_.Free();
    }
    DataSourceRun(const DataSourceRun&) = delete;
    DataSourceRun& operator=(const DataSourceRun&) = delete;

    // Runs the host's message loop until count requests in all were answered
    // (or the phase limit passed); whether they were.
    bool RunUntilAnswered(std::uint64_t count) {
        sink_.StopAt(count);
        host_.RunMessageLoopFor(kPhaseLimitMs);
        return sink_.Answered() >= count;
    }
    void RunFor(std::uint32_t ms) {
        sink_.StopAt(UINT64_MAX);
        host_.RunMessageLoopFor(ms);
    }
    const CountingSink& Sink() const { return sink_; }
    CountingSink& Sink() { return sink_; }
    void Measure() { sink_.Measure(); }

private:
    host::TTempFolder folder_{"bench_engine"};
    host::THost& host_;
    host::TPluginInstance instance_;
    CountingSink sink_;
    std::optional<host::TDeviceConnections> connections_;
};

// The baseline: Read Tag of one DINT through the route, over a bare blocking
// socket with a session of its own, the request encoded once.
class BareReads {
public:
    explicit BareReads(std::uint16_t port) : socket_(port) {
        const TPacketDataArray registered =
            socket_.Exchange(eip::TEncapsPacketFactory::CreateRegisterSession().Pack());
        const std::uint32_t handle = eip::ToUInt32(registered, 4);
        cip::TUnconnectedSend us;
        us.PriorityTimeTick = 7;
        us.TimeoutTicks = 0xE9;
        us.MessageRequest = cip::TMessageRouter::BuildRequest(cip::ServiceCode(cip::TCIPService::ReadTag),
                                                              cip::TIOI::BuildPath("D0"), {0x01, 0x00});
        us.RoutePath = {0x01, 0x00};
        eip::TEncapsRRData rr;
        rr.Timeout = 5000;
        rr.CommonPacket.DataItem = eip::TCommonPacketItem::UnconnectedDataItem(us.Pack());
        request_ =
            eip::TEncapsPacketFactory::CreateSendRRData(handle, rr.Pack(), eip::TSenderContext{}).Pack();
    }
    // n exchanges; adds their wall and CPU seconds to the totals.
    void Run(std::uint64_t n) {
        const Meter meter;
        for (std::uint64_t i = 0; i < n; ++i) {
            const TPacketDataArray reply = socket_.Exchange(request_);
            // Encapsulation status, then the Unconnected Send reply's general status.
            if (eip::ToUInt32(reply, 8) != 0 || reply.size() < 44 || reply[42] != 0)
                throw std::runtime_error("the bare read failed");
        }
        wall_ += meter.WallSeconds();
        cpu_ += meter.CpuSeconds();
        switches_ += meter.Switches();
        exchanges_ += n;
    }
    double PerSecond() const { return static_cast<double>(exchanges_) / wall_; }
    double CpuMicrosecondsEach() const { return cpu_ * 1e6 / static_cast<double>(exchanges_); }
    double SwitchesEach() const { return static_cast<double>(switches_) / static_cast<double>(exchanges_); }

private:
    BareSocket socket_;
    TPacketDataArray request_;
    double wall_ = 0;
    double cpu_ = 0;
    std::uint64_t switches_ = 0;
    std::uint64_t exchanges_ = 0;
};

} // namespace

int main() try {
    const std::uint64_t requests = std::max<std::uint64_t>(1, EnvCount("QOR_BENCH_E2E_REQUESTS", 100000));
    const std::uint64_t warmup = EnvCount("QOR_BENCH_E2E_WARMUP", 10000);
    const std::size_t items = std::max<std::uint64_t>(1, EnvCount("QOR_BENCH_E2E_ITEMS", 64));
    // 200 of them warm up; at least 100 on each side of the end-to-end run.
    const std::uint64_t bare = std::max<std::uint64_t>(400, EnvCount("QOR_BENCH_BARE_EXCHANGES", 20000));
    const std::uint64_t idleMs = EnvCount("QOR_BENCH_IDLE_MS", 10000);

    // Settings the instances might keep outside their INI file stay in a
    // folder of this run.
    const host::TTempFolder registry("bench_engine");
    ::setenv("QOR_REGISTRY_FILE", registry.File("registry.sqlite3").c_str(), 1);

    sim::SimController plc;
    for (std::size_t i = 0; i < items; ++i)
        plc.Tags().Set(sim::MakeTag<std::int32_t>("D" + std::to_string(i), sim::CipType::Dint, {},
                                                  {static_cast<std::int32_t>(1000 + i)}));
    plc.Start();

    host::THost host;
    host::TPluginLibrary library(QOR_PLUGIN_PATH);
    int status = 0;

    BareReads bareReads(plc.Port());
    bareReads.Run(200); // warm-up, counted like the rest
    bareReads.Run(bare / 2 - 200);
    {
        DataSourceRun run(host, library, 1, plc.Port(), items);
        if (!run.RunUntilAnswered(warmup))
            throw std::runtime_error("the warm-up was not answered in time (" +
                                     std::to_string(run.Sink().Answered()) + " answers)");
        const long rssBefore = ResidentKiB();
        const std::uint64_t from = run.Sink().Answered();
        run.Measure();
        const Meter meter;
        const bool done = run.RunUntilAnswered(warmup + requests);
        const double wall = meter.WallSeconds();
        const double cpu = meter.CpuSeconds();
        const std::uint64_t switches = meter.Switches();
        const long rssAfter = ResidentKiB();
        const std::uint64_t answered = run.Sink().Answered() - from;
        if (!done) {
            std::fprintf(stderr, "bench_engine: %llu of %llu requests answered in time\n",
                         static_cast<unsigned long long>(answered),
                         static_cast<unsigned long long>(requests));
            status = 1;
        }
        bareReads.Run(bare - bare / 2);
        const double e2eRate = static_cast<double>(answered) / wall;
        std::printf("e2e_requests=%llu\n", static_cast<unsigned long long>(answered));
        std::printf("e2e_items=%zu\n", items);
        std::printf("e2e_requests_per_s=%.0f\n", e2eRate);
        std::printf("bare_exchanges_per_s=%.0f\n", bareReads.PerSecond());
        std::printf("e2e_ratio=%.3f\n", e2eRate / bareReads.PerSecond());
        std::printf("e2e_cpu_us_per_request=%.1f\n",
                    cpu * 1e6 / static_cast<double>(std::max<std::uint64_t>(1, answered)));
        std::printf("bare_cpu_us_per_request=%.1f\n", bareReads.CpuMicrosecondsEach());
        std::printf("e2e_switches_per_request=%.1f\n",
                    static_cast<double>(switches) /
                        static_cast<double>(std::max<std::uint64_t>(1, answered)));
        std::printf("bare_switches_per_request=%.1f\n", bareReads.SwitchesEach());
        // Where the time goes: the gap between two answers while the next
        // item is due is the engine's round trip; the long gaps are waits for
        // the scheduler's timer with no item due.
        const double medianGap = run.Sink().MedianGapMicroseconds();
        std::printf("e2e_gap_median_us=%.1f\n", medianGap);
        std::printf("e2e_wait_1ms_pct=%.1f\n", run.Sink().SecondsInGapsOf(1000) / wall * 100.0);
        std::printf("e2e_wait_5ms_pct=%.1f\n", run.Sink().SecondsInGapsOf(5000) / wall * 100.0);
        std::printf("e2e_gaps_5ms=%llu\n", static_cast<unsigned long long>(run.Sink().GapsOf(5000)));
        if (medianGap > 0)
            std::printf("e2e_due_ratio=%.3f\n", 1e6 / medianGap / bareReads.PerSecond());
        std::printf("rss_after_warmup_kib=%ld\n", rssBefore);
        std::printf("rss_growth_kib=%ld\n", rssAfter - rssBefore);
        if (run.Sink().Others() != 0)
            std::printf("e2e_packets_without_request=%llu\n",
                        static_cast<unsigned long long>(run.Sink().Others()));
    }

    // The logger's outputs on the same stream of packets: answered requests
    // per second with every packet written (and, at the end, committed) to
    // an SQLite file, against the same with a null output.
    const std::uint64_t sinkRequests = EnvCount("QOR_BENCH_SINK_REQUESTS", 20000);
    if (sinkRequests > 0) {
        const host::TTempFolder folder("bench_engine");
        double rates[2] = {0, 0};
        const std::string targets[2] = {"null", "sqlite:" + folder.File("bench.sqlite3")};
        for (int k = 0; k < 2; ++k) {
            auto output = host::MakeOutput(targets[k], folder.File(""), [](const std::string& line) {
                std::fprintf(stderr, "bench_engine: output: %s\n", line.c_str());
            });
            DataSourceRun run(host, library, 3 + k, plc.Port(), items);
            if (!run.RunUntilAnswered(warmup / 10))
                throw std::runtime_error("the output warm-up was not answered in time");
            run.Sink().Output = output.get();
            const std::uint64_t from = run.Sink().Answered();
            const Meter meter;
            run.RunUntilAnswered(from + sinkRequests);
            const std::uint64_t answered = run.Sink().Answered() - from;
            run.Sink().Output = nullptr;
            output->Flush(std::chrono::seconds(60));
            rates[k] = static_cast<double>(answered) / meter.WallSeconds();
        }
        std::printf("null_output_packets_per_s=%.0f\n", rates[0]);
        std::printf("sqlite_output_packets_per_s=%.0f\n", rates[1]);
        std::printf("sqlite_sink_ratio=%.3f\n", rates[1] / rates[0]);
    }

    if (idleMs > 0) {
        // A device that takes the connection and never answers anything.
        sim::SimController silent;
        silent.Faults().Add(sim::FaultRule(sim::FaultKind::Silent, sim::FaultRule::Always));
        silent.Start();
        DataSourceRun run(host, library, 2, silent.Port(), items);
        run.RunFor(500); // connected, the first requests sent
        const std::uint64_t packetsBefore = silent.Counters().Packets;
        const Meter meter;
        run.RunFor(static_cast<std::uint32_t>(idleMs));
        const double wall = meter.WallSeconds();
        std::printf("idle_cpu_pct=%.3f\n", meter.CpuSeconds() / wall * 100.0);
        std::printf("idle_switches_per_s=%.1f\n", static_cast<double>(meter.Switches()) / wall);
        std::printf("idle_device_packets=%llu\n",
                    static_cast<unsigned long long>(silent.Counters().Packets - packetsBefore));
    }
    library.GlobalShutdown();
    return status;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_engine: %s\n", e.what());
    return 1;
}
