// The eipsim program: its options, each checked through a fresh session, and
// a clean exit on SIGTERM. (The listening line and the default sample's
// values are what every qorhost test against TSim starts with.)
#include "../host/CliProcess.h"
#include "SimFixture.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using clitest::TSim;

// SIGTERM, then the exit status.
int StopAndWait(TSim& sim) {
    sim.Process().Signal(SIGTERM);
    return sim.Process().Wait();
}

// Runs eipsim with arguments it must refuse: no listening line; its exit status.
int RefusedStatus(std::vector<std::string> args) {
    TSim sim(std::move(args));
    EXPECT_EQ(sim.Port(), 0);
    return sim.Process().Wait();
}

TEST(EipsimProgramTest, APersonalityAndATagFileAreChosenAtStart) {
    TSim sim({"--personality", "micro800", "--tags", QOR_SOURCE_DIR "/sim/sample-tags.txt"});
    ASSERT_GT(sim.Port(), 0);
    {
        simtest::TestConnection connection(static_cast<std::uint16_t>(sim.Port()));
        const std::uint32_t handle = connection.Register();
        EXPECT_EQ(connection.Request(handle, {0x0E, 0x03, 0x20, 0x01, 0x24, 0x01, 0x30, 0x07}),
                  simtest::Cat({{0x8E, 0x00, 0x00, 0x00, 0x12}, simtest::Text("Simulated Micro800")}));
        // Symbolic reads need a connection on this family.
        EXPECT_EQ(connection.Request(handle, simtest::ReadCounter), simtest::Bytes({0xCC, 0x00, 0x08, 0x00}));
    }
    EXPECT_EQ(StopAndWait(sim), 0);

    // An unknown family is a usage error: no listening line, a non-zero exit.
    const int status = RefusedStatus({"--personality", "plc5"});
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
}

TEST(EipsimProgramTest, FaultOptionsCloseAfterErrorsAndTakeAChaosSeed) {
    TSim sim({"--close-on-error", "--chaos", "3:0"});
    ASSERT_GT(sim.Port(), 0);
    {
        simtest::TestConnection connection(static_cast<std::uint16_t>(sim.Port()));
        const std::uint32_t handle = connection.Register();
        // Rate 0: no random fault; a good read keeps the connection.
        EXPECT_EQ(connection.Request(handle, simtest::ReadCounter), simtest::CounterValue);
        // Read Tag of an unknown tag: 0x05, then the connection is closed.
        const simtest::Bytes unknown =
            simtest::Cat({{0x4C, 0x03, 0x91, 0x04}, simtest::Text("NOPE"), {0x01, 0x00}});
        EXPECT_EQ(connection.Request(handle, unknown), simtest::Bytes({0xCC, 0x00, 0x05, 0x00}));
        EXPECT_TRUE(connection.PeerClosed());
    }
    EXPECT_EQ(StopAndWait(sim), 0);

    for (const char* bad : {"x", "3:2", "3:"})
        EXPECT_EQ(RefusedStatus({"--chaos", bad}), 2) << bad;
    // The chaos's shape takes no negative times.
    EXPECT_NE(RefusedStatus({"--chaos", "3", "--chaos-spacing-ms", "-5"}), 0);
}

TEST(EipsimProgramTest, AFaultLogHasOneLinePerFaultAsItFires) {
    char folder[] = "/tmp/eipsim-faultlog-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string log = std::string(folder) + "/faults.txt";
    TSim sim({"--delay-ms", "30", "--fault-log", log});
    ASSERT_GT(sim.Port(), 0);
    {
        simtest::TestConnection connection(static_cast<std::uint16_t>(sim.Port()));
        const std::uint32_t handle = connection.Register();
        EXPECT_EQ(connection.Request(handle, simtest::ReadCounter), simtest::CounterValue);
    }
    EXPECT_EQ(StopAndWait(sim), 0);
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
