// The data source's scheduler: which request goes to the worker next.
#include "engine/SerialPortDM.h"

#include "engine/PluginDM.h"

#include <algorithm>
#include <limits>

namespace qor {

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
        if (item->Busy) {
            wake = std::max<std::uint64_t>(left(item->RequestTimer, item->Timeout), 1);
            break;
        }
        if (item->RequestTimer.StartTick == 0)
            wake = 0;
        else if (item->MethodPoll)
            wake = std::min(wake, left(item->RequestTimer, item->PollInterval));
    }
    // Nothing goes out before the pause after the last request ends.
    if (PauseTimer.StartTick != 0)
        wake = std::max(wake, PauseTimer.Remaining());
    return static_cast<std::uint32_t>(wake);
}

void TSerialPortDM::ReArm() {
    if (FOwner.StateFlags[0] && RequestList.Count() > 0) {
        // The timer fires when something can happen next: an item falls due
        // or a request's time-out ends. Answers wake the scheduler through
        // its window.
        // While the channel is closed, or the worker is still busy with
        // earlier commands, nothing can go out: the port's opening and the
        // worker's news wake the scheduler, the timer only looks again now
        // and then.
        // Otherwise it fires when the next item falls due, not at the next
        // multiple of the tick: items that fall due a few milliseconds
        // after the last look (the second part of a list too long for one
        // combined read, an item of another interval) would wait up to a
        // whole tick, and fall behind their intervals. (A window timer
        // waits 10 ms at the least: items polled faster than that keep their
        // pace only while answers drive the scheduler.)
        const bool waiting = PortClosed || (Thd && Thd->Backlog() > 0);
        Queue.SetInterval(waiting ? kIdleRecheckMs : std::max<std::uint32_t>(NextWake(), 1));
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
        TRequestList::SectionLock lock(RequestList);
        // One request at a time on the wire: a busy item holds the data
        // source until its answer (which releases it at once, failed or not)
        // or its time-out. While the device answers every value, the next
        // request may already wait in the worker's queue behind the busy one:
        // the worker sends it the moment the answer is in, instead of
        // waiting for this thread to hand it over, which saves two thread
        // switches per request. The device still sees one request at a time.
        bool gaveUp = false;
        std::uint64_t busyBatch = 0;
        const std::uint64_t now = PauseTimer.Now();
        for (const auto& entry : RequestList) {
            TRequestItem& item = *entry;
            if (!item.Busy)
                continue;
            if (!item.RequestTimer.ExpiredAfter(item.Timeout, now)) {
                if (busyBatch != 0 && busyBatch != item.Batch)
                    return; // one on the wire, one queued behind it
                busyBatch = item.Batch;
                continue;
            }
            answering_ = false;
            item.Busy = false;
            item.Skipped = true; // answered "nothing" for this cycle
            // A read-once item is read once successfully: one that got no
            // answer (the channel was not open yet, the device was away) is
            // tried again.
            if (!item.MethodPoll)
                item.RequestTimer.Clear();
            gaveUp = true;
        }
        // A worker still busy with earlier commands (a device that answers
        // slower than the items' time-outs, whose given-up requests are still
        // queued) gets nothing more until it has caught up, so its queue
        // cannot grow without bound: beside the busy request's connect and
        // read, nothing may wait.
        const std::size_t backlog = Thd ? Thd->Backlog() : 0;
        if (busyBatch == 0 ? backlog > 0 : (!answering_ || MinInterval > 0 || backlog > kConnectAndRead))
            return;
        // With nothing busy, and the device answering, the request after
        // the next goes to the queue at once as well (see above).
        const int handOffs = busyBatch == 0 && answering_ && MinInterval == 0 ? 2 : 1;
        for (int handOff = 0; handOff < handOffs && HandOffNext(now); ++handOff)
            ;
        if (gaveUp && ExportAll)
            ExportCombined();
    } catch (...) {
        // The tick ends; the timer is armed again all the same.
    }
}

bool TSerialPortDM::HandOffNext(std::uint64_t now) {
    // The next request is the due item that has waited longest, so that
    // every item gets its turn when the device answers slower than the items
    // fall due; among equals, the first after the last one sent.
    struct TDue {
        std::uint64_t Waited;
        std::intptr_t Index;
    };
    const auto count = static_cast<std::intptr_t>(RequestList.Count());
    std::vector<TDue> due;
    due.reserve(static_cast<std::size_t>(count));
    const std::intptr_t last = Cursor();
    for (std::intptr_t k = 1; k <= count; ++k) {
        const std::intptr_t i = ((last < 0 ? -1 : last) + k) % count;
        TRequestItem& item = *RequestList[static_cast<std::size_t>(i)];
        const bool sent = item.RequestTimer.StartTick != 0;
        if (!item.Enabled || item.Busy || (!item.MethodPoll && sent) ||
            !item.RequestTimer.ExpiredAfter(item.PollInterval, now))
            continue;
        if (RefuseInvalid(item)) {
            item.RequestTimer.Restart();
            continue;
        }
        // How long it has been due: never sent counts as due the longest.
        due.push_back({sent ? now - std::min(now, item.RequestTimer.StartTick + item.PollInterval)
                            : std::numeric_limits<std::uint64_t>::max(),
                       i});
    }
    if (due.empty())
        return false;
    const auto longer = [](const TDue& a, const TDue& b) { return a.Waited > b.Waited; };
    const bool combining = Combining();
    // Only the front matters unless others may join it.
    if (combining)
        std::stable_sort(due.begin(), due.end(), longer);
    else
        std::iter_swap(due.begin(), std::min_element(due.begin(), due.end(), longer));
    std::vector<TRequestItem*> batch{RequestList[static_cast<std::size_t>(due.front().Index)]};
    // Items due together go out together, in Multiple Service Packets,
    // instead of one round trip each.
    if (combining && Combinable(*batch.front())) {
        std::size_t addresses = batch.front()->Exports.size();
        for (std::size_t k = 1; k < due.size() && addresses < kCombinedAddresses; ++k) {
            TRequestItem* other = RequestList[static_cast<std::size_t>(due[k].Index)];
            if (Combinable(*other) && other->Device == batch.front()->Device &&
                addresses + other->Exports.size() <= kCombinedAddresses) {
                batch.push_back(other);
                addresses += other->Exports.size();
            }
        }
    }
    ++batches_;
    for (TRequestItem* item : batch) {
        item->Pending = false;
        item->Skipped = false;
        item->Busy = true;
        item->Batch = batches_;
        item->RequestTimer.Restart();
    }
    Queue.Tag = due.front().Index;
    if (!SendRequests(batch)) {
        if (MinInterval > 0)
            PauseTimer.Start(MinInterval);
        else
            PauseTimer.Clear();
        for (TRequestItem* item : batch) {
            item->RequestTimer.Clear();
            item->Busy = false;
        }
        return false;
    }
    if (MinInterval > 0) {
        // "Minimal interval between data packets": the next request waits
        // that long after this one.
        PauseTimer.Start(MinInterval);
        return false;
    }
    return true;
}

void TSerialPortDM::PortOpened() {
    PortClosed = false;
    answering_ = false;
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

bool TSerialPortDM::RefuseInvalid(TRequestItem& item) {
    // The data source's items mostly share one route: the last that read is
    // known good without reading it again.
    if (routeChecked_ && item.Device == validRoute_)
        return false;
    if (logix::ParseRoute(item.Device)) {
        validRoute_ = item.Device;
        routeChecked_ = true;
        return false;
    }
    item.Refused = true;
    if (item.LastErrors.empty())
        item.LastErrors.resize(1);
    const std::string error = "Invalid device path \"" + item.Device + "\" (route numbers 0..255 separated by \",\")";
    if (item.LastErrors.front() != error) {
        FOwner.Log(1, SourceName + ": " + item.Name + ": " + error);
        item.LastErrors.front() = error;
    }
    return true;
}

bool TSerialPortDM::Combining() const {
    return CombineRequests && !combineRefused_ && FOwner.Kind == logix::ProcessorKindLogix;
}

bool TSerialPortDM::Combinable(const TRequestItem& item) {
    // Arrays may need fragments, attributes a request each: those go alone.
    if (item.Number > 1 || item.Exports.empty())
        return false;
    return std::none_of(item.Exports.begin(), item.Exports.end(),
                        [](const TAddressExport& a) { return logix::IsAttributeAddress(a.Address); });
}

bool TSerialPortDM::SendRequests(const std::vector<TRequestItem*>& batch) {
    if (batch.size() == 1)
        return SendRequest(*batch.front());
    if (!Thd)
        return false;
    Thd->PollHint = ShortestInterval;
    std::vector<TEipSyncPart> parts;
    std::uint32_t timeout = 0;
    for (const TRequestItem* item : batch) {
        parts.push_back({item->Key, item->ReadText()});
        timeout = timeout == 0 ? item->Timeout : std::min(timeout, item->Timeout);
    }
    Thd->QueueConnectAndRead(kLoopbackHost, batch.front()->Device, 5000, 0, FOwner.Kind,
                             TEipSyncThread::CombinedCommand(std::move(parts), timeout));
    return true;
}

bool TSerialPortDM::SendRequest(TRequestItem& item) {
    if (!Thd)
        return false;
    const std::uint8_t kind = FOwner.Kind;
    const std::uint8_t options = kind == 1 || kind == 2 ? 6 : 0;
    Thd->PollHint = ShortestInterval;
    // A Connect precedes every read (it costs nothing while the session is
    // up); both go to the worker at once.
    const TEipCommandCode code = kind == 1   ? TEipCommandCode::ReadMicro800
                                 : kind == 2 ? TEipCommandCode::ReadMicroLogix1400
                                 : item.Number > 1 ? TEipCommandCode::ReadArray
                                                   : TEipCommandCode::ReadTag;
    Thd->QueueConnectAndRead(kLoopbackHost, item.Device, 5000, options, kind,
                             TEipSyncThread::ReadCommand(code, item.Key, kind == 0 ? item.DataType : 0, item.Number,
                                                         item.ReadText(), item.Timeout));
    return true;
}

void TSerialPortDM::Deliver(TParsedDataList& list) {
    list.EndRow();
    FOwner.SendParsedData(SourceId, list);
}

bool TSerialPortDM::CycleAnswered() {
    const std::size_t count = RequestList.Count();
    if (outstandingHint_ >= count)
        outstandingHint_ = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t i = (outstandingHint_ + k) % count;
        const TRequestItem& item = *RequestList[i];
        if (item.MethodPoll && item.Enabled && !item.Refused && !item.Pending && !item.Skipped) {
            outstandingHint_ = i;
            return false;
        }
    }
    return true;
}

bool TSerialPortDM::PendingBefore(std::size_t index) {
    if (pendingHint_ < index && RequestList[pendingHint_]->Pending)
        return true;
    for (std::size_t i = 0; i < index; ++i) {
        if (RequestList[i]->Pending) {
            pendingHint_ = i;
            return true;
        }
    }
    return false;
}

void TSerialPortDM::ExportCombined() {
    // A read-once item waiting does not stand in for a polled one still
    // out, and one never sent is not waited for.
    if (!CycleAnswered())
        return;
    TParsedDataList combined;
    TNameSet names;
    bool first = true;
    std::string_view lastRaw;
    for (const auto& item : RequestList) {
        item->Skipped = false;
        if (!item->Pending)
            continue;
        if (item->PendingList) {
            // The first item brings the header; every item its values, each
            // under a name no other value of the packet has. The items move
            // into the packet; their lists are filled afresh next cycle.
            // An item that answered after another had taken the header has
            // none; should that other have dropped out since (answered with
            // nothing), the header is made now.
            if (first && item->HeaderCount == 0) {
                AddHeader(combined, *item);
                for (int i = 0; i < combined.Count(); ++i)
                    names.Insert(combined.GetItem(i)->LowerName);
            }
            auto values = item->PendingList->TakeItems();
            const std::size_t from = first ? 0 : static_cast<std::size_t>(std::max(0, item->HeaderCount));
            for (std::size_t i = from; i < values.size(); ++i)
                AddUnique(combined, names, std::move(values[i]));
            // Items read together share one exchange: its bytes are told once.
            const std::string& raw = item->PendingList->RawText;
            if (!raw.empty() && raw != lastRaw)
                AppendRawText(combined, raw);
            lastRaw = raw;
        }
        first = false;
        item->Pending = false;
    }
    if (combined.Count() > 0)
        Deliver(combined);
}

} // namespace qor
