// The substitute host program. Without a subcommand (and with `options`) it
// shows what the plug-in tells a host; `read` takes a first look at a device;
// `run` is the logger. Usage errors exit 2.
#include "host/Commands.h"
#include "host/Outputs.h"

#include <CLI/CLI.hpp>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// Every data source has a worker thread that allocates and frees for each
// exchange. glibc gives threads at most eight heaps (arenas) per core and
// makes the rest share them under a lock: at 50 data sources on two cores the
// workers waited on each other's heap (about a quarter of their CPU in the
// scale benchmark). One heap per thread, up to this many, keeps them apart;
// memory in use is the same, as each heap holds only its own thread's.
constexpr int kMaxHeaps = 512;

void SizeHeaps() {
#if defined(__GLIBC__)
    mallopt(M_ARENA_MAX, kMaxHeaps);
#endif
}

} // namespace

int main(int argc, char** argv) {
    SizeHeaps();
    host::PrepareOutputLibraries();
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
