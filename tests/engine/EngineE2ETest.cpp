// The engine end to end: the plug-in library loaded by the substitute host,
// which stores a request list the way the options dialog does and connects
// each data source to a simulated controller over loopback TCP.
#include "EngineRig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace enginetest;
using namespace std::chrono_literals;

// Every kind of value under its names is the truth test's (qorhost run over
// generated tables); here the standard items every packet carries.
TEST(EngineE2ETest, APacketCarriesTheStandardItems) {
    auto plc = StartSim();
    Rig rig;
    rig.Configure({{"Counter", "Counter", "CNT"}});
    rig.Connect({{1, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return !rig.PacketsOf("Counter").empty(); }))
        << "missing packets; log: " << (rig.log_.empty() ? "" : rig.log_.back());
    auto counter = Values(rig.PacketsOf("Counter").front());
    EXPECT_EQ(counter["CNT"].AsInteger(), 123456);
    EXPECT_EQ(counter["DATA_SOURCE_ID"].AsInteger(), 1);
    EXPECT_EQ(counter["DATA_SOURCE_NAME"].AsString(), "DS1");
    EXPECT_EQ(counter["EIP_DEVICE"].AsString(), "Simulated Controller");
    EXPECT_EQ(counter["EIP_ADDRESS"].AsString(), "Counter");
    EXPECT_TRUE(counter.count("DATE_TIME_STAMP"));
}

TEST(EngineE2ETest, CombinedPacketsKeepComingWhenOneItemKeepsFailing) {
    auto plc = StartSim();
    Rig rig;
    rig.Configure({{"A", "Counter", "A"}, {"Missing", "NoSuchTag", "X", 1, "", "1", 20, 200}, {"B", "Speed", "B"}}, /*exportAll=*/true);
    rig.Connect({{1, plc->Port()}});
    const auto complete = [&] {
        const auto p = rig.Packets();
        return std::count_if(p.begin(), p.end(), [](auto& x) { return Values(x).size() > 8; });
    };
    ASSERT_TRUE(rig.RunUntil([&] { return complete() >= 3; }));
    for (const auto& packet : rig.Packets()) {
        // An item that failed in a cycle is absent from its packet; the ones
        // that answered are there.
        auto v = Values(packet);
        EXPECT_TRUE(v.count("A") || v.count("B"));
        if (v.count("A")) {
            EXPECT_EQ(v["A"].AsInteger(), 123456);
        }
        if (v.count("B")) {
            EXPECT_EQ(v["B"].AsInteger(), 1500);
        }
        EXPECT_EQ(v.count("X"), 0u);
        // The header once, from the first contributor.
        int headers = 0;
        for (int i = 0; i < packet.Items->Count(); ++i)
            headers += packet.Items->GetItem(i)->Name == "EIP_REQ";
        EXPECT_EQ(headers, 1);
        EXPECT_EQ(v["EIP_REQ"].AsString(), v.count("A") ? "A" : "B");
        EXPECT_EQ(v["EIP_DEVICE"].AsString(), "Simulated Controller");
    }
    EXPECT_TRUE(rig.Logged("Operation failed (ReadTag"));
}

TEST(EngineE2ETest, ACombinedPacketWaitsForEveryEnabledPolledItemAndNoOther) {
    // A disabled item, or one whose device path does not read, is never
    // sent, so it never answers: the cycle is complete without it. A read-once item (here an attribute, which goes
    // alone and so answers first) joins the packet it answers in, but does
    // not stand in for a polled item that has not answered yet.
    auto plc = StartSim();
    Rig rig;
    Req off{"Off", "Speed", "S"};
    off.Enabled = false;
    Req lost{"Lost", "Counter", "L"};
    lost.Device = "1,999";
    rig.Configure({{"Once", "@1/1/7", "P", 1, "", "1", 0}, {"A", "Counter", "A"}, off, lost,
                   {"B", "Temperature", "T"}},
                  /*exportAll=*/true);
    rig.Connect({{1, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return rig.Packets().size() >= 3; }));
    int once = 0;
    for (const auto& packet : rig.Packets()) {
        auto v = Values(packet);
        EXPECT_EQ(v["A"].AsInteger(), 123456);
        EXPECT_TRUE(v.count("T"));
        EXPECT_EQ(v.count("S") + v.count("L"), 0u);
        once += static_cast<int>(v.count("P"));
    }
    EXPECT_EQ(once, 1);
    EXPECT_TRUE(rig.Logged("Invalid device path \"1,999\""));
}

TEST(EngineE2ETest, OnceItemsGoOncePerLoadAndSettingsReload) {
    auto plc = StartSim();
    Rig rig;
    rig.Configure({{"Once", "Counter", "O", 1, "", "1", 0}, {"Poll", "Speed", "P", 1, "", "1", 10}});
    rig.Connect({{1, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketsOf("Poll").size() >= 10; }));
    EXPECT_EQ(rig.PacketsOf("Once").size(), 1u);
    qor::TqorParamsList params;
    params.Add("INI-FILE", rig.IniFile());
    params.Add("NO-SAVE", 1);
    EXPECT_EQ(rig.Instance().Execute("LOAD-SETTINGS-NOW", params), -2); // the answer hosts expect
    const std::size_t mark = rig.PacketCount();
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketsOf("Poll", mark).size() >= 10; }));
    EXPECT_EQ(rig.PacketsOf("Once").size(), 2u);
}

TEST(EngineE2ETest, ASilentDeviceBlocksItsDataSourceUntilTheTimeOutButNotTheOthers) {
    auto silent = StartSim();
    auto live = StartSim();
    Rig rig;
    rig.Configure({{"A", "Counter", "A", 1, "", "1", 10, 300}, {"B", "Speed", "B", 1, "", "1", 10, 300}});
    rig.Connect({{1, silent->Port()}, {2, live->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return rig.CountOf(1) > 4; }));
    silent->Faults().Add(sim::FaultRule(sim::FaultKind::Silent, sim::FaultRule::Always).OnCommand(0x6F));
    rig.RunFor(300ms);
    const std::size_t mark = rig.PacketCount();
    ASSERT_TRUE(rig.RunUntil([&] { return rig.CountOf(2, mark) >= 40; }));
    EXPECT_LE(rig.CountOf(1, mark), 1u);
    // The device speaks again: the data source polls again by itself.
    silent->Faults().Clear();
    const std::size_t mark2 = rig.PacketCount();
    ASSERT_TRUE(rig.RunUntil([&] { return rig.CountOf(1, mark2) >= 4; }, 20s));
}

TEST(EngineE2ETest, ChannelEventsStopAndResumePollingAndDroppedConnectionsRecover) {
    auto plc = StartSim();
    Rig rig;
    rig.Configure({{"A", "Counter", "A", 1, "", "1", 10, 500}});
    rig.Connect({{1, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketCount() >= 3; }));
    // The host reports the channel closed: nothing more is sent.
    EXPECT_EQ(rig.Instance().ProcessEvent(1, 258), 0);
    rig.RunFor(100ms);
    const std::size_t closed = rig.PacketCount();
    rig.RunFor(300ms);
    EXPECT_EQ(rig.PacketCount(), closed);
    EXPECT_EQ(rig.Instance().ProcessEvent(1, 257), 0);
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketCount() >= closed + 3; }));
    // The device drops the connection: the host reconnects and polling goes on.
    plc->Faults().Add(sim::FaultRule(sim::FaultKind::Close, 1).OnService(0x4C));
    const std::size_t before = plc->Counters().Connections;
    ASSERT_TRUE(rig.RunUntil([&] { return plc->Counters().Connections > before; }));
    const std::size_t mark = rig.PacketCount();
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketCount() >= mark + 3; }));
}

TEST(EngineE2ETest, RepeatedConnectFailuresMakeTheHostReopenItsChannel) {
    auto plc = StartSim();
    Rig rig(std::string("Ethernet/IP [AB Micro 800]"));
    plc->Faults().Add(sim::FaultRule(sim::FaultKind::RefuseForwardOpen, sim::FaultRule::Always));
    rig.Configure({{"A", "Counter", "A", 1, "", "1", 10, 300}});
    rig.Connect({{1, plc->Port()}});
    // Three failed connects in a row: "<<CLOSE>>" reaches the host, which
    // closes the connection and opens a new one.
    ASSERT_TRUE(rig.RunUntil([&] { return plc->Counters().Connections >= 3; }, 20s));
    plc->Faults().Clear();
    const std::size_t mark = rig.PacketCount();
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketCount() >= mark + 3; }, 20s));
    EXPECT_EQ(Values(rig.Packets().back())["A"].AsInteger(), 123456);
}

// A device takes one registration per TCP connection. A connect that failed
// after its bytes reached the device (the registration's reply lost, a
// Forward Open refused) may have left one there, so the next connect goes on
// a new connection: no registration is ever refused as a second one.
TEST(EngineE2ETest, AConnectThatFailedAtTheDeviceIsTriedAgainOnANewConnection) {
    struct Case {
        std::string Type;
        sim::Personality Family;
        sim::FaultRule Fault;
    };
    const std::vector<Case> cases = {
        {"Ethernet/IP", sim::Personality::Logix, sim::FaultRule(sim::FaultKind::Silent).OnCommand(0x65)},
        {"Ethernet/IP [AB Micro 800]", sim::Personality::Micro800,
         sim::FaultRule(sim::FaultKind::RefuseForwardOpen)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Type);
        auto plc = StartSim(c.Family);
        const int rule = plc->Faults().Add(c.Fault);
        Rig rig(c.Type);
        rig.Configure({{"A", c.Family == sim::Personality::Logix ? "Counter" : "Speed", "A", 1, "", "1", 10, 300}});
        rig.Connect({{1, plc->Port()}});
        ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketCount() >= 3; }, 20s));
        EXPECT_EQ(plc->Faults().RuleHits(rule), 1u);
        EXPECT_GE(plc->Counters().Connections, 2u);
        EXPECT_FALSE(rig.Logged("Session could not be registered"));
    }
}

// A connect goes to the worker together with a read, and gives up on a reply
// when the read would: a registration answered after the item's time-out is
// not waited for (the data source would stand still for the session's whole
// time-out); the next connect goes on a new connection.
TEST(EngineE2ETest, AConnectWaitsForEachReplyNoLongerThanItsRead) {
    auto plc = StartSim();
    plc->Faults().Add(sim::FaultRule(sim::FaultKind::Delay).OnCommand(0x65).WithPause(2500ms));
    Rig rig;
    rig.Configure({{"A", "Counter", "A", 1, "", "1", 10, 300}});
    rig.Connect({{1, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketCount() >= 3; }, 20s));
    // The late registration was given up on and its connection replaced.
    EXPECT_EQ(plc->Counters().Connections, 2u);
    EXPECT_TRUE(rig.Logged("Operation failed (Connect, Response timeout)"));
    EXPECT_EQ(Values(rig.Packets().back())["A"].AsInteger(), 123456);
}

TEST(EngineE2ETest, DataSourcesComeAndGoWithTheStateWhileReadsAreInFlight) {
    auto plc = StartSim();
    Rig rig;
    rig.Configure({{"A", "Counter", "A", 1, "", "1", 1, 2000}});
    rig.Connect({{1, plc->Port()}, {2, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return rig.CountOf(2) >= 3; }));
    // Replies held back: data source 2 goes while its worker waits for one.
    plc->Faults().Add(sim::FaultRule(sim::FaultKind::Delay, sim::FaultRule::Always).WithPause(400ms));
    rig.RunFor(50ms);
    rig.Connect({{1, plc->Port()}});
    plc->Faults().Clear();
    const std::size_t mark = rig.PacketCount();
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketCount() >= mark + 5; }));
    rig.RunFor(100ms);
    EXPECT_EQ(rig.CountOf(2, mark + 1), 0u);
    // And back again.
    rig.Connect({{1, plc->Port()}, {2, plc->Port()}});
    const std::size_t mark2 = rig.PacketCount();
    ASSERT_TRUE(rig.RunUntil([&] { return rig.CountOf(2, mark2) >= 3; }));
    // Unload while requests are queued and replies are late.
    plc->Faults().Add(sim::FaultRule(sim::FaultKind::Delay, sim::FaultRule::Always).WithPause(300ms));
    rig.RunFor(30ms);
}

// "Ethernet/IP", the Micro800 and the MicroLogix types read their controllers
// in the truth test (qorhost run); the fourth type reads a Logix controller.
TEST(EngineE2ETest, TheLogix5550TypeReadsALogixController) {
    auto plc = StartSim(sim::Personality::Logix);
    Rig rig("Ethernet/IP [Logix 5550]");
    rig.Configure({{"A", "Temperature", "V"}});
    rig.Connect({{1, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketCount() >= 2; }))
        << (rig.log_.empty() ? "" : rig.log_.back());
    EXPECT_DOUBLE_EQ(Values(rig.Packets().back())["V"].AsDouble(), 21.5);
}

// Many items whose values are distinct and known, polled while the device
// misbehaves at random: no value may ever reach the host under another
// item's name, and polling must resume after every fault.
// Run with the items read one by one and read together.
class EngineIntegrityTest : public ::testing::TestWithParam<bool> {};

TEST_P(EngineIntegrityTest, NoValueIsEverAttributedToTheWrongItemUnderRandomFaults) {
    auto plc = StartSim();
    constexpr int kItems = 12;
    std::vector<Req> items;
    for (int i = 0; i < kItems; ++i) {
        const std::string name = "V" + std::to_string(i);
        plc->Tags().Set(sim::MakeTag<std::int32_t>(name, sim::CipType::Dint, {}, {1000 + 37 * i}));
        items.push_back({name, name, name, 1, "", "1", 1, 250});
    }
    Rig rig;
    rig.Configure(items, false, 0, GetParam());
    rig.Connect({{1, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketCount() >= kItems; }));

    std::mt19937 random(20261207);
    const sim::FaultKind kinds[] = {sim::FaultKind::Delay,    sim::FaultKind::Split,   sim::FaultKind::Truncate,
                                    sim::FaultKind::Garbage,  sim::FaultKind::Close,   sim::FaultKind::WrongLength,
                                    sim::FaultKind::Delay,    sim::FaultKind::Split,   sim::FaultKind::Silent};
    int faults = 0, silent = 0;
    const auto deadline = std::chrono::steady_clock::now() + 8s;
    while (std::chrono::steady_clock::now() < deadline) {
        sim::FaultKind kind = kinds[random() % std::size(kinds)];
        if (kind == sim::FaultKind::Silent && ++silent > 1)
            kind = sim::FaultKind::Delay; // each silence costs a whole session time-out
        sim::FaultRule rule(kind, 1);
        rule.OnCommand(0x6F); // the reads, one by one or combined

        if (kind == sim::FaultKind::Delay)
            rule.WithPause(std::chrono::milliseconds(100 + random() % 500)); // often past the item's time-out
        if (kind == sim::FaultKind::Split)
            rule.InParts(2 + static_cast<int>(random() % 3)).WithPause(5ms);
        plc->Faults().Add(rule);
        ++faults;
        const std::size_t mark = rig.PacketCount();
        // Polling resumes after each fault.
        ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketCount() >= mark + 2 * kItems; }, 15s))
            << "no packets after fault " << faults << " (kind " << static_cast<int>(kind) << ")";
    }
    std::size_t reads = 0;
    for (const auto& packet : rig.Packets()) {
        const auto v = Values(packet);
        const std::string req = v.at("EIP_REQ").AsString();
        const int i = std::stoi(req.substr(1));
        ASSERT_EQ(v.count(req), 1u) << "packet of " << req << " without its own value";
        EXPECT_EQ(v.at(req).AsInteger(), 1000 + 37 * i) << req;
        for (int j = 0; j < kItems; ++j) {
            if (j != i) {
                EXPECT_EQ(v.count("V" + std::to_string(j)), 0u) << req << " carries V" << j;
            }
        }
        ++reads;
    }
    std::uint64_t hits = 0;
    for (std::size_t k = 0; k < sim::FaultKindCount; ++k)
        hits += plc->Faults().Hits(static_cast<sim::FaultKind>(k));
    std::printf("[ integrity ] %s: %zu reads delivered, %d faults armed, %llu hit\n",
                GetParam() ? "combined" : "one by one", reads, faults, static_cast<unsigned long long>(hits));
    EXPECT_GT(hits, 10u);
}

INSTANTIATE_TEST_SUITE_P(ReadTogetherOrAlone, EngineIntegrityTest, ::testing::Bool());

} // namespace
