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

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace qor {

class TaPlugin;

// (base address, bit part) of an address: "Tag[3].5" gives ("Tag[3]", "5"),
// "Word#2:5" gives ("Word", "2:5"); without either form the whole address.
std::pair<std::string, std::string> SplitBitSpec(std::string_view address);

// The bits a bit part selects in a value of width bits: "5" bit 5, "2:5" bits
// 2 to 5, "5:2" bit 5, "4:99" bits 4 to width - 1; empty or unreadable: all.
std::pair<std::uint32_t, std::uint32_t> ParseBitRange(std::string_view bitPart, std::uint32_t width);

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
    void ProcessResults();

private:
    int SendToDevice(std::span<const std::uint8_t> bytes) override;
    void ReArm();
    // With "Export data for all requests at once": one packet once every
    // polling item has answered or been given up on in this cycle.
    void ExportCombined();
    void Deliver(TParsedDataList& list);
    // Adds the value items of one tag of a result for item.
    void AddTagValues(TRequestItem& item, const logix::TLogixTag& tag, bool single, std::string_view bitPart,
                      std::size_t tagIndex, TqorParamsList& params);
};

} // namespace qor
