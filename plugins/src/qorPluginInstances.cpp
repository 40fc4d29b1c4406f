#include "plugins/qorPluginInstances.h"

#include "plugins/qorPluginModule.h"
#include "platform/Debug.h"

#include <string>

#include <mutex>

namespace qor {

namespace {

struct TLibraryState {
    std::mutex Mutex;
    std::shared_ptr<TPluginInstanceList> Instances;
    bool ShutdownDone = false;
    std::vector<std::function<void()>> ShutdownProcs;
};

TLibraryState& State() {
    static TLibraryState state;
    return state;
}

} // namespace

void TPluginInstanceList::Add(std::shared_ptr<TqorPlugin> plugin) {
    sync_.BeginWrite();
    items_.push_back(std::move(plugin));
    sync_.EndWrite();
}

std::shared_ptr<TqorPlugin> TPluginInstanceList::Find(std::uintptr_t handle) {
    if (handle == 0)
        return nullptr;
    std::shared_ptr<TqorPlugin> found;
    sync_.BeginRead();
    for (const auto& p : items_) {
        if (p->ModulePluginHandle == handle) {
            found = p;
            break;
        }
    }
    sync_.EndRead();
    return found;
}

std::shared_ptr<TqorPlugin> TPluginInstanceList::Extract(std::uintptr_t handle) {
    if (handle == 0)
        return nullptr;
    std::shared_ptr<TqorPlugin> found;
    sync_.BeginWrite();
    for (auto it = items_.begin(); it != items_.end(); ++it) {
        if ((*it)->ModulePluginHandle == handle) {
            found = std::move(*it);
            items_.erase(it);
            break;
        }
    }
    sync_.EndWrite();
    return found;
}

std::vector<std::shared_ptr<TqorPlugin>> TPluginInstanceList::Snapshot() {
    sync_.BeginRead();
    std::vector<std::shared_ptr<TqorPlugin>> copy = items_;
    sync_.EndRead();
    return copy;
}

std::size_t TPluginInstanceList::Count() {
    sync_.BeginRead();
    const std::size_t n = items_.size();
    sync_.EndRead();
    return n;
}

void TPluginInstanceList::FreeAll() {
    sync_.BeginWrite();
    // Instances are freed one by one, newest first, each while the lock is held.
    while (!items_.empty())
        items_.pop_back();
    sync_.EndWrite();
}

std::shared_ptr<TPluginInstanceList> PluginInstances() {
    TLibraryState& s = State();
    std::scoped_lock lock(s.Mutex);
    return s.Instances;
}

void PluginLibraryStart() {
    TLibraryState& s = State();
    std::scoped_lock lock(s.Mutex);
    if (!s.Instances)
        s.Instances = std::make_shared<TPluginInstanceList>();
}

void PluginLibraryStop() {
    std::shared_ptr<TPluginInstanceList> list;
    {
        TLibraryState& s = State();
        std::scoped_lock lock(s.Mutex);
        list = std::move(s.Instances);
        s.Instances.reset();
    }
    if (list)
        list->FreeAll();
}

void PluginLibraryAbandon() {
    std::shared_ptr<TPluginInstanceList> list;
    {
        TLibraryState& s = State();
        std::scoped_lock lock(s.Mutex);
        list = std::move(s.Instances);
        s.Instances.reset();
    }
    if (!list || list->Count() == 0)
        return;
    platform::OutputDebugString(std::to_string(list->Count()) +
                                " plug-in instance(s) not freed by the host when the library was unloaded; left as they are");
    // Deliberately never freed: its destructor would free the instances.
    [[maybe_unused]] auto* kept = std::make_unique<std::shared_ptr<TPluginInstanceList>>(std::move(list)).release();
}

void RegisterShutdownProc(std::function<void()> proc) {
    TLibraryState& s = State();
    std::scoped_lock lock(s.Mutex);
    if (!s.ShutdownDone && proc)
        s.ShutdownProcs.push_back(std::move(proc));
}

bool GlobalShutdown() {
    std::vector<std::function<void()>> procs;
    {
        TLibraryState& s = State();
        std::scoped_lock lock(s.Mutex);
        if (s.ShutdownDone)
            return false;
        s.ShutdownDone = true;
        procs.swap(s.ShutdownProcs);
    }
    for (auto& proc : procs) {
        try {
            proc();
        } catch (...) {
            // One failing procedure must not keep the others from running.
        }
    }
    return true;
}

} // namespace qor
