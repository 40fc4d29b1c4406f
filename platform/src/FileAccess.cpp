#include "platform/FileAccess.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// Owner read and write, everyone else read: never group- or world-writable,
// whatever the umask (which can only take bits away).
constexpr mode_t kCreateMode = 0644;

std::error_code LastErrno() {
    return {errno, std::generic_category()};
}

} // namespace

std::error_code AppendFile::Open(const std::filesystem::path& file) {
    Close();
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kCreateMode);
    if (fd < 0)
        return LastErrno();
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return std::make_error_code(std::errc::is_a_directory);
    }
    handle_ = fd;
    owned_ = true;
    return {};
}

void AppendFile::UseStandardOutput() {
    Close();
    handle_ = STDOUT_FILENO;
    owned_ = false;
}

void AppendFile::Close() {
    if (handle_ != kNone && owned_)
        ::close(static_cast<int>(handle_));
    handle_ = kNone;
    owned_ = false;
}

bool AppendFile::IsRegular() const {
    struct stat st {};
    return handle_ != kNone && ::fstat(static_cast<int>(handle_), &st) == 0 && S_ISREG(st.st_mode);
}

std::int64_t AppendFile::Size() const {
    struct stat st {};
    if (handle_ == kNone || ::fstat(static_cast<int>(handle_), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

AppendFile::Written AppendFile::Write(std::string_view data) {
    Written result;
    if (handle_ == kNone) {
        result.Error = std::make_error_code(std::errc::bad_file_descriptor);
        return result;
    }
    while (result.Bytes < data.size()) {
        const ssize_t n =
            ::write(static_cast<int>(handle_), data.data() + result.Bytes, data.size() - result.Bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A write that takes nothing without an error is a full device.
            result.Error = n < 0 ? LastErrno() : std::error_code(ENOSPC, std::generic_category());
            break;
        }
        result.Bytes += static_cast<std::size_t>(n);
    }
    return result;
}

std::error_code AppendFile::TruncateTo(std::int64_t size) {
    while (::ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) != 0)
        if (errno != EINTR)
            return LastErrno();
    return {};
}

std::error_code AppendFile::Sync() {
    if (handle_ == kNone || !IsRegular())
        return {};
    if (::fsync(static_cast<int>(handle_)) != 0)
        return LastErrno();
    return {};
}

bool ReadPrivateFile(const std::filesystem::path& file, std::size_t maxBytes, std::string& text,
                     std::string& why) {
    text.clear();
    const std::string name = file.string();
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = "cannot read " + name + ": " + LastErrno().message();
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) {
        why = "cannot look at " + name + ": " + LastErrno().message();
    } else if (!S_ISREG(st.st_mode)) {
        why = name + " is not a regular file";
        ok = false;
    } else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        why = name + " may be read or written by group or others (mode " + mode +
              "); allow its owner only (chmod 600)";
        ok = false;
    }
    char buffer[4096];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = "cannot read " + name + ": " + LastErrno().message();
            ok = false;
        }
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > maxBytes) {
            why = name + " is too large for a secret (over " + std::to_string(maxBytes) + " bytes)";
            ok = false;
        }
    }
    ::close(fd);
    // No copy of the secret stays on the stack.
    volatile char* scratch = buffer;
    for (std::size_t i = 0; i < sizeof buffer; ++i)
        scratch[i] = 0;
    if (!ok) {
        // What was read of a refused secret goes no further.
        std::fill(text.begin(), text.end(), '\0');
        text.clear();
    }
    return ok;
}

} // namespace platform
