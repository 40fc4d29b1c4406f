// Every value under its own name, end to end: failed addresses among good
// ones, pieces of a long list that get no answer, and a failing or slow device
// that must not starve the other items. (Names that would repeat are made
// unique as the truth test's "names" data source checks.)
#include "EngineRig.h"

#include "common/Variant.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace enginetest;
using namespace std::chrono_literals;

std::size_t LogLines(const Rig& rig, const std::string& text) {
    return static_cast<std::size_t>(std::count_if(rig.log_.begin(), rig.log_.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    }));
}

// One request of 150 tags: the packets it needs are sent while the channel
// is still opening, and the first gets no answer. Its tags give no value; no
// other tag's value ever lands under their names.
TEST(EngineValuesTest, APieceWithoutAnswerCostsItsOwnTagsAndNoOthersNames) {
    auto plc = StartSim();
    std::string addresses;
    for (int i = 0; i < 150; ++i) {
        plc->Tags().Set(sim::MakeTag<std::int32_t>("T" + std::to_string(i), sim::CipType::Dint, {}, {5000 + i}));
        addresses += (i ? ";" : "") + std::string("T") + std::to_string(i);
    }
    Rig rig;
    rig.Configure({{"List", addresses, "", 1, "", "1", 50, 300}});
    const auto silent = plc->Faults().Add(sim::FaultRule(sim::FaultKind::Silent, 1).OnService(0x0A));
    rig.Connect({{1, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketsOf("List").size() >= 3; }, 20s));
    EXPECT_EQ(plc->Faults().RuleHits(silent), 1u);
    std::size_t short_packets = 0;
    for (const auto& packet : rig.PacketsOf("List")) {
        const auto values = Values(packet);
        std::size_t tags = 0;
        for (const auto& [name, value] : values) {
            if (name.size() < 2 || name[0] != 'T' || !std::isdigit(static_cast<unsigned char>(name[1])))
                continue;
            ++tags;
            EXPECT_EQ(value.AsInteger(), 5000 + std::stoi(name.substr(1))) << name;
        }
        short_packets += tags < 150 ? 1 : 0;
    }
    EXPECT_EQ(short_packets, 1u); // the one whose first piece went unanswered
}

TEST(EngineValuesTest, AFailedAddressGivesNoValueAndIsLoggedOncePerChange) {
    auto plc = StartSim();
    Rig rig;
    rig.Configure({{"Three", "Counter;NOPE;Speed", ""}, {"Two", "@1/1/7;Counter", "ID;C", 1, "", "1", 20}});
    rig.Connect({{1, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketsOf("Three").size() >= 5 && rig.PacketsOf("Two").size() >= 2; }));
    for (const auto& packet : rig.PacketsOf("Three")) {
        const auto values = Values(packet);
        EXPECT_EQ(values.at("Counter").AsInteger(), 123456);
        EXPECT_EQ(values.at("Speed").AsInteger(), 1500);
        EXPECT_EQ(values.count("NOPE"), 0u);
    }
    // Attributes among symbols pair with their names as written.
    const auto two = Values(rig.PacketsOf("Two").front());
    EXPECT_EQ(two.at("C").AsInteger(), 123456);
    EXPECT_NE(two.at("ID").AsString().find("Simulated Controller"), std::string::npos);
    EXPECT_EQ(LogLines(rig, "DS1: NOPE: "), 1u);
    // A fixed address is said to work again, once.
    plc->Tags().Set(sim::MakeTag<std::int32_t>("NOPE", sim::CipType::Dint, {}, {7}));
    const std::size_t seen = rig.PacketCount();
    ASSERT_TRUE(rig.RunUntil([&] {
        const auto later = rig.PacketsOf("Three", seen);
        return !later.empty() && Values(later.back()).count("NOPE") == 1;
    }));
    EXPECT_EQ(LogLines(rig, "DS1: NOPE is read again"), 1u);
}

// A read the device refuses releases its data source at once: with one bad
// tag among four, the good ones keep their cadence instead of waiting out the
// bad one's time-out (a minute here) at every turn.
TEST(EngineValuesTest, AFailedReadDoesNotHoldTheOtherItems) {
    auto plc = StartSim();
    Rig rig;
    rig.Configure({{"A", "Counter", "A", 1, "", "1", 100, 60000},
                   {"Bad", "NOPE", "X", 1, "", "1", 100, 60000},
                   {"B", "Speed", "B", 1, "", "1", 100, 60000},
                   {"C", "Rpm", "C", 1, "", "1", 100, 60000}});
    rig.Connect({{1, plc->Port()}});
    EXPECT_TRUE(rig.RunUntil(
        [&] { return rig.PacketsOf("A").size() >= 5 && rig.PacketsOf("B").size() >= 5 && rig.PacketsOf("C").size() >= 5; },
        30s));
}

// A device slower than the interval: every item still gets its turn, the one
// that has waited longest first. Each item is its own Read Tag, which the
// device answers late (items read together would share one Multiple Service
// Packet, answered at once, and their packets would not show the turns).
TEST(EngineValuesTest, ADeviceSlowerThanTheIntervalServesEveryItem) {
    auto plc = StartSim();
    plc->Faults().Add(sim::FaultRule(sim::FaultKind::Delay, sim::FaultRule::Always).OnService(0x4C).WithPause(150ms));
    Rig rig;
    rig.Configure({{"A", "Counter", "A", 1, "", "1", 100, 2000},
                   {"B", "Speed", "B", 1, "", "1", 100, 2000},
                   {"C", "Rpm", "C", 1, "", "1", 100, 2000}},
                  false, 0, /*combine=*/false);
    rig.Connect({{1, plc->Port()}});
    EXPECT_TRUE(rig.RunUntil(
        [&] { return rig.PacketsOf("A").size() >= 3 && rig.PacketsOf("B").size() >= 3 && rig.PacketsOf("C").size() >= 3; },
        30s));
    // Round robin among equals: no item is read twice while another waits.
    const auto all = rig.Packets();
    for (std::size_t i = 1; i < all.size(); ++i)
        EXPECT_NE(all[i].Items->GetValue("EIP_REQ").AsString(), all[i - 1].Items->GetValue("EIP_REQ").AsString())
            << i;
}

// The news of an answer waits for the reply to the request sent after it
// (which wakes the main thread anyway), but not when that reply is slow: no
// packet reaches the host long after its values were read.
TEST(EngineValuesTest, AnAnswerDoesNotWaitForTheNextSlowReply) {
    auto plc = StartSim();
    Rig rig;
    rig.Configure({{"Fast", "Counter", "F", 1, "", "1", 1, 10000}, {"Slow", "@1/1/7", "S", 1, "", "1", 300, 10000}},
                  false, 0, /*combine=*/false);
    rig.Connect({{1, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketsOf("Slow").size() >= 1 && rig.PacketsOf("Fast").size() >= 5; }));
    plc->Faults().Add(sim::FaultRule(sim::FaultKind::Delay, sim::FaultRule::Always).OnService(0x0E).WithPause(2500ms));
    const std::size_t slow = rig.PacketsOf("Slow").size();
    std::size_t seen = rig.PacketCount();
    double worstLagSeconds = 0;
    ASSERT_TRUE(rig.RunUntil(
        [&] {
            const auto all = rig.Packets();
            for (; seen < all.size(); ++seen) {
                const double stamp = all[seen].Items->GetValue("DATE_TIME_STAMP").AsDateTime();
                worstLagSeconds = std::max(worstLagSeconds, (qor::LocalDateTimeNow() - stamp) * 86400.0);
            }
            return rig.PacketsOf("Slow").size() > slow;
        },
        20s));
    EXPECT_LT(worstLagSeconds, 0.5);
}

TEST(EngineValuesTest, AnInvalidAddressOrDevicePathIsRefusedWithoutBeingSent) {
    auto plc = StartSim();
    Rig rig;
    Req badPath{"Path", "Counter", "P"};
    badPath.Device = "1,300";
    rig.Configure({{"Open", "Counts[", "O"}, badPath, {"Good", "Speed", "G"}});
    rig.Connect({{1, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketsOf("Good").size() >= 3; }));
    EXPECT_TRUE(rig.PacketsOf("Open").empty());
    EXPECT_TRUE(rig.PacketsOf("Path").empty());
    EXPECT_EQ(LogLines(rig, "Invalid address: \"Counts[\""), 1u);
    EXPECT_EQ(LogLines(rig, "Invalid device path \"1,300\""), 1u);
}

// A hundred items due together go out in a few Multiple Service Packets, not
// a hundred round trips; each keeps its own packet and value.
TEST(EngineCombineTest, ItemsDueTogetherShareRequests) {
    auto plc = StartSim();
    std::vector<Req> items;
    for (int i = 0; i < 100; ++i) {
        const std::string name = "T" + std::to_string(i);
        plc->Tags().Set(sim::MakeTag<std::int32_t>(name, sim::CipType::Dint, {}, {7000 + i}));
        items.push_back({name, name, "", 1, "", "1", 200, 2000});
    }
    Rig rig;
    rig.Configure(items);
    rig.Connect({{1, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] {
        for (int i = 0; i < 100; i += 33)
            if (rig.PacketsOf("T" + std::to_string(i)).size() < 3)
                return false;
        return true;
    }));
    const auto requests = plc->Counters().Packets;
    const auto packets = rig.PacketCount();
    for (const auto& packet : rig.Packets()) {
        const auto values = Values(packet);
        const std::string req = values.at("EIP_REQ").AsString();
        EXPECT_EQ(values.at(req).AsInteger(), 7000 + std::stoi(req.substr(1))) << req;
    }
    // Far fewer requests than packets.
    EXPECT_LT(requests * 5, packets) << requests << " requests for " << packets << " packets";
}

TEST(EngineCombineTest, ADeviceThatRefusesMultipleServicePacketsIsReadOneItemAtATime) {
    auto plc = StartSim(sim::Personality::Logix, /*multipleService=*/false);
    Rig rig;
    rig.Configure({{"A", "Counter", "A", 1, "", "1", 50}, {"B", "Speed", "B", 1, "", "1", 50}});
    rig.Connect({{1, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketsOf("A").size() >= 3 && rig.PacketsOf("B").size() >= 3; }));
    EXPECT_EQ(LogLines(rig, "refuses Multiple Service Packets"), 1u);
    EXPECT_EQ(Values(rig.PacketsOf("B").back()).at("B").AsInteger(), 1500);
}

TEST(EngineCombineTest, TheSettingOffReadsEachItemAlone) {
    auto plc = StartSim();
    // A rule that changes nothing counts the Multiple Service Packets.
    const auto multiple = plc->Faults().Add(
        sim::FaultRule(sim::FaultKind::Delay, sim::FaultRule::Always).OnService(0x0A).WithPause(0ms));
    Rig rig;
    rig.Configure({{"A", "Counter", "A", 1, "", "1", 50}, {"B", "Speed", "B", 1, "", "1", 50}}, false, 0,
                  /*combine=*/false);
    rig.Connect({{1, plc->Port()}});
    ASSERT_TRUE(rig.RunUntil([&] { return rig.PacketsOf("A").size() >= 3 && rig.PacketsOf("B").size() >= 3; }));
    // Each request a plain Read Tag: the device never sees a Multiple Service Packet.
    EXPECT_EQ(plc->Faults().RuleHits(multiple), 0u);
}

} // namespace
