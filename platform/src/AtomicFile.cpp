#include "platform/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

std::error_code LastErrno() {
    return {errno, std::generic_category()};
}

// Creates a fresh temporary file in folder; -1 with errno on failure.
int CreateTemporary(const std::filesystem::path& folder, const std::string& name,
                    std::filesystem::path* path) {
    thread_local std::mt19937_64 rng{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[17];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(rng()));
        *path = folder / ("." + name + "." + suffix + ".tmp");
        // 0666: the umask applies, as it does to any file the user creates.
        const int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

std::error_code WriteAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return LastErrno();
        }
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

// The file a write to file replaces: the target of a link.
std::filesystem::path ReplacedFile(const std::filesystem::path& file, std::error_code& ec) {
    if (std::filesystem::is_symlink(file, ec)) {
        auto resolved = std::filesystem::weakly_canonical(file, ec);
        return ec ? file : resolved;
    }
    ec.clear();
    return file;
}

} // namespace

FileUpdateLock::~FileUpdateLock() { Unlock(); }

void FileUpdateLock::Unlock() {
    if (fd_ >= 0)
        ::close(static_cast<int>(fd_)); // releases the flock
    fd_ = -1;
}

std::error_code FileUpdateLock::Lock(const std::filesystem::path& file) {
    try {
        Unlock();
        std::error_code ec;
        const std::filesystem::path target = ReplacedFile(file, ec);
        if (ec)
            return ec;
        if (!target.has_filename())
            return std::make_error_code(std::errc::is_a_directory);
        const std::filesystem::path side =
            (target.has_parent_path() ? target.parent_path() : std::filesystem::path(".")) /
            ("." + target.filename().string() + ".lock");
        const int fd = ::open(side.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return LastErrno();
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno == EINTR)
                continue;
            ec = LastErrno();
            ::close(fd);
            return ec;
        }
        fd_ = fd;
        return {};
    } catch (const std::bad_alloc&) {
        return std::make_error_code(std::errc::not_enough_memory);
    } catch (const std::filesystem::filesystem_error& e) {
        return e.code();
    }
}

std::error_code WriteFileAtomically(const std::filesystem::path& file, std::string_view content) {
    try {
        std::error_code ec;
        const std::filesystem::path target = ReplacedFile(file, ec);
        if (ec)
            return ec;
        if (!target.has_filename())
            return std::make_error_code(std::errc::is_a_directory);
        const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";

        struct stat old {};
        const bool replacing = ::stat(target.c_str(), &old) == 0;
        if (replacing && !S_ISREG(old.st_mode))
            return std::make_error_code(std::errc::invalid_argument);

        std::filesystem::path temporary;
        const int fd = CreateTemporary(folder, target.filename().string(), &temporary);
        if (fd < 0)
            return LastErrno();
        ec = WriteAll(fd, content);
        if (!ec && replacing) {
            // Keep the owner where we may (root saving a user's file) and the mode.
            if (::fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM)
                ec = LastErrno();
            if (!ec && ::fchmod(fd, old.st_mode & 07777) != 0)
                ec = LastErrno();
        }
        if (!ec && ::fsync(fd) != 0)
            ec = LastErrno();
        if (::close(fd) != 0 && !ec)
            ec = LastErrno();
        if (!ec && ::rename(temporary.c_str(), target.c_str()) != 0)
            ec = LastErrno();
        if (ec) {
            ::unlink(temporary.c_str());
            return ec;
        }
        // The rename itself is durable once the folder is flushed. The content is
        // already in place, so a failure here is not reported as a failed save.
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        return {};
    } catch (const std::bad_alloc&) {
        return std::make_error_code(std::errc::not_enough_memory);
    } catch (const std::filesystem::filesystem_error& e) {
        return e.code();
    }
}

std::error_code ReadWholeFile(const std::filesystem::path& file, std::string* out, bool* missing) {
    *missing = false;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            *missing = true;
            return {};
        }
        return {errno, std::generic_category()};
    }
    std::error_code ec;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        ec = std::make_error_code(std::errc::invalid_argument);
    } else {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                ec = {errno, std::generic_category()};
                break;
            }
            if (n == 0)
                break;
            out->append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return ec;
}

} // namespace platform
