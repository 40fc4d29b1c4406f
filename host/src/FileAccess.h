// The operating-system file calls of the logger's outputs and log, kept in
// one place: files the logger creates are never world-writable whatever the
// umask, a write says how much of it reached the file, and a record that went
// out only in part can be cut off again.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace host::files {

// A file opened for appending (or standard output), closed with the object.
class TAppendFile {
public:
    TAppendFile() = default;
    ~TAppendFile() { Close(); }
    TAppendFile(const TAppendFile&) = delete;
    TAppendFile& operator=(const TAppendFile&) = delete;
    TAppendFile(TAppendFile&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), owned_(std::exchange(other.owned_, false)) {}
    TAppendFile& operator=(TAppendFile&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
            owned_ = std::exchange(other.owned_, false);
        }
        return *this;
    }

    // Opens path for appending, creating it with mode 0644 (less the
    // umask's bits). Empty when it worked, else why not.
    std::string Open(const std::string& path);
    void UseStandardOutput();
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    // A regular file: its size can be asked and a partial write cut off.
    bool IsRegular() const;
    // The file's size in bytes, -1 when it cannot be told.
    std::int64_t Size() const;

    struct TWritten {
        std::size_t Bytes = 0; // how much reached the file
        int Error = 0;         // errno of the write that stopped short; 0 when all went
    };
    TWritten Write(std::string_view data);
    // Writes one record whole or not at all: what went out of a record that
    // stopped short is cut off again. errno of the failure, 0 when written.
    int WriteRecord(std::string_view record);
    // Cuts the file back to size bytes; empty when it worked, else why not.
    std::string TruncateTo(std::int64_t size);
    // The file's data on the disk; empty when it worked, else why not.
    std::string Sync();

private:
    int fd_ = -1;
    bool owned_ = false;
};

// A file that reaches the process's file size limit (RLIMIT_FSIZE) fails
// its writes like a full disk, rather than ending the process with SIGXFSZ:
// the outputs keep what they could not write and say so.
void TreatFileSizeLimitAsWriteError();

// The value of an environment variable that holds a secret, taken out of
// the environment: the variable is removed (programs started later do not
// inherit it) and its text in the process's first environment block, which
// /proc/PID/environ shows, is overwritten.
std::string TakeEnvironmentSecret(const char* name);

// The text of an errno value.
std::string ErrorText(int error);

// Reads a file that holds a secret. Refused (false, why) when it is not a
// regular file or group or others may read or write it: a secret that
// anyone on the machine can read is no secret.
bool ReadSecretFile(const std::string& path, std::string& text, std::string& why);

// The permission bits of a file, -1 when it cannot be looked at.
int FileMode(const std::string& path);

} // namespace host::files
