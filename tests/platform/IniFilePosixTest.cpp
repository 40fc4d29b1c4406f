// What an INI file save does with what only Linux offers the tests: a file
// size limit to fail a write part way, permission bits and symbolic links,
// and processes made with fork().
#include "platform/IniFile.h"

#include "ChildProcess.h"
#include "IniFileSavers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

using platform::IniFile;
using settings_test::ExpectEveryKeyOf;
using settings_test::kOriginal;
using settings_test::kRounds;
using settings_test::ReadText;
using settings_test::RunInChild;
using settings_test::SaveRounds;
using settings_test::WriteText;
using ::testing::UnorderedElementsAre;

class IniFilePosixTest : public settings_test::IniFileFixture {};

TEST_F(IniFilePosixTest, FailedSaveLeavesTheOriginalFileWholeAndNoTemporaryBehind) {
    WriteText(File(), kOriginal);
    // The child may write files of at most 16 bytes: writing the new content
    // fails part way, as on a full disk.
    const int code = RunInChild([this] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16, 16};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 2;
        IniFile ini(File());
        ini.WriteString("DS1.Common", "Interval", "2000");
        const std::error_code ec = ini.UpdateFile();
        return ec == std::errc::file_too_large ? 0 : 3;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadText(File()), kOriginal);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_.Path()))
        names.push_back(entry.path().filename().string());
    // The lock file of the save stays (it is not a temporary).
    EXPECT_THAT(names, UnorderedElementsAre("settings.ini", ".settings.ini.lock"));
}

TEST_F(IniFilePosixTest, SaveKeepsPermissionsAndReplacesTheTargetOfALink) {
    const auto target = folder_ / "real.ini";
    WriteText(target, "[A]\nk=1\n");
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    std::filesystem::create_symlink("real.ini", File());

    IniFile ini(File());
    ini.WriteString("A", "k", "2");
    ASSERT_FALSE(ini.UpdateFile());

    EXPECT_TRUE(std::filesystem::is_symlink(File()));
    EXPECT_EQ(ReadText(target), "[A]\nk=2\n");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(IniFilePosixTest, ProcessesSavingOneFileKeepEachOthersKeys) {
    // Two children and this process start together once both children are
    // ready (a pipe each way), then save their own keys.
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    for (const char* prefix : {"DS1", "DS2"}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            char c = 0;
            if (::write(ready[1], "r", 1) != 1 || ::read(go[0], &c, 1) != 1)
                ::_exit(2);
            ::_exit(SaveRounds(File(), prefix, kRounds));
        }
        children.push_back(pid);
    }
    char c = 0;
    for (std::size_t i = 0; i < children.size(); ++i)
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(::write(go[1], "gg", 2), 2);
    EXPECT_EQ(SaveRounds(File(), "Host", kRounds), 0);
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int fd : {ready[0], ready[1], go[0], go[1]})
        ::close(fd);
    ExpectEveryKeyOf(File(), kRounds);
}

} // namespace
