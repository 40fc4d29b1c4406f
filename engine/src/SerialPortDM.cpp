// The data source's scheduler: which request goes to the worker next.
#include "engine/SerialPortDM.h"

#include "engine/PluginDM.h"

#include <charconv>

namespace qor {

std::pair<std::string, std::string> SplitBitSpec(std::string_view address) {
    for (std::size_t i = address.size(); i-- > 0;) {
        if (address[i] == '#') {
            if (i == 0)
                break;
            return {std::string(address.substr(0, i)), std::string(address.substr(i + 1))};
        }
        if (address[i] == ']') {
            std::string_view bits = address.substr(i + 1);
            if (!bits.empty() && bits.front() == '.')
                bits.remove_prefix(1);
            return {std::string(address.substr(0, i + 1)), std::string(bits)};
        }
    }
    return {std::string(address), {}};
}

std::pair<std::uint32_t, std::uint32_t> ParseBitRange(std::string_view bitPart, std::uint32_t width) {
    if (width == 0)
        return {0, 0};
    std::uint32_t first = 0, last = width - 1;
    if (bitPart.empty())
        return {first, last};
    const auto field = [](std::string_view text, std::uint32_t& value) {
        while (!text.empty() && text.front() == ' ')
            text.remove_prefix(1);
        while (!text.empty() && text.back() == ' ')
            text.remove_suffix(1);
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        return !text.empty() && ec == std::errc() && ptr == text.data() + text.size();
    };
    const std::size_t colon = bitPart.find(':');
    std::uint32_t value = 0;
    if (!field(bitPart.substr(0, colon), value) || value >= width)
        return {first, last};
    first = value;
    if (colon == std::string_view::npos)
        return {first, first};
    last = field(bitPart.substr(colon + 1), value) && value < width ? value : width - 1;
    if (last < first)
        last = first;
    return {first, last};
}

TSerialPortDM::TSerialPortDM(TaPlugin& owner) : FOwner(owner) {
    RxTimer.Clear();
    PauseTimer.Clear();
    NotifyWin.OnMessage = [this](platform::UINT msg, platform::WPARAM, bool& handled, platform::LPARAM) {
        if (msg != WM_EIP_RESULT)
            return platform::LRESULT{0};
        handled = true;
        SchedulerTick();
        return platform::LRESULT{0};
    };
    const platform::HWND window = NotifyWin.GetHandle();
    MinInterval = 0;
    TickInterval = 50;
    ShortestInterval = 0;
    Queue.SetEnabled(false);
    Queue.Tag = -1;
    Queue.SetInterval(50);
    Queue.SetOnTimer([this](TqorTimerEx&) { SchedulerTick(); });
    Thd = std::make_unique<TEipSyncThreadEx>(
        static_cast<IDeviceChannel*>(this), window, [&owner](int level, const std::string& text) { owner.Log(level, text); },
        owner.TextRes ? owner.TextRes->OperationFailed : std::string("Operation failed (%s, %s)"));
}

TSerialPortDM::~TSerialPortDM() {
    Queue.SetEnabled(false);
    Queue.SetOnTimer({});
    if (Thd) {
        // Queued commands go unexecuted, and one waiting for the device is
        // woken at once rather than after the session's time-out.
        Thd->Terminate();
        Thd->Stop(true);
        Thd->Queue.Clear();
        constexpr std::uint32_t kSlice = 250, kLimit = 30000;
        for (std::uint32_t waited = 0; waited < kLimit; waited += kSlice) {
            Thd->AbortWait();
            if (Thd->WaitFor(kSlice, false))
                break;
        }
        Thd.reset();
    }
    NotifyWin.DestroyHandle();
}

int TSerialPortDM::SendToDevice(std::span<const std::uint8_t> bytes) {
    return FOwner.SendToHost(SourceId, bytes);
}

void TSerialPortDM::StopTimer() { Queue.SetEnabled(false); }

void TSerialPortDM::SetTimerInterval(std::uint32_t ms) { Queue.SetInterval(ms); }

std::uint32_t TSerialPortDM::NextWake() {
    constexpr std::uint64_t kLongest = 1000;
    std::uint64_t wake = kLongest;
    if (PauseTimer.StartTick != 0)
        wake = std::min(wake, PauseTimer.Remaining());
    TRequestList::SectionLock lock(RequestList);
    const std::uint64_t now = PauseTimer.Now();
    const auto left = [now](const TTimeout& timer, std::uint32_t ms) -> std::uint64_t {
        const std::uint64_t elapsed = now > timer.StartTick ? now - timer.StartTick : 0;
        return elapsed >= ms ? 0 : ms - elapsed;
    };
    for (const auto& item : RequestList) {
        if (!item->Enabled)
            continue;
        // A busy item holds the data source until its answer (which wakes
        // the scheduler itself) or its time-out.
        if (item->Busy)
            return static_cast<std::uint32_t>(std::max<std::uint64_t>(left(item->RequestTimer, item->Timeout), 1));
        if (item->RequestTimer.StartTick == 0)
            wake = 0;
        else if (item->MethodPoll)
            wake = std::min(wake, left(item->RequestTimer, item->PollInterval));
    }
    return static_cast<std::uint32_t>(wake);
}

void TSerialPortDM::ReArm() {
    if (FOwner.StateFlags[0] && RequestList.Count() > 0) {
        // The timer fires when something can happen next: an item falls due
        // or a request's time-out ends. Answers wake the scheduler through
        // its window.
        Queue.SetInterval(std::max(TickInterval, PortClosed ? TickInterval : NextWake()));
        Queue.SetEnabled(true);
    } else {
        Queue.SetEnabled(false);
    }
}

void TSerialPortDM::SchedulerTick() {
    Queue.SetEnabled(false);
    if (!FOwner.StateFlags[0])
        return;
    struct Rearm {
        TSerialPortDM& self;
        ~Rearm() { self.ReArm(); }
    } rearm{*this};
    try {
        ProcessResults();
        if (PortClosed)
            return;
        if (PauseTimer.StartTick != 0) {
            if (!PauseTimer.Expired())
                return;
            PauseTimer.Clear();
        }
        // A worker still busy with earlier commands (a device that answers
        // slower than the items' time-outs) gets nothing more until it has
        // caught up, so its queue cannot grow without bound.
        if (Thd && Thd->Backlog() > 0)
            return;

        TRequestList::SectionLock lock(RequestList);
        const auto count = static_cast<std::intptr_t>(RequestList.Count());
        const auto search = [&](std::intptr_t from) -> std::intptr_t {
            for (std::intptr_t i = std::max<std::intptr_t>(from, 0); i < count; ++i) {
                TRequestItem& item = *RequestList[static_cast<std::size_t>(i)];
                if (item.Enabled && item.RequestTimer.ExpiredAfter(item.PollInterval))
                    return i;
            }
            return -1;
        };
        // After the last item the search goes on from the first, so a due
        // item does not wait for the next timer period; each item is looked
        // at once per tick at most.
        bool wrapped = false;
        const auto next = [&](std::intptr_t from) {
            std::intptr_t found = search(from);
            if (found < 0 && !wrapped && from > 0) {
                wrapped = true;
                found = search(0);
            }
            return found;
        };
        std::intptr_t idx = Cursor();
        if (idx < 0 || idx >= count) {
            wrapped = true;
            idx = search(0);
        }
        bool gaveUp = false;
        for (std::intptr_t steps = 0; idx >= 0 && idx < count && steps <= count; ++steps) {
            TRequestItem& item = *RequestList[static_cast<std::size_t>(idx)];
            if (item.Busy) {
                if (!item.RequestTimer.ExpiredAfter(item.Timeout))
                    break; // still waiting for its answer
                item.Busy = false;
                item.Skipped = true; // answered "nothing" for this cycle
                // A read-once item is read once successfully: one that got no
                // answer (the channel was not open yet, the device was away)
                // is tried again.
                if (!item.MethodPoll)
                    item.RequestTimer.Clear();
                gaveUp = true;
                idx = next(idx + 1);
                continue;
            }
            if ((item.MethodPoll || item.RequestTimer.StartTick == 0) &&
                item.RequestTimer.ExpiredAfter(item.PollInterval)) {
                item.Pending = false;
                item.Skipped = false;
                item.Busy = true;
                item.RequestTimer.Restart();
                if (!SendRequest(item)) {
                    if (MinInterval > 0)
                        PauseTimer.Start(MinInterval);
                    else
                        PauseTimer.Clear();
                    item.RequestTimer.Clear();
                    item.Busy = false;
                } else if (MinInterval > 0) {
                    // "Minimal interval between data packets": the next
                    // request waits that long after this one.
                    PauseTimer.Start(MinInterval);
                }
                break;
            }
            idx = next(idx + 1);
        }
        Queue.Tag = idx;
        if (gaveUp && ExportAll)
            ExportCombined();
    } catch (...) {
        // The tick ends; the timer is armed again all the same.
    }
}

void TSerialPortDM::PortOpened() {
    PortClosed = false;
    // Commands queued for the channel before it opened would otherwise run
    // on the new one after their items were released and sent again, and a
    // read-once item would be read twice.
    Thd->Queue.Clear();
    Thd->SetPortState(true);
    {
        TRequestList::SectionLock lock(RequestList);
        for (const auto& item : RequestList) {
            if (item->Busy) {
                item->Busy = false;
                item->RequestTimer.Clear();
            }
        }
    }
    // The next request goes out once the host has finished opening the
    // channel (it is telling us from inside that work).
    platform::PostMessage(NotifyWin.Handle(), WM_EIP_RESULT, 0, 0);
}

bool TSerialPortDM::SendRequest(TRequestItem& item) {
    if (!Thd)
        return false;
    const std::uint8_t kind = FOwner.Kind;
    const std::uint8_t options = kind == 1 || kind == 2 ? 6 : 0;
    Thd->PollHint = ShortestInterval;
    Thd->QueueConnect(kLoopbackHost, item.Device, {}, 5000, options, kind);
    const auto [base, bits] = SplitBitSpec(item.Address);
    switch (kind) {
    case 1:
        Thd->QueueCommand(TEipCommandCode::ReadMicro800, item.Key, 0, item.Number, item.Address, item.Timeout);
        break;
    case 2:
        Thd->QueueCommand(TEipCommandCode::ReadMicroLogix1400, item.Key, 0, item.Number, item.Address,
                          item.Timeout);
        break;
    default:
        Thd->QueueCommand(item.Number > 1 ? TEipCommandCode::ReadArray : TEipCommandCode::ReadTag, item.Key,
                          item.DataType, item.Number, base, item.Timeout);
        break;
    }
    return true;
}

void TSerialPortDM::Deliver(TParsedDataList& list) {
    list.EndRow();
    FOwner.SendParsedData(SourceId, list);
}

void TSerialPortDM::ExportCombined() {
    std::size_t polling = 0, ready = 0;
    for (const auto& item : RequestList) {
        if (item->MethodPoll)
            ++polling;
        if (item->Pending || (item->MethodPoll && item->Skipped))
            ++ready;
    }
    if (ready < polling)
        return;
    TParsedDataList combined;
    bool first = true;
    for (const auto& item : RequestList) {
        item->Skipped = false;
        if (!item->Pending)
            continue;
        if (item->PendingList) {
            if (first)
                combined.AddList(item->PendingList.get());
            else
                combined.AddListRange(item->PendingList.get(), item->HeaderCount, -1);
            AppendRawText(combined, item->PendingList->RawText);
            item->PendingList->Clear();
        }
        first = false;
        item->Pending = false;
    }
    if (combined.Count() > 0)
        Deliver(combined);
}

} // namespace qor
