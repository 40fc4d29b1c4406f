// Helpers the tests that write files share: a scratch folder, file texts and
// environment variables restored at the end of a test.
#pragma once

#include "platform/Console.h"
#include "platform/Paths.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>

namespace settings_test {

inline std::string ReadText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteText(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

class TempFolder {
public:
    TempFolder() {
        std::random_device rd;
        std::ostringstream name;
        name << "qor-test-" << platform::CurrentProcessId() << "-" << std::hex << rd();
        path_ = std::filesystem::temp_directory_path() / name.str();
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ec;
        if (!keep_)
            std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    std::string Path(const std::string& name) const { return platform::PathToUtf8(path_ / name); }
    // Writes a file in the folder; gives its path.
    std::string Write(const std::string& name, const std::string& text) const {
        WriteText(path_ / name, text);
        return Path(name);
    }
    std::string Read(const std::string& name) const { return ReadText(path_ / name); }
    bool Exists(const std::string& name) const { return std::filesystem::exists(path_ / name); }
    // Leaves the folder behind, for a look at what a run wrote.
    void Keep() { keep_ = true; }

private:
    std::filesystem::path path_;
    bool keep_ = false;
};

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        platform::SetEnv(name, value);
    }
    ~ScopedEnv() { platform::SetEnv(name_, old_ ? old_->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

} // namespace settings_test
