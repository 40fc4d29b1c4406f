// Finding and running the independent tools the cross-check tests compare
// our bytes with.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>

namespace tooltest {

// The tool the environment variable names, else the one in shared/tools beside
// the sources; empty when there is none (the test is then skipped).
inline std::string FindTool(const char* variable, const char* name) {
    if (const char* set = std::getenv(variable); set != nullptr && *set != '\0')
        return std::filesystem::exists(set) ? set : std::string();
    const auto beside = std::filesystem::path(QOR_SOURCE_DIR) / ".." / "shared" / "tools" / name;
    return std::filesystem::exists(beside) ? beside.string() : std::string();
}

// Runs a shell command; gives its standard output and, with status, its exit code.
inline std::string Run(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    const int s = ::pclose(p);
    if (status != nullptr)
        *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    return out;
}

} // namespace tooltest
