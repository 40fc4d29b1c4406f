// The substitute host program. Without a subcommand (and with `options`) it
// shows what the plug-in tells a host; `read` takes a first look at a device;
// `run` is the logger. Usage errors exit 2.
#include "host/Commands.h"

#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
    CLI::App app{"Substitute data-logging host: loads the EtherNet/IP data-source plug-in and drives it"};
    // The inspecting options may follow `options` (qorhost options --plugin X).
    app.fallthrough();
    CLI::App* options = app.add_subcommand(
        "options",
        "Show the options dialog the plug-in hands the host; with --set, store values as the host does "
        "after OK");
    host::TInspectOptions inspect;
    host::AddInspectOptions(app, *options, inspect);

    host::TReadOptions read;
    CLI::App* readCommand = host::AddReadCommand(app, read);
    host::TRunOptions run;
    CLI::App* runCommand = host::AddRunCommand(app, run);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? host::kExitOk : host::kExitUsage;
    }
    if (readCommand->parsed())
        return host::RunReadCommand(read);
    if (runCommand->parsed())
        return host::RunRunCommand(run);
    inspect.Options = options->parsed();
    return host::RunInspectCommand(inspect);
}
