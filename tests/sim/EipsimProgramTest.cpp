// The eipsim program starts, reports its port and answers a fresh session.
#include "SimTestClient.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

TEST(EipsimProgramTest, PrintsTheListeningLineAndAnswersASession) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string path = EIPSIM_PATH;
    std::string portArg = "--port";
    std::string zero = "0";
    char* argv[] = {path.data(), portArg.data(), zero.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);

    // The first line, read up to its newline.
    std::string line;
    char c = 0;
    while (::read(out[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    ::close(out[0]);
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const int port = std::stoi(line.substr(prefix.size()));
    ASSERT_GT(port, 0);
    {
        simtest::TestConnection connection(static_cast<std::uint16_t>(port));
        const std::uint32_t handle = connection.Register();
        EXPECT_NE(handle, 0u);
        // Read Tag "Counter" of the built-in sample: 123456.
        EXPECT_EQ(connection.Request(
                      handle,
                      simtest::Cat({{0x4C, 0x05, 0x91, 0x07}, simtest::Text("Counter"), {0x00, 0x01, 0x00}})),
                  simtest::Bytes({0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x40, 0xE2, 0x01, 0x00}));
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
