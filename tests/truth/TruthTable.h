// The generated device tables of the truth test and what is read from them:
// a Logix controller (every atomic type at its extremes, arrays of one to three
// dimensions, BOOL arrays, bit strings, strings, the predefined structures,
// user types nested three deep, arrays of them, program-scoped tags), a
// Micro800 (atomic tags, a fragmented array, a short string) and a MicroLogix
// (N F B L T C R files), plus request lists that mix good and bad addresses and
// batches of addresses for `qorhost read` and `eiptool read`. Seeded and
// deterministic: one seed, one table.
#pragma once

#include "TruthModel.h"

#include <cstdint>
#include <string>
#include <vector>

namespace truth {

// A data source of the logger's run: a request list against one device.
struct Source {
    std::string Name;
    Device::Family Family = Device::Family::Logix;
    std::vector<Item> Items;
    bool ExportAll = false;
};

// One `qorhost read` call: addresses read with --number, names from the
// addresses (and the same addresses through eiptool read --count).
struct ReadBatch {
    std::string Name;
    Device::Family Family = Device::Family::Logix;
    std::uint16_t Number = 1;
    std::vector<std::string> Addresses;
    // Items as the command stores them (names derived from the addresses).
    std::vector<Item> AsItems() const;
};

struct Table {
    std::uint64_t Seed = 0;
    Device Logix;
    Device Micro800;
    Device MicroLogix;
    std::vector<Source> Sources;
    std::vector<ReadBatch> Reads;
    // Address texts eiptool reads as one ";" list (with --count 1).
    std::vector<std::string> ToolLists;

    const Device& DeviceOf(Device::Family f) const;
};

Table Generate(std::uint64_t seed);

// The qorhost data source type of a family.
std::string SourceType(Device::Family f);
std::string FamilyName(Device::Family f);

} // namespace truth
