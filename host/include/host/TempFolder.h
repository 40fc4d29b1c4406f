// A folder of its own under the system's temporary folder, removed with
// everything in it when the object goes: where a command keeps the settings
// of the instances it makes.
#pragma once

#include "platform/Console.h"
#include "platform/Paths.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace host {

class TTempFolder {
public:
    explicit TTempFolder(const std::string& prefix = "qorhost") {
        try {
            path_ = platform::CreateTemporaryFolder(prefix);
        } catch (const std::system_error&) {
            throw std::runtime_error("Cannot make a temporary folder");
        }
    }
    ~TTempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::string File(const std::string& name) const { return platform::PathToUtf8(path_ / name); }

private:
    std::filesystem::path path_;
};

} // namespace host
