// The data source's results: each address's outcome becomes its named values
// in a data packet (one per answered request, or one for all requests at
// once), or a log line saying which address failed and why.
#include "common/qorStrUtils.h"
#include "engine/PluginDM.h"
#include "engine/SerialPortDM.h"

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

void TSerialPortDM::AddUnique(TParsedDataList& packet, std::unordered_set<std::string>& names, std::string name,
                              const Variant& value) {
    // Names are made unique when the list is loaded; a bit or member name of
    // one address can still meet another address's name. The later value
    // gets a name of its own rather than overwriting the earlier one.
    if (!names.insert(LowerAscii(name)).second) {
        std::string unique;
        for (unsigned n = 2;; ++n) {
            unique = name + "_" + std::to_string(n);
            if (names.insert(LowerAscii(unique)).second)
                break;
        }
        if (warnedNames_.insert(name).second)
            FOwner.Log(1, SourceName + ": the name \"" + name + "\" is given twice in one packet; the second value is "
                              "exported as \"" + unique + "\"");
        name = std::move(unique);
    }
    packet.Add(name, value);
}

void TSerialPortDM::ReportOutcomes(TRequestItem& item, const TEipResult& result) {
    const std::string_view command = EipSyncCommandNames[result.Code < EipSyncCommandNames.size() ? result.Code : 3];
    const std::string failed =
        FOwner.TextRes ? FOwner.TextRes->OperationFailed : std::string("Operation failed (%s, %s)");
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
        FOwner.Log(1, FormatTwo(failed, command, SourceName + ": " + outcome.Name + ": " + error));
        last = std::move(error);
    }
}

void TSerialPortDM::AddValues(TRequestItem& item, const TEipResult& result, TParsedDataList& packet) {
    std::unordered_set<std::string> names;
    for (int i = 0; i < packet.Count(); ++i)
        names.insert(packet.GetItem(i)->LowerName);
    for (std::size_t i = 0; i < result.Outcomes.size() && i < item.Exports.size(); ++i) {
        const logix::TLogixReadOutcome& outcome = result.Outcomes[i];
        if (!outcome.Ok())
            continue;
        for (const logix::TLogixValue& value : logix::FlattenTag(*outcome.Tag, item.Exports[i].Naming))
            AddUnique(packet, names, value.Name, value.Value);
    }
}

void TSerialPortDM::ProcessResults() {
    if (!Thd)
        return;
    Thd->ResultPosted = false;
    // Freed when this call ends, after the results that point into them.
    const auto retired = Thd->TakeRetired();
    if (Thd->Results.Count() == 0)
        return;
    TParsedDataList params;
    while (auto popped = QueueItemCast<TEipResult>(Thd->Results.Pop())) {
        TEipResult& result = *popped;
        TRequestList::SectionLock lock(RequestList);
        TRequestItem* found = nullptr;
        for (const auto& entry : RequestList)
            if (entry->Key == result.Key) {
                found = entry.get();
                break;
            }
        // An answer for an item of a list since reloaded belongs to nothing.
        if (found == nullptr)
            continue;
        TRequestItem& item = *found;
        item.Busy = false;
        if (result.CombinedRefused && !combineRefused_) {
            // Some devices take no Multiple Service Packets: from now on each
            // item goes alone, as written.
            combineRefused_ = true;
            FOwner.Log(1, SourceName + ": the device refuses Multiple Service Packets; requests are sent one "
                                      "at a time from now on");
        }
        ReportOutcomes(item, result);
        params.Clear();
        FOwner.AddStandardValues(params, {}, {}, static_cast<std::int32_t>(SourceId), SourceFullName, 0, {},
                                 SourceName);
        if (result.Identity) {
            params.Add("EIP_DEVICE", Variant(result.Identity->ProductName));
            params.Add("EIP_DEVICE_SN", Variant(result.Identity->SerialNumber));
        }
        params.Add("EIP_REQ", Variant(item.Name));
        params.Add("EIP_ADDRESS", Variant(item.Address));
        item.HeaderCount = params.Count();
        AddValues(item, result, params);
        if (params.Count() > item.HeaderCount) {
            if (ExportAll) {
                if (!item.PendingList)
                    item.PendingList = std::make_unique<TParsedDataList>();
                item.PendingList->Clear();
                item.PendingList->RawText = result.RawData;
                item.PendingList->AddList(&params);
                item.Pending = true;
            } else {
                TParsedDataList packet;
                packet.RawText = result.RawData;
                packet.AddList(&params);
                Deliver(packet);
            }
        } else {
            // Answered with nothing to export: the combined packet does not
            // wait for it in this cycle.
            item.Skipped = true;
        }
        if (ExportAll)
            ExportCombined();
    }
}

} // namespace qor
