#include "FileAccess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host::files {

namespace {
// Owner read and write, everyone else read: never group- or world-writable,
// whatever the umask (which can only take bits away).
constexpr mode_t kCreateMode = 0644;
} // namespace

void TreatFileSizeLimitAsWriteError() {
    std::signal(SIGXFSZ, SIG_IGN);
}

std::string TakeEnvironmentSecret(const char* name) {
    char* value = std::getenv(name);
    if (value == nullptr)
        return {};
    std::string text(value);
    for (char* p = value; *p != '\0'; ++p)
        *p = '*';
    ::unsetenv(name);
    return text;
}

std::string ErrorText(int error) {
    return std::strerror(error);
}

std::string TAppendFile::Open(const std::string& path) {
    Close();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kCreateMode);
    if (fd < 0)
        return ErrorText(errno);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return ErrorText(EISDIR);
    }
    fd_ = fd;
    owned_ = true;
    return {};
}

void TAppendFile::UseStandardOutput() {
    Close();
    fd_ = STDOUT_FILENO;
    owned_ = false;
}

void TAppendFile::Close() {
    if (fd_ >= 0 && owned_)
        ::close(fd_);
    fd_ = -1;
    owned_ = false;
}

bool TAppendFile::IsRegular() const {
    struct stat st {};
    return fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
}

std::int64_t TAppendFile::Size() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

TAppendFile::TWritten TAppendFile::Write(std::string_view data) {
    TWritten result;
    while (result.Bytes < data.size()) {
        const ssize_t n = ::write(fd_, data.data() + result.Bytes, data.size() - result.Bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A write that takes nothing without an error is a full device.
            result.Error = n < 0 ? errno : ENOSPC;
            break;
        }
        result.Bytes += static_cast<std::size_t>(n);
    }
    return result;
}

int TAppendFile::WriteRecord(std::string_view record) {
    const std::int64_t before = Size();
    const TWritten written = Write(record);
    if (written.Error != 0 && written.Bytes > 0 && before >= 0)
        TruncateTo(before);
    return written.Error;
}

std::string TAppendFile::TruncateTo(std::int64_t size) {
    while (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
        if (errno != EINTR)
            return ErrorText(errno);
    return {};
}

std::string TAppendFile::Sync() {
    if (fd_ < 0 || !IsRegular())
        return {};
    if (::fsync(fd_) != 0)
        return ErrorText(errno);
    return {};
}

bool ReadSecretFile(const std::string& path, std::string& text, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = "cannot read " + path + ": " + ErrorText(errno);
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) {
        why = "cannot look at " + path + ": " + ErrorText(errno);
    } else if (!S_ISREG(st.st_mode)) {
        why = path + " is not a regular file";
        ok = false;
    } else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        why = path + " may be read or written by group or others (mode " + mode +
              "); allow its owner only (chmod 600)";
        ok = false;
    }
    text.clear();
    char buffer[4096];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = "cannot read " + path + ": " + ErrorText(errno);
            ok = false;
        }
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > 64 * 1024) {
            why = path + " is too large for a password file";
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

int FileMode(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}

} // namespace host::files
