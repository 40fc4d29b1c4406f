#include "engine/RequestItems.h"

#include "common/qorStrUtils.h"
#include "logix/Logix_Address.h"

#include <pugixml.hpp>

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <set>

namespace qor {

namespace {

std::string NextKey() {
    static std::atomic<std::uint32_t> counter{0};
    char text[9];
    std::snprintf(text, sizeof text, "%08X", counter.fetch_add(1) + 1);
    return text;
}

// The first element below root (at any depth, in document order) whose name
// is name without regard to case.
pugi::xml_node FindElement(pugi::xml_node root, std::string_view name) {
    pugi::xml_node node = root.first_child();
    while (node && node != root) {
        if (node.type() == pugi::node_element && SameText(node.name(), name))
            return node;
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node != root && !node.next_sibling())
            node = node.parent();
        if (node != root)
            node = node.next_sibling();
    }
    return {};
}

// The text of the value element key inside item, empty when missing.
std::string ValueText(pugi::xml_node item, std::string_view key, bool* present = nullptr) {
    const pugi::xml_node node = FindElement(item, key);
    if (present)
        *present = static_cast<bool>(node);
    return node ? node.text().get() : "";
}

// A whole decimal integer (blanks around it allowed), or nothing.
std::optional<std::int64_t> ToInteger(std::string_view text) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// The dialog writes a checkbox either as its text ("1" checked, anything else
// not) or, with an empty text, as the tree's check state: 2 checked, 4 no
// check box at all (the default stands), 0 to 5 otherwise unchecked.
bool CheckBox(pugi::xml_node item, std::string_view key, bool fallback) {
    const pugi::xml_node node = FindElement(item, key);
    if (!node)
        return fallback;
    const std::string_view text = node.text().get();
    if (!text.empty())
        return text == "1";
    const auto state = ToInteger(node.attribute("check").value());
    if (!state || *state < 0 || *state > 5 || *state == 4)
        return fallback;
    return *state == 2;
}

std::int64_t Integer(pugi::xml_node item, std::string_view key, std::int64_t fallback) {
    return ToInteger(ValueText(item, key)).value_or(fallback);
}

// "T" and the type code in hexadecimal; 0 for anything else.
std::uint16_t DataTypeCode(std::string_view text) {
    if (text.size() < 2)
        return 0;
    text.remove_prefix(1);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (ec != std::errc() || end != text.data() + text.size() || value > 0xFFFF)
        return 0;
    return static_cast<std::uint16_t>(value);
}

// Users type the scale with either decimal separator.
long double ScaleValue(std::string text) {
    for (char& c : text)
        if (c == ',')
            c = '.';
    const std::string_view t = Trim(text);
    double value = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value, std::chars_format::general);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size() || !std::isfinite(value))
        return 1.0L;
    return value;
}

std::uint64_t UnitFactor(std::string_view units) {
    if (units == "S")
        return 1000;
    if (units == "M")
        return 60 * 1000;
    if (units == "H")
        return 60 * 60 * 1000;
    return 1;
}

std::unique_ptr<TRequestItem> ReadItem(pugi::xml_node element, std::size_t position,
                                       const std::function<void(const std::string&)>& warn) {
    auto item = std::make_unique<TRequestItem>();
    item->Enabled = CheckBox(element, "Enabled", false);
    item->Name = element.attribute("caption").value();
    if (item->Name.empty())
        item->Name = "Request #" + std::to_string(position);
    item->Device = ValueText(element, "Device");
    item->Address = ValueText(element, "Address");

    // The dialog allows 1..65535 elements; anything else reads one.
    const std::int64_t number = Integer(element, "Number", 1);
    item->Number = static_cast<std::uint16_t>(number >= 1 && number <= 0xFFFF ? number : 1);
    item->DataType = DataTypeCode(ValueText(element, "DataType"));

    bool namePresent = false;
    std::string names = ValueText(element, "Name", &namePresent);
    if (!namePresent)
        names = "ITEM";
    else if (names.empty())
        names = ExportNameFromAddress(item->Address);
    item->Response.Names = SplitExportNames(names);
    item->Response.NameCount = static_cast<std::int32_t>(item->Response.Names.size());

    bool defaultPresent = false;
    std::string defaultText = ValueText(element, "Default", &defaultPresent);
    item->Response.DefaultValue = Variant(defaultText.empty() ? std::string("0") : std::move(defaultText));
    const std::string scale = ValueText(element, "Scale");
    item->Response.Scale = scale.empty() ? 1.0L : ScaleValue(scale);

    item->MethodPoll = CheckBox(element, "MethodPoll", false);

    // Intervals are whole positive milliseconds; the dialog goes up to 655350
    // hours, which does not fit 32 bits. Such an interval is clamped to the
    // longest one rather than left to wrap into a short one.
    std::int64_t interval = Integer(element, "PollInterval", 1000);
    if (interval < 0)
        interval = 1000;
    const std::uint64_t ms =
        static_cast<std::uint64_t>(interval) * UnitFactor(ValueText(element, "PollUnits"));
    if (ms > kLongestPollInterval) {
        item->PollInterval = kLongestPollInterval;
        if (warn)
            warn("Polling interval of " + item->Name + " too long (" + std::to_string(ms) + " ms), " +
                 std::to_string(kLongestPollInterval) + " ms used");
    } else {
        item->PollInterval = static_cast<std::uint32_t>(ms);
    }

    const std::int64_t timeout = Integer(element, "Timeout", 3000);
    item->Timeout = timeout >= 1 && timeout <= std::numeric_limits<std::uint32_t>::max()
                        ? static_cast<std::uint32_t>(timeout)
                        : 3000;
    return item;
}

} // namespace

TRequestItem::TRequestItem() : PendingList(std::make_unique<TParsedDataList>()), Key(NextKey()) {}

std::string TRequestItem::ReadText() const {
    std::string text;
    for (const TAddressExport& address : Exports)
        text += (text.empty() ? "" : ";") + address.Address;
    return text;
}

std::vector<std::string> DeclaredNames(const TAddressExport& address) {
    const logix::TLogixNaming& naming = address.Naming;
    if (naming.Number <= 1)
        return {naming.Stem};
    std::vector<std::string> names;
    names.reserve(naming.Number);
    for (unsigned k = 1; k <= naming.Number; ++k)
        names.push_back(naming.Stem + (naming.ElementSeparator ? "_" : "") + std::to_string(k));
    return names;
}

void AssignExportNames(TRequestList& list) {
    TRequestList::SectionLock lock(list);
    std::set<std::string> taken; // lower-cased
    const auto free = [&taken](const TAddressExport& address) {
        for (const std::string& name : DeclaredNames(address))
            if (taken.contains(LowerAscii(name)))
                return false;
        return true;
    };
    for (const auto& entry : list) {
        TRequestItem& item = *entry;
        std::vector<logix::TLogixAddressBits> addresses = logix::SplitAddressBits(item.Address);
        item.Exports.clear();
        item.LastErrors.assign(addresses.size(), std::string());
        for (std::size_t t = 0; t < addresses.size(); ++t) {
            TAddressExport address;
            address.Address = addresses[t].Written;
            logix::TLogixNaming& naming = address.Naming;
            naming.BitPart = std::move(addresses[t].BitPart);
            // The n-th name belongs to the n-th address; an address without
            // one of its own is named after itself, never after another.
            naming.Stem = t < item.Response.Names.size() ? item.Response.Names[t]
                                                         : ExportNameFromAddress(addresses[t].Written);
            if (naming.Stem.empty())
                naming.Stem = "VALUE";
            naming.Number = item.Number;
            naming.AllElements = addresses.size() == 1;
            // A bit part on an integer means its bits, as the type BOOL does.
            naming.IntegerBits = item.DataType == 0xC1 || !naming.BitPart.empty();
            naming.Scale = static_cast<double>(item.Response.Scale);
            if (!free(address) && naming.Number > 1) {
                naming.ElementSeparator = true;
                if (!free(address))
                    naming.ElementSeparator = false;
            }
            if (!free(address)) {
                const std::string stem = naming.Stem;
                naming.ElementSeparator = naming.Number > 1;
                for (unsigned n = 2; !free(address); ++n)
                    naming.Stem = stem + "_" + std::to_string(n);
            }
            for (const std::string& name : DeclaredNames(address))
                taken.insert(LowerAscii(name));
            item.Exports.push_back(std::move(address));
        }
    }
}

std::vector<std::string> SplitExportNames(std::string_view text) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of(";\r\n", start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view piece = text.substr(start, end - start);
        while (!piece.empty() && static_cast<unsigned char>(piece.front()) < 33)
            piece.remove_prefix(1);
        while (!piece.empty() && static_cast<unsigned char>(piece.back()) < 33)
            piece.remove_suffix(1);
        if (!piece.empty())
            names.emplace_back(piece);
        start = end + 1;
    }
    return names;
}

TRequestTiming ReadRequestList(std::string_view xml, TRequestList& list,
                               const std::function<void(const std::string&)>& warn) {
    TRequestTiming timing;
    // A module that was never configured stores no text at all: no items, no error.
    if (Trim(xml).empty())
        return timing;
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_buffer(xml.data(), xml.size());
    if (!parsed)
        throw ERequestList(std::string(parsed.description()) + " at offset " + std::to_string(parsed.offset));
    const pugi::xml_node query = FindElement(doc, "MODBUSRTUQUERY");
    std::size_t position = 0;
    bool any = false;
    for (pugi::xml_node element = query.first_child(); element; element = element.next_sibling()) {
        if (element.type() != pugi::node_element)
            continue;
        ++position;
        try {
            std::unique_ptr<TRequestItem> item = ReadItem(element, position, warn);
            // Once-items take part in both minima like polled ones.
            if (!any || item->PollInterval < timing.Shortest)
                timing.Shortest = item->PollInterval;
            any = true;
            if (item->PollInterval < timing.Tick)
                timing.Tick = item->PollInterval;
            list.Add(std::move(item));
        } catch (const std::exception&) {
            // One unreadable item must not cost the others.
        }
    }
    AssignExportNames(list);
    return timing;
}

} // namespace qor
