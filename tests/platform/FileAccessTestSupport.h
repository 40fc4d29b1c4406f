// Who may read or change a file is the system's own matter: mode bits and the
// umask on Linux, access control lists on Windows. The file access tests set
// and look at it through these, one implementation per system.
#pragma once

#include <filesystem>
#include <string>

namespace file_access_test {

// While it lives, a file made in folder may be changed by anyone unless its
// maker says otherwise: the folder lets everyone do everything in it (Linux:
// mode 0777 and a umask that takes nothing away; Windows: Everyone and the
// Users given full control of the folder and of what is made in it).
class OpenFolder {
public:
    explicit OpenFolder(const std::filesystem::path& folder);
    ~OpenFolder();
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;

private:
    unsigned saved_ = 0; // the umask on Linux
};

// Writes a file only its owner may read or change (Windows: and SYSTEM and
// the Administrators).
void WritePrivateFile(const std::filesystem::path& file, const std::string& text);
// Writes a file everyone may read; only its owner may change it.
void WriteSharedFile(const std::filesystem::path& file, const std::string& text);
// Anyone else (Linux: group or others; Windows: Everyone, the Users or the
// Authenticated Users) may write to the file, append to it, delete it or
// change who may.
bool OthersMayChange(const std::filesystem::path& file);

} // namespace file_access_test
