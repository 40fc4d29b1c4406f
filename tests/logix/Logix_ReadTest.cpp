// Reads of address texts against the simulated controller over loopback:
// several tags in one Multiple Service Packet, BOOL array bits, attributes,
// templates, and the errors each failure is named by. (Arrays, fragments,
// lists, members of elements and structures, value by value, are the truth
// test's; a piece of a long list that gets no answer is EngineValuesTest's,
// through the same reads.)
#include "logix/Logix_Read.h"
#include "LogixSimFixture.h"
#include "logix/Logix_Factory.h"
#include "logix/Logix_Struct.h"

#include <gtest/gtest.h>

namespace {

using logix::TLogixReadOutcome;
using logixtest::LogixSimTest;

const logix::TLogixTagEx& Ex(const TLogixReadOutcome& outcome) {
    return dynamic_cast<const logix::TLogixTagEx&>(*outcome.Tag);
}

// Whole encapsulation packets in a raw reply text.
std::size_t PacketsIn(const std::string& raw) {
    std::size_t count = 0;
    for (std::size_t at = 0; at + 24 <= raw.size(); ++count)
        at += 24 + (static_cast<unsigned char>(raw[at + 2]) | static_cast<unsigned char>(raw[at + 3]) << 8);
    return count;
}

TEST_F(LogixSimTest, SeveralTagsShareOnePacketAndFailuresKeepTheirNames) {
    auto client = Connect();
    std::string raw;
    const auto results =
        logix::ReadAddressText(*client->Processor(), "Counter; Missing ;Temperature;Counts[3]", 1, 0, &raw);
    EXPECT_EQ(PacketsIn(raw), 1u);
    ASSERT_EQ(results.size(), 4u);
    EXPECT_EQ(results[0].Name, "Counter");
    EXPECT_EQ(dynamic_cast<const logix::TLogixDINT&>(*results[0].Tag).IntegerAt(0), 123456);
    EXPECT_EQ(results[1].Name, "Missing");
    EXPECT_FALSE(results[1].Ok());
    EXPECT_EQ(results[1].ErrorCode, 0x05);
    EXPECT_FALSE(results[1].ErrorText.empty());
    EXPECT_EQ(results[2].Name, "Temperature");
    EXPECT_DOUBLE_EQ(dynamic_cast<const logix::TLogixREAL&>(*results[2].Tag).FloatAt(0), 21.5);
    EXPECT_EQ(results[3].Name, "Counts[3]");
    EXPECT_EQ(dynamic_cast<const logix::TLogixDINT&>(*results[3].Tag).IntegerAt(0), 4);

    // The layer's own list keeps the tags that were read, in address order.
    raw.clear();
    const auto list = logix::ReadLogixTags(*client->Processor(), {"Missing", "Counter", "Speed"}, &raw);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->Count(), 2u);
    EXPECT_EQ(list->Items(0)->Name, "Counter");
    EXPECT_EQ(list->Items(1)->Name, "Speed");
    EXPECT_EQ(PacketsIn(raw), 1u);
    EXPECT_FALSE(list->Items(0)->RawData.empty());
}

// A BOOL array is read in 32-bit words; its element is one bit. Alarms holds
// bits 0, 2, 31 and 32. (Single bits, whole arrays and counts within a word
// are the truth test's.)
TEST_F(LogixSimTest, BoolArrayBitsAcrossAWordAndPastTheEnd) {
    auto client = Connect();
    EXPECT_FALSE(client->Read("Alarms[64]").at(0).Ok()); // past the last word
    // Several bits from one: 30..33.
    const auto run = client->Read("Alarms[30]", 4);
    ASSERT_TRUE(run.at(0).Ok()) << run[0].ErrorText;
    EXPECT_EQ(run[0].Tag->ElementCount, 4);
    EXPECT_FALSE(Ex(run[0]).GetValueAt(0).AsBoolean());
    EXPECT_TRUE(Ex(run[0]).GetValueAt(1).AsBoolean());
    EXPECT_TRUE(Ex(run[0]).GetValueAt(2).AsBoolean());
    EXPECT_FALSE(Ex(run[0]).GetValueAt(3).AsBoolean());
    // With a bit part the subscript is the word's: bit 0 of word 1 is bit 32.
    const auto word = client->Read("Alarms[1].0");
    ASSERT_TRUE(word.at(0).Ok()) << word[0].ErrorText;
    EXPECT_EQ(word[0].Tag->DataType, logix::cipType::DWORD);
}

// An attribute the device lacks is its refusal, not a value. (Attributes
// as raw text and typed are the truth test's.)
TEST_F(LogixSimTest, AMissingAttributeIsTheDevicesRefusal) {
    auto client = Connect();
    const auto results = client->Read("@1/1/99", 1, 0xC7);
    ASSERT_FALSE(results.at(0).Ok());
    EXPECT_EQ(results[0].ErrorCode, 0x14);
}

TEST_F(LogixSimTest, FailuresAreNamed) {
    auto client = Connect(false, 300);
    // An address that does not parse is the client's refusal, named as such,
    // and never read as the shorter address in front of the fault.
    const auto requests = plc.Counters().CipRequests;
    auto results = client->Read("Counts[");
    ASSERT_FALSE(results.at(0).Ok());
    EXPECT_EQ(results[0].ErrorCode, -23);
    EXPECT_EQ(results[0].ErrorText.rfind("Invalid address: \"Counts[\"", 0), 0u) << results[0].ErrorText;
    EXPECT_EQ(plc.Counters().CipRequests, requests);
    // The device's refusal keeps the device's words, with the extended status.
    results = client->Read("Counts[1].Member");
    ASSERT_FALSE(results.at(0).Ok());
    EXPECT_EQ(results[0].ErrorCode, 5);
    results = client->Read("Counts", 11);
    ASSERT_FALSE(results.at(0).Ok());
    EXPECT_EQ(results[0].ErrorText, "General Error (0x2105: index out of range)");

    plc.Faults().Add(sim::FaultRule(sim::FaultKind::Silent, 1).OnService(0x4C));
    results = client->Read("Counter");
    ASSERT_FALSE(results.at(0).Ok());
    EXPECT_EQ(results[0].ErrorCode, -10);
    EXPECT_EQ(results[0].ErrorText, "No response");
    EXPECT_EQ(client->Processor()->FailureCount, 1);
    results = client->Read("Counter");
    EXPECT_TRUE(results.at(0).Ok()) << results[0].ErrorText;
    EXPECT_EQ(client->Processor()->FailureCount, 0);
}

TEST_F(LogixSimTest, NestedTemplatesAreFetchedSixLevelsDeep) {
    // L1 holds L2, which holds L3, ... down to L9.
    plc.Tags().DefineType("L9", {{"Value", "DINT", 0}});
    for (int level = 8; level >= 1; --level)
        plc.Tags().DefineType("L" + std::to_string(level),
                              {{"Id", "DINT", 0}, {"Next", "L" + std::to_string(level + 1), 0}});
    plc.Tags().SetStructure("Chain", "L1", {}, {});
    auto client = Connect();
    auto& processor = *client->Processor();
    const std::uint16_t instance = processor.GetTemplateInstance("Chain");
    ASSERT_NE(instance, 0xFFFF);
    const logix::TTemplateInfo* top = logix::GetTemplate(instance, 1, processor);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->Name, "L1");
    EXPECT_EQ(processor.Templates.Count(), 6u);
    // A second lookup is answered from the cache.
    EXPECT_EQ(logix::GetTemplate(instance, 1, processor), top);
    EXPECT_EQ(processor.Templates.Count(), 6u);

    // A member deeper than the cached levels is still found by its own template.
    const auto results = client->Read("Chain.Next.Next.Next.Next.Next.Next");
    ASSERT_TRUE(results.at(0).Ok()) << results[0].ErrorText;
    EXPECT_EQ(dynamic_cast<const logix::TLogixUDT&>(*results[0].Tag).Template->Name, "L7");
}

TEST_F(LogixSimTest, ProgramDownloadIsNotDecodedWithTheOldTemplate) {
    plc.Tags().DefineType("RECIPE", {{"Weight", "DINT", 0}, {"Time", "DINT", 0}});
    plc.Tags().SetStructure("Batch", "RECIPE", {}, {"100", "200"});
    auto client = Connect();
    auto results = client->Read("Batch");
    ASSERT_TRUE(results.at(0).Ok()) << results[0].ErrorText;
    EXPECT_EQ(dynamic_cast<const logix::TLogixUDT&>(*results[0].Tag).GetMember("Time").AsInteger(), 200);

    // The type is downloaded again with a member in front.
    plc.Tags().DefineType("RECIPE", {{"Code", "DINT", 0}, {"Weight", "DINT", 0}, {"Time", "DINT", 0}});
    plc.Tags().SetStructure("Batch", "RECIPE", {}, {"5", "300", "400"});
    results = client->Read("Batch");
    ASSERT_TRUE(results.at(0).Ok()) << results[0].ErrorText;
    const auto& batch = dynamic_cast<const logix::TLogixUDT&>(*results[0].Tag);
    EXPECT_EQ(batch.GetMember("Code").AsInteger(), 5);
    EXPECT_EQ(batch.GetMember("Time").AsInteger(), 400);

    // The same in the middle of a Multiple Service read: the structure that
    // finds its template changed reads the caches again while the addresses
    // after it still wait for their replies to be taken.
    plc.Tags().Set(sim::MakeTag<std::int32_t>("Count", sim::CipType::Dint, {}, {7}));
    plc.Tags().SetStructure("Second", "RECIPE", {}, {"1", "2", "3"});
    results = client->Read("Count;Batch;Second;Count");
    plc.Tags().DefineType("RECIPE", {{"Lot", "DINT", 0}, {"Code", "DINT", 0}, {"Weight", "DINT", 0},
                                     {"Time", "DINT", 0}});
    plc.Tags().SetStructure("Batch", "RECIPE", {}, {"9", "6", "500", "600"});
    plc.Tags().SetStructure("Second", "RECIPE", {}, {"8", "4", "5", "6"});
    results = client->Read("Count;Batch;Second;Count");
    ASSERT_EQ(results.size(), 4u);
    for (const auto& r : results)
        ASSERT_TRUE(r.Ok()) << r.Name << ": " << r.ErrorText;
    EXPECT_EQ(dynamic_cast<const logix::TLogixDINT&>(*results[0].Tag).IntegerAt(0), 7);
    EXPECT_EQ(dynamic_cast<const logix::TLogixUDT&>(*results[1].Tag).GetMember("Lot").AsInteger(), 9);
    EXPECT_EQ(dynamic_cast<const logix::TLogixUDT&>(*results[1].Tag).GetMember("Time").AsInteger(), 600);
    EXPECT_EQ(dynamic_cast<const logix::TLogixUDT&>(*results[2].Tag).GetMember("Weight").AsInteger(), 5);
    EXPECT_EQ(dynamic_cast<const logix::TLogixDINT&>(*results[3].Tag).IntegerAt(0), 7);
}

} // namespace
