// Tag groups: where requests are placed, and scans against the simulated
// controller that route every embedded reply to the tag it belongs to.
#include "logix/Logix_Group.h"
#include "LogixSimFixture.h"
#include "cip/CIP_IOI.h"
#include "cip/CIP_ReadTag.h"
#include "logix/Logix_Factory.h"
#include "logix/Logix_Read.h"
#include "logix/Logix_Tag.h"

#include <gtest/gtest.h>

namespace {

using logix::TLogixTagGroup;
using logixtest::LogixSimTest;

eip::TPacketDataArray ReadRequest(const std::string& name) {
    return cip::TReadDataServiceRequest::ReadTag(cip::TIOI::BuildPath(name), 1).Pack();
}

// Connected requests sent between two calls: the sequence counts they took
// (the second call takes one itself).
std::size_t NextSequence(logix::TLogixProcessor& processor) {
    return processor.Sequencer.Next();
}

TEST(LogixGroupPlaceTest, PacketsFillToTheirRequestAndReplyLimits) {
    logix::TLogixProcessor processor(nullptr, {0}, "127.0.0.1");
    TLogixTagGroup group(processor, "G");
    // Twenty one-element DINT reads (6 reply bytes each) share one packet.
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(group.Place(ReadRequest("Tag" + std::to_string(i + 10)), 6), std::make_pair(0, i));
    ASSERT_EQ(group.Requests.size(), 1u);
    EXPECT_LE(group.Requests[0].PackedSize(), 480u);

    // Requests go on filling that packet until its packed size would pass
    // 480 bytes; then a new packet starts.
    int placed = 20;
    while (group.Requests.size() == 1) {
        group.Place(ReadRequest("Tag" + std::to_string(placed + 10)), 6);
        ++placed;
    }
    EXPECT_LE(group.Requests[0].PackedSize(), 480u);
    EXPECT_EQ(group.Requests[1].Services.size(), 1u);
    EXPECT_GT(group.Requests[0].PackedSize() + ReadRequest("Tag99").size() + 2, 480u);

    // The replies expected from a packet, each with its header and offset,
    // stay within 480 bytes as well.
    TLogixTagGroup large(processor, "L");
    EXPECT_EQ(large.Place(ReadRequest("A"), 300), std::make_pair(0, 0));
    EXPECT_EQ(large.Place(ReadRequest("B"), 169), std::make_pair(1, 0));
    EXPECT_EQ(large.Place(ReadRequest("C"), 168), std::make_pair(0, 1));
    EXPECT_EQ(large.Requests[0].ReplySize, 480);
}

TEST_F(LogixSimTest, ScanRoutesEveryPieceToItsTag) {
    auto client = Connect(true);
    auto& processor = *client->Processor();
    TLogixTagGroup& group = processor.CreateGroup("Scan");
    EXPECT_THROW(processor.CreateGroup("Scan"), logix::ELogixInvalidOperation);
    EXPECT_EQ(processor.FindGroup("Scan"), &group);
    EXPECT_EQ(processor.FindGroup("scan"), nullptr);

    for (int i = 0; i < 20; ++i) {
        plc.Tags().Set(sim::MakeTag<std::int32_t>("D" + std::to_string(i), sim::CipType::Dint, {}, {i * 11}));
        group.AddTag(logix::TLogixDINT::Create("D" + std::to_string(i), 1, &processor));
    }
    // An array too large for one packet travels in pieces; the last, small
    // one may share a packet placed before the first.
    auto& trend = group.AddTag(logix::TLogixDINT::Create("Trend", 300, &processor));
    auto& counter = group.AddTag(logix::TLogixDINT::Create("Counter", 1, &processor));
    const auto& trendMap = group.PacketMaps.at(20);
    EXPECT_EQ(trendMap.TagIndex, 20);
    EXPECT_GE(trendMap.Pieces, 3);

    int notifications = 0;
    std::vector<std::string> changed;
    group.OnTagsChanged = [&](TLogixTagGroup&, const std::vector<logix::TLogixTag*>& tags) {
        ++notifications;
        for (const auto* t : tags)
            changed.push_back(t->Name);
    };
    const auto before = NextSequence(processor);
    processor.ScanGroups();
    EXPECT_EQ(NextSequence(processor) - before - 1, group.Requests.size());
    EXPECT_EQ(notifications, static_cast<int>(group.Requests.size()));
    EXPECT_EQ(changed.size(), 21u); // D0 is 0 as before: no change

    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(dynamic_cast<logix::TLogixDINT&>(*group.Tags[i]).IntegerAt(0), i * 11) << i;
    const auto& values = dynamic_cast<logix::TLogixDINT&>(trend);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(values.IntegerAt(i), i) << i;
    EXPECT_EQ(dynamic_cast<logix::TLogixDINT&>(counter).IntegerAt(0), 123456);

    plc.Tags().WriteInteger("Trend", 299, -5);
    changed.clear();
    processor.ScanGroups();
    EXPECT_EQ(changed, std::vector<std::string>{"Trend"});
    EXPECT_EQ(values.IntegerAt(299), -5);
}

TEST_F(LogixSimTest, StructureArrayInPiecesDecodesEveryElement) {
    plc.Tags().DefineType("CELL", {{"Volts", "REAL", 0}, {"Count", "DINT", 0}, {"Ok", "BOOL", 0}});
    std::vector<std::string> tokens;
    for (int i = 0; i < 100; ++i)
        tokens.insert(tokens.end(), {std::to_string(i) + ".5", std::to_string(i * 3), i % 2 ? "1" : "0"});
    plc.Tags().SetStructure("Cells", "CELL", {100}, tokens);
    auto client = Connect(true);
    auto& processor = *client->Processor();
    logix::TTemplateInfo* cell = logix::GetTemplate(processor.GetTemplateInstance("Cells"), 1, processor);
    ASSERT_NE(cell, nullptr);
    TLogixTagGroup& group = processor.CreateGroup("Cells");
    auto& cells = dynamic_cast<logix::TLogixUDT&>(
        group.AddTag(logix::TLogixTagFactory::CreateStructTag("Cells", &processor, cell->Clone(), 100)));
    EXPECT_GE(group.PacketMaps.at(0).Pieces, 3);
    group.Scan();
    // Each piece repeats the structure handle; the elements still line up.
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(cells.ItemAt(i).GetMember("Count").AsInteger(), i * 3) << i;
        ASSERT_EQ(cells.ItemAt(i).GetMember("Ok").AsBoolean(), i % 2 == 1) << i;
    }
}

TEST_F(LogixSimTest, RemovedTagLeavesNoValueUnderAnotherName) {
    auto client = Connect(true);
    auto& processor = *client->Processor();
    TLogixTagGroup& group = processor.CreateGroup("G");
    auto& first = group.AddTag(logix::TLogixDINT::Create("Counter", 1, &processor));
    group.AddTag(logix::TLogixINT::Create("Speed", 1, &processor));
    group.AddTag(logix::TLogixREAL::Create("Temperature", 1, &processor));

    // Keeping the maps: the packets stay, the others keep their own values.
    group.RemoveTag(&first, true);
    ASSERT_EQ(group.Tags.size(), 2u);
    group.Scan();
    EXPECT_EQ(group.Tags[0]->Name, "Speed");
    EXPECT_EQ(group.Tags[0]->ErrorCode, 0);
    EXPECT_EQ(dynamic_cast<logix::TLogixINT&>(*group.Tags[0]).IntegerAt(0), 1500);
    EXPECT_DOUBLE_EQ(dynamic_cast<logix::TLogixREAL&>(*group.Tags[1]).FloatAt(0), 21.5);

    // Without keeping them every remaining tag is read and placed again.
    const auto before = NextSequence(processor);
    group.RemoveTag(group.Tags[0].get(), false);
    EXPECT_EQ(NextSequence(processor) - before - 1, 1u);
    EXPECT_EQ(group.Requests.size(), 1u);
    EXPECT_EQ(group.Requests[0].Services.size(), 1u);
}

TEST_F(LogixSimTest, PacketWithoutReplyLeavesItsTagsUntouched) {
    auto client = Connect(true, 300);
    auto& processor = *client->Processor();
    TLogixTagGroup& group = processor.CreateGroup("G");
    auto& tag =
        dynamic_cast<logix::TLogixDINT&>(group.AddTag(logix::TLogixDINT::Create("Counter", 1, &processor)));
    auto& missing = group.AddTag(logix::TLogixDINT::Create("Missing", 1, &processor));
    EXPECT_EQ(group.PacketMaps.back().Pieces, 0);

    plc.Faults().Add(sim::FaultRule(sim::FaultKind::Silent, 1).OnService(0x0A));
    group.Scan();
    EXPECT_EQ(tag.IntegerAt(0), 0);
    EXPECT_EQ(tag.Status, 0);
    EXPECT_EQ(processor.FailureCount, 1);
    group.Scan();
    EXPECT_EQ(tag.IntegerAt(0), 123456);
    EXPECT_EQ(missing.Status, 0); // never placed, never updated
}

} // namespace
