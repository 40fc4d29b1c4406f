// The soak: the logger as a user runs it, for a long time, against devices
// that misbehave at random. Twenty data sources of the three families (ten
// Logix, five Micro800, five MicroLogix 1400) each poll a slice of the truth
// test's generated device tables from a simulated controller of their own
// (eipsim), whose random faults (silence, late and split replies, truncated
// replies, garbage, wrong lengths, dropped connections, listener restarts,
// refused Forward Opens, a close after an error reply) each controller logs
// as they fire. qorhost run writes SQLite and JSON lines; every reload
// period (a minute, or half the run when it is shorter) the JSON lines file
// is renamed, the request lists change their polling interval and qorhost
// gets SIGHUP (the file is opened again by its name and the requests reload
// in place). Afterwards every value in both files is compared with the truth.
//
//   soak [SECONDS]   (600 by default)
//
// It prints name=value lines:
//   soak_wrong_values      values in either file whose number (or text, or
//                          name) is not the truth's (must be 0)
//   soak_rss_growth_kib    the host's resident memory at the end minus the
//                          same at soak_rss_from_s: 60 s (a quarter of a run
//                          shorter than four minutes), or later if the SQLite
//                          output's page cache (16 MiB, filled as the file
//                          grows, a design bound) was not full by then, which
//                          soak_rss_sqlite_cache_full says; in the 60 s run
//                          that is about 25 s. At most soak_rss_growth_bound_kib
//   soak_longest_gap_ms    the longest time a data source went without a
//                          packet beyond its polling interval and the faults'
//                          own durations (a delay's pause, a split's pauses, a
//                          restart's time away), a gap with several faults
//                          being allowed one recovery for each; at most
//                          soak_gap_bound_ms, the item time-out plus one
//                          connect (the host's first retry and the session's
//                          set-up). The last packet counts against the end of
//                          the run, so a data source that never recovers shows.
//   soak_faults, soak_faults_<kind>   the faults fired
// and beside them what judges the run (packets and values checked, reloads,
// the data sources without a packet, qorhost's exit status). The exit status
// is 1 when a bound is broken, a data source stayed silent, the two files do
// not hold the same packets, no fault fired or qorhost did not stop cleanly.
//
// The controllers space their faults (QOR_SOAK_SPACING_MS, 15 s): a device
// that drops connections within 10 s of each other is backed off from by the
// host on purpose, and each recovery is measured on its own. Each data source
// has a controller of its own, so that every fault is one data source's.
// Items are polled every 500 ms (400 ms after every other reload) with a
// time-out of 1000 ms; random delays go up to 1500 ms, past the time-out.
//
// Environment (defaults in brackets):
//   QOR_SOAK_SEED        the tables' seed, and the faults' [20260315]
//   QOR_SOAK_SOURCES     data sources [20]
//   QOR_SOAK_RATE        chance that a reply (or a Forward Open) gets a fault
//                        once the spacing allows one [0.2]
//   QOR_SOAK_SPACING_MS  quiet time after each fault [15000]
//   QOR_SOAK_DIR         keep the run's files (tables, request lists, INI,
//                        fault logs, outputs, logs, the host's memory a
//                        line a second in soak-rss.txt: seconds, then
//                        resident, anonymous, file and shared KiB) in this
//                        folder
#include "TruthCheck.h"
#include "TruthTable.h"

#include "host/TempFolder.h"

#include "BenchSupport.h"
#include "RunSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
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
using Clock = benchsupport::RunClock;
using truth::Device;

constexpr int kSampleMs = 250;
constexpr int kStartLimitMs = 10000;
constexpr int kStopLimitMs = 60000;
// Items per data source, and their polling interval (the other one of the
// reloads) and time-out.
constexpr std::size_t kItemsPerSource = 12;
constexpr std::int64_t kIntervalMs = 500;
constexpr std::int64_t kOtherIntervalMs = 400;
constexpr std::int64_t kTimeoutMs = 1000;
// One connect: the host's first retry after a dropped connection, and the
// session's set-up (registration, identity, Forward Open, the first reply).
constexpr std::int64_t kConnectMs = 500 + 500;
constexpr std::int64_t kGapBoundMs = kTimeoutMs + kConnectMs;
constexpr long kRssGrowthBoundKiB = 1024;
// The SQLite output keeps up to this much of the file's pages in memory
// (its cache_size), filling it as the file grows: memory is compared from
// when the file has outgrown it.
constexpr std::uintmax_t kSqliteCacheBytes = 16384ull * 1024;
// The longest random delay: beyond the item time-out, so late replies come
// after their request was given up.
constexpr int kMaxDelayMs = 1500;

std::int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

// One data source of the run: a slice of a generated data source's items, and
// the truth of that slice.
struct TSoakSource {
    std::string Name;
    Device::Family Family = Device::Family::Logix;
    std::vector<truth::Item> Items;
    truth::SourceTruth Truth;
    unsigned Port = 0;
    std::filesystem::path FaultLog;
};

// The slices of a family's generated data sources, first slices first, that
// the rules allow on their own and that give values.
std::vector<truth::Source> Slices(const truth::Table& table, Device::Family family) {
    std::vector<truth::Source> slices;
    for (std::size_t offset = 0;; offset += kItemsPerSource) {
        bool any = false;
        for (const truth::Source& s : table.Sources) {
            if (s.Family != family || offset >= s.Items.size())
                continue;
            any = true;
            truth::Source slice = s;
            slice.Items.assign(s.Items.begin() + static_cast<std::ptrdiff_t>(offset),
                               s.Items.begin() + static_cast<std::ptrdiff_t>(
                                                     std::min(s.Items.size(), offset + kItemsPerSource)));
            try {
                const auto items = truth::ComputeTruth(table.DeviceOf(family), slice.Items, truth::Reader::Engine);
                const bool gives = std::any_of(items.begin(), items.end(), [](const truth::ItemTruth& i) {
                    return std::any_of(i.Addresses.begin(), i.Addresses.end(),
                                       [](const truth::Outcome& o) { return o.Ok && !o.Values.empty(); });
                });
                if (gives)
                    slices.push_back(std::move(slice));
            } catch (const std::logic_error&) {
                // A slice that leaves a name open without the items around it.
            }
        }
        if (!any)
            break;
    }
    return slices;
}

std::vector<TSoakSource> MakeSources(const truth::Table& table, std::size_t count) {
    // Half Logix, a quarter each of the others.
    constexpr Device::Family kPattern[] = {Device::Family::Logix, Device::Family::Micro800, Device::Family::Logix,
                                           Device::Family::MicroLogix};
    std::map<Device::Family, std::vector<truth::Source>> slices;
    std::map<Device::Family, std::size_t> taken;
    std::vector<TSoakSource> sources;
    for (std::size_t i = 0; i < count; ++i) {
        const Device::Family family = kPattern[i % 4];
        auto& of = slices[family];
        if (of.empty())
            of = Slices(table, family);
        if (of.empty())
            throw std::runtime_error("the tables give no data source of family " + truth::FamilyName(family));
        const truth::Source& slice = of[taken[family]++ % of.size()];
        TSoakSource s;
        char name[64];
        std::snprintf(name, sizeof name, "s%02zu-%s", i + 1, slice.Name.c_str());
        s.Name = name;
        s.Family = family;
        s.Items = slice.Items;
        s.Truth.Name = s.Name;
        s.Truth.ExportAll = slice.ExportAll;
        s.Truth.ProductName = table.DeviceOf(family).ProductName;
        s.Truth.Items = truth::ComputeTruth(table.DeviceOf(family), s.Items, truth::Reader::Engine);
        s.Truth.Index();
        sources.push_back(std::move(s));
    }
    return sources;
}

// One fault as a controller logged it.
struct TFault {
    std::int64_t AtMs = 0;
    std::string Kind;
    std::int64_t LastsMs = 0;
};

std::vector<TFault> ReadFaultLog(const std::filesystem::path& path) {
    std::vector<TFault> faults;
    std::istringstream lines(ReadFile(path));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        TFault f;
        if (fields >> f.AtMs >> f.Kind >> f.LastsMs)
            faults.push_back(f);
    }
    return faults;
}

// A value of the SQLite file as the JSON value the truth compares with: the
// file keeps integers, reals and text, and writes booleans as 0 and 1 beside
// the type "Boolean", arrays as JSON text and numbers beyond its integers
// (a ULINT above the signed range) as their digits.
truth::JValue SqliteValue(sqlite3_stmt* s, int column, const std::string& type, const truth::Expect& expected) {
    truth::JValue v;
    using JK = truth::JValue::Kind;
    using EK = truth::Expect::Kind;
    switch (sqlite3_column_type(s, column)) {
    case SQLITE_INTEGER:
        if (type == "Boolean") {
            v.Type = JK::Bool;
            v.Boolean = sqlite3_column_int64(s, column) != 0;
        } else {
            v.Type = JK::Number;
            v.Text = std::to_string(sqlite3_column_int64(s, column));
        }
        return v;
    case SQLITE_FLOAT: {
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", sqlite3_column_double(s, column));
        v.Type = JK::Number;
        v.Text = text;
        return v;
    }
    case SQLITE_TEXT: {
        const std::string text = Text(s, column);
        if (expected.Type == EK::Array) {
            if (auto parsed = truth::ParseJson(text))
                return *parsed;
        }
        v.Type = JK::String;
        v.Text = text;
        if (expected.Type == EK::Signed || expected.Type == EK::Unsigned || expected.Type == EK::Real ||
            expected.Type == EK::Double || expected.Type == EK::Scaled) {
            // Digits stay a number; the texts of NaN and the infinities stay text.
            double number = 0;
            if (std::sscanf(text.c_str(), "%lf", &number) == 1 && text.find_first_of("nN") == std::string::npos)
                v.Type = JK::Number;
        }
        return v;
    }
    default:
        return v; // NULL
    }
}

struct TChecked {
    truth::Report Report;
    std::uint64_t JsonPackets = 0;
    std::uint64_t SqlitePackets = 0;
    std::map<std::string, std::uint64_t> JsonPacketsOf;
    std::map<std::string, std::vector<std::int64_t>> PacketTimes; // by data source, ms since 1970 UTC
};

// Every packet of the JSON lines files (oldest first) against the truth.
void CheckJsonLines(const std::vector<std::filesystem::path>& files, const std::map<std::string, const TSoakSource*>& byName,
                    TChecked& checked) {
    std::map<std::string, truth::Arrivals> arrivals;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            ++checked.JsonPackets;
            const auto packet = truth::ParseJson(line);
            const truth::JValue* source = packet ? packet->Find("DATA_SOURCE_NAME") : nullptr;
            const auto it = source ? byName.find(source->Text) : byName.end();
            if (it == byName.end()) {
                checked.Report.Fail({"jsonl: a packet of no configured data source", "jsonl", "", "", "",
                                     line.substr(0, 200)});
                continue;
            }
            ++checked.JsonPacketsOf[it->first];
            truth::CheckPacket("jsonl:" + it->first, it->second->Truth, line, true, checked.Report,
                               arrivals[it->first]);
        }
    }
}

// Every value of the SQLite file against the truth (grouped: a value that
// repeats is one row), and the packets' times.
void CheckSqlite(const std::string& path, const std::map<std::string, const TSoakSource*>& byName,
                 TChecked& checked) {
    TDatabase db(path);
    db.Query("SELECT source, item, value, type, count(*) FROM samples WHERE item <> 'DATE_TIME_STAMP' "
             "GROUP BY source, item, value, type",
             [&](sqlite3_stmt* s) {
                 const std::string source = Text(s, 0);
                 const std::string item = Text(s, 1);
                 if (truth::IsHeaderKey(item))
                     return;
                 const auto count = static_cast<std::size_t>(sqlite3_column_int64(s, 4));
                 checked.Report.Count(count);
                 const auto it = byName.find(source);
                 const truth::SourceTruth::Named* named = nullptr;
                 if (it != byName.end())
                     if (const auto found = it->second->Truth.ByName.find(item);
                         found != it->second->Truth.ByName.end())
                         named = &found->second;
                 if (named == nullptr) {
                     for (std::size_t k = 0; k < count; ++k)
                         checked.Report.Fail({"sqlite: value under a name the export rules do not give",
                                              "sqlite:" + source, "", item, "", Text(s, 2)});
                     return;
                 }
                 const truth::JValue got = SqliteValue(s, 2, Text(s, 3), *named->Value);
                 if (const std::string why = truth::Mismatch(*named->Value, got); !why.empty())
                     for (std::size_t k = 0; k < count; ++k)
                         checked.Report.Fail({"sqlite: " + why, "sqlite:" + source, named->Address->Address, item,
                                              named->Value->Show(), got.Dump(), named->Address->Kind});
             });
    db.Query("SELECT source, time_ms FROM samples WHERE item = 'DATE_TIME_STAMP' ORDER BY source, time_ms",
             [&](sqlite3_stmt* s) {
                 ++checked.SqlitePackets;
                 checked.PacketTimes[Text(s, 0)].push_back(sqlite3_column_int64(s, 1));
             });
}

// One gap of a data source: the time without a packet beyond the polling
// interval, the faults' own durations, and the recoveries of all faults in it
// but one.
struct TGap {
    std::string Source;
    std::int64_t FromMs = 0;
    std::int64_t Beyond = 0;
    std::string Faults;
};

std::vector<TGap> Gaps(const std::vector<TSoakSource>& sources, const TChecked& checked,
                       const std::map<std::string, std::vector<TFault>>& faults, std::int64_t endMs) {
    std::vector<TGap> gaps;
    for (const TSoakSource& s : sources) {
        const auto times = checked.PacketTimes.find(s.Name);
        if (times == checked.PacketTimes.end() || times->second.empty())
            continue;
        std::vector<std::int64_t> t = times->second;
        t.push_back(std::max(endMs, t.back()));
        const std::vector<TFault>& of = faults.at(s.Name);
        for (std::size_t i = 1; i < t.size(); ++i) {
            TGap gap;
            gap.Source = s.Name;
            gap.FromMs = t[i - 1];
            std::int64_t lasts = 0, count = 0;
            for (const TFault& f : of)
                if (f.AtMs >= t[i - 1] && f.AtMs <= t[i]) {
                    lasts += f.LastsMs;
                    ++count;
                    gap.Faults += (gap.Faults.empty() ? "" : ",") + f.Kind;
                }
            gap.Beyond = t[i] - t[i - 1] - kIntervalMs - lasts - std::max<std::int64_t>(count - 1, 0) * kGapBoundMs;
            gaps.push_back(std::move(gap));
        }
    }
    std::sort(gaps.begin(), gaps.end(), [](const TGap& a, const TGap& b) { return a.Beyond > b.Beyond; });
    return gaps;
}

struct TRun {
    std::filesystem::path Folder;
    std::vector<TSoakSource> Sources;
    std::uint64_t Seconds = 0;
    std::uint64_t Seed = 0;
    double Rate = 0;
    std::uint64_t SpacingMs = 0;

    std::string RequestList(const TSoakSource& s, std::int64_t intervalMs) const {
        return truth::RequestListXml(s.Items, static_cast<unsigned>(intervalMs), static_cast<unsigned>(kTimeoutMs));
    }
    // The request lists of a reload: every other data source polls at the other interval.
    void WriteRequestLists(std::size_t reload) const {
        for (std::size_t i = 0; i < Sources.size(); ++i)
            WriteFile(Folder / (Sources[i].Name + ".xml"),
                      RequestList(Sources[i], (i + reload) % 2 == 0 ? kIntervalMs : kOtherIntervalMs));
    }
};

std::string ConfigText(const TRun& run) {
    std::string ini = "[host]\noutputs = sqlite:soak.sqlite3, jsonl:soak.jsonl\nlog file = soak.log\n";
    for (const TSoakSource& s : run.Sources) {
        ini += "\n[" + s.Name + "]\ntype = " + truth::SourceType(s.Family) + "\ndevice = 127.0.0.1:" +
               std::to_string(s.Port) + "\nrequests = " + s.Name + ".xml\nexport at once = " +
               (s.Truth.ExportAll ? "1" : "0") + "\n";
    }
    return ini;
}

// What the host did over its run, sampled every kSampleMs.
struct THostRun {
    std::size_t Reloads = 0;
    std::vector<std::filesystem::path> JsonFiles; // oldest first
    std::int64_t StartWallMs = 0;
    std::int64_t EndWallMs = 0;
    long RssFrom = 0;
    double RssFromAt = 0;
    bool CacheFull = false;
    long RssEnd = 0;
    double HostCpuPct = 0;
    double SimCpuPct = 0;
    double MachineCpuPct = 0;
    int Exit = -1;
};

// Runs qorhost over the run's configuration: reloads it, rotates its JSON
// lines file, and samples its memory and CPU until it has stopped.
THostRun RunHost(const TRun& run, const std::vector<std::unique_ptr<TChild>>& sims, const std::filesystem::path& ini) {
    // Reloads every minute, or once in the middle of a shorter run. Memory
    // from the end of the first minute (a quarter of a run shorter than four
    // minutes), but not before the SQLite output's page cache is full: a
    // reload that came first would let the cache fill again later. In a short
    // run the reload waits for that, up to ten seconds before the end.
    const std::uint64_t reloadEvery = run.Seconds >= 120 ? 60 : std::max<std::uint64_t>(run.Seconds / 2, 1);
    const std::uint64_t rssFrom = run.Seconds >= 240 ? 60 : run.Seconds / 4;
    const std::filesystem::path database = run.Folder / "soak.sqlite3";

    THostRun result;
    TChild host({QOR_QORHOST_PATH, "run", "--config", ini.string(), "--duration", std::to_string(run.Seconds)},
                false, (run.Folder / "soak-qorhost.err").string(),
                {"QOR_REGISTRY_FILE=" + (run.Folder / "soak-registry.sqlite3").string()});
    const auto runEnd = host.Started() + std::chrono::seconds(run.Seconds);
    result.StartWallMs = WallMs();
    result.EndWallMs = result.StartWallMs + static_cast<std::int64_t>(run.Seconds) * 1000;
    const auto limit = runEnd + std::chrono::milliseconds(kStopLimitMs);
    long rssAtFixed = -1;
    double rssFixedAt = 0, hostCpu = 0, simCpu = 0, machine = 0, wall = 0;
    bool measured = false;
    const double machineBefore = MachineBusySeconds();
    const auto simCpuNow = [&sims] {
        double total = 0;
        for (const auto& sim : sims)
            total += StatCpuSeconds("/proc/" + std::to_string(sim->Pid()) + "/stat");
        return total;
    };
    const double simCpuBefore = simCpuNow();
    std::ofstream rssLog(run.Folder / "soak-rss.txt");
    std::size_t rssLines = 0;
    std::optional<int> exit;
    while (!(exit = host.WaitFor(kSampleMs))) {
        const auto now = Clock::now();
        if (now > limit)
            throw std::runtime_error("qorhost did not stop within " + std::to_string(kStopLimitMs / 1000) +
                                     " s of its duration");
        if (now > runEnd)
            continue;
        const double elapsed = std::chrono::duration<double>(now - host.Started()).count();
        const long rss = StatusKiB(host.Pid(), "VmRSS:");
        std::error_code ignored;
        const std::uintmax_t databaseBytes = std::filesystem::file_size(database, ignored);
        if (!ignored && databaseBytes >= kSqliteCacheBytes + kSqliteCacheBytes / 4)
            result.CacheFull = true;
        if (rss > 0) {
            result.RssEnd = rss;
            if (elapsed >= static_cast<double>(rssLines)) {
                rssLog << static_cast<long>(elapsed) << ' ' << rss << ' ' << StatusKiB(host.Pid(), "RssAnon:") << ' '
                       << StatusKiB(host.Pid(), "RssFile:") << ' ' << StatusKiB(host.Pid(), "RssShmem:") << '\n'
                       << std::flush;
                ++rssLines;
            }
            if (rssAtFixed < 0 && elapsed >= static_cast<double>(rssFrom)) {
                rssAtFixed = rss;
                rssFixedAt = elapsed;
            }
            if (!measured && elapsed >= static_cast<double>(rssFrom) && (result.CacheFull || result.Reloads > 0)) {
                measured = true;
                result.RssFrom = rss;
                result.RssFromAt = elapsed;
            }
            hostCpu = StatCpuSeconds("/proc/" + std::to_string(host.Pid()) + "/stat");
            simCpu = simCpuNow() - simCpuBefore;
            machine = MachineBusySeconds() - machineBefore;
            wall = elapsed;
        }
        const std::size_t next = result.Reloads + 1;
        const bool reloadDue = elapsed >= static_cast<double>(next * reloadEvery) && next * reloadEvery < run.Seconds &&
                               (run.Seconds >= 120 || result.Reloads > 0 || measured ||
                                elapsed >= static_cast<double>(run.Seconds) - 10);
        if (reloadDue) {
            result.Reloads = next;
            run.WriteRequestLists(next);
            // Log rotation: the file renamed, the host opens a new one by the name.
            const auto rotated = run.Folder / ("soak.jsonl." + std::to_string(next));
            std::filesystem::rename(run.Folder / "soak.jsonl", rotated);
            result.JsonFiles.push_back(rotated);
            host.Signal(SIGHUP);
            std::fprintf(stderr, "soak: reload %zu at %.0f s\n", next, elapsed);
        }
    }
    result.JsonFiles.push_back(run.Folder / "soak.jsonl");
    result.Exit = *exit;
    // A run too small to fill the cache is measured from the fixed point.
    if (!measured) {
        result.RssFrom = std::max(rssAtFixed, 0L);
        result.RssFromAt = rssFixedAt;
    }
    if (wall > 0) {
        result.HostCpuPct = hostCpu / wall * 100.0;
        result.SimCpuPct = simCpu / wall * 100.0;
        result.MachineCpuPct = machine / wall * 100.0;
    }
    return result;
}

} // namespace

int main(int argc, char** argv) try {
    TRun run;
    run.Seconds = 600;
    if (argc > 1) {
        char* end = nullptr;
        run.Seconds = std::strtoull(argv[1], &end, 10);
        if (argc > 2 || *end != '\0' || run.Seconds == 0) {
            std::fprintf(stderr, "usage: soak [SECONDS]\n");
            return 2;
        }
    }
    run.Seed = EnvCount("QOR_SOAK_SEED", 20260315);
    run.SpacingMs = EnvCount("QOR_SOAK_SPACING_MS", 15000);
    run.Rate = 0.2;
    if (const char* rate = std::getenv("QOR_SOAK_RATE"); rate != nullptr && *rate != '\0')
        run.Rate = std::clamp(std::strtod(rate, nullptr), 0.0, 1.0);
    const std::size_t sourceCount = std::max<std::uint64_t>(1, EnvCount("QOR_SOAK_SOURCES", 20));

    std::optional<host::TTempFolder> temporary;
    if (const char* keep = std::getenv("QOR_SOAK_DIR"); keep != nullptr && *keep != '\0') {
        run.Folder = std::filesystem::absolute(keep);
        std::filesystem::create_directories(run.Folder);
        for (const auto& entry : std::filesystem::directory_iterator(run.Folder))
            if (entry.path().filename().string().rfind("soak.", 0) == 0)
                std::filesystem::remove(entry.path());
    } else {
        temporary.emplace("soak");
        run.Folder = temporary->Path();
    }

    const truth::Table table = truth::Generate(run.Seed);
    run.Sources = MakeSources(table, sourceCount);
    WriteFile(run.Folder / "logix-tags.txt", table.Logix.TagText());
    WriteFile(run.Folder / "micro800-tags.txt", table.Micro800.TagText());
    WriteFile(run.Folder / "micrologix-tags.txt", table.MicroLogix.TagText());

    // A controller of its own for each data source, so that each fault is
    // the fault of one data source.
    std::vector<std::unique_ptr<TChild>> sims;
    for (std::size_t i = 0; i < run.Sources.size(); ++i) {
        TSoakSource& s = run.Sources[i];
        const std::string family = truth::FamilyName(s.Family);
        s.FaultLog = run.Folder / (s.Name + "-faults.txt");
        char chaos[64];
        std::snprintf(chaos, sizeof chaos, "%llu:%g", static_cast<unsigned long long>(run.Seed + i), run.Rate);
        sims.push_back(std::make_unique<TChild>(
            std::vector<std::string>{QOR_EIPSIM_PATH, "--port", "0", "--personality", family, "--tags",
                                     (run.Folder / (family + "-tags.txt")).string(), "--chaos", chaos,
                                     "--chaos-spacing-ms", std::to_string(run.SpacingMs), "--chaos-max-delay-ms",
                                     std::to_string(kMaxDelayMs), "--fault-log", s.FaultLog.string()},
            true, (run.Folder / (s.Name + "-eipsim.log")).string()));
    }
    for (std::size_t i = 0; i < sims.size(); ++i)
        run.Sources[i].Port = ListeningPort(*sims[i], kStartLimitMs);
    run.WriteRequestLists(0);
    const std::filesystem::path ini = run.Folder / "soak.ini";
    WriteFile(ini, ConfigText(run));

    std::fprintf(stderr, "soak: %zu data sources, a controller each, for %llu s; files in %s\n", run.Sources.size(),
                 static_cast<unsigned long long>(run.Seconds), run.Folder.c_str());
    const THostRun host = RunHost(run, sims, ini);

    std::map<std::string, const TSoakSource*> byName;
    std::map<std::string, std::vector<TFault>> faults;
    std::map<std::string, std::uint64_t> faultsByKind;
    std::uint64_t faultCount = 0;
    for (const TSoakSource& s : run.Sources) {
        byName[s.Name] = &s;
        faults[s.Name] = ReadFaultLog(s.FaultLog);
        for (const TFault& f : faults[s.Name]) {
            ++faultsByKind[f.Kind];
            ++faultCount;
        }
    }
    TChecked checked;
    CheckJsonLines(host.JsonFiles, byName, checked);
    CheckSqlite((run.Folder / "soak.sqlite3").string(), byName, checked);
    const std::vector<TGap> gaps = Gaps(run.Sources, checked, faults, host.EndWallMs);
    std::size_t silent = 0;
    for (const TSoakSource& s : run.Sources)
        if (checked.PacketTimes[s.Name].empty())
            ++silent;

    const long growth = host.RssEnd - host.RssFrom;
    const std::int64_t longest = gaps.empty() ? 0 : std::max<std::int64_t>(gaps.front().Beyond, 0);
    std::printf("soak_seconds=%llu\n", static_cast<unsigned long long>(run.Seconds));
    std::printf("soak_sources=%zu\n", run.Sources.size());
    std::printf("soak_packets=%llu\n", static_cast<unsigned long long>(checked.JsonPackets));
    std::printf("soak_packets_sqlite=%llu\n", static_cast<unsigned long long>(checked.SqlitePackets));
    std::printf("soak_values_checked=%zu\n", checked.Report.Checked());
    std::printf("soak_wrong_values=%zu\n", checked.Report.Failures());
    std::printf("soak_rss_from_s=%.0f\n", host.RssFromAt);
    std::printf("soak_rss_sqlite_cache_full=%d\n", host.CacheFull ? 1 : 0);
    std::printf("soak_rss_kib=%ld\n", host.RssEnd);
    std::printf("soak_rss_growth_kib=%ld\n", growth);
    std::printf("soak_rss_growth_bound_kib=%ld\n", kRssGrowthBoundKiB);
    std::printf("soak_longest_gap_ms=%lld\n", static_cast<long long>(longest));
    std::printf("soak_gap_bound_ms=%lld\n", static_cast<long long>(kGapBoundMs));
    std::printf("soak_faults=%llu\n", static_cast<unsigned long long>(faultCount));
    for (const auto& [kind, n] : faultsByKind) {
        std::string name = kind;
        std::replace(name.begin(), name.end(), '-', '_');
        std::printf("soak_faults_%s=%llu\n", name.c_str(), static_cast<unsigned long long>(n));
    }
    std::printf("soak_reloads=%zu\n", host.Reloads);
    std::printf("soak_host_cpu_pct=%.1f\n", host.HostCpuPct);
    std::printf("soak_sim_cpu_pct=%.1f\n", host.SimCpuPct);
    std::printf("soak_machine_cpu_pct=%.1f\n", host.MachineCpuPct);
    std::printf("soak_sources_silent=%zu\n", silent);
    std::printf("soak_host_exit=%d\n", host.Exit);
    std::fflush(stdout);

    for (std::size_t i = 0; i < gaps.size() && i < 5 && gaps[i].Beyond > 0; ++i)
        std::fprintf(stderr, "soak: gap of %s at %.1f s: %lld ms beyond its interval and faults (%s)\n",
                     gaps[i].Source.c_str(), static_cast<double>(gaps[i].FromMs - host.StartWallMs) / 1000.0,
                     static_cast<long long>(gaps[i].Beyond),
                     gaps[i].Faults.empty() ? "none" : gaps[i].Faults.c_str());
    if (checked.Report.Failures() > 0)
        std::fprintf(stderr, "soak: wrong values:\n%s", checked.Report.Summary(5).c_str());

    int status = 0;
    const auto fail = [&status](const std::string& why) {
        std::fprintf(stderr, "soak: FAILED: %s\n", why.c_str());
        status = 1;
    };
    if (checked.Report.Failures() > 0)
        fail(std::to_string(checked.Report.Failures()) + " wrong values");
    if (growth > kRssGrowthBoundKiB)
        fail("the host's memory grew by " + std::to_string(growth) + " KiB");
    if (longest > kGapBoundMs)
        fail("a data source went " + std::to_string(longest) + " ms without a packet beyond its faults");
    if (silent > 0)
        fail(std::to_string(silent) + " data sources never delivered a packet");
    if (checked.JsonPackets != checked.SqlitePackets)
        fail("the JSON lines and SQLite files do not hold the same packets");
    if (faultCount == 0)
        fail("no fault fired");
    if (host.Exit != 0)
        fail("qorhost exited with status " + std::to_string(host.Exit));
    return status;
} catch (const std::exception& e) {
    std::fprintf(stderr, "soak: %s\n", e.what());
    return 1;
}
