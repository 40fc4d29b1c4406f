// The logger's outputs, each beside a null output measured in the same run.
// Every side runs the host's whole per-packet path: copy the plug-in's packet
// (a parameter list of 10 values: the standard header items and 7 tag values)
// into the host's own list, turn it into an output packet, write it; the
// timing ends after Flush, so whatever an output batches is counted.
//
//   sqlite_sink_alone_ratio  packets per second into the SQLite output / into
//                            null, the outputs alone (no device, no plug-in):
//                            what the output costs at its limit. The logger's
//                            own figure, with packets from the plug-in polling
//                            the simulator, is bench_engine's sqlite_sink_ratio.
//   jsonl_sink_alone_ratio   the same for the JSON lines file
//   csv_sink_alone_ratio     the same for the CSV file (one row per value)
//
// With QOR_BENCH_SQLITE_SCALE_SECONDS=s (default 0: skipped), the SQLite
// output in the scale benchmark's shape, without the network: s seconds of
// data of 50 data sources of 100 items at 100 ms (packets of 105 values,
// committed once a second as the logger does), written as fast as the output
// takes them. The writer's CPU per second of data is what the SQLite output
// adds to the logger's CPU at that scale; the figure is taken over the last
// third of the run, when the index has grown past the page cache's first fill:
//   sqlite_scale_writer_cpu_pct   writer thread CPU / seconds of data, percent
//   sqlite_scale_db_mib           the database's size at the end
//
//   bench_outputs [packets]      (default 20000, per side and round)
#include "host/Outputs.h"

#include "common/qorParamLst.h"

#include "RunSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

void FillPacket(qor::TqorParamsList& list, int n) {
    list.Add("DATE_TIME_STAMP", qor::Variant::FromDateTime(qor::LocalDateTimeNow()));
    list.Add("DATA_SOURCE_ID", qor::Variant(std::int32_t{3}));
    list.Add("DATA_SOURCE_FULL_NAME", qor::Variant("Line 1 press"));
    list.Add("Program:Main.Counter", qor::Variant(std::int32_t{n}));
    list.Add("Program:Main.Speed", qor::Variant(static_cast<float>(n) * 0.25f));
    list.Add("Program:Main.Pressure", qor::Variant(1013.25 + n));
    list.Add("Program:Main.Running", qor::Variant((n & 1) != 0));
    list.Add("Program:Main.Recipe", qor::Variant("Recipe \"A\", batch " + std::to_string(n % 100)));
    list.Add("Program:Main.Temp[0]", qor::Variant(std::int16_t(n % 300)));
    list.Add("Program:Main.Alarm", qor::Variant(std::uint16_t(n % 7)));
    list.EndRow();
}

// The host's side of one packet: its own copy of the list, then the output
// packet without the row marker.
host::TOutputPacket Receive(const qor::TqorParamsList& delivered) {
    qor::TqorParamsList items;
    items.AddList(&delivered);
    host::TOutputPacket packet;
    packet.Time = std::chrono::system_clock::now();
    packet.Source = "Line 1 press";
    packet.SourceId = 3;
    packet.Values.reserve(static_cast<std::size_t>(items.Count()));
    for (int i = 0; i < items.Count(); ++i) {
        const qor::TqorParamsListItem* item = items.GetItem(i);
        if (!item->IsRowMarker())
            packet.Values.push_back({item->Name, item->Value});
    }
    return packet;
}

double PacketsPerSecond(host::IOutput& output, const std::vector<qor::TqorParamsList>& delivered,
                        int packets) {
    const auto t0 = Clock::now();
    for (int i = 0; i < packets; ++i)
        output.Write(Receive(delivered[static_cast<std::size_t>(i) % delivered.size()]));
    output.Flush(std::chrono::seconds(30));
    return packets / std::chrono::duration<double>(Clock::now() - t0).count();
}

void SqliteAtScale(const fs::path& dir, int seconds) {
    constexpr int sources = 50, items = 100, perSecond = 10;
    auto sqlite = host::MakeOutput("sqlite:scale.db", dir.string(), {});
    std::vector<std::vector<std::string>> names(sources);
    for (int s = 0; s < sources; ++s)
        for (int i = 0; i < items; ++i)
            names[s].push_back("S" + std::to_string(s) + "_T" + std::to_string(i));
    const auto start = std::chrono::system_clock::now();
    double measuredFrom = 0;
    for (int second = 0; second < seconds; ++second) {
        if (second == seconds - seconds / 3)
            measuredFrom = benchsupport::ThreadsCpuSeconds(::getpid(), "out-sqlite");
        for (int k = 0; k < perSecond; ++k) {
            for (int s = 0; s < sources; ++s) {
                host::TOutputPacket packet;
                packet.Time = start + std::chrono::milliseconds(second * 1000 + k * 100 + s);
                packet.Source = "S" + std::to_string(s);
                packet.SourceId = static_cast<std::uint32_t>(s + 1);
                packet.Values.push_back({"DATE_TIME_STAMP", qor::Variant::FromDateTime(45000.5 + second)});
                packet.Values.push_back({"DATA_SOURCE_ID", qor::Variant(std::int32_t{s + 1})});
                packet.Values.push_back({"DATA_SOURCE_NAME", qor::Variant(packet.Source)});
                packet.Values.push_back({"EIP_DEVICE", qor::Variant("Simulated Controller")});
                packet.Values.push_back({"EIP_REQ", qor::Variant(packet.Source)});
                for (int i = 0; i < items; ++i)
                    packet.Values.push_back({names[s][i], qor::Variant(std::int32_t{s * 1000 + i})});
                sqlite->WriteMoved(std::move(packet));
            }
        }
        // One commit per second of data, as the logger's batches.
        sqlite->Flush(std::chrono::seconds(60));
    }
    const double used = benchsupport::ThreadsCpuSeconds(::getpid(), "out-sqlite") - measuredFrom;
    std::printf("sqlite_scale_writer_cpu_pct=%.1f\n", used / (seconds / 3) * 100);
    std::printf("sqlite_scale_db_mib=%.0f\n", static_cast<double>(fs::file_size(dir / "scale.db")) / (1 << 20));
}

} // namespace

int main(int argc, char** argv) try {
    host::PrepareOutputLibraries(); // as the logger does
    const int packets = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
    std::vector<qor::TqorParamsList> delivered(64);
    for (std::size_t i = 0; i < delivered.size(); ++i)
        FillPacket(delivered[i], static_cast<int>(i));

    char name[] = "/tmp/bench-outputs-XXXXXX";
    if (!::mkdtemp(name))
        throw std::runtime_error("cannot make a temporary folder");
    const fs::path dir = name;
    const auto log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    auto null = host::MakeOutput("null", "", log);
    auto sqlite = host::MakeOutput("sqlite:bench.db", dir.string(), log);
    auto jsonl = host::MakeOutput("jsonl:bench.jsonl", dir.string(), log);
    auto csv = host::MakeOutput("csv:bench.csv", dir.string(), log);

    // Interleaved rounds, the median of each side, so a stall of another
    // process does not decide a figure.
    constexpr int rounds = 5;
    std::vector<double> rNull, rSqlite, rJsonl, rCsv;
    for (int r = 0; r < rounds; ++r) {
        rNull.push_back(PacketsPerSecond(*null, delivered, packets));
        rSqlite.push_back(PacketsPerSecond(*sqlite, delivered, packets));
        rJsonl.push_back(PacketsPerSecond(*jsonl, delivered, packets));
        rCsv.push_back(PacketsPerSecond(*csv, delivered, packets));
    }
    const auto median = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    const double pNull = median(rNull), pSqlite = median(rSqlite), pJsonl = median(rJsonl),
                 pCsv = median(rCsv);
    sqlite.reset();
    jsonl.reset();
    csv.reset();
    fs::remove_all(dir);

    std::printf("null_sink_packets_per_s=%.0f\n", pNull);
    std::printf("sqlite_sink_packets_per_s=%.0f\n", pSqlite);
    std::printf("sqlite_sink_rows_per_s=%.0f\n", pSqlite * 10);
    std::printf("jsonl_sink_packets_per_s=%.0f\n", pJsonl);
    std::printf("csv_sink_packets_per_s=%.0f\n", pCsv);
    std::printf("sqlite_sink_alone_ratio=%.3f\n", pSqlite / pNull);
    std::printf("jsonl_sink_alone_ratio=%.3f\n", pJsonl / pNull);
    std::printf("csv_sink_alone_ratio=%.3f\n", pCsv / pNull);

    if (const char* seconds = std::getenv("QOR_BENCH_SQLITE_SCALE_SECONDS"); seconds && std::atoi(seconds) >= 3) {
        char scaleDir[] = "/tmp/bench-outputs-XXXXXX";
        if (!::mkdtemp(scaleDir))
            throw std::runtime_error("cannot make a temporary folder");
        SqliteAtScale(scaleDir, std::atoi(seconds));
        fs::remove_all(scaleDir);
    }
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_outputs: %s\n", e.what());
    return 1;
}
