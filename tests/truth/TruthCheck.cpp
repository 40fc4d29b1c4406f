#include "TruthCheck.h"

#include <algorithm>

namespace truth {

void Report::Fail(Failure f) {
    failures_.push_back(std::move(f));
}

std::size_t Report::FailuresOf(const std::string& causePrefix) const {
    return static_cast<std::size_t>(std::count_if(failures_.begin(), failures_.end(), [&](const Failure& f) {
        return f.Cause.rfind(causePrefix, 0) == 0;
    }));
}

std::string Report::Summary(std::size_t examples) const {
    struct Group {
        std::size_t Count = 0;
        std::map<std::string, std::vector<const Failure*>> ByKind; // distinct failures
        std::map<std::string, std::size_t> CountByKind;
        std::set<std::string> Seen;
    };
    std::map<std::string, Group> byCause;
    for (const Failure& f : failures_) {
        Group& g = byCause[f.Cause];
        ++g.Count;
        ++g.CountByKind[f.Kind];
        if (g.Seen.insert(f.Where + "|" + f.Address + "|" + f.Name + "|" + f.Got).second)
            g.ByKind[f.Kind].push_back(&f);
    }
    std::vector<std::pair<std::string, const Group*>> causes;
    for (const auto& [cause, g] : byCause)
        causes.emplace_back(cause, &g);
    std::stable_sort(causes.begin(), causes.end(),
                     [](const auto& a, const auto& b) { return a.second->Count > b.second->Count; });
    std::string out;
    for (const auto& [cause, g] : causes) {
        std::size_t distinct = 0;
        for (const auto& [kind, list] : g->ByKind)
            distinct += list.size();
        out += "  " + std::to_string(g->Count) + " x " + cause + " (" + std::to_string(distinct) +
               " distinct)\n";
        for (const auto& [kind, list] : g->ByKind) {
            out += "    " + std::to_string(g->CountByKind.at(kind)) + " reading " +
                   (kind.empty() ? std::string("-") : kind) + " (" + std::to_string(list.size()) +
                   " distinct)\n";
            for (std::size_t i = 0; i < list.size() && i < examples; ++i) {
                const Failure& f = *list[i];
                out += "        [" + f.Where + "] " + f.Address;
                if (!f.Name.empty())
                    out += " | " + f.Name;
                if (!f.Expected.empty())
                    out += ": expected " + f.Expected;
                if (!f.Got.empty())
                    out += (f.Expected.empty() ? ": got " : ", got ") + f.Got;
                out += "\n";
            }
        }
    }
    return out;
}

bool IsHeaderKey(const std::string& key) {
    static const std::set<std::string> keys{"DATE_TIME_STAMP",  "DATA_SOURCE_ID", "DATA_SOURCE_FULL_NAME",
                                            "DATA_SOURCE_NAME", "EIP_DEVICE",     "EIP_DEVICE_SN",
                                            "EIP_REQ",          "EIP_ADDRESS",    "EIP_DEVICE_ID"};
    return keys.count(key) != 0;
}

void SourceTruth::Index() {
    ByCaption.clear();
    ByName.clear();
    for (const ItemTruth& item : Items) {
        ByCaption[item.Source->Caption] = &item;
        for (const Outcome& o : item.Addresses)
            for (const auto& [name, value] : o.Values)
                ByName[name] = Named{&item, &o, &value};
    }
}

namespace {

std::string Shorten(std::string s) {
    if (s.size() > 160)
        s = s.substr(0, 157) + "...";
    return s;
}

// The name of an expected value equal to the one that arrived, if there is
// exactly one: what a value under a wrong name most likely is.
std::string WhoseValue(const SourceTruth& source, const ItemTruth* item, const JValue& got) {
    std::string found;
    int count = 0;
    for (const auto& [name, named] : source.ByName) {
        if (item != nullptr && !source.ExportAll && named.Item != item)
            continue;
        if (Mismatch(*named.Value, got).empty()) {
            found = name;
            ++count;
        }
    }
    return count == 1 ? " (the value of " + found + ")" : "";
}

} // namespace

void CheckPacket(const std::string& where, const SourceTruth& source, const std::string& line, bool faults,
                 Report& report, Arrivals& arrivals) {
    std::string error;
    const auto packet = ParseJson(line, &error);
    if (!packet || packet->Type != JValue::Kind::Object) {
        report.Fail(
            {"output: a line that is not a JSON object", where, "", "", "", error + ": " + Shorten(line)});
        return;
    }
    for (const std::string& key : packet->RepeatedKeys())
        report.Fail({"name repeated in a packet", where, "", key, "", ""});
    const JValue* req = packet->Find("EIP_REQ");
    const JValue* device = packet->Find("EIP_DEVICE");
    // A packet carries the identity when the read had one; a device that
    // misbehaves may have cost it, but never may it name another device.
    if ((device == nullptr && !faults) || (device != nullptr && device->Text != source.ProductName))
        report.Fail({"packet header: EIP_DEVICE is not the device's product name", where, "", "EIP_DEVICE",
                     JsonQuote(source.ProductName), device ? device->Dump() : "nothing"});
    const ItemTruth* item = nullptr;
    if (req != nullptr) {
        const auto it = source.ByCaption.find(req->Text);
        if (it != source.ByCaption.end())
            item = it->second;
    }
    if (item == nullptr) {
        report.Fail({"packet of a request that is not configured", where, "", "EIP_REQ", "",
                     req ? req->Dump() : "nothing"});
        return;
    }
    ++arrivals.PacketsOfItem[source.Name + "/" + item->Source->Caption];
    if (!source.ExportAll) {
        const JValue* address = packet->Find("EIP_ADDRESS");
        if (address == nullptr || address->Text != item->Source->Address)
            report.Fail({"packet header: EIP_ADDRESS is not the request's address", where,
                         item->Source->Address, "EIP_ADDRESS", JsonQuote(item->Source->Address),
                         address ? address->Dump() : "nothing"});
    }
    std::set<std::string> present;
    for (const auto& [name, value] : packet->Members) {
        if (IsHeaderKey(name))
            continue;
        present.insert(name);
        report.Count();
        const auto it = source.ByName.find(name);
        if (it == source.ByName.end() || (!source.ExportAll && it->second.Item != item)) {
            const bool elsewhere = it != source.ByName.end();
            report.Fail({elsewhere ? "value under the name of another request's value"
                                   : "value under a name the export rules do not give",
                         where, item->Source->Address, name, "",
                         Shorten(value.Dump()) + WhoseValue(source, item, value),
                         item->Addresses.size() == 1 ? item->Addresses[0].Kind : "\";\" list"});
            continue;
        }
        const SourceTruth::Named& named = it->second;
        if (const std::string why = Mismatch(*named.Value, value); !why.empty()) {
            report.Fail({why, where, named.Address->Address, name, Shorten(named.Value->Show()),
                         Shorten(value.Dump()) + WhoseValue(source, item, value), named.Address->Kind});
            continue;
        }
        ++arrivals.Values;
        arrivals.NamesSeen.insert(source.Name + "/" + name);
    }
    if (faults)
        return;
    for (const ItemTruth& each : source.Items) {
        if (!source.ExportAll && &each != item)
            continue;
        for (const Outcome& o : each.Addresses)
            for (const auto& [name, value] : o.Values)
                if (present.count(name) == 0)
                    report.Fail({"value missing from its packet", where, o.Address, name,
                                 Shorten(value.Show()), "nothing", o.Kind});
    }
}

void CheckCompleteness(const std::string& where, const SourceTruth& source, const Arrivals& arrivals,
                       Report& report) {
    for (const ItemTruth& item : source.Items) {
        const bool any = std::any_of(item.Addresses.begin(), item.Addresses.end(),
                                     [](const Outcome& o) { return o.Ok && !o.Values.empty(); });
        if (!any)
            continue;
        const auto it = arrivals.PacketsOfItem.find(source.Name + "/" + item.Source->Caption);
        if (!source.ExportAll && (it == arrivals.PacketsOfItem.end() || it->second == 0)) {
            report.Fail({"request with good addresses never delivered a packet", where, item.Source->Address,
                         "", "", "", item.Addresses.size() == 1 ? item.Addresses[0].Kind : "\";\" list"});
            continue;
        }
        for (const Outcome& o : item.Addresses)
            for (const auto& [name, value] : o.Values)
                if (arrivals.NamesSeen.count(source.Name + "/" + name) == 0)
                    report.Fail({"value never delivered right", where, o.Address, name, Shorten(value.Show()),
                                 "", o.Kind});
    }
}

bool CheckToolLine(const std::string& where, const Outcome& truth, const std::string& line, bool faults,
                   Report& report, std::size_t& values) {
    std::string error;
    const auto parsed = ParseJson(line, &error);
    if (!parsed || parsed->Type != JValue::Kind::Object) {
        report.Fail({"eiptool: a line that is not a JSON object", where, truth.Address, "", "",
                     error + ": " + Shorten(line), truth.Kind});
        return false;
    }
    for (const std::string& key : parsed->RepeatedKeys())
        report.Fail({"eiptool: key repeated in a line", where, truth.Address, key, "", "", truth.Kind});
    // With faults a connection may be refused before any address is read:
    // the tool's one error line names the device then.
    if (faults && parsed->Find("error") != nullptr)
        return true;
    const JValue* name = parsed->Find("name");
    if (name == nullptr || name->Text != truth.Address)
        report.Fail({"eiptool: line not named by its address", where, truth.Address, "name",
                     JsonQuote(truth.Address), name ? name->Dump() : "nothing", truth.Kind});
    if (const JValue* err = parsed->Find("error")) {
        if (truth.Ok && !faults) {
            const JValue* text = parsed->Find("text");
            report.Fail({"eiptool: a good address reported as failed", where, truth.Address, "", "values",
                         err->Dump() + " " + (text ? text->Dump() : ""), truth.Kind});
            return false;
        }
        return true;
    }
    const JValue* list = parsed->Find("values");
    if (!truth.Ok) {
        report.Fail({"eiptool: an address that must fail gave values", where, truth.Address, "", "an error",
                     Shorten(list ? list->Dump() : line), truth.Kind});
        return false;
    }
    if (list == nullptr || list->Type != JValue::Kind::Object) {
        report.Fail({"eiptool: values not an object of named values", where, truth.Address, "", "",
                     Shorten(list ? list->Dump() : line), truth.Kind});
        return false;
    }
    bool right = true;
    for (const std::string& key : list->RepeatedKeys()) {
        report.Fail({"eiptool: name repeated in the values", where, truth.Address, key, "", "", truth.Kind});
        right = false;
    }
    std::set<std::string> expected;
    for (const auto& [n, value] : truth.Values) {
        expected.insert(n);
        report.Count();
        const JValue* got = list->Find(n);
        if (got == nullptr) {
            report.Fail({"eiptool: value missing", where, truth.Address, n, Shorten(value.Show()), "nothing",
                         truth.Kind});
            right = false;
            continue;
        }
        if (const std::string why = Mismatch(value, *got); !why.empty()) {
            report.Fail({"eiptool: " + why, where, truth.Address, n, Shorten(value.Show()),
                         Shorten(got->Dump()), truth.Kind});
            right = false;
            continue;
        }
        ++values;
    }
    for (const auto& [n, value] : list->Members)
        if (expected.count(n) == 0) {
            report.Fail({"eiptool: value under a name the export rules do not give", where, truth.Address, n,
                         "", Shorten(value.Dump()), truth.Kind});
            right = false;
        }
    return right;
}

} // namespace truth
