// The substitute host program: loads the plug-in, drives one instance through
// the host's call sequence and prints what the plug-in answers.
#include "host/Host.h"
#include "host/PluginInstance.h"
#include "host/PluginLibrary.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace {

const char* LevelName(int level) {
    switch (level) {
    case 0:
        return "exception";
    case 1:
        return "warning";
    default:
        return "success";
    }
}

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

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Substitute data-logging host: loads a data-source plug-in and drives one instance"};
    std::string pluginPath;
    host::TLoadSettings settings;
    settings.ApplicationName = "qorhost";
    settings.DataSourceType = "Ethernet/IP";
    unsigned moduleIndex = 1;
    bool rawLists = false;
    double stay = 0;
    app.add_option("-p,--plugin", pluginPath, "Path of the plug-in library")->required();
    app.add_option("--ini", settings.IniFile, "Settings file of the instance (INI-FILE)");
    app.add_option("--registry-path", settings.RegistryPath, "Settings path (REGISTRY-PATH)");
    app.add_option("--section-prefix", settings.IniSectionPrefix, "Settings section prefix (INI-SECTION-PREFIX)");
    app.add_option("--data-source-type", settings.DataSourceType, "Data source type the instance serves (CONFIG-ID)");
    app.add_option("--language", settings.Language, "Language of the instance (LANGUAGE)");
    app.add_option("--module-index", moduleIndex, "The host's number for the instance");
    app.add_flag("--raw-lists", rawLists, "Hand parameter lists across as raw list objects");
    app.add_option("--stay", stay, "Seconds to keep the loaded instance running the message loop before unloading")
        ->check(CLI::Range(0.0, 86400.0));
    CLI11_PARSE(app, argc, argv);

    try {
        host::THost host;
        host.OnLogLine = [](const host::TLogLine& line) {
            std::printf("Log [%u] %s: %s\n", line.ModuleIndex, LevelName(line.Level), line.Text.c_str());
        };
        host::TPluginLibrary library(pluginPath);
        std::printf("Loaded %s\n", pluginPath.c_str());
        int status = 0;
        {
            host::TPluginInstance instance(library, host, moduleIndex);
            instance.ParamsForm = rawLists ? host::TParamsForm::RawList : host::TParamsForm::Interface;
            if (instance.Create() != 0) {
                std::fprintf(stderr, "CreatePluginInstance failed\n");
                return 1;
            }
            std::printf("Instance created (module index %u)\n", moduleIndex);
            const std::int32_t load = instance.Load(settings);
            std::printf("LOAD -> %d\n", load);
            if (load != 0)
                status = 1;
            if (auto info = instance.GetModuleInfo())
                PrintModuleInfo(*info);
            else
                status = 1;
            if (auto items = instance.Items())
                PrintItems(*items);
            else
                status = 1;
            host.PumpPending();
            if (stay > 0) {
                std::printf("Running for %g s\n", stay);
                std::fflush(stdout);
                host.RunMessageLoopFor(static_cast<std::uint32_t>(stay * 1000));
            }
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
