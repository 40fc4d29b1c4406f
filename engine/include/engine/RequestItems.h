// Request items: one configured read each (device path, address, element
// count, how the value is exported, and when it is sent), and the loader that
// builds them from the request list text the options dialog stores.
#pragma once

#include "common/ThreadObjectList.h"
#include "common/Variant.h"
#include "common/qorComponent.h"
#include "common/qorTimeout.h"
#include "eip/EIP_IdentityItem.h"
#include "logix/Logix_Values.h"
#include "plugins/qorPluginData.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

// How a request's answer is exported: under which names, scaled by what.
struct TResponseItem {
    std::uint32_t Reserved = 0;
    std::int32_t NameCount = 0;
    std::vector<std::string> Names;
    Variant DefaultValue; // the "Default" text as loaded; kept for the dialog, not used when exporting
    long double Scale = 0;
};

// One address of a request item and how its values are exported.
struct TAddressExport {
    std::string Address; // as written, with its bit part
    logix::TLogixNaming Naming;
};

class TRequestItem {
public:
    TRequestItem();
    TRequestItem(const TRequestItem&) = delete;
    TRequestItem& operator=(const TRequestItem&) = delete;

    bool Pending = false;           // its value list waits in PendingList for the combined packet
    bool Enabled = false;           // sent at all
    bool Refused = false;           // its device path does not read: never sent
    bool Busy = false;              // handed to the worker, answer not processed yet
    bool Skipped = false;           // given up on (timed out) in this cycle: counts as answered
    std::uint64_t Batch = 0;        // the hand-off it went out with (items read together share one)
    std::string Name;               // display name, also exported as "EIP_REQ"
    bool MethodPoll = false;        // true: polled; false: read once at start-up
    std::uint32_t PollInterval = 0; // ms
    std::uint32_t Timeout = 0;      // ms the scheduler waits for the answer
    std::string Device;             // route to the controller ("1,0")
    std::string Address;            // read address, with an optional bit suffix
    std::uint16_t Number = 0;       // elements to read
    std::uint16_t DataType = 0;     // CIP type code the user chose, 0 = none
    std::int32_t HeaderCount = 0;   // header items at the start of its last value list (0: none)
    std::unique_ptr<TParsedDataList> PendingList;
    std::shared_ptr<const eip::TIdentityItem> Identity; // of its last answer, for a header made later
    // The item's identity in worker commands and results: eight upper-case
    // hexadecimal digits. Drawn from a process-wide counter rather than from
    // the object's address, so an item made by a reload never takes the key of
    // a freed one whose late answer may still be queued.
    const std::string Key;
    TResponseItem Response;
    TTimeout RequestTimer; // since the last hand-off to the worker; cleared = never sent
    // The item's addresses in the order written, each with its export names;
    // made unique among the data source's items when the list is loaded.
    std::vector<TAddressExport> Exports;
    // The addresses as the worker reads them, joined by ";".
    std::string ReadText() const;
    // The last failure of each address (empty: none), so that a failure is
    // logged once per change rather than at every poll.
    std::vector<std::string> LastErrors;
};

// The request list of one data source; walked on the main thread under its lock.
using TRequestList = TThreadObjectList<TRequestItem>;

// Raised by the loader for request list text it cannot read at all.
class ERequestList : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the loaded list means for a data source's scheduler.
struct TRequestTiming {
    std::uint32_t Shortest = 0; // shortest interval of any item; 0 without items
    std::uint32_t Tick = 50;    // scheduler timer period
};

// The longest polling interval honoured, in ms (about 49.7 days); longer
// settings are clamped to it.
constexpr std::uint32_t kLongestPollInterval = 0xFFFFFFFF;

// Builds the items of the request list text into list (which is not cleared
// first). Unreadable XML raises ERequestList; empty text gives no items. An
// item that cannot be read is dropped and the others load. warn receives one
// line for each value the loader had to correct (may be empty).
TRequestTiming ReadRequestList(std::string_view xml, TRequestList& list,
                               const std::function<void(const std::string&)>& warn = {});

// The export names that an address gives when no names are configured, one per
// line: characters a name cannot hold are removed, and a device name of the
// file system at the start gets a "_" in front.
using logix::ExportNameFromAddress;

// Gives every address of the items its export names, in list order: its own
// configured name (the n-th name for the n-th address) or, without one, the
// name its address gives. Names that would repeat a name of an earlier address
// of the data source (ignoring ASCII case) are made unique: element numbers
// are first set off with "_" (SCADA11_1), then "_2", "_3", ... is added to the
// name (ITEM_2).
void AssignExportNames(TRequestList& list);
// The names an address declares to the host: its stem, or with several
// elements the stem and each element number.
std::vector<std::string> DeclaredNames(const TAddressExport& address);

// Splits configured export names at ";" and line breaks, trims each of blanks
// and control characters and drops the empty ones.
std::vector<std::string> SplitExportNames(std::string_view text);

// A data source as the loader sees it: its request list, the scheduler's
// timing fields and its timer. The polling data source derives from it.
class TRequestSource : public TComponent {
public:
    std::string_view ClassName() const override { return "TRequestSource"; }

    TRequestList RequestList;
    std::uint32_t TickInterval = 50;
    std::uint32_t MinInterval = 0; // ms between data packets
    bool ExportAll = true;         // one combined packet per poll cycle
    bool CombineRequests = true;   // items due together are read together (Logix)
    std::uint32_t ShortestInterval = 0;

    virtual void StopTimer() = 0;
    virtual void SetTimerInterval(std::uint32_t ms) = 0;
    // One scheduler tick; re-arms the timer.
    virtual void SchedulerTick() = 0;
};

} // namespace qor
