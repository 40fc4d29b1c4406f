// The truth test: generated tables in three simulated controllers (Logix,
// Micro800, MicroLogix) on loopback, read through the real programs as a user
// runs them (qorhost run with request lists, qorhost read, eiptool read), and
// every exported name and value (the logger's JSONL and SQLite outputs both)
// compared with the generator's truth: no
// value under another's name, no name twice in a packet, failed addresses
// without values while the others of the same request still come, eiptool and
// the logger agreeing, and with random faults the values that do arrive still
// right.
//
// It takes a few minutes and checks the whole value path, so it runs when
// QOR_TRUTH=1 (QOR_TRUTH_SEED picks another table; QOR_TRUTH_KEEP=1 keeps the
// files of the run). Under the sanitizers it runs a shorter pass without the
// random faults: the instrumented programs are several times slower, and the
// fault pass would only measure time-outs.
#include "../platform/SettingsTestSupport.h"
#include "CliProcess.h"
#include "TruthCheck.h"
#include "TruthTable.h"

#include "sim/SimController.h"
#include "sim/TagFile.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using truth::Device;
using truth::Report;

constexpr bool Sanitized =
#ifdef QOR_TRUTH_SANITIZED
    true;
#else
    false;
#endif

bool Enabled() {
    const char* v = std::getenv("QOR_TRUTH");
    return v != nullptr && std::string(v) == "1";
}

std::uint64_t Seed() {
    const char* v = std::getenv("QOR_TRUTH_SEED");
    return v != nullptr ? std::strtoull(v, nullptr, 0) : 20260315;
}

// The files of a run; kept with QOR_TRUTH_KEEP=1.
class Folder : public settings_test::TempFolder {
public:
    Folder() {
        const char* keep = std::getenv("QOR_TRUTH_KEEP");
        if (keep != nullptr && std::string(keep) == "1") {
            Keep();
            std::printf("truth: files kept in %s\n", Path().string().c_str());
        }
    }
};

// A program run to its end (killed after the limit).
struct Ran {
    int Code = -1;
    std::vector<std::string> Out;
    std::string Err;
};

Ran RunProgram(std::vector<std::string> args, std::chrono::seconds limit) {
    clitest::TChild child(std::move(args));
    Ran ran;
    if (!child.Started())
        return ran;
    child.WaitForLine(
        0, [](const std::string&) { return false; }, limit);
    child.Signal(SIGKILL); // gone already unless it overran the limit
    ran.Code = child.Wait();
    ran.Out = child.Lines(0);
    ran.Err = child.Text(1);
    return ran;
}

// The three controllers loaded with the table.
class Plant {
public:
    Plant(const truth::Table& table, std::optional<sim::ChaosConfig> chaos) {
        for (const Device* d : {&table.Logix, &table.Micro800, &table.MicroLogix}) {
            sim::SimConfig config;
            config.Device.Family = d->Personality == Device::Family::Logix ? sim::Personality::Logix
                                   : d->Personality == Device::Family::Micro800
                                       ? sim::Personality::Micro800
                                       : sim::Personality::MicroLogix;
            config.Device.Identity = sim::DefaultIdentity(config.Device.Family);
            auto plc = std::make_unique<sim::SimController>(config);
            sim::LoadTagText(d->TagText(), plc->Tags(), plc->Files());
            if (chaos) {
                sim::ChaosConfig own = *chaos;
                own.Seed += plcs_.size();
                plc->Faults().SetChaos(own);
            }
            plc->Start();
            plcs_.push_back(std::move(plc));
        }
    }
    sim::SimController& Of(Device::Family f) { return *plcs_[static_cast<std::size_t>(f)]; }
    std::uint64_t Faults() const {
        std::uint64_t total = 0;
        for (const auto& p : plcs_)
            total += p->Faults().TotalHits();
        return total;
    }
    std::string FaultCounts() const {
        std::string out;
        for (std::size_t k = 0; k < sim::FaultKindCount; ++k) {
            std::uint64_t n = 0;
            for (const auto& p : plcs_)
                n += p->Faults().Hits(static_cast<sim::FaultKind>(k));
            if (n > 0)
                out += " " + std::string(sim::FaultKindName(static_cast<sim::FaultKind>(k))) + "=" +
                       std::to_string(n);
        }
        return out;
    }
    std::uint64_t Restarts() const {
        std::uint64_t n = 0;
        for (const auto& p : plcs_)
            n += p->Counters().Restarts;
        return n;
    }

private:
    std::vector<std::unique_ptr<sim::SimController>> plcs_;
};

truth::SourceTruth TruthOf(const Device& device, const std::string& name,
                           const std::vector<truth::Item>& items, bool exportAll) {
    truth::SourceTruth s;
    s.Name = name;
    s.ExportAll = exportAll;
    s.ProductName = device.ProductName;
    s.Items = truth::ComputeTruth(device, items, truth::Reader::Engine);
    s.Index();
    return s;
}

// The truth points into the items: they must outlive it.
truth::SourceTruth TruthOf(const Device&, const std::string&, std::vector<truth::Item>&&, bool) = delete;

std::string Endpoint(sim::SimController& plc) {
    return "127.0.0.1:" + std::to_string(plc.Port());
}

// Lines of a log that name the address (a word of its own: not the start of a
// longer name).
std::size_t LinesNaming(const std::string& log, const std::string& address, const std::string& source) {
    std::size_t count = 0;
    std::istringstream lines(log);
    // The data source's lines say "<source>: ..."; the same request list runs
    // in more than one data source.
    const std::string said = source + ": ";
    for (std::string line; std::getline(lines, line);) {
        const std::size_t by = line.find(said);
        if (by == std::string::npos || (by > 0 && (std::isalnum(static_cast<unsigned char>(line[by - 1])) ||
                                                  line[by - 1] == '_' || line[by - 1] == '-')))
            continue;
        for (std::size_t at = line.find(address); at != std::string::npos; at = line.find(address, at + 1)) {
            const std::size_t end = at + address.size();
            const auto wordChar = [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
            };
            if ((at == 0 || !wordChar(line[at - 1])) && (end == line.size() || !wordChar(line[end]))) {
                ++count;
                break;
            }
        }
    }
    return count;
}

// A value of the SQLite output as the JSONL output writes it, so that one
// check judges both: numbers as numbers (a Boolean's 1 or 0 as true or false),
// and text as a string, except the text SQLite keeps in place of a number
// (arrays as JSON, integers beyond its range) that is written out as it is.
std::string SqliteValueJson(sqlite3_stmt* row, int column, const std::string& type) {
    switch (sqlite3_column_type(row, column)) {
    case SQLITE_NULL:
        return "null";
    case SQLITE_INTEGER: {
        const sqlite3_int64 n = sqlite3_column_int64(row, column);
        if (type == "Boolean")
            return n != 0 ? "true" : "false";
        return std::to_string(n);
    }
    case SQLITE_FLOAT: {
        char text[32];
        const auto end = std::to_chars(text, text + sizeof text, sqlite3_column_double(row, column)).ptr;
        return std::string(text, end);
    }
    default: {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(row, column));
        const std::string text(bytes != nullptr ? bytes : "", static_cast<std::size_t>(sqlite3_column_bytes(row, column)));
        const bool asIs = type.rfind("Array of ", 0) == 0 || type == "UInt64";
        return asIs ? text : truth::JsonQuote(text);
    }
    }
}

// The packets of the SQLite output as JSON lines, rebuilt from its rows in
// the order their numbers give: a packet is the rows of one data source and
// receive time from a DATE_TIME_STAMP (every packet's first value) to the next.
std::vector<std::string> SqlitePackets(const std::string& file, std::string& error) {
    std::vector<std::string> packets;
    sqlite3* db = nullptr;
    sqlite3_stmt* row = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, "SELECT source, time_ms, item, value, type FROM samples ORDER BY rowid", -1, &row,
                           nullptr) != SQLITE_OK) {
        error = db != nullptr ? sqlite3_errmsg(db) : "cannot open";
        sqlite3_close(db);
        return packets;
    }
    const auto text = [&](int column) {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(row, column));
        return std::string(bytes != nullptr ? bytes : "");
    };
    std::string source;
    sqlite3_int64 time = -1;
    while (sqlite3_step(row) == SQLITE_ROW) {
        const std::string item = text(2);
        if (packets.empty() || item == "DATE_TIME_STAMP" || text(0) != source || sqlite3_column_int64(row, 1) != time) {
            if (!packets.empty())
                packets.back() += "}";
            packets.emplace_back("{");
            source = text(0);
            time = sqlite3_column_int64(row, 1);
        } else {
            packets.back() += ",";
        }
        packets.back() += truth::JsonQuote(item) + ":" + SqliteValueJson(row, 3, text(4));
    }
    if (!packets.empty())
        packets.back() += "}";
    sqlite3_finalize(row);
    sqlite3_close(db);
    return packets;
}

// Whether each address's values all came right, per reader, for the cross-check.
using Verdicts = std::map<std::string, bool>;

class TruthRun {
public:
    TruthRun(const truth::Table& table, bool faults) : table_(table), faults_(faults) {}

    // qorhost run with every data source's request list.
    void Logger(Plant& plant, const Folder& folder, std::chrono::seconds duration) {
        std::string ini = "[host]\noutputs = jsonl:" + folder.Path("packets.jsonl") + ", sqlite:" +
                          folder.Path("packets.db") +
                          "\nlog file = " + folder.Path("run.log") + "\n";
        std::map<std::string, truth::SourceTruth> truths;
        std::vector<truth::Item> stored;
        // Each Logix request list twice: its due items read together (the
        // default) and each item alone.
        std::vector<std::pair<truth::Source, bool>> sources;
        for (const truth::Source& s : table_.Sources) {
            sources.emplace_back(s, true);
            if (s.Family == truth::Device::Family::Logix) {
                truth::Source alone = s;
                alone.Name += "-alone";
                sources.emplace_back(std::move(alone), false);
            }
        }
        for (const auto& [s, combine] : sources) {
            const std::string list =
                folder.Write(s.Name + ".xml", truth::RequestListXml(s.Items, 1000, 1000));
            ini += "\n[" + s.Name + "]\ntype = " + truth::SourceType(s.Family) +
                   "\ndevice = " + Endpoint(plant.Of(s.Family)) + "\nrequests = " + list +
                   "\nexport at once = " + (s.ExportAll ? "1" : "0") +
                   "\ncombine requests = " + (combine ? "1" : "0") + "\n";
            truths.emplace(s.Name, TruthOf(table_.DeviceOf(s.Family), s.Name, s.Items, s.ExportAll));
        }
        const std::string config = folder.Write("run.ini", ini);
        const Ran ran = RunProgram(
            {QORHOST_PATH, "run", "--config", config, "--duration", std::to_string(duration.count())},
            duration + 120s);
        if (ran.Code != 0)
            report_.Fail({"qorhost run: exit status " + std::to_string(ran.Code), "run", "", "", "0",
                          ran.Err.substr(0, 400)});
        std::vector<std::string> lines;
        std::istringstream jsonl(folder.Read("packets.jsonl"));
        for (std::string line; std::getline(jsonl, line);)
            lines.push_back(std::move(line));
        std::map<std::string, truth::Arrivals> arrivals;
        std::printf("truth: qorhost run %s: %zu packets, %zu values right\n", faults_ ? "with faults" : "",
                    lines.size(), Judge("run", lines, truths, arrivals));
        // The same packets in the SQLite output, every value right.
        std::string error;
        const std::vector<std::string> rebuilt = SqlitePackets(folder.Path("packets.db"), error);
        if (!error.empty())
            report_.Fail({"sqlite output: cannot be read", "run", "", "", "", error});
        if (rebuilt.size() != lines.size())
            report_.Fail({"sqlite output: not the packets the jsonl output has", "run", "", "",
                          std::to_string(lines.size()) + " packets", std::to_string(rebuilt.size()) + " packets"});
        std::map<std::string, truth::Arrivals> storedArrivals;
        std::printf("truth: sqlite output: %zu packets, %zu values right\n", rebuilt.size(),
                    Judge("sqlite", rebuilt, truths, storedArrivals));
        if (faults_)
            return;
        // The log file holds what standard error showed, each line once.
        const std::string log = folder.Read("run.log");
        for (const auto& [name, t] : truths) {
            truth::CheckCompleteness("run:" + name, t, arrivals[name], report_);
            truth::CheckCompleteness("sqlite:" + name, t, storedArrivals[name], report_);
            for (const truth::ItemTruth& item : t.Items)
                for (const truth::Outcome& o : item.Addresses) {
                    if (o.Ok)
                        continue;
                    // Named, and once per change: the item failed the same way
                    // at every poll of the run.
                    const std::size_t lines = LinesNaming(log, o.Address, name);
                    if (lines == 0)
                        report_.Fail({"failed address not named in the log", "run:" + name, o.Address, "", "",
                                      "", o.Kind});
                    else if (lines > 2)
                        report_.Fail({"the same failure logged at every poll, not once per change",
                                      "run:" + name, o.Address, "", "at most 2 lines",
                                      std::to_string(lines) + " lines", o.Kind});
                }
        }
    }

    // qorhost read of every batch; the engine's verdict per address.
    void Reads(Plant& plant, std::size_t limit) {
        std::size_t done = 0;
        for (const truth::ReadBatch& batch : table_.Reads) {
            if (done++ >= limit)
                break;
            const Device& device = table_.DeviceOf(batch.Family);
            const std::vector<truth::Item> items = batch.AsItems();
            const truth::SourceTruth t = TruthOf(device, "device", items, false);
            std::vector<std::string> args{QORHOST_PATH, "read",
                                          "--device",   Endpoint(plant.Of(batch.Family)),
                                          "--type",     truth::SourceType(batch.Family),
                                          "--number",   std::to_string(batch.Number),
                                          "--interval", "100",
                                          "--wait",     faults_ ? "40" : "8",
                                          "--format",   "jsonl"};
            if (batch.Family != Device::Family::Logix) {
                args.push_back("--path");
                args.push_back("");
            }
            for (const std::string& a : batch.Addresses)
                args.push_back(a);
            const Ran ran = RunProgram(args, 150s);
            if (ran.Code != 0 && !faults_)
                report_.Fail({"qorhost read: exit status " + std::to_string(ran.Code), "read:" + batch.Name,
                              "", "", "0", ran.Err.substr(0, 300)});
            truth::Arrivals arrivals;
            for (const std::string& line : ran.Out)
                truth::CheckPacket("read:" + batch.Name, t, line, faults_, report_, arrivals);
            if (!faults_)
                truth::CheckCompleteness("read:" + batch.Name, t, arrivals, report_);
            values_ += arrivals.Values;
            // One verdict per address: right when every one of its names came right.
            for (const truth::ItemTruth& item : t.Items) {
                bool right = arrivals.PacketsOfItem.count("device/" + item.Source->Caption) != 0;
                for (const auto& [name, value] : item.Addresses[0].Values)
                    right = right && arrivals.NamesSeen.count("device/" + name) != 0;
                engine_[FamilyKey(batch.Family) + item.Source->Address + "#" + std::to_string(batch.Number)] =
                    right;
            }
        }
    }

    // A request whose first address is unknown: the second still comes, also
    // from a device that closes the connection after the error.
    void FailureBatch(Plant& plant) {
        sim::SimConfig config;
        sim::SimController closing(config);
        sim::LoadTagText(table_.Logix.TagText(), closing.Tags(), closing.Files());
        closing.Faults().Add(sim::FaultRule(sim::FaultKind::CloseAfterError, sim::FaultRule::Always));
        closing.Start();
        for (sim::SimController* plc : {&plant.Of(Device::Family::Logix), &closing}) {
            const bool closes = plc == &closing;
            const std::string where = closes ? "read:closes-after-error" : "read:failure";
            truth::ReadBatch batch;
            batch.Number = 1;
            batch.Addresses = {"Missing_Tag", "Dint_Hi", "Top.Nope", "Real_Tenth"};
            const std::vector<truth::Item> items = batch.AsItems();
            const truth::SourceTruth t = TruthOf(table_.Logix, "device", items, false);
            std::vector<std::string> args{QORHOST_PATH, "read",   "--device", Endpoint(*plc), "--interval",
                                          "100",        "--wait", "6",        "--format",     "jsonl"};
            args.insert(args.end(), batch.Addresses.begin(), batch.Addresses.end());
            const Ran ran = RunProgram(args, 60s);
            if (ran.Code != 1)
                report_.Fail({"qorhost read of failing addresses: exit status " + std::to_string(ran.Code),
                              where, "", "", "1", ""});
            truth::Arrivals arrivals;
            for (const std::string& line : ran.Out)
                truth::CheckPacket(where, t, line, false, report_, arrivals);
            truth::CheckCompleteness(where, t, arrivals, report_);
            values_ += arrivals.Values;
            for (const std::string& bad : {std::string("Missing_Tag"), std::string("Top.Nope")})
                if (ran.Err.find(bad) == std::string::npos)
                    report_.Fail({"failed address not named in the log", where, bad, "", "", ""});
        }
        if (closing.Faults().Hits(sim::FaultKind::CloseAfterError) == 0)
            report_.Fail({"the closing device was never asked for a failing address",
                          "read:closes-after-error", "", "", "", ""});
        faults_fired_ += closing.Faults().TotalHits();
    }

    // eiptool read of every batch address, and the lists.
    void Tool(Plant& plant, std::size_t limit) {
        std::size_t calls = 0;
        auto run = [&](const truth::ReadBatch& batch, const std::string& address, std::uint16_t count,
                       std::uint16_t type) {
            const Device& device = table_.DeviceOf(batch.Family);
            truth::Item item;
            item.Address = address;
            item.Names = std::string();
            item.Number = count;
            item.DataType = type;
            const auto truths = truth::ComputeTruth(device, {item}, truth::Reader::Tool);
            const auto& outcomes = truths[0].Addresses;
            std::vector<std::string> args{EIPTOOL_PATH, "--json",
                                          "--port",     std::to_string(plant.Of(batch.Family).Port()),
                                          "--family",   truth::FamilyName(batch.Family),
                                          "--timeout",  faults_ ? "1000" : "5000"};
            if (batch.Family != Device::Family::Logix) {
                args.push_back("--path");
                args.push_back("");
            }
            args.insert(args.end(), {"127.0.0.1", "read", address, "--count", std::to_string(count)});
            if (type != 0) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(type));
                args.insert(args.end(), {"--type", hex});
            }
            const Ran ran = RunProgram(args, 60s);
            ++calls;
            const bool anyFails =
                std::any_of(outcomes.begin(), outcomes.end(), [](const auto& o) { return !o.Ok; });
            if (!faults_ && ran.Code != (anyFails ? 1 : 0))
                report_.Fail({"eiptool: exit status " + std::to_string(ran.Code), "eiptool", address, "",
                              anyFails ? "1" : "0", ran.Err.substr(0, 200)});
            if (ran.Out.size() != outcomes.size()) {
                if (!faults_ || ran.Code == 0)
                    report_.Fail({"eiptool: not one line per address", "eiptool", address, "",
                                  std::to_string(outcomes.size()) + " lines",
                                  std::to_string(ran.Out.size())});
                return;
            }
            for (std::size_t i = 0; i < outcomes.size(); ++i) {
                const bool right =
                    truth::CheckToolLine("eiptool", outcomes[i], ran.Out[i], faults_, report_, values_);
                if (outcomes.size() == 1)
                    tool_[FamilyKey(batch.Family) + address + "#" + std::to_string(count)] = right;
            }
        };
        for (const truth::ReadBatch& batch : table_.Reads)
            for (const std::string& address : batch.Addresses) {
                if (calls >= limit)
                    return;
                run(batch, address, batch.Number, 0);
            }
        truth::ReadBatch logix;
        for (const std::string& list : table_.ToolLists)
            run(logix, list, 1, 0);
        for (const char* bad : {"Missing_Tag", "Counts[", "Tag.", "ArrInt[99]", "Tops.Code", "@1/1/1/99"})
            run(logix, bad, 1, 0);
        run(logix, "@1/1/1", 1, 0xC7);
        run(logix, "@1/1/6", 1, 0xC8);
        run(logix, "@1/1/7", 1, 0xDA);
        run(logix, "ArrInt[8]", 3, 0);
    }

    // The logger and eiptool agree on every address both read.
    void CrossCheck() {
        for (const auto& [key, engineRight] : engine_) {
            const auto it = tool_.find(key);
            if (it != tool_.end() && it->second != engineRight)
                report_.Fail({"engine and eiptool disagree", "cross-check", key.substr(key.find(':') + 1), "",
                              engineRight ? "eiptool wrong" : "engine wrong", ""});
        }
    }

    Report& Results() { return report_; }
    std::size_t Values() const { return values_; }
    std::uint64_t ExtraFaults() const { return faults_fired_; }

private:
    static std::string FamilyKey(Device::Family f) { return truth::FamilyName(f) + ":"; }

    // Judges an output's packets (JSON lines) by the truths of the data
    // sources they name; the number of values that came right.
    std::size_t Judge(const std::string& output, const std::vector<std::string>& lines,
                      const std::map<std::string, truth::SourceTruth>& truths,
                      std::map<std::string, truth::Arrivals>& arrivals) {
        for (const std::string& line : lines) {
            const auto packet = truth::ParseJson(line);
            const truth::JValue* source = packet ? packet->Find("DATA_SOURCE_NAME") : nullptr;
            const auto it = source ? truths.find(source->Text) : truths.end();
            if (it == truths.end()) {
                report_.Fail({output + " output: a packet of no configured data source", output, "", "", "",
                              line.substr(0, 200)});
                continue;
            }
            truth::CheckPacket(output + ":" + it->first, it->second, line, faults_, report_, arrivals[it->first]);
        }
        std::size_t right = 0;
        for (const auto& [name, a] : arrivals)
            right += a.Values;
        values_ += right;
        return right;
    }

    const truth::Table& table_;
    bool faults_;
    Report report_;
    std::size_t values_ = 0;
    std::uint64_t faults_fired_ = 0;
    Verdicts engine_;
    Verdicts tool_;
};

void Summarise(const char* pass, TruthRun& run, std::uint64_t faults, const std::string& counts) {
    Report& r = run.Results();
    std::printf("truth: %s: %zu values checked, %zu right, %llu faults fired%s, %zu failures\n", pass,
                r.Checked(), run.Values(), static_cast<unsigned long long>(faults), counts.c_str(),
                r.Failures());
    if (r.Failures() > 0)
        std::printf("%s", r.Summary(5).c_str());
    std::fflush(stdout);
}

TEST(TruthTest, EveryValueUnderItsOwnNameWithoutFaults) {
    if (!Enabled())
        GTEST_SKIP() << "the truth test runs with QOR_TRUTH=1 (minutes; the whole value path)";
    const truth::Table table = truth::Generate(Seed());
    Folder folder;
    folder.Write("logix-tags.txt", table.Logix.TagText());
    folder.Write("micro800-tags.txt", table.Micro800.TagText());
    folder.Write("micrologix-tags.txt", table.MicroLogix.TagText());
    Plant plant(table, std::nullopt);
    TruthRun run(table, false);
    run.Logger(plant, folder, Sanitized ? 15s : 12s);
    run.Reads(plant, Sanitized ? 4 : table.Reads.size());
    run.FailureBatch(plant);
    run.Tool(plant, Sanitized ? 20 : 100000);
    run.CrossCheck();
    Summarise("without faults", run, plant.Faults() + run.ExtraFaults(), "");
    EXPECT_GT(run.Values(), 1000u);
    EXPECT_EQ(run.Results().Failures(), 0u) << "seed " << table.Seed;
}

TEST(TruthTest, ValuesThatArriveUnderFaultsAreRight) {
    if (!Enabled())
        GTEST_SKIP() << "the truth test runs with QOR_TRUTH=1 (minutes; the whole value path)";
    if (Sanitized)
        GTEST_SKIP() << "random faults only in the normal build: under the sanitizers they measure time-outs";
    const truth::Table table = truth::Generate(Seed());
    Folder folder;
    sim::ChaosConfig chaos;
    chaos.Seed = Seed();
    chaos.Rate = 0.02;
    // A restart costs every data source its connection and the host backs
    // off: drawn seldom, the other kinds often.
    chaos.Kinds = {sim::FaultKind::Silent,
                   sim::FaultKind::Delay,
                   sim::FaultKind::Delay,
                   sim::FaultKind::Split,
                   sim::FaultKind::Split,
                   sim::FaultKind::Truncate,
                   sim::FaultKind::Garbage,
                   sim::FaultKind::WrongLength,
                   sim::FaultKind::Close,
                   sim::FaultKind::CloseAfterError,
                   sim::FaultKind::RefuseForwardOpen,
                   sim::FaultKind::Restart};
    Plant plant(table, chaos);
    TruthRun run(table, true);
    run.Logger(plant, folder, 25s);
    run.Reads(plant, 3);
    run.Tool(plant, 40);
    Summarise("with random faults", run, plant.Faults(), plant.FaultCounts());
    std::printf("truth: %llu listener restarts\n", static_cast<unsigned long long>(plant.Restarts()));
    EXPECT_GT(plant.Faults(), 10u);
    EXPECT_GT(run.Values(), 100u);
    EXPECT_EQ(run.Results().Failures(), 0u) << "seed " << table.Seed;
}

} // namespace
