// The library's list of live plug-in instances, its global shutdown, and the
// library's start and stop.
#pragma once

#include "platform/Locks.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace qor {

class TqorPlugin;

// All live instances, guarded by a multi-reader/single-writer lock. Entries
// are shared so that an export still running on one thread keeps its
// instance alive while another thread frees it; the object goes with the last
// of them (normally at once, in FreePluginInstance).
class TPluginInstanceList {
public:
    void Add(std::shared_ptr<TqorPlugin> plugin);
    // The instance whose handle (ModulePluginHandle) is handle; nullptr for 0
    // or an unknown handle.
    std::shared_ptr<TqorPlugin> Find(std::uintptr_t handle);
    // Takes the instance out of the list; nullptr when unknown.
    std::shared_ptr<TqorPlugin> Extract(std::uintptr_t handle);
    std::vector<std::shared_ptr<TqorPlugin>> Snapshot();
    std::size_t Count();
    // Frees every remaining instance under the write lock.
    void FreeAll();

private:
    platform::MultiReadExclusiveWriteSync sync_;
    std::vector<std::shared_ptr<TqorPlugin>> items_;
};

// The library's instance list; nullptr before PluginLibraryStart and after
// PluginLibraryStop (CreatePluginInstance then fails).
std::shared_ptr<TPluginInstanceList> PluginInstances();

// Library start: creates the instance list (the library registers its data
// module class and resources itself).
void PluginLibraryStart();
// Library unload: detaches the list and frees every remaining instance.
void PluginLibraryStop();
// Library unload where freeing an instance cannot be waited for (Windows: the
// loader lock is held): detaches the list and leaves the instances the host
// did not free as they are, saying so on the debugger output. Their workers
// may still run; what they hold is the process's until it ends.
void PluginLibraryAbandon();

// Procedures to run once at the host's global shutdown (FreePluginInstance
// with the shutdown code). Registrations after the shutdown are dropped.
void RegisterShutdownProc(std::function<void()> proc);
// Detaches the procedure list; the first call runs each procedure once.
// Returns whether this call did the shutdown.
bool GlobalShutdown();

} // namespace qor
