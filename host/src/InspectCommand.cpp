// qorhost without a subcommand and qorhost options: loads the plug-in, drives
// one instance through the host's call sequence and prints what it answers
// (module information and parser items, or the options dialog).
#include "host/Commands.h"
#include "host/DeviceConnections.h"
#include "host/Host.h"
#include "host/OptionsDialog.h"
#include "host/PacketStore.h"
#include "host/PluginInstance.h"
#include "host/PluginLibrary.h"
#include "options/Wtransl.h"
#include "platform/Module.h"
#include "platform/Paths.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace host {

namespace {

void PrintModuleInfo(const host::TModuleInfo& info) {
    std::printf("Module information\n");
    std::printf("  type             0x%02X\n", info.ModuleType);
    std::printf("  capabilities     0x%02X\n", info.ModuleCapabilities);
    std::printf("  interface        %u\n", info.InterfaceVersion);
    std::printf("  version          %.1f\n", static_cast<double>(info.VersionNumber));
    std::printf("  description\n");
    std::string text = info.Description;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find("\r\n", start);
        std::printf("    %s\n", text.substr(start, end - start).c_str());
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
    std::printf("  custom commands  %s\n", info.CustomCommands.empty() ? "(none)" : "");
    if (!info.CustomCommands.empty())
        std::printf("%s", info.CustomCommands.c_str());
}

void PrintItems(const std::string& items) {
    std::printf("Parser items (description | name | type | extra)\n");
    std::size_t start = 0;
    while (start < items.size()) {
        const std::size_t end = items.find("\r\n", start);
        std::printf("  %s\n", items.substr(start, end - start).c_str());
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
}

// Translates the dialog's texts as the host does for a plug-in: with the
// shared "plugins.lng" beside the host and the plug-in's own language file,
// into the instance's language (the files' own when none was given).
class TDialogTranslator {
public:
    TDialogTranslator(const std::string& pluginPath, const std::string& language) : language_(language) {
        const std::string hostPath = platform::GetModuleFileName(0);
        const std::string hostFolder = platform::FolderOf(hostPath);
        const std::size_t folder = platform::FolderOf(pluginPath).size();
        const std::size_t dot = pluginPath.rfind('.');
        const std::string own = dot != std::string::npos && dot >= folder
                                    ? pluginPath.substr(0, dot)
                                    : pluginPath;
        translator_.FileNames = hostFolder + "plugins.lng|" + own + ".lng";
    }
    std::string operator()(std::string text) {
        if (language_.empty())
            translator_.Translate(std::nullopt, nullptr, &text, "EN");
        else
            translator_.Translate(language_, text, "EN");
        return text;
    }

private:
    qor::TWtransl translator_;
    std::string language_;
};

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

std::int64_t IntProperty(const qor::TStreamObject& obj, std::string_view name, std::int64_t fallback) {
    const qor::TStreamProperty* p = obj.FindProperty(name);
    return p != nullptr && p->Value.IsInteger() ? p->Value.AsInteger() : fallback;
}

void PrintComponent(const qor::TStreamObject& obj, int depth, TDialogTranslator& translate) {
    std::printf("%*s%s: %s", 2 + depth * 2, "", obj.Name.c_str(), obj.ClassName.c_str());
    if (obj.FindProperty("Width") != nullptr || obj.FindProperty("Left") != nullptr)
        std::printf("  at %lld, %lld  size %lld x %lld", static_cast<long long>(IntProperty(obj, "Left", 0)),
                    static_cast<long long>(IntProperty(obj, "Top", 0)),
                    static_cast<long long>(IntProperty(obj, "Width", 0)),
                    static_cast<long long>(IntProperty(obj, "Height", 0)));
    for (const char* name : {"Caption", "Hint"})
        if (const qor::TStreamProperty* p = obj.FindProperty(name); p != nullptr && p->Value.IsString())
            std::printf("  %s %s", name, Quoted(translate(p->Value.Text)).c_str());
    std::printf("\n");
    for (const qor::TStreamProperty& p : obj.Properties) {
        static constexpr const char* kShown[] = {"Left", "Top", "Width", "Height", "Caption", "Hint"};
        bool shown = false;
        for (const char* s : kShown)
            shown = shown || p.Name == s;
        if (shown)
            continue;
        std::string value;
        switch (p.Value.Type) {
        case qor::TValueType::True:
            value = "True";
            break;
        case qor::TValueType::False:
            value = "False";
            break;
        case qor::TValueType::Ident:
            value = p.Value.Text;
            break;
        case qor::TValueType::Set:
            for (const std::string& e : p.Value.Elements)
                value += (value.empty() ? "[" : ", ") + e;
            value += value.empty() ? "[]" : "]";
            break;
        default:
            if (p.Value.IsInteger())
                value = std::to_string(p.Value.AsInteger());
            else if (p.Value.IsString())
                value = Quoted(p.Value.Text);
            else
                value = "(value)";
        }
        std::printf("%*s%s = %s\n", 6 + depth * 2, "", p.Name.c_str(), value.c_str());
    }
    for (const qor::TStreamObject& child : obj.Children)
        PrintComponent(child, depth + 1, translate);
}

void PrintOptionsDialog(const host::TOptionsDialog& dialog, TDialogTranslator& translate) {
    std::printf("Options dialog (layout %s)\n", dialog.FormName.c_str());
    PrintComponent(dialog.Form, 0, translate);
    std::printf("Request tree %s\n", Quoted(dialog.TreeTitle).c_str());
    std::printf("Item template (key~@label~kind~range~default)\n");
    for (const std::string& line : dialog.ItemTemplate)
        std::printf("  |%s\n", line.c_str());
    std::printf("Settings map (form property,setting)\n");
    for (const std::string& line : dialog.MapText)
        std::printf("  |%s|\n", line.c_str());
}

// "Setting=value", or "Setting=@file" for the file's content.
host::TOptionsValue ParseSet(const std::string& arg) {
    const std::size_t eq = arg.find('=');
    if (eq == std::string::npos)
        throw std::runtime_error("--set takes \"Setting=value\": " + arg);
    host::TOptionsValue v{arg.substr(0, eq), arg.substr(eq + 1)};
    if (v.Value.starts_with('@')) {
        const std::string file = v.Value.substr(1);
        std::ifstream in(file, std::ios::binary);
        if (!in)
            throw std::runtime_error("cannot read " + file);
        v.Value.assign(std::istreambuf_iterator<char>(in), {});
    }
    return v;
}

void PrintPacket(const host::TStoredPacket& packet) {
    std::string line;
    for (int i = 0; i < packet.Items->Count(); ++i) {
        const qor::TqorParamsListItem& item = *packet.Items->GetItem(i);
        if (!item.IsRowMarker())
            line += (line.empty() ? "" : "; ") + item.Name + "=" + item.Value.AsString();
    }
    std::printf("Packet [%u]: %s\n", packet.SourceId, line.c_str());
    std::fflush(stdout);
}

// Connects the devices given with --device and hands their data sources to
// the instance.
bool StartDevices(host::THost& host, host::TPluginInstance& instance, const std::vector<std::string>& devices,
                  std::optional<host::TDeviceConnections>& connections) {
    std::vector<host::TDataSourceConfig> sources;
    for (const std::string& text : devices) {
        if (auto source = host::ParseDeviceOption(text)) {
            sources.push_back(*source);
        } else {
            std::fprintf(stderr, "qorhost: --device %s: expected ID=HOST[:PORT]\n", text.c_str());
            return false;
        }
    }
    connections.emplace(host, instance);
    connections->OnLog = [](const std::string& line) { std::printf("Host: %s\n", line.c_str()); };
    // The plug-in knows its data sources before their channels open.
    std::printf("SET-STATE -> %d\n",
                instance.SetState(host::DataSourcesText(sources), host::kStatePollAndReceive, 1));
    for (const host::TDataSourceConfig& source : sources)
        if (!connections->Add(source))
            return false;
    return true;
}

} // namespace

std::string DefaultPluginPath() {
    const std::string exe = platform::GetModuleFileName(0);
    return platform::FolderOf(exe) + "eipplugin" + std::string(platform::kLibrarySuffix);
}

void AddInspectOptions(CLI::App& app, CLI::App& options, TInspectOptions& opts) {
    app.add_option("-p,--plugin", opts.Plugin,
                   "Path of the plug-in library (default: eipplugin.so beside qorhost)");
    app.add_option("--ini", opts.IniFile, "Settings file of the instance (INI-FILE)");
    app.add_option("--registry-path", opts.RegistryPath, "Settings path (REGISTRY-PATH)");
    app.add_option("--section-prefix", opts.SectionPrefix, "Settings section prefix (INI-SECTION-PREFIX)");
    app.add_option("-t,--type,--data-source-type", opts.Type,
                   "Data source type the instance serves (CONFIG-ID)");
    app.add_option("--language", opts.Language, "Language of the instance (LANGUAGE)");
    app.add_option("--module-index", opts.ModuleIndex, "The host's number for the instance");
    app.add_flag("--raw-lists", opts.RawLists, "Hand parameter lists across as raw list objects");
    app.add_option("--stay", opts.Stay,
                   "Seconds to keep the loaded instance running the message loop before unloading")
        ->check(CLI::Range(0.0, 86400.0));
    app.add_option("--device", opts.Devices,
                   "\"ID=HOST[:PORT]\": a data source of the instance and its device (port 44818 when none); "
                   "the host connects to it and passes the device's bytes on");
    options.add_option("--set", opts.Sets,
                       "\"Setting=value\" or \"Setting=@file\" (a setting of the settings map)");
}

int RunInspectCommand(const TInspectOptions& opts) {
    const std::string pluginPath = opts.Plugin.empty() ? DefaultPluginPath() : opts.Plugin;
    host::TLoadSettings settings;
    settings.ApplicationName = "qorhost";
    settings.DataSourceType = opts.Type;
    settings.IniFile = opts.IniFile;
    settings.RegistryPath = opts.RegistryPath;
    settings.IniSectionPrefix = opts.SectionPrefix;
    settings.Language = opts.Language;
    const unsigned moduleIndex = opts.ModuleIndex;
    const auto& sets = opts.Sets;
    const auto& devices = opts.Devices;
    const double stay = opts.Stay;
    try {
        host::THost host;
        host.OnLogLine = [](const host::TLogLine& line) {
            std::printf("Log [%u] %s: %s\n", line.ModuleIndex, LogLevelName(line.Level), line.Text.c_str());
        };
        host::TPluginLibrary library(pluginPath);
        std::printf("Loaded %s\n", pluginPath.c_str());
        int status = 0;
        {
            host::TPluginInstance instance(library, host, moduleIndex);
            instance.ParamsForm = opts.RawLists ? host::TParamsForm::RawList : host::TParamsForm::Interface;
            if (instance.Create() != 0) {
                std::fprintf(stderr, "CreatePluginInstance failed\n");
                return 1;
            }
            std::printf("Instance created (module index %u)\n", moduleIndex);
            const std::int32_t load = instance.Load(settings);
            std::printf("LOAD -> %d\n", load);
            if (load != 0)
                status = 1;
            if (opts.Options) {
                try {
                    const host::TOptionsDialog dialog = host::FetchOptionsDialog(instance);
                    TDialogTranslator translate(pluginPath, settings.Language);
                    PrintOptionsDialog(dialog, translate);
                    if (!sets.empty()) {
                        std::vector<host::TOptionsValue> values;
                        for (const std::string& s : sets)
                            values.push_back(ParseSet(s));
                        const std::uint32_t confirmed =
                            host::ConfirmOptionsDialog(host, instance, dialog, values);
                        std::printf("Stored %zu setting(s); ShowOptionsDialog -> %u\n", values.size(),
                                    confirmed);
                        if (confirmed != 1)
                            status = 1;
                    }
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "qorhost: %s\n", e.what());
                    status = 1;
                }
            } else {
                if (auto info = instance.GetModuleInfo())
                    PrintModuleInfo(*info);
                else
                    status = 1;
                if (auto items = instance.Items())
                    PrintItems(*items);
                else
                    status = 1;
            }
            host::TPacketStore packets;
            packets.OnPacket = PrintPacket;
            host.SetPacketSink(&packets);
            std::optional<host::TDeviceConnections> connections;
            if (!devices.empty() && !opts.Options && !StartDevices(host, instance, devices, connections))
                status = 1;
            host.PumpPending();
            if (stay > 0) {
                std::printf("Running for %g s\n", stay);
                std::fflush(stdout);
                host.RunMessageLoopFor(static_cast<std::uint32_t>(stay * 1000));
            }
            if (connections) {
                std::printf("SET-STATE off -> %d\n", instance.SetState("", host::kStatePollAndReceive, 0));
                connections.reset();
            }
            host.SetPacketSink(nullptr);
            std::printf("UNLOAD -> %d\n", instance.Unload());
            host.PumpPending();
            std::printf("FreePluginInstance -> %d\n", instance.Free());
        }
        std::printf("Global shutdown -> %d\n", library.GlobalShutdown());
        return status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qorhost: %s\n", e.what());
        return 1;
    }
}

} // namespace host
