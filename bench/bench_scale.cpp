// The logger at plant scale, as a user runs it: the real programs, each in a
// process of its own. Simulated controllers (eipsim) hold generated DINT tags
// with known values that never change; qorhost run logs them from an INI file
// written as a user writes one (one "addresses" word per tag, so one polling
// request per tag) into SQLite; afterwards the SQLite file is read back and
// every value compared with the tag it names.
//
//   many_items_due_ratio   one data source, 100 addresses at 100 ms for 10 s:
//                          packets in the file / packets due (with "export at
//                          once", the default, one packet per cycle)
//   scale_due_ratio        50 data sources of 100 addresses at 100 ms, against
//                          5 controllers of 10 data sources each, for 60 s:
//                          values in the file / values due (data sources x
//                          addresses x seconds x 1000 / interval)
//   scale_wrong_values     values in the file whose number differs from the
//                          tag's, or that stand under a name or data source
//                          no tag has (must be 0)
//   scale_host_cpu_pct     CPU time of the qorhost process (every thread) /
//                          wall time, as percent of one core, from its start
//                          to its last sample before its duration ends
//   scale_rss_kib          the host's resident memory at that sample (at most
//                          kSampleMs before the duration ends, so before the
//                          stop frees the instances)
//
// and beside them what judges the run: scale_host_main_thread_cpu_pct (the
// thread every packet and every device byte passes through),
// scale_host_workers_cpu_pct (the data sources' worker threads together),
// scale_host_outputs_cpu_pct (the outputs' own threads: the SQLite writer),
// scale_rss_peak_kib
// (the kernel's high-water mark), scale_sim_cpu_pct (the controllers, all
// together, as percent of one core), scale_machine_cpu_pct (every process of
// the machine, as percent of one core, out of scale_cores x 100: on a shared
// machine the rest is other people's work), scale_packets,
// scale_sources_silent (data sources without a single value),
// scale_tags_missing (tags never logged) and scale_host_exit (qorhost's exit
// status: 0 when it stopped cleanly). The many_items run prints its packets,
// wrong values and host CPU the same way.
//
// The environment sizes the run (defaults in brackets):
//   QOR_BENCH_SCALE_SECONDS       --duration of the scale run, 0 skips it [60]
//   QOR_BENCH_SCALE_SOURCES       data sources [50]
//   QOR_BENCH_SCALE_TAGS          addresses per data source, at most 1000 [100]
//   QOR_BENCH_SCALE_SIMS          controller processes [5]
//   QOR_BENCH_SCALE_INTERVAL_MS   polling interval of every address, both runs [100]
//   QOR_BENCH_MANY_ITEMS_SECONDS  --duration of the one-source run, 0 skips it [10]
//   QOR_BENCH_MANY_ITEMS          addresses of that data source [100]
//   QOR_BENCH_SCALE_DIR           keep the files of the runs (INI, tag files,
//                                 SQLite, logs) in this folder instead of a
//                                 temporary one
#include "host/Acquisition.h"
#include "host/TempFolder.h"

#include "BenchSupport.h"
#include "RunSupport.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using benchsupport::EnvCount;
using benchsupport::ListeningPort;
using benchsupport::MachineBusySeconds;
using benchsupport::StatCpuSeconds;
using benchsupport::StatusKiB;
using benchsupport::TChild;
using benchsupport::TDatabase;
using benchsupport::Text;
using benchsupport::ThreadsCpuSeconds;
using Clock = benchsupport::RunClock;

// How often the host's CPU time and memory are read while it runs.
constexpr int kSampleMs = 250;
// Longest wait for a controller to report its port, and for the host to stop
// beyond its duration (it writes out what its outputs hold first).
constexpr int kStartLimitMs = 10000;
constexpr int kStopLimitMs = 60000;
// Tag values are source * kValueStride + tag, so every tag of the run has a
// value of its own and a value under the wrong name shows.
constexpr std::uint64_t kValueStride = 1000;

std::string TagName(std::uint64_t source, std::uint64_t tag) {
    return "S" + std::to_string(source) + "_T" + std::to_string(tag);
}

std::string SourceName(std::uint64_t source) {
    return "S" + std::to_string(source);
}

// The shape of one run: data sources 0..Sources-1, each reading Tags DINTs.
struct TRunShape {
    std::uint64_t Sources = 0;
    std::uint64_t Tags = 0;
    std::uint64_t Sims = 0;
    std::uint64_t IntervalMs = 0;
    std::uint64_t Seconds = 0;
    // The controller a data source reads from.
    std::uint64_t SimOf(std::uint64_t source) const {
        const std::uint64_t perSim = (Sources + Sims - 1) / Sims;
        return source / perSim;
    }
};

// The controller processes, each with the tags of its data sources.
class TControllers {
public:
    TControllers(const std::filesystem::path& folder, const std::string& prefix, const TRunShape& shape) {
        const std::string eipsim = QOR_EIPSIM_PATH;
        for (std::uint64_t k = 0; k < shape.Sims; ++k) {
            const std::string tagFile = (folder / (prefix + "-tags-" + std::to_string(k) + ".txt")).string();
            {
                std::ofstream tags(tagFile);
                for (std::uint64_t s = 0; s < shape.Sources; ++s)
                    if (shape.SimOf(s) == k)
                        for (std::uint64_t t = 0; t < shape.Tags; ++t)
                            tags << "DINT " << TagName(s, t) << " = " << s * kValueStride + t << "\n";
            }
            const std::string err = (folder / (prefix + "-eipsim-" + std::to_string(k) + ".log")).string();
            sims_.push_back(std::make_unique<TChild>(
                std::vector<std::string>{eipsim, "--port", "0", "--tags", tagFile}, true, err));
        }
        for (auto& sim : sims_)
            ports_.push_back(ListeningPort(*sim, kStartLimitMs));
    }
    unsigned Port(std::uint64_t sim) const { return ports_.at(sim); }
    double CpuSeconds() const {
        double total = 0;
        for (const auto& sim : sims_)
            total += StatCpuSeconds("/proc/" + std::to_string(sim->Pid()) + "/stat");
        return total;
    }

private:
    std::vector<std::unique_ptr<TChild>> sims_;
    std::vector<unsigned> ports_;
};

// What the SQLite file holds.
struct TLogged {
    std::uint64_t Values = 0;      // values under a tag's name
    std::uint64_t WrongValues = 0; // of which not the tag's number
    std::uint64_t Unknown = 0;     // values under no tag's name or in no data source (also wrong)
    std::uint64_t Packets = 0;
    std::uint64_t SilentSources = 0;
    std::uint64_t MissingTags = 0;
};

// The number of a tag name of this run's shape ("S<source>_T<tag>").
std::optional<std::pair<std::uint64_t, std::uint64_t>> ParseTagName(const std::string& name,
                                                                    const TRunShape& shape) {
    std::uint64_t source = 0, tag = 0;
    const char* p = name.data();
    const char* end = name.data() + name.size();
    if (p == end || *p++ != 'S')
        return std::nullopt;
    auto r = std::from_chars(p, end, source);
    if (r.ec != std::errc{} || end - r.ptr < 3 || r.ptr[0] != '_' || r.ptr[1] != 'T')
        return std::nullopt;
    r = std::from_chars(r.ptr + 2, end, tag);
    if (r.ec != std::errc{} || r.ptr != end || source >= shape.Sources || tag >= shape.Tags ||
        name != TagName(source, tag))
        return std::nullopt;
    return std::make_pair(source, tag);
}

// Every value of the file against the tag it names.
TLogged ReadBack(const std::string& path, const TRunShape& shape) {
    TDatabase db(path);
    TLogged logged;
    std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
    std::set<std::uint64_t> sourcesSeen;
    // Grouped by value: a tag that always reads the same is one row.
    db.Query("SELECT source, item, value, typeof(value), count(*) FROM samples "
             "WHERE item <> 'DATE_TIME_STAMP' GROUP BY 1, 2, 3, 4",
             [&](sqlite3_stmt* s) {
                 const std::string item = Text(s, 1);
                 if (host::IsHeaderItem(item))
                     return;
                 const auto count = static_cast<std::uint64_t>(sqlite3_column_int64(s, 4));
                 const auto tag = ParseTagName(item, shape);
                 if (!tag || Text(s, 0) != SourceName(tag->first)) {
                     logged.Unknown += count;
                     logged.WrongValues += count;
                     return;
                 }
                 logged.Values += count;
                 seen.insert(*tag);
                 sourcesSeen.insert(tag->first);
                 if (Text(s, 3) != "integer" || static_cast<std::uint64_t>(sqlite3_column_int64(s, 2)) !=
                                                    tag->first * kValueStride + tag->second)
                     logged.WrongValues += count;
             });
    db.Query("SELECT count(*) FROM samples WHERE item = 'DATE_TIME_STAMP'", [&](sqlite3_stmt* s) {
        logged.Packets = static_cast<std::uint64_t>(sqlite3_column_int64(s, 0));
    });
    logged.SilentSources = shape.Sources - sourcesSeen.size();
    logged.MissingTags = shape.Sources * shape.Tags - seen.size();
    return logged;
}

// What the host did over its run.
struct TRunFigures {
    TLogged Logged;
    int ExitStatus = -1;
    double HostCpuPct = 0;
    double MainThreadCpuPct = 0;
    double WorkersCpuPct = 0;
    double OutputsCpuPct = 0;
    long RssKiB = 0;
    long RssPeakKiB = 0;
    double SimCpuPct = 0;
    double MachineCpuPct = 0;
    double Due = 0;
};

// Starts the controllers, runs qorhost run --duration over them into SQLite,
// samples it while it runs and reads the file back.
TRunFigures RunLogger(const std::filesystem::path& folder, const std::string& prefix,
                      const TRunShape& shape) {
    const TControllers controllers(folder, prefix, shape);
    const std::string ini = (folder / (prefix + ".ini")).string();
    const std::string database = (folder / (prefix + ".sqlite3")).string();
    std::filesystem::remove(database);
    {
        std::ofstream out(ini);
        out << "[host]\noutputs = sqlite:" << prefix << ".sqlite3\n";
        for (std::uint64_t s = 0; s < shape.Sources; ++s) {
            out << "\n[" << SourceName(s) << "]\ndevice = 127.0.0.1:" << controllers.Port(shape.SimOf(s))
                << "\ninterval = " << shape.IntervalMs << "\naddresses =";
            for (std::uint64_t t = 0; t < shape.Tags; ++t)
                out << ' ' << TagName(s, t);
            out << "\n";
        }
    }

    TRunFigures figures;
    const double simCpuBefore = controllers.CpuSeconds();
    const double machineBefore = MachineBusySeconds();
    TChild host({QOR_QORHOST_PATH, "run", "--config", ini, "--duration", std::to_string(shape.Seconds)},
                false, (folder / (prefix + "-qorhost.log")).string(),
                {"QOR_REGISTRY_FILE=" + (folder / (prefix + "-registry.sqlite3")).string()});
    // The host's duration starts once its data sources have started, so up
    // to that many seconds after its start it is still logging: the last
    // sample by then stands for the end of the run (the stop that follows
    // frees the instances' memory and is no part of the run).
    const auto runEnd = host.Started() + std::chrono::seconds(shape.Seconds);
    const auto limit = runEnd + std::chrono::milliseconds(kStopLimitMs);
    const std::string mainThread =
        "/proc/" + std::to_string(host.Pid()) + "/task/" + std::to_string(host.Pid()) + "/stat";
    double hostCpu = 0, mainCpu = 0, workersCpu = 0, outputsCpu = 0, wall = 0, simCpu = 0, machine = 0;
    std::optional<int> exit;
    while (!(exit = host.WaitFor(kSampleMs))) {
        const auto now = Clock::now();
        if (now > limit)
            throw std::runtime_error("qorhost did not stop within " + std::to_string(kStopLimitMs / 1000) +
                                     " s of its duration");
        figures.RssPeakKiB = std::max(figures.RssPeakKiB, StatusKiB(host.Pid(), "VmHWM:"));
        if (now > runEnd)
            continue;
        hostCpu = StatCpuSeconds("/proc/" + std::to_string(host.Pid()) + "/stat");
        mainCpu = StatCpuSeconds(mainThread);
        // The workers are named "EIP", the outputs' threads "out-...". A
        // thread that ended before this sample is missing from both.
        workersCpu = ThreadsCpuSeconds(host.Pid(), "EIP");
        outputsCpu = ThreadsCpuSeconds(host.Pid(), "out-");
        figures.RssKiB = StatusKiB(host.Pid(), "VmRSS:");
        wall = std::chrono::duration<double>(now - host.Started()).count();
        simCpu = controllers.CpuSeconds() - simCpuBefore;
        machine = MachineBusySeconds() - machineBefore;
    }
    figures.ExitStatus = *exit;
    if (wall > 0) {
        figures.HostCpuPct = hostCpu / wall * 100.0;
        figures.MainThreadCpuPct = mainCpu / wall * 100.0;
        figures.WorkersCpuPct = workersCpu / wall * 100.0;
        figures.OutputsCpuPct = outputsCpu / wall * 100.0;
        figures.SimCpuPct = simCpu / wall * 100.0;
        figures.MachineCpuPct = machine / wall * 100.0;
    }
    figures.Logged = ReadBack(database, shape);
    figures.Due = static_cast<double>(shape.Seconds) * 1000.0 / static_cast<double>(shape.IntervalMs);
    return figures;
}

} // namespace

int main() try {
    const std::uint64_t intervalMs = std::max<std::uint64_t>(1, EnvCount("QOR_BENCH_SCALE_INTERVAL_MS", 100));
    std::optional<host::TTempFolder> temporary;
    std::filesystem::path folder;
    if (const char* keep = std::getenv("QOR_BENCH_SCALE_DIR"); keep != nullptr && *keep != '\0') {
        folder = std::filesystem::absolute(keep);
        std::filesystem::create_directories(folder);
    } else {
        temporary.emplace("bench_scale");
        folder = temporary->Path();
    }
    int status = 0;

    // One data source of many addresses: can one worker poll them all in
    // time? With "export at once" it delivers one packet a cycle.
    TRunShape many;
    many.Sources = 1;
    many.Sims = 1;
    many.Tags = std::clamp<std::uint64_t>(EnvCount("QOR_BENCH_MANY_ITEMS", 100), 1, kValueStride);
    many.IntervalMs = intervalMs;
    many.Seconds = EnvCount("QOR_BENCH_MANY_ITEMS_SECONDS", 10);
    if (many.Seconds > 0) {
        const TRunFigures f = RunLogger(folder, "many_items", many);
        std::printf("many_items_packets=%llu\n", static_cast<unsigned long long>(f.Logged.Packets));
        std::printf("many_items_due_ratio=%.3f\n", static_cast<double>(f.Logged.Packets) / f.Due);
        std::printf("many_items_wrong_values=%llu\n", static_cast<unsigned long long>(f.Logged.WrongValues));
        std::printf("many_items_host_cpu_pct=%.1f\n", f.HostCpuPct);
        if (f.ExitStatus != 0 || f.Logged.WrongValues != 0)
            status = 1;
        if (f.ExitStatus != 0)
            std::printf("many_items_host_exit=%d\n", f.ExitStatus);
    }

    TRunShape scale;
    scale.Sources = std::max<std::uint64_t>(1, EnvCount("QOR_BENCH_SCALE_SOURCES", 50));
    scale.Tags = std::clamp<std::uint64_t>(EnvCount("QOR_BENCH_SCALE_TAGS", 100), 1, kValueStride);
    scale.Sims = std::clamp<std::uint64_t>(EnvCount("QOR_BENCH_SCALE_SIMS", 5), 1, scale.Sources);
    scale.IntervalMs = intervalMs;
    scale.Seconds = EnvCount("QOR_BENCH_SCALE_SECONDS", 60);
    if (scale.Seconds > 0) {
        const TRunFigures f = RunLogger(folder, "scale", scale);
        const double due = f.Due * static_cast<double>(scale.Sources * scale.Tags);
        std::printf("scale_sources=%llu\n", static_cast<unsigned long long>(scale.Sources));
        std::printf("scale_tags_per_source=%llu\n", static_cast<unsigned long long>(scale.Tags));
        std::printf("scale_values=%llu\n", static_cast<unsigned long long>(f.Logged.Values));
        std::printf("scale_values_due=%.0f\n", due);
        std::printf("scale_due_ratio=%.3f\n", static_cast<double>(f.Logged.Values) / due);
        std::printf("scale_wrong_values=%llu\n", static_cast<unsigned long long>(f.Logged.WrongValues));
        std::printf("scale_host_cpu_pct=%.1f\n", f.HostCpuPct);
        std::printf("scale_host_main_thread_cpu_pct=%.1f\n", f.MainThreadCpuPct);
        std::printf("scale_host_workers_cpu_pct=%.1f\n", f.WorkersCpuPct);
        std::printf("scale_host_outputs_cpu_pct=%.1f\n", f.OutputsCpuPct);
        std::printf("scale_rss_kib=%ld\n", f.RssKiB);
        std::printf("scale_rss_peak_kib=%ld\n", f.RssPeakKiB);
        std::printf("scale_sim_cpu_pct=%.1f\n", f.SimCpuPct);
        std::printf("scale_machine_cpu_pct=%.1f\n", f.MachineCpuPct);
        std::printf("scale_cores=%ld\n", ::sysconf(_SC_NPROCESSORS_ONLN));
        std::printf("scale_packets=%llu\n", static_cast<unsigned long long>(f.Logged.Packets));
        std::printf("scale_sources_silent=%llu\n", static_cast<unsigned long long>(f.Logged.SilentSources));
        std::printf("scale_tags_missing=%llu\n", static_cast<unsigned long long>(f.Logged.MissingTags));
        if (f.Logged.Unknown != 0)
            std::printf("scale_values_under_unknown_names=%llu\n",
                        static_cast<unsigned long long>(f.Logged.Unknown));
        std::printf("scale_host_exit=%d\n", f.ExitStatus);
        if (f.ExitStatus != 0 || f.Logged.WrongValues != 0)
            status = 1;
    }
    return status;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_scale: %s\n", e.what());
    return 1;
}
