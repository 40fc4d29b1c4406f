// One data source of the plug-in: its request items, its device worker, the
// scheduler that hands the items to the worker round-robin, and the export of
// the worker's results as data packets.
//
// Everything here runs on the host's main thread (timer ticks, the result
// window, the module's commands); the worker's result queue is the only
// structure shared with the worker.
#pragma once

#include "common/qorTimeout.h"
#include "common/qorTimerEx.h"
#include "common/qorWinHandle.h"
#include "engine/EipSyncThread.h"
#include "engine/RequestItems.h"
#include "logix/Logix_Address.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <memory>
#include <string>
#include <set>
#include <vector>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace qor {

class TaPlugin;

using logix::ParseBitRange;
using logix::SplitBitSpec;

class TSerialPortDM : public TRequestSource, private IDeviceChannel {
public:
    // The host address the worker's processor records; the host owns the
    // real connection, so it is only a name.
    static constexpr const char* kLoopbackHost = "127.0.0.1";

    explicit TSerialPortDM(TaPlugin& owner);
    ~TSerialPortDM() override;
    std::string_view ClassName() const override { return "TSerialPortDM"; }

    std::unique_ptr<TEipSyncThreadEx> Thd;
    TaPlugin& FOwner;
    TqorTimerEx Queue; // scheduler timer; Tag holds the cursor
    TWindowHandle NotifyWin;
    std::uint32_t SourceId = 0;
    std::string SourceName;
    std::string SourceFullName;
    TTimeout PauseTimer;
    bool PortClosed = false;
    TTimeout RxTimer;

    std::intptr_t Cursor() const { return Queue.Tag.load(); }

    // TRequestSource
    void StopTimer() override;
    void SetTimerInterval(std::uint32_t ms) override;
    void SchedulerTick() override;

    // The host reports the device channel open (again): the worker starts
    // afresh, and a request that went out while the channel was not open,
    // and so reached no device, is not waited for.
    void PortOpened();

    bool SendRequest(TRequestItem& item);
    // Several items in one read (one item: as SendRequest).
    bool SendRequests(const std::vector<TRequestItem*>& batch);
    void ProcessResults();

    // Addresses one combined read takes at most: a few Multiple Service
    // Packets, so that one read does not hold the items for long.
    static constexpr std::size_t kCombinedAddresses = 256;
    // The worker commands of one request: a connect (nothing while the
    // session is up) and the read.
    static constexpr std::size_t kConnectAndRead = 2;
    // How often the scheduler looks while nothing can go out.
    static constexpr std::uint32_t kIdleRecheckMs = 1000;

private:
    int SendToDevice(std::span<const std::uint8_t> bytes) override;
    // Hands the next due request (or requests read together) to the worker;
    // whether another may follow in this tick. Request list locked.
    bool HandOffNext(std::uint64_t now);
    void ReArm();
    // Milliseconds until an item falls due or a busy one times out (at most
    // a second).
    std::uint32_t NextWake();
    // With "Export data for all requests at once": one packet once every
    // polling item has answered or been given up on in this cycle.
    void ExportCombined();
    // Whether every polled item that is sent at all (enabled, its device
    // path reads) has answered in this cycle: its values wait in the
    // combined packet, or it answered nothing or was given up on. Looks
    // first where it last found one still out, which usually still is, so
    // the answers of a cycle cost one pass over the list, not one each.
    bool CycleAnswered();
    // Whether an item before index already waits in the combined packet.
    bool PendingBefore(std::size_t index);
    void Deliver(TParsedDataList& list);
    // The values of every address of a result that has some, under their
    // export names.
    void AddValues(TRequestItem& item, const TEipResult& result, TParsedDataList& packet);
    // The lower-case names a packet holds, viewed in its items (which stay
    // where they are while the packet lives). The set keeps its nodes in a
    // buffer of its own: a packet of a few hundred values allocates nothing
    // for them.
    class TNameSet {
    public:
        TNameSet() { names_.reserve(kExpected); }
        TNameSet(const TNameSet&) = delete;
        TNameSet& operator=(const TNameSet&) = delete;
        // Whether the name was new.
        bool Insert(std::string_view name) { return names_.insert(name).second; }

    private:
        static constexpr std::size_t kExpected = 256;
        alignas(std::max_align_t) std::array<std::byte, 16384> buffer_;
        std::pmr::monotonic_buffer_resource arena_{buffer_.data(), buffer_.size()};
        std::pmr::unordered_set<std::string_view> names_{&arena_};
    };
    // Appends an item to the packet under a name no other value of it has.
    void AddUnique(TParsedDataList& packet, TNameSet& names, std::unique_ptr<TqorParamsListItem> item);
    void AddUnique(TParsedDataList& packet, TNameSet& names, std::string_view name, Variant value);
    // Renames an item just added when the packet has its name already.
    void KeepNameUnique(TqorParamsListItem& added, TNameSet& names);
    // The items every packet starts with: the standard values, the device's
    // identity when known, the request's name and address; stamped readAt
    // (a local date and time; 0: now).
    void AddHeader(TParsedDataList& packet, const TRequestItem& item, double readAt = 0);
    // Logs each address whose outcome changed: a new failure (with its
    // reason), or a read that works again.
    void ReportOutcomes(TRequestItem& item, const TEipResult& result);
    // An item that cannot be sent as configured (its device path does not
    // read): logged once per reload, never sent.
    bool RefuseInvalid(TRequestItem& item);
    // Due items are read together (a Logix device, the setting on, and the
    // device has not refused Multiple Service Packets).
    bool Combining() const;
    // An item that can share a combined read: single elements of symbolic
    // addresses.
    static bool Combinable(const TRequestItem& item);
    // Names already warned about as given twice in one packet.
    std::set<std::string> warnedNames_;
    bool combineRefused_ = false;
    // Hand-offs to the worker so far (each busy item keeps its own).
    std::uint64_t batches_ = 0;
    // The last answer brought every value it asked for: while that holds,
    // the next request may wait in the worker's queue behind the one on the
    // wire (see SchedulerTick).
    bool answering_ = false;
    std::uint64_t failedBatch_ = 0;
    // Where the search for the next result's item starts: results come back
    // in the order their items were handed over, so usually right there.
    std::size_t resultHint_ = 0;
    std::size_t outstandingHint_ = 0; // an item CycleAnswered found still out
    std::size_t pendingHint_ = 0;     // an item found waiting in the combined packet
    std::string validRoute_; // the device path last found to read ...
    bool routeChecked_ = false; // ... once there is one
};

} // namespace qor
