// Each fault knob is hit, changes the wire as it says, and is counted.
#include "SimFixture.h"

namespace {

using sim::FaultKind;
using sim::FaultRule;
using simtest::Bytes;
using simtest::Cat;
using simtest::TestConnection;

class FaultTest : public simtest::SimFixture {
protected:
    void SetUp() override {
        Start("DINT Counter = 0x01020304\n");
        sent_ = 1;
    }

    Bytes Exchange(const Bytes& packet) {
        ++sent_;
        return connection_->Exchange(packet);
    }

    Bytes ReadPacket() { return simtest::Encaps(0x6F, handle_, simtest::RRData(simtest::ReadCounter)); }
    Bytes GoodReply() {
        return Cat({simtest::ReplyHeader(0x6F, 0x1A, handle_, 0),
                    {0, 0, 0, 0, 0, 0, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB2, 0x00, 0x0A, 0x00},
                    {0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x04, 0x03, 0x02, 0x01}});
    }
    // Sends the read and waits until the server has dealt with it (the
    // count of packets the server has finished, replies included).
    void SendRead() {
        connection_->Send(ReadPacket());
        ASSERT_TRUE(plc_->WaitForPackets(++sent_, std::chrono::seconds(20)));
    }

    std::uint64_t sent_ = 0;
};

TEST_F(FaultTest, SilentDropsOnlyTheMatchingReply) {
    const int rule = plc_->Faults().Add(FaultRule(FaultKind::Silent).OnService(0x4C));
    // ListIdentity does not match the service filter.
    EXPECT_EQ(Exchange(simtest::Encaps(0x63, handle_, {})).size(), 84u);
    SendRead();
    EXPECT_FALSE(connection_->HasPendingBytes());
    EXPECT_EQ(plc_->Faults().Hits(FaultKind::Silent), 1u);
    EXPECT_EQ(plc_->Faults().RuleHits(rule), 1u);
    EXPECT_EQ(plc_->Faults().ArmedRules(), 0u);
    EXPECT_EQ(Exchange(ReadPacket()), GoodReply());
}

TEST_F(FaultTest, CountAndCommandFiltersLimitARule) {
    plc_->Faults().Add(FaultRule(FaultKind::Silent, 2).OnCommand(0x6F));
    SendRead();
    SendRead();
    EXPECT_FALSE(connection_->HasPendingBytes());
    EXPECT_EQ(Exchange(ReadPacket()), GoodReply());
    EXPECT_EQ(plc_->Faults().Hits(FaultKind::Silent), 2u);
    plc_->Faults().Add(FaultRule(FaultKind::Silent, FaultRule::Always).OnService(0x0E));
    EXPECT_EQ(Exchange(ReadPacket()), GoodReply());
    EXPECT_EQ(plc_->Faults().ArmedRules(), 1u);
    plc_->Faults().Clear();
    EXPECT_EQ(plc_->Faults().ArmedRules(), 0u);
}

TEST_F(FaultTest, DelayStillDeliversTheWholeReply) {
    plc_->Faults().Add(FaultRule(FaultKind::Delay).WithPause(std::chrono::milliseconds(30)));
    EXPECT_EQ(Exchange(ReadPacket()), GoodReply());
    EXPECT_EQ(plc_->Faults().Hits(FaultKind::Delay), 1u);
}

TEST_F(FaultTest, SplitSendsThePartsSeparately) {
    // The hook runs on the server thread between the segments: what has been
    // sent so far is on the wire, and nothing more can be.
    std::vector<Bytes> seen;
    TestConnection* client = connection_.get();
    std::size_t read = 0;
    plc_->Faults().Add(FaultRule(FaultKind::Split).InParts(3).Calling([&](std::size_t sent) {
        seen.push_back(client->ReceiveBytes(sent - read));
        read = sent;
        EXPECT_FALSE(client->HasPendingBytes());
    }));
    SendRead();
    seen.push_back(client->ReceiveBytes(GoodReply().size() - read));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].size(), 16u);
    EXPECT_EQ(seen[1].size(), 16u);
    EXPECT_EQ(seen[2].size(), 18u);
    EXPECT_EQ(Cat({seen[0], seen[1], seen[2]}), GoodReply());
    EXPECT_EQ(plc_->Faults().Hits(FaultKind::Split), 1u);
}

TEST_F(FaultTest, TruncateSendsTheFrontOnly) {
    plc_->Faults().Add(FaultRule(FaultKind::Truncate).Keeping(10));
    SendRead();
    const Bytes got = connection_->ReceiveBytes(10);
    EXPECT_FALSE(connection_->HasPendingBytes());
    const Bytes good = GoodReply();
    EXPECT_EQ(got, Bytes(good.begin(), good.begin() + 10));
    EXPECT_EQ(plc_->Faults().Hits(FaultKind::Truncate), 1u);
}

TEST_F(FaultTest, GarbageReplacesTheReply) {
    plc_->Faults().Add(FaultRule(FaultKind::Garbage));
    SendRead();
    const Bytes got = connection_->ReceiveBytes(GoodReply().size());
    EXPECT_FALSE(connection_->HasPendingBytes());
    EXPECT_EQ(got.size(), GoodReply().size());
    EXPECT_NE(got, GoodReply());
    EXPECT_EQ(plc_->Faults().Hits(FaultKind::Garbage), 1u);
}

TEST_F(FaultTest, WrongLengthChangesOnlyTheLengthField) {
    plc_->Faults().Add(FaultRule(FaultKind::WrongLength).LengthOffBy(16));
    SendRead();
    Bytes expected = GoodReply();
    expected[2] = 0x2A;
    EXPECT_EQ(connection_->ReceiveBytes(expected.size()), expected);
    EXPECT_EQ(plc_->Faults().Hits(FaultKind::WrongLength), 1u);
}

TEST_F(FaultTest, CloseEndsTheConnectionInsteadOfAnswering) {
    plc_->Faults().Add(FaultRule(FaultKind::Close));
    connection_->Send(ReadPacket());
    EXPECT_TRUE(connection_->PeerClosed());
    EXPECT_TRUE(plc_->WaitForNoConnections(std::chrono::seconds(20)));
    EXPECT_EQ(plc_->Faults().Hits(FaultKind::Close), 1u);
    // The server itself goes on.
    TestConnection again(plc_->Port());
    again.Register();
}

TEST_F(FaultTest, StopIsNotHeldUpByADelayedReply) {
    plc_->Faults().Add(FaultRule(FaultKind::Delay).WithPause(std::chrono::hours(1)));
    connection_->Send(ReadPacket());
    // The fault is taken just before the server starts waiting.
    ASSERT_TRUE(plc_->Faults().WaitForHits(FaultKind::Delay, 1, std::chrono::seconds(20)));
    plc_->Stop();
    EXPECT_TRUE(connection_->PeerClosed());
}

} // namespace
