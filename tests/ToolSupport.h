// Finding and running the independent tools the cross-check tests compare
// our bytes with, and reading what they print.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

// The lines of an object of a component stream's text form ("object Name:
// TClass"), without its children: a difference then names its component.
inline std::string OwnLines(const std::string& text, const std::string& header) {
    const std::size_t at = text.find(header);
    if (at == std::string::npos)
        return {};
    std::string own;
    for (std::size_t pos = at + header.size(); pos < text.size();) {
        const std::size_t end = std::min(text.find('\n', pos), text.size());
        const std::string line = text.substr(pos, end - pos);
        const std::size_t first = line.find_first_not_of(" \t\r");
        const std::string word =
            first == std::string::npos ? "" : line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
        if (word == "end" || word.rfind("object ", 0) == 0)
            break;
        own += line + "\n";
        pos = end + 1;
    }
    return own;
}

// Packets through Wireshark's dissectors (the cip-dissect tool): one line of
// "> hex" or "< hex" a packet in, one summary line a packet out.
struct Dissection {
    int Status = -1;
    std::vector<std::string> Lines;
    std::string Errors;
};

inline Dissection Dissect(const std::string& tool,
                          const std::vector<std::pair<char, std::vector<std::uint8_t>>>& packets) {
    static const char digits[] = "0123456789abcdef";
    char input[] = "/tmp/qor-dissect-XXXXXX";
    const int fd = ::mkstemp(input);
    if (fd < 0)
        return {};
    ::close(fd);
    {
        std::ofstream out(input);
        for (const auto& [direction, bytes] : packets) {
            out << direction << ' ';
            for (const std::uint8_t b : bytes)
                out << digits[b >> 4] << digits[b & 15];
            out << '\n';
        }
    }
    const std::string errors = std::string(input) + ".err";
    Dissection result;
    std::istringstream lines(Run("'" + tool + "' -s < '" + input + "' 2> '" + errors + "'", &result.Status));
    for (std::string line; std::getline(lines, line);)
        result.Lines.push_back(line);
    std::ifstream err(errors);
    result.Errors.assign(std::istreambuf_iterator<char>(err), {});
    std::filesystem::remove(input);
    std::filesystem::remove(errors);
    return result;
}

} // namespace tooltest
