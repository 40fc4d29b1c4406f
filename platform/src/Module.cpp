#include "platform/Module.h"

#include "platform/Debug.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

namespace platform {
namespace {

struct LoadedModule {
    HMODULE base;
    std::string path; // as the loader knows it; empty for the executable
};

// Every object mapped in the process, the executable first. A module's handle
// is where its first loadable segment is mapped: the same address dladdr reports
// as the object's base.
std::vector<LoadedModule> LoadedModules() {
    std::vector<LoadedModule> modules;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            ElfW(Addr) lowest = ~ElfW(Addr){0};
            for (int i = 0; i < info->dlpi_phnum; ++i)
                if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_vaddr < lowest)
                    lowest = info->dlpi_phdr[i].p_vaddr;
            if (lowest == ~ElfW(Addr){0})
                return 0;
            const auto page = static_cast<ElfW(Addr)>(::sysconf(_SC_PAGESIZE));
            auto* list = static_cast<std::vector<LoadedModule>*>(data);
            list->push_back(LoadedModule{static_cast<HMODULE>(info->dlpi_addr + (lowest & ~(page - 1))),
                                         info->dlpi_name ? info->dlpi_name : ""});
            return 0;
        },
        &modules);
    return modules;
}

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string RealPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return path;
    std::string s(resolved);
    std::free(resolved);
    return s;
}

std::string_view BaseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::mutex loadedMutex;
std::map<HMODULE, std::vector<void*>> loadedByUs;

} // namespace

HMODULE GetModuleHandle(const char* name) {
    const auto modules = LoadedModules();
    if (!name)
        return modules.empty() ? 0 : modules.front().base;
    const std::string wanted(name);
    const bool isPath = wanted.find('/') != std::string::npos;
    const std::string wantedReal = isPath ? RealPath(wanted) : std::string();
    for (std::size_t i = 0; i < modules.size(); ++i) {
        const std::string path = i == 0 ? ExecutablePath() : modules[i].path;
        if (path.empty())
            continue;
        if (path == wanted || BaseName(path) == wanted || (isPath && RealPath(path) == wantedReal))
            return modules[i].base;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
}

HMODULE LoadLibrary(std::string_view path) {
    const std::string file(path);
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        OutputDebugString(std::string("LoadLibrary: ") + (why ? why : file));
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    link_map* map = nullptr;
    Dl_info info{};
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !::dladdr(map->l_ld, &info) || !info.dli_fbase) {
        ::dlclose(handle);
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const auto module = reinterpret_cast<HMODULE>(info.dli_fbase);
    std::lock_guard lock(loadedMutex);
    loadedByUs[module].push_back(handle);
    return module;
}

bool FreeLibrary(HMODULE module) {
    void* handle = nullptr;
    {
        std::lock_guard lock(loadedMutex);
        auto it = loadedByUs.find(module);
        if (it == loadedByUs.end() || it->second.empty()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        handle = it->second.back();
        it->second.pop_back();
        if (it->second.empty())
            loadedByUs.erase(it);
    }
    return ::dlclose(handle) == 0;
}

void* GetProcAddress(HMODULE module, const char* name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const auto modules = LoadedModules();
    void* handle = nullptr;
    if (module == 0 || (!modules.empty() && module == modules.front().base)) {
        module = modules.empty() ? 0 : modules.front().base;
        handle = ::dlopen(nullptr, RTLD_NOW);
    } else {
        for (const auto& m : modules)
            if (m.base == module && !m.path.empty())
                handle = ::dlopen(m.path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    }
    if (!handle) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* symbol = ::dlsym(handle, name);
    ::dlclose(handle);
    // dlsym also searches the module's dependencies; only its own exports count.
    Dl_info info{};
    if (symbol && ::dladdr(symbol, &info) && reinterpret_cast<HMODULE>(info.dli_fbase) == module)
        return symbol;
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

HMODULE ModuleOfAddress(const void* address) {
    Dl_info info{};
    if (!address || !::dladdr(address, &info) || !info.dli_fbase) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    return reinterpret_cast<HMODULE>(info.dli_fbase);
}

std::string GetModuleFileName(HMODULE module) {
    const auto modules = LoadedModules();
    if (module == 0 || (!modules.empty() && module == modules.front().base))
        return ExecutablePath();
    for (const auto& m : modules)
        if (m.base == module && !m.path.empty())
            return m.path.front() == '/' ? m.path : RealPath(m.path);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return {};
}

std::vector<std::string> GetCommandLineArgs() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\0', start);
        if (end == std::string::npos)
            end = all.size();
        args.emplace_back(all, start, end - start);
        start = end + 1;
    }
    return args;
}

bool UnloadMayWaitForThreads() { return true; }

} // namespace platform
