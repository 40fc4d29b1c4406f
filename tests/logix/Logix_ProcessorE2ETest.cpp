// The processor against the simulated controller over loopback TCP: connect
// with each way it can fail, identity and its status events, connected reads
// with fragments, the silent-device disconnect, Micro800 and MicroLogix reads
// with their temporary connections.
#include "eip/EIP_TcpChannel.h"
#include "logix/Logix_Factory.h"
#include "logix/Logix_Processor.h"
#include "logix/Logix_Struct.h"
#include "logix/Logix_Tag.h"
#include "sim/SimController.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

using namespace logix;
using namespace std::chrono_literals;

class ProcessorE2ETest : public ::testing::Test {
protected:
    void Start(sim::SimConfig config = {}) {
        plc_ = std::make_unique<sim::SimController>(std::move(config));
        plc_->Tags().Set(sim::MakeTag<std::int32_t>("Counter", sim::CipType::Dint, {}, {0x01020304}));
        std::vector<std::int32_t> big(300);
        std::iota(big.begin(), big.end(), 0x01020300);
        plc_->Tags().Set(sim::MakeTag("Big", sim::CipType::Dint, {300}, std::span<const std::int32_t>(big)));
        const std::vector<std::int32_t> words{10, -20, 30};
        plc_->Files().Set(sim::MakeWordFile('N', 7, words));
        plc_->Start();
        Reopen();
    }

    // A processor over a TCP connection of its own; the engine configures a
    // path only for Logix controllers.
    void Reopen(TPacketDataArray userPath = {0}) {
        proc_.reset();
        tcp_ = std::make_unique<eip::TTcpChannel>();
        ASSERT_TRUE(tcp_->Open("127.0.0.1", plc_->Port())) << tcp_->LastError();
        proc_ = std::make_unique<TLogixProcessor>(nullptr, std::move(userPath), "127.0.0.1");
        proc_->UseChannel(*tcp_);
    }

    bool Connect(std::uint8_t kind, std::uint8_t options, std::uint32_t sessionTimeout = 5000) {
        proc_->State = StateConnecting;
        return proc_->Connect(kind, options, 1000, sessionTimeout);
    }

    std::unique_ptr<sim::SimController> plc_;
    std::unique_ptr<eip::TTcpChannel> tcp_;
    std::unique_ptr<TLogixProcessor> proc_;
};

TEST_F(ProcessorE2ETest, ConnectsReadsTheIdentityAndReportsStatusChangesOnce) {
    sim::SimConfig config;
    config.Device.Identity.Status = 0x5A60; // vendor bits 5, fault bits 0xA, extended status 6
    Start(config);
    std::vector<std::pair<char, int>> events;
    proc_->NotifyStatus = true;
    proc_->OnExtStatusChanged = [&](TLogixProcessor&, std::uint8_t v) { events.emplace_back('E', v); };
    proc_->OnFaultBitsChanged = [&](TLogixProcessor&, std::uint8_t v) { events.emplace_back('F', v); };
    proc_->OnVendorBitsChanged = [&](TLogixProcessor&, std::uint8_t v) { events.emplace_back('V', v); };

    ASSERT_TRUE(Connect(ProcessorKindLogix, OptionReadIdentity | OptionConnected)) << proc_->ErrorText;
    EXPECT_EQ(proc_->State, StateConnected);
    EXPECT_EQ(proc_->ErrorCode, 0);
    EXPECT_EQ(proc_->RoutePath, (TPacketDataArray{0x01, 0x00}));
    EXPECT_EQ(proc_->VendorId, 0x04D2);
    EXPECT_EQ(proc_->ProductName, "Simulated Controller");
    EXPECT_EQ(events, (std::vector<std::pair<char, int>>{{'E', 6}, {'F', 0xA}, {'V', 5}}));
    EXPECT_EQ(plc_->Counters().OpenConnections, 1u);

    ASSERT_TRUE(proc_->ReadIdentity());
    EXPECT_EQ(events.size(), 3u); // nothing changed

    EXPECT_TRUE(proc_->Disconnect(false));
    EXPECT_EQ(proc_->State, StateDisconnected);
    EXPECT_EQ(proc_->Session, nullptr);
    ASSERT_TRUE(plc_->WaitUntil([&](const sim::SimCounters& c) { return c.ForwardCloses == 1; }, 5s));
}

TEST_F(ProcessorE2ETest, EachConnectFailureHasItsCodeAndText) {
    Start();
    plc_->Faults().Add(sim::FaultRule(sim::FaultKind::Silent).OnCommand(0x65));
    EXPECT_FALSE(Connect(ProcessorKindLogix, 0, 200));
    EXPECT_EQ(proc_->ErrorCode, -2);
    EXPECT_EQ(proc_->ErrorText, "Response timeout");
    EXPECT_EQ(proc_->State, StateDisconnected);

    Reopen();
    plc_->Faults().Add(sim::FaultRule(sim::FaultKind::Silent).OnCommand(0x63));
    EXPECT_FALSE(Connect(ProcessorKindLogix, 0, 200));
    EXPECT_EQ(proc_->ErrorCode, -3);
    EXPECT_EQ(proc_->ErrorText, "Response timeout");
    EXPECT_FALSE(proc_->Session->Registered); // unregistered, kept until the next connect

    Reopen();
    plc_->Faults().Add(sim::FaultRule(sim::FaultKind::RefuseForwardOpen));
    EXPECT_FALSE(Connect(ProcessorKindLogix, OptionConnected));
    EXPECT_EQ(proc_->ErrorCode, -4);
    EXPECT_EQ(proc_->ErrorText, "Processor could not be connected");

    // The channel is gone: the session cannot even send.
    Reopen();
    tcp_->Close();
    EXPECT_FALSE(Connect(ProcessorKindLogix, 0));
    EXPECT_EQ(proc_->ErrorCode, -1);
    EXPECT_EQ(proc_->ErrorText, "Unable to send data");
}

TEST_F(ProcessorE2ETest, ReadTagFollowsFragmentsToTheLastElement) {
    Start();
    ASSERT_TRUE(Connect(ProcessorKindLogix, OptionConnected)) << proc_->ErrorText;
    auto tag = TLogixTagFactory::CreateByType(0xC4, "Big", 300, proc_.get());
    ASSERT_TRUE(proc_->ReadTag(tag.get()));
    auto* dint = dynamic_cast<TLogixDINT*>(tag.get());
    ASSERT_NE(dint, nullptr);
    EXPECT_EQ(tag->ErrorCode, 0);
    EXPECT_EQ(dint->IntegerAt(0), 0x01020300);
    EXPECT_EQ(dint->IntegerAt(124), 0x01020300 + 124); // the last of the first reply
    EXPECT_EQ(dint->IntegerAt(125), 0x01020300 + 125);
    EXPECT_EQ(dint->IntegerAt(299), 0x01020300 + 299);

    auto missing = TLogixTagFactory::CreateByType(0xC4, "NoSuchTag", 1, proc_.get());
    EXPECT_FALSE(proc_->ReadTag(missing.get()));
    EXPECT_EQ(missing->ErrorCode, -6);
    EXPECT_EQ(missing->Status, -1);
    EXPECT_FALSE(proc_->ReadTag(nullptr));
}

TEST_F(ProcessorE2ETest, ThreeSilentRequestsInARowDropTheConnection) {
    Start();
    ASSERT_TRUE(Connect(ProcessorKindLogix, OptionConnected, 150)) << proc_->ErrorText;
    auto tag = TLogixTagFactory::CreateByType(0xC4, "Counter", 1, proc_.get());
    const int silent = plc_->Faults().Add(sim::FaultRule(sim::FaultKind::Silent, 2).OnService(0x4C));
    EXPECT_FALSE(proc_->ReadTag(tag.get()));
    EXPECT_FALSE(proc_->ReadTag(tag.get()));
    EXPECT_EQ(proc_->FailureCount, 2);
    EXPECT_TRUE(proc_->ReadTag(tag.get())); // a reply in between
    EXPECT_EQ(proc_->FailureCount, 0);

    plc_->Faults().Add(sim::FaultRule(sim::FaultKind::Silent, 3).OnService(0x4C));
    EXPECT_FALSE(proc_->ReadTag(tag.get()));
    EXPECT_FALSE(proc_->ReadTag(tag.get()));
    EXPECT_EQ(proc_->State, StateConnected);
    EXPECT_FALSE(proc_->ReadTag(tag.get()));
    EXPECT_EQ(proc_->State, StateDisconnected);
    EXPECT_EQ(proc_->Session, nullptr);
    EXPECT_EQ(proc_->FailureCount, 0);
    EXPECT_EQ(plc_->Faults().RuleHits(silent), 2u);
    // The next request finds no session and sends nothing.
    EXPECT_FALSE(proc_->ReadTag(tag.get()));
}

TEST_F(ProcessorE2ETest, Micro800ReadsOpenAndCloseAConnectionAroundEachRead) {
    Start();
    Reopen({});
    ASSERT_TRUE(Connect(ProcessorKindMicro800, 0)) << proc_->ErrorText;
    EXPECT_TRUE(proc_->RoutePath.empty());
    std::string raw;
    auto tag = proc_->ReadMicro800("Big", 300, &raw);
    ASSERT_NE(tag, nullptr) << proc_->ErrorText;
    auto* dint = dynamic_cast<TLogixDINT*>(tag.get());
    ASSERT_NE(dint, nullptr);
    EXPECT_EQ(dint->IntegerAt(0), 0x01020300);
    EXPECT_EQ(dint->IntegerAt(299), 0x01020300 + 299);
    // The raw text holds the last fragment: type bytes and its values.
    ASSERT_GE(raw.size(), 6u);
    EXPECT_EQ(raw.substr(0, 2), std::string("\xC4\x00", 2));
    EXPECT_EQ(raw.substr(raw.size() - 4), std::string("\x2B\x04\x02\x01", 4));

    auto counter = proc_->ReadMicro800("Counter", 1);
    ASSERT_NE(counter, nullptr);
    EXPECT_EQ(dynamic_cast<TLogixDINT&>(*counter).IntegerAt(0), 0x01020304);
    ASSERT_TRUE(plc_->WaitUntil([&](const sim::SimCounters& c) { return c.ForwardCloses == 2; }, 5s));
    EXPECT_EQ(plc_->Counters().ForwardOpens, 2u);
    EXPECT_EQ(plc_->Counters().OpenConnections, 0u);

    EXPECT_EQ(proc_->ReadMicro800("NoSuchTag", 1), nullptr);
    EXPECT_EQ(proc_->ErrorCode, 0x05);

    // A fragment that never comes leaves elements unread: no tag with zeros
    // in their place.
    proc_->Session->Timeout = 300;
    // The first piece goes through (a delay of nothing), the second is lost.
    plc_->Faults().Add(sim::FaultRule(sim::FaultKind::Delay, 1).OnService(0x52).WithPause(0ms));
    const auto silent = plc_->Faults().Add(sim::FaultRule(sim::FaultKind::Silent, 1).OnService(0x52));
    EXPECT_EQ(proc_->ReadMicro800("Big", 300), nullptr);
    EXPECT_EQ(plc_->Faults().RuleHits(silent), 1u);
    EXPECT_EQ(proc_->ErrorCode, -10);
}

TEST_F(ProcessorE2ETest, MicroLogixReadsWordFilesOverOneConnection) {
    Start();
    Reopen({});
    ASSERT_TRUE(Connect(ProcessorKindMicroLogix, OptionConnected)) << proc_->ErrorText;
    auto words = proc_->ReadMicroLogix("N7:0", 3);
    ASSERT_NE(words, nullptr) << proc_->ErrorText;
    auto* n = dynamic_cast<TLogixINT*>(words.get());
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->IntegerAt(0), 10);
    EXPECT_EQ(n->IntegerAt(1), -20);
    EXPECT_EQ(n->IntegerAt(2), 30);

    // One request carries at most 127 words: the tag holds what was read, not
    // 73 zeros more.
    std::vector<std::int32_t> many(200);
    std::iota(many.begin(), many.end(), 1000);
    plc_->Files().Set(sim::MakeWordFile('N', 10, many));
    auto first = proc_->ReadMicroLogix("N10:0", 200);
    ASSERT_NE(first, nullptr) << proc_->ErrorText;
    EXPECT_EQ(first->ElementCount, 127);
    EXPECT_EQ(dynamic_cast<TLogixINT&>(*first).IntegerAt(126), 1126);

    // The standing connection served both reads.
    EXPECT_EQ(plc_->Counters().ForwardOpens, 1u);

    EXPECT_EQ(proc_->ReadMicroLogix("X1:0", 1), nullptr);
    EXPECT_EQ(proc_->ErrorCode, -23);
    EXPECT_NE(proc_->ErrorText.find("X1:0"), std::string::npos);

    // Without a standing connection each read opens and closes its own.
    Reopen({});
    ASSERT_TRUE(Connect(ProcessorKindMicroLogix, 0)) << proc_->ErrorText;
    auto again = proc_->ReadMicroLogix("N7:1", 1);
    ASSERT_NE(again, nullptr) << proc_->ErrorText;
    EXPECT_EQ(dynamic_cast<TLogixINT&>(*again).IntegerAt(0), -20);
    // The first processor closed its standing connection as it went.
    ASSERT_TRUE(plc_->WaitUntil([&](const sim::SimCounters& c) { return c.ForwardCloses == 2; }, 5s));
    EXPECT_EQ(plc_->Counters().ForwardOpens, 2u);
}

TEST_F(ProcessorE2ETest, StructureTagsGetTheirTemplateFromTheController) {
    Start();
    std::vector<sim::MemberDecl> wide{{"Speed", "REAL"}, {"Run", "BOOL"}, {"Count", "DINT"}};
    for (int i = 0; i < 60; ++i)
        wide.push_back({"Spare_Member_Number_" + std::to_string(i), "INT"}); // a definition of several chunks
    plc_->Tags().DefineType("Motor_UDT", wide);
    std::vector<std::string> values{"1.5", "1", "7"};
    plc_->Tags().SetStructure("Motor", "Motor_UDT", {}, values);
    ASSERT_TRUE(Connect(ProcessorKindLogix, OptionConnected)) << proc_->ErrorText;

    auto tag = TLogixTagFactory::CreateTag("Motor", *proc_, 1);
    auto* motor = dynamic_cast<TLogixUDT*>(tag.get());
    ASSERT_NE(motor, nullptr) << proc_->ErrorText;
    ASSERT_NE(motor->TagInfo, nullptr);
    EXPECT_EQ(motor->Template->Name, "Motor_UDT");
    EXPECT_EQ(motor->Template->MemberCount, plc_->Tags().Types().FindByName("Motor_UDT")->Members.size());
    EXPECT_EQ(proc_->Templates.Count(), 1u);
    ASSERT_TRUE(proc_->ReadTag(motor));
    EXPECT_DOUBLE_EQ(motor->GetMember("speed").AsDouble(), 1.5);
    EXPECT_TRUE(motor->GetMember("Run").AsBoolean());
    EXPECT_EQ(motor->GetMember("Count").AsInteger(), 7);

    // An array of structures larger than one reply: fragment offsets count
    // the element bytes after the handle every fragment repeats.
    plc_->Tags().DefineType("Cell_UDT", {{"Alarm", "DINT"}, {"Temp", "REAL"}});
    std::vector<std::string> cells;
    for (int i = 0; i < 200; ++i) {
        cells.push_back(std::to_string(3 * i));
        cells.push_back(std::to_string(i) + ".5");
    }
    plc_->Tags().SetStructure("Cells", "Cell_UDT", {200}, cells);
    auto array = TLogixTagFactory::CreateTag("Cells", *proc_, 200);
    auto* udt = dynamic_cast<TLogixUDT*>(array.get());
    ASSERT_NE(udt, nullptr);
    ASSERT_TRUE(proc_->ReadTag(udt));
    ASSERT_EQ(udt->ItemCount(), 200u);
    for (int i : {0, 62, 63, 64, 199}) {
        EXPECT_DOUBLE_EQ(udt->ItemAt(i).GetMember("Temp").AsDouble(), i + 0.5) << i;
        EXPECT_EQ(udt->ItemAt(i).GetMember("Alarm").AsInteger(), 3 * i) << i;
    }

    auto timer = TLogixTagFactory::CreateTag("Motor.Speed", *proc_, 1);
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->LogixType(), TLogixType::REAL);
    EXPECT_EQ(TLogixTagFactory::CreateTag("NoSuchTag", *proc_, 1), nullptr);
}

TEST_F(ProcessorE2ETest, AProgramDownloadIsNoticedAndTheCachesReadAgain) {
    Start();
    plc_->Tags().DefineType("Cell_UDT", {{"Temp", "REAL"}});
    plc_->Tags().SetStructure("Cells", "Cell_UDT", {4}, {});
    // Without a connection the one read goes unconnected through the route.
    ASSERT_TRUE(Connect(ProcessorKindLogix, 0)) << proc_->ErrorText;
    auto before = TLogixTagFactory::ReadTemplateForTag("Cells[0]", *proc_, 1);
    ASSERT_NE(before, nullptr) << proc_->ErrorText;
    EXPECT_EQ(before->MemberCount, 1);

    // The type changes under the running processor: new template, new handle.
    const sim::SimTemplate changed = plc_->Tags().DefineType("Cell_UDT", {{"Temp", "REAL"}, {"Alarm", "DINT"}});
    plc_->Tags().SetStructure("Cells", "Cell_UDT", {4}, {});
    auto after = TLogixTagFactory::ReadTemplateForTag("Cells[1]", *proc_, 1);
    ASSERT_NE(after, nullptr) << proc_->ErrorText;
    EXPECT_EQ(after->Handle, changed.Handle);
    EXPECT_EQ(after->MemberCount, 2);
    EXPECT_NE(after->FindMember("Alarm"), nullptr);
}

} // namespace
