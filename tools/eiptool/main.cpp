// eiptool: what a user runs first against a new controller. Reads its
// identity, lists its symbols with their types and structure members, and
// reads any address text a request item may hold.
//
//   eiptool [--port N] [--path ROUTE] [--family logix|micro800|micrologix]
//           [--timeout MS] [--json] HOST identity|browse|read ADDRESS [--count N] [--type CODE]
//
// Exit status: 0 when everything asked for was read, 1 otherwise, 2 for a
// usage error.
#include "TagText.h"
#include "logix/Logix_Client.h"
#include "logix/Logix_Address.h"
#include "logix/Logix_Read.h"
#include "logix/Logix_Values.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <map>
#include <string>

namespace {

struct TSettings {
    std::string Host;
    logix::TLogixClientOptions Options;
    bool Json = false;
};

void Print(const std::string& line) {
    std::printf("%s\n", line.c_str());
}

int ConnectFailed(const TSettings& settings, const logix::TLogixClient& plc) {
    if (settings.Json)
        Print("{\"name\":" + eiptool::JsonString(settings.Host) + ",\"error\":" +
              std::to_string(plc.ErrorCode()) + ",\"text\":" + eiptool::JsonString(plc.ErrorText()) + "}");
    else
        std::fprintf(stderr, "eiptool: %s: error %d (%s)\n", settings.Host.c_str(), plc.ErrorCode(),
                     plc.ErrorText().c_str());
    return 1;
}

int Identity(logix::TLogixProcessor& plc, bool json) {
    // Zeros are no identity: a device that gave none is a failure to say so.
    if (!plc.HasIdentity) {
        if (json)
            Print("{\"error\":" + std::to_string(logix::ErrCIPNotSupported) +
                  ",\"text\":\"The device gave no identity\"}");
        else
            std::fprintf(stderr, "eiptool: identity: the device gave no identity\n");
        return 1;
    }
    char revision[16];
    std::snprintf(revision, sizeof revision, "%u.%u", plc.MajorRevision, plc.MinorRevision);
    if (json) {
        Print("{\"vendor\":" + std::to_string(plc.VendorId) + ",\"device_type\":" +
              std::to_string(plc.DeviceType) + ",\"product_code\":" + std::to_string(plc.ProductCode) +
              ",\"revision\":" + eiptool::JsonString(revision) + ",\"serial\":" +
              std::to_string(plc.SerialNumber) + ",\"product_name\":" + eiptool::JsonString(plc.ProductName) +
              ",\"ext_status\":" + std::to_string(plc.ExtStatus) + ",\"fault_bits\":" +
              std::to_string(plc.FaultBits) + ",\"vendor_bits\":" + std::to_string(plc.VendorBits) + "}");
        return 0;
    }
    std::printf("vendor:        %u\ndevice type:   %u\nproduct code:  %u\nrevision:      %s\n"
                "serial:        0x%08X\nproduct name:  %s\nstatus:        extended 0x%X, fault bits 0x%X, "
                "vendor bits 0x%X\n",
                plc.VendorId, plc.DeviceType, plc.ProductCode, revision, plc.SerialNumber,
                plc.ProductName.c_str(), plc.ExtStatus, plc.FaultBits, plc.VendorBits);
    return 0;
}

std::string MemberType(logix::TLogixProcessor& plc, const logix::TMemberInfo& member) {
    if (!member.IsStructure())
        return logix::TypeName(member.AtomicType());
    const logix::TTemplateInfo* nested = logix::GetTemplate(member.TemplateInstance(), 1, plc);
    return nested != nullptr ? nested->Name : "STRUCT";
}

int Browse(logix::TLogixProcessor& plc, bool json) {
    const auto symbols = plc.BrowseTags();
    if (!symbols) {
        std::fprintf(stderr, "eiptool: browse: error %d (%s)\n", plc.ErrorCode, plc.ErrorText.c_str());
        return 1;
    }
    for (const auto& symbol : *symbols) {
        if (symbol->IsSystem())
            continue;
        const logix::TTemplateInfo* structure =
            symbol->IsStructure ? logix::GetTemplate(symbol->TemplateInstance(), 1, plc) : nullptr;
        const std::string type = symbol->IsStructure ? (structure ? structure->Name : "STRUCT")
                                                     : logix::TypeName(symbol->SymbolType & 0xFF);
        std::vector<std::uint32_t> dims;
        for (const std::uint32_t d : {symbol->DimSize1, symbol->DimSize2, symbol->DimSize3})
            if (d != 0 && dims.size() < symbol->DimCount)
                dims.push_back(d);
        std::string line;
        if (json) {
            line = "{\"name\":" + eiptool::JsonString(symbol->Name) +
                   ",\"type\":" + eiptool::JsonString(type) + ",\"dims\":[";
            for (std::size_t i = 0; i < dims.size(); ++i)
                line += (i ? "," : "") + std::to_string(dims[i]);
            line += "]";
        } else {
            line = symbol->Name + "  " + type;
            for (std::size_t i = 0; i < dims.size(); ++i)
                line += (i ? "," : "[") + std::to_string(dims[i]) + (i + 1 == dims.size() ? "]" : "");
        }
        if (structure != nullptr) {
            auto& members = const_cast<logix::TTemplateInfo*>(structure)->Members;
            std::string list;
            for (const auto& member : members) {
                if (member->Hidden)
                    continue;
                const std::string memberType = MemberType(plc, *member);
                if (json)
                    list += std::string(list.empty() ? "" : ",") +
                            "{\"name\":" + eiptool::JsonString(member->Name) +
                            ",\"type\":" + eiptool::JsonString(memberType) +
                            ",\"offset\":" + std::to_string(member->DataOffset()) +
                            ",\"count\":" + std::to_string(member->ElementCount()) + "}";
                else
                    list += "\n    ." + member->Name + "  " + memberType +
                            (member->IsArray() ? "[" + std::to_string(member->ElementCount()) + "]" : "");
            }
            line +=
                json ? ",\"template\":" + eiptool::JsonString(structure->Name) + ",\"members\":[" + list + "]"
                     : list;
        }
        Print(json ? line + "}" : line);
    }
    return 0;
}

// A MicroLogix has no symbol table: its data files are found by reading the
// first element of each file number with the letters such a file may have,
// and sized by the last element that reads.
int BrowseFiles(logix::TLogixProcessor& plc, bool json) {
    static constexpr const char* Standard[] = {"O", "I", "S", "B", "T", "C", "R", "N", "F"};
    static constexpr const char* User[] = {"N", "F", "B", "T", "C", "R", "A", "D"};
    const auto reads = [&](const std::string& file, int element) {
        auto tag = plc.ReadMicroLogix(file + ":" + std::to_string(element), 1);
        return tag != nullptr && tag->Status >= 0 ? std::move(tag) : nullptr;
    };
    int found = 0;
    for (int number = 0; number < 256; ++number) {
        const std::vector<const char*> letters =
            number < 9 ? std::vector<const char*>{Standard[number]}
                       : std::vector<const char*>(std::begin(User), std::end(User));
        for (const char* letter : letters) {
            const std::string file = letter + std::to_string(number);
            const auto first = reads(file, 0);
            if (!first)
                continue;
            int low = 0, high = 255; // the last element that reads lies in [low, high]
            while (low < high) {
                const int middle = (low + high + 1) / 2;
                if (reads(file, middle))
                    low = middle;
                else
                    high = middle - 1;
            }
            const std::string type = eiptool::TypeNameOf(*first);
            Print(json ? "{\"name\":" + eiptool::JsonString(file) + ",\"type\":" + eiptool::JsonString(type) +
                             ",\"dims\":[" + std::to_string(low + 1) + "]}"
                       : file + "  " + type + "[" + std::to_string(low + 1) + "]");
            ++found;
            break;
        }
    }
    return found > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    TSettings settings;
    CLI::App app{"EtherNet/IP diagnostics: identity, symbols and tag reads of a controller"};
    app.require_subcommand(1);
    app.fallthrough();
    app.add_option("--port", settings.Options.Port, "TCP port of the device")->check(CLI::Range(1, 65535));
    app.add_option("--path", settings.Options.Path,
                   "route to the controller, as a request item's device path");
    const std::map<std::string, std::uint8_t> families{{"logix", logix::ProcessorKindLogix},
                                                       {"micro800", logix::ProcessorKindMicro800},
                                                       {"micrologix", logix::ProcessorKindMicroLogix}};
    std::string family = "logix";
    app.add_option("--family", family, "controller family: logix, micro800 or micrologix")
        ->check(CLI::IsMember({"logix", "micro800", "micrologix"}));
    app.add_option("--timeout", settings.Options.TimeoutMs, "reply time-out in milliseconds")
        ->check(CLI::Range(1, 600000));
    app.add_flag("--json", settings.Json, "one JSON object per line");
    app.add_option("host", settings.Host, "the device's address")->required();

    app.add_subcommand("identity", "the device's identity");
    app.add_subcommand("browse", "every symbol with its type, dimensions and structure members");
    CLI::App* read = app.add_subcommand("read", "read an address text (several separated by \";\")");
    std::string address;
    int count = 1;
    std::string typeText = "0";
    read->add_option("address", address, "e.g. Tag[0], Motor.Speed, @1/1/7")->required();
    read->add_option("--count", count, "elements to read")->check(CLI::Range(1, 65535));
    read->add_option("--type", typeText, "type code of attribute addresses (e.g. 0xC4; 0 for raw text)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    settings.Options.Family = families.at(family);
    std::uint16_t typeCode = 0;
    try {
        const unsigned long value = std::stoul(typeText, nullptr, 0);
        if (value > 0xFFFF)
            throw std::out_of_range(typeText);
        typeCode = static_cast<std::uint16_t>(value);
    } catch (const std::exception&) {
        std::fprintf(stderr, "eiptool: --type: not a type code: %s\n", typeText.c_str());
        return 2;
    }

    if (read->parsed() && logix::SplitAddresses(address).empty()) {
        std::fprintf(stderr, "eiptool: read: no address in \"%s\"\n", address.c_str());
        return 2;
    }

    // Finding a MicroLogix's files takes many reads: over one connection.
    if (app.got_subcommand("browse") && settings.Options.Family == logix::ProcessorKindMicroLogix)
        settings.Options.Connected = true;

    logix::TLogixClient plc;
    if (!plc.Connect(settings.Host, settings.Options))
        return ConnectFailed(settings, plc);
    if (app.got_subcommand("identity"))
        return Identity(*plc.Processor(), settings.Json);
    if (app.got_subcommand("browse"))
        return settings.Options.Family == logix::ProcessorKindMicroLogix
                   ? BrowseFiles(*plc.Processor(), settings.Json)
                   : Browse(*plc.Processor(), settings.Json);

    // The values of each address named as a request item without export
    // names names them.
    const auto addresses = logix::SplitAddressBits(address);
    const auto results = plc.Read(address, static_cast<std::uint16_t>(count), typeCode);
    int status = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const auto& result = results[i];
        logix::TLogixNaming naming;
        naming.Stem = logix::ExportNameFromAddress(addresses[i].Written);
        naming.Number = static_cast<std::uint16_t>(count);
        naming.BitPart = addresses[i].BitPart;
        naming.IntegerBits = !naming.BitPart.empty();
        naming.StructureMembers = true;
        const bool raw = eiptool::IsRawAttribute(result, typeCode);
        Print(settings.Json ? eiptool::JsonLine(result, naming, raw) : eiptool::TextLines(result, naming, raw));
        if (!result.Ok())
            status = 1;
    }
    return status;
}
