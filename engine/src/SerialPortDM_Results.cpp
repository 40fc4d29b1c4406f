// The data source's results: each address's outcome becomes its named values
// in a data packet (one per answered request, or one for all requests at
// once), or a log line saying which address failed and why.
#include "common/qorStrUtils.h"
#include "engine/PluginDM.h"
#include "engine/SerialPortDM.h"

#include <algorithm>
#include <unordered_set>

namespace qor {

namespace {

// The translated text carries "%s" where each argument goes; it is not a
// format string to trust.
std::string FormatTwo(std::string text, std::string_view a, std::string_view b) {
    for (const std::string_view arg : {a, b}) {
        const std::size_t at = text.find("%s");
        if (at == std::string::npos)
            break;
        text.replace(at, 2, arg);
    }
    return text;
}

} // namespace

void TSerialPortDM::AddUnique(TParsedDataList& packet, TNameSet& names, std::unique_ptr<TqorParamsListItem> item) {
    if (TqorParamsListItem* added = packet.Append(std::move(item)))
        KeepNameUnique(*added, names);
}

void TSerialPortDM::AddUnique(TParsedDataList& packet, TNameSet& names, std::string_view name, Variant value) {
    // Added empty, then given the value: no copy of it.
    if (TqorParamsListItem* added = packet.Add(name, Variant())) {
        added->Value = std::move(value);
        KeepNameUnique(*added, names);
    }
}

void TSerialPortDM::KeepNameUnique(TqorParamsListItem& added, TNameSet& names) {
    if (names.Insert(added.LowerName))
        return;
    // Names are made unique when the list is loaded; a bit or member name of
    // one address can still meet another address's name. The later value
    // gets a name of its own rather than overwriting the earlier one.
    const std::string name = added.Name;
    for (unsigned n = 2;; ++n) {
        added.SetName(name + "_" + std::to_string(n));
        if (names.Insert(added.LowerName))
            break;
    }
    if (warnedNames_.insert(name).second)
        FOwner.Log(1, SourceName + ": the name \"" + name + "\" is given twice in one packet; the second value is "
                          "exported as \"" + added.Name + "\"");
}

void TSerialPortDM::ReportOutcomes(TRequestItem& item, const TEipResult& result) {
    const std::string_view command = EipSyncCommandNames[result.Code < EipSyncCommandNames.size() ? result.Code : 3];
    if (item.LastErrors.size() < result.Outcomes.size())
        item.LastErrors.resize(result.Outcomes.size());
    for (std::size_t i = 0; i < result.Outcomes.size(); ++i) {
        const logix::TLogixReadOutcome& outcome = result.Outcomes[i];
        std::string& last = item.LastErrors[i];
        if (outcome.Ok()) {
            if (!last.empty())
                FOwner.Log(2, SourceName + ": " + outcome.Name + " is read again");
            last.clear();
            continue;
        }
        std::string error = outcome.ErrorText.empty() ? std::to_string(outcome.ErrorCode) : outcome.ErrorText;
        if (error == last)
            continue;
        std::string failed =
            FOwner.TextRes ? FOwner.TextRes->OperationFailed : std::string("Operation failed (%s, %s)");
        FOwner.Log(1, FormatTwo(std::move(failed), command, SourceName + ": " + outcome.Name + ": " + error));
        last = std::move(error);
    }
}

void TSerialPortDM::AddValues(TRequestItem& item, const TEipResult& result, TParsedDataList& packet) {
    TNameSet names;
    for (int i = 0; i < packet.Count(); ++i)
        names.Insert(packet.GetItem(i)->LowerName);
    for (std::size_t i = 0; i < result.Outcomes.size() && i < item.Exports.size(); ++i) {
        const logix::TLogixReadOutcome& outcome = result.Outcomes[i];
        if (!outcome.Ok())
            continue;
        for (logix::TLogixValue& value : logix::FlattenTag(*outcome.Tag, item.Exports[i].Naming))
            AddUnique(packet, names, value.Name, std::move(value.Value));
    }
}

void TSerialPortDM::AddHeader(TParsedDataList& packet, const TRequestItem& item, double readAt) {
    FOwner.AddStandardValues(packet, {}, {}, static_cast<std::int32_t>(SourceId), SourceFullName, 0, {}, SourceName,
                             readAt);
    if (item.Identity) {
        packet.Add("EIP_DEVICE", Variant(item.Identity->ProductName));
        packet.Add("EIP_DEVICE_SN", Variant(item.Identity->SerialNumber));
    }
    packet.Add("EIP_REQ", Variant(item.Name));
    packet.Add("EIP_ADDRESS", Variant(item.Address));
}

void TSerialPortDM::ProcessResults() {
    if (!Thd)
        return;
    Thd->ResultPosted = false;
    // Freed when this call ends, after the results that point into them.
    const auto retired = Thd->TakeRetired();
    if (Thd->Results.Count() == 0)
        return;
    TParsedDataList single;
    // The results go back to the worker that made them once read.
    std::vector<std::unique_ptr<TQueueItem>> spent;
    struct Recycler {
        TEipSyncThreadEx& thread;
        std::vector<std::unique_ptr<TQueueItem>>& spent;
        ~Recycler() {
            if (!spent.empty())
                thread.Recycle(std::move(spent));
        }
    } recycler{*Thd, spent};
    while (auto popped = QueueItemCast<TEipResult>(Thd->Results.Pop())) {
        TEipResult& result = *popped;
        spent.push_back(std::move(popped));
        TRequestList::SectionLock lock(RequestList);
        const auto entries = RequestList.begin();
        const auto count = static_cast<std::size_t>(RequestList.end() - entries);
        std::size_t index = count;
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t i = (resultHint_ + k) % count;
            if (entries[static_cast<std::ptrdiff_t>(i)]->Key == result.Key) {
                index = i;
                break;
            }
        }
        // An answer for an item of a list since reloaded belongs to nothing.
        if (index == count)
            continue;
        resultHint_ = index + 1;
        TRequestItem& item = *entries[static_cast<std::ptrdiff_t>(index)];
        // An item before it already waits in the combined packet: that one
        // brings the packet's header.
        const bool headed = ExportAll && PendingBefore(index);
        item.Busy = false;
        // Items read together answer one by one: one failure among them
        // holds for all.
        const bool allRead = !result.Outcomes.empty() &&
                             std::all_of(result.Outcomes.begin(), result.Outcomes.end(),
                                         [](const logix::TLogixReadOutcome& o) { return o.Ok(); });
        if (!allRead)
            failedBatch_ = item.Batch;
        answering_ = allRead && item.Batch != failedBatch_;
        if (result.CombinedRefused && !combineRefused_) {
            // Some devices take no Multiple Service Packets: from now on each
            // item goes alone, as written.
            combineRefused_ = true;
            FOwner.Log(1, SourceName + ": the device refuses Multiple Service Packets; requests are sent one "
                                      "at a time from now on");
        }
        ReportOutcomes(item, result);
        // With "export at once" the values wait in the item's own list for
        // the combined packet; otherwise they go out as a packet of their own.
        if (ExportAll && !item.PendingList)
            item.PendingList = std::make_unique<TParsedDataList>();
        TParsedDataList& params = ExportAll ? *item.PendingList : single;
        params.Clear();
        // Usually the identity it already has: left alone, its count is not
        // touched here while the worker copies it into its next results.
        if (item.Identity != result.Identity)
            item.Identity = std::move(result.Identity);
        if (!headed)
            AddHeader(params, item, result.ReadAt);
        item.HeaderCount = params.Count();
        AddValues(item, result, params);
        item.Pending = false;
        if (params.Count() > item.HeaderCount) {
            params.RawText = std::move(result.RawData);
            if (ExportAll) {
                item.Pending = true;
                if (!headed)
                    pendingHint_ = index;
            }
            else
                Deliver(params);
        } else {
            // Answered with nothing to export: the combined packet does not
            // wait for it in this cycle.
            params.Clear();
            item.Skipped = true;
        }
        if (ExportAll)
            ExportCombined();
    }
}

} // namespace qor
