// The eipsim program starts, reports its port and answers a fresh session.
#include "SimFixture.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <cstdio>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace {

// Starts eipsim with the arguments (after "--port 0"); returns its pid and
// the port from its first line, or port 0 when the line did not come.
std::pair<pid_t, int> Spawn(std::vector<std::string> args) {
    int out[2];
    if (::pipe(out) != 0) {
        return {0, 0};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    args.insert(args.begin(), {EIPSIM_PATH, "--port", "0"});
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return {0, 0};
    }
    // The first line, read up to its newline.
    std::string line;
    char c = 0;
    while (::read(out[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    ::close(out[0]);
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) {
        return {pid, 0};
    }
    return {pid, std::stoi(line.substr(prefix.size()))};
}

int StopAndWait(pid_t pid) {
    ::kill(pid, SIGTERM);
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// Runs eipsim with arguments it must refuse: no listening line; its exit status.
int RefusedStatus(std::vector<std::string> args) {
    const auto [pid, port] = Spawn(std::move(args));
    EXPECT_EQ(port, 0);
    int status = 0;
    if (pid == 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST(EipsimProgramTest, PrintsTheListeningLineAndAnswersASession) {
    const auto [pid, port] = Spawn({});
    ASSERT_NE(pid, 0);
    ASSERT_GT(port, 0);
    {
        simtest::TestConnection connection(static_cast<std::uint16_t>(port));
        const std::uint32_t handle = connection.Register();
        EXPECT_NE(handle, 0u);
        // Read Tag "Counter" of the built-in sample: 123456.
        EXPECT_EQ(connection.Request(handle, simtest::ReadCounter), simtest::CounterValue);
    }
    EXPECT_EQ(StopAndWait(pid), 0);
}

TEST(EipsimProgramTest, APersonalityAndATagFileAreChosenAtStart) {
    const auto [pid, port] =
        Spawn({"--personality", "micro800", "--tags", QOR_SOURCE_DIR "/sim/sample-tags.txt"});
    ASSERT_NE(pid, 0);
    ASSERT_GT(port, 0);
    {
        simtest::TestConnection connection(static_cast<std::uint16_t>(port));
        const std::uint32_t handle = connection.Register();
        EXPECT_EQ(connection.Request(handle, {0x0E, 0x03, 0x20, 0x01, 0x24, 0x01, 0x30, 0x07}),
                  simtest::Cat({{0x8E, 0x00, 0x00, 0x00, 0x12}, simtest::Text("Simulated Micro800")}));
        // Symbolic reads need a connection on this family.
        EXPECT_EQ(connection.Request(handle, simtest::ReadCounter), simtest::Bytes({0xCC, 0x00, 0x08, 0x00}));
    }
    EXPECT_EQ(StopAndWait(pid), 0);

    // An unknown family is a usage error: no listening line, a non-zero exit.
    const int status = RefusedStatus({"--personality", "plc5"});
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
}

TEST(EipsimProgramTest, FaultOptionsCloseAfterErrorsAndTakeAChaosSeed) {
    const auto [pid, port] = Spawn({"--close-on-error", "--chaos", "3:0"});
    ASSERT_NE(pid, 0);
    ASSERT_GT(port, 0);
    {
        simtest::TestConnection connection(static_cast<std::uint16_t>(port));
        const std::uint32_t handle = connection.Register();
        // Rate 0: no random fault; a good read keeps the connection.
        EXPECT_EQ(connection.Request(handle, simtest::ReadCounter), simtest::CounterValue);
        // Read Tag of an unknown tag: 0x05, then the connection is closed.
        const simtest::Bytes unknown =
            simtest::Cat({{0x4C, 0x03, 0x91, 0x04}, simtest::Text("NOPE"), {0x01, 0x00}});
        EXPECT_EQ(connection.Request(handle, unknown), simtest::Bytes({0xCC, 0x00, 0x05, 0x00}));
        EXPECT_TRUE(connection.PeerClosed());
    }
    EXPECT_EQ(StopAndWait(pid), 0);

    for (const char* bad : {"x", "3:2", "3:"})
        EXPECT_EQ(RefusedStatus({"--chaos", bad}), 2) << bad;
    // The chaos's shape takes no negative times.
    EXPECT_NE(RefusedStatus({"--chaos", "3", "--chaos-spacing-ms", "-5"}), 0);
}

TEST(EipsimProgramTest, AFaultLogHasOneLinePerFaultAsItFires) {
    char folder[] = "/tmp/eipsim-faultlog-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string log = std::string(folder) + "/faults.txt";
    const auto [pid, port] = Spawn({"--delay-ms", "30", "--fault-log", log});
    ASSERT_NE(pid, 0);
    ASSERT_GT(port, 0);
    {
        simtest::TestConnection connection(static_cast<std::uint16_t>(port));
        const std::uint32_t handle = connection.Register();
        EXPECT_EQ(connection.Request(handle, simtest::ReadCounter), simtest::CounterValue);
    }
    EXPECT_EQ(StopAndWait(pid), 0);
    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::filesystem::remove_all(folder);
    // TIME_MS KIND LASTS_MS COMMAND SERVICE: the registration, then the read
    // routed through Unconnected Send (its embedded service).
    ASSERT_EQ(lines.size(), 2u);
    const auto fields = [](const std::string& line) {
        std::istringstream in(line);
        std::vector<std::string> out;
        for (std::string f; in >> f;)
            out.push_back(f);
        return out;
    };
    const auto registration = fields(lines[0]);
    const auto read = fields(lines[1]);
    ASSERT_EQ(registration.size(), 5u);
    ASSERT_EQ(read.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(registration.begin() + 1, registration.end()),
              (std::vector<std::string>{"delay", "30", "0x65", "-"}));
    EXPECT_EQ(std::vector<std::string>(read.begin() + 1, read.end()),
              (std::vector<std::string>{"delay", "30", "0x6f", "0x4c"}));
    const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    const long long at = std::stoll(read[0]);
    EXPECT_LE(at, now);
    EXPECT_GT(at, now - 60000);
    EXPECT_LE(std::stoll(registration[0]), at);

    // A log that cannot be written is a usage error.
    EXPECT_EQ(RefusedStatus({"--fault-log", "/nonexistent-folder/faults.txt"}), 2);
}

} // namespace
