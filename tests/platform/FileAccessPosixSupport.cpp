#include "FileAccessTestSupport.h"

#include "SettingsTestSupport.h"

#include <stdexcept>
#include <sys/stat.h>

namespace file_access_test {
namespace {

void Chmod(const std::filesystem::path& file, mode_t mode) {
    if (::chmod(file.c_str(), mode) != 0)
        throw std::runtime_error("chmod " + file.string());
}

} // namespace

OpenFolder::OpenFolder(const std::filesystem::path& folder) : saved_(::umask(0)) {
    Chmod(folder, 0777);
}

OpenFolder::~OpenFolder() {
    ::umask(static_cast<mode_t>(saved_));
}

void WritePrivateFile(const std::filesystem::path& file, const std::string& text) {
    settings_test::WriteText(file, text);
    Chmod(file, 0600);
}

void WriteSharedFile(const std::filesystem::path& file, const std::string& text) {
    settings_test::WriteText(file, text);
    Chmod(file, 0644);
}

bool OthersMayChange(const std::filesystem::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        throw std::runtime_error("stat " + file.string());
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

} // namespace file_access_test
