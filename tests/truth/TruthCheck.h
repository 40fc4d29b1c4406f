// Checks what the real programs printed against the truth, and keeps a report
// of every mismatch (where, address, name, expected, got), grouped by cause.
#pragma once

#include "TruthModel.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace truth {

struct Failure {
    Failure(std::string cause, std::string where, std::string address, std::string name, std::string expected,
            std::string got, std::string kind = {})
        : Cause(std::move(cause)), Where(std::move(where)), Address(std::move(address)),
          Name(std::move(name)), Expected(std::move(expected)), Got(std::move(got)), Kind(std::move(kind)) {}

    std::string Cause;
    std::string Where; // "run:lists2", "read:logix-read-1", "eiptool"
    std::string Address;
    std::string Name;
    std::string Expected;
    std::string Got;
    std::string Kind; // of the read address, as the truth sorts it
};

class Report {
public:
    void Fail(Failure f);
    void Count(std::size_t values = 1) { checked_ += values; }
    std::size_t Checked() const { return checked_; }
    std::size_t Failures() const { return failures_.size(); }
    std::size_t FailuresOf(const std::string& causePrefix) const;
    // Every cause with its count, by the kind of address read, and the first
    // `examples` distinct failures of each (the same failure repeats in every
    // packet of a polled item).
    std::string Summary(std::size_t examples) const;

private:
    std::vector<Failure> failures_;
    std::size_t checked_ = 0;
};

// Keys every data packet carries besides the values.
bool IsHeaderKey(const std::string& key);

// One data source's truth, indexed for the packets.
struct SourceTruth {
    std::string Name;
    bool ExportAll = false;
    std::string ProductName;
    std::vector<ItemTruth> Items;
    std::map<std::string, const ItemTruth*> ByCaption;
    struct Named {
        const ItemTruth* Item = nullptr;
        const Outcome* Address = nullptr;
        const Expect* Value = nullptr;
    };
    // Every value name of every item.
    std::map<std::string, Named> ByName;

    void Index();
};

// What arrived over a run, for the completeness checks.
struct Arrivals {
    std::map<std::string, std::size_t> PacketsOfItem; // by "source/caption"
    std::set<std::string> NamesSeen;                  // "source/name"
    std::size_t Values = 0;                           // values that arrived and were right
};

// Checks one data packet (a JSON line of the jsonl output or of qorhost
// read). faults: the device misbehaves on purpose, so a packet may lack the
// values of addresses whose read failed.
void CheckPacket(const std::string& where, const SourceTruth& source, const std::string& line, bool faults,
                 Report& report, Arrivals& arrivals);

// After a run without faults: every item delivered and every name seen.
void CheckCompleteness(const std::string& where, const SourceTruth& source, const Arrivals& arrivals,
                       Report& report);

// One line of `eiptool --json read` for an address: its values or its error.
// Returns whether the line held the address's right values (or the error it
// must give).
bool CheckToolLine(const std::string& where, const Outcome& truth, const std::string& line, bool faults,
                   Report& report, std::size_t& values);

} // namespace truth
