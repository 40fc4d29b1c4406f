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

// Read Tag of a tag the controller does not have: answered 0x05.
const Bytes ReadUnknown = Cat({{0x4C, 0x03, 0x91, 0x04}, simtest::Text("NOPE"), {0x01, 0x00}});

TEST_F(FaultTest, CloseAfterErrorAnswersTheErrorThenCloses) {
    const int rule = plc_->Faults().Add(FaultRule(FaultKind::CloseAfterError, FaultRule::Always));
    // A good reply leaves the rule waiting and the connection open.
    EXPECT_EQ(Exchange(ReadPacket()), GoodReply());
    EXPECT_EQ(plc_->Faults().RuleHits(rule), 0u);
    const Bytes reply = Exchange(simtest::Encaps(0x6F, handle_, simtest::RRData(ReadUnknown)));
    ASSERT_EQ(reply.size(), 24u + 16u + 4u);
    EXPECT_EQ(Bytes(reply.end() - 4, reply.end()), (Bytes{0xCC, 0x00, 0x05, 0x00}));
    EXPECT_TRUE(connection_->PeerClosed());
    EXPECT_EQ(plc_->Faults().Hits(FaultKind::CloseAfterError), 1u);
    EXPECT_EQ(plc_->Faults().ArmedRules(), 1u);
}

TEST_F(FaultTest, CloseAfterErrorCountsAnEncapsulationErrorToo) {
    plc_->Faults().Add(FaultRule(FaultKind::CloseAfterError));
    // A SendRRData with another session handle: status 0x64.
    const Bytes reply = Exchange(simtest::Encaps(0x6F, handle_ + 1, simtest::RRData(simtest::ReadCounter)));
    ASSERT_EQ(reply.size(), 24u);
    EXPECT_EQ(simtest::ReadLe32(reply, 8), 0x64u);
    EXPECT_TRUE(connection_->PeerClosed());
    EXPECT_EQ(plc_->Faults().Hits(FaultKind::CloseAfterError), 1u);
}

// Whether a new TCP connection to the port is accepted right now.
bool Accepts(std::uint16_t port) {
    try {
        TestConnection probe(port);
        probe.Register();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

TEST_F(FaultTest, RestartDropsEveryConnectionAndListensAgainOnTheSamePort) {
    const std::uint16_t port = plc_->Port();
    TestConnection other(port);
    other.Register();
    plc_->Faults().Add(FaultRule(FaultKind::Restart).WithPause(std::chrono::hours(1)));
    connection_->Send(ReadPacket());
    EXPECT_TRUE(connection_->PeerClosed());
    EXPECT_TRUE(other.PeerClosed());
    EXPECT_EQ(plc_->Faults().Hits(FaultKind::Restart), 1u);
    // Away for an hour: refused until then (or until stopped).
    EXPECT_FALSE(Accepts(port));
    EXPECT_EQ(plc_->Counters().Restarts, 0u);
    // Stop does not wait for the hour.
    plc_->Stop();
}

TEST_F(FaultTest, RestartListenerComesBackAfterThePause) {
    const std::uint16_t port = plc_->Port();
    plc_->RestartListener(std::chrono::milliseconds(50));
    EXPECT_TRUE(connection_->PeerClosed());
    ASSERT_TRUE(
        plc_->WaitUntil([](const sim::SimCounters& c) { return c.Restarts == 1; }, std::chrono::seconds(20)));
    EXPECT_EQ(plc_->Port(), port);
    TestConnection again(port);
    const std::uint32_t handle = again.Register();
    EXPECT_EQ(again.Request(handle, simtest::ReadCounter),
              (Bytes{0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x04, 0x03, 0x02, 0x01}));
}

TEST(ChaosTest, ParsesSeedAndRate) {
    const auto plain = sim::ParseChaos("42");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->Seed, 42u);
    EXPECT_DOUBLE_EQ(plain->Rate, 0.05);
    const auto rated = sim::ParseChaos("7:0.25");
    ASSERT_TRUE(rated);
    EXPECT_EQ(rated->Seed, 7u);
    EXPECT_DOUBLE_EQ(rated->Rate, 0.25);
    for (const char* bad : {"", "x", "7:", "7:1.5", "7:-0.1", ":0.5", "7:0.5x", "-3"})
        EXPECT_FALSE(sim::ParseChaos(bad)) << bad;
}

// The kinds a fresh injector with this chaos draws for n replies (and
// Forward Opens every fifth call); "-" for none.
std::string Draws(sim::ChaosConfig chaos, int n, bool errors) {
    sim::FaultInjector faults;
    faults.SetChaos(chaos);
    std::string out;
    for (int i = 0; i < n; ++i) {
        if (i % 5 == 4) {
            out += faults.TakeForwardOpenRefusal() ? "R" : "-";
            continue;
        }
        const auto rule = faults.TakeReplyFault(0x6F, 0x4C, errors);
        out += rule ? std::to_string(static_cast<int>(rule->Kind)) : "-";
        out += ' ';
    }
    return out;
}

TEST(ChaosTest, ASeedRepeatsItsFaults) {
    const sim::ChaosConfig chaos{.Seed = 11, .Rate = 0.5};
    EXPECT_EQ(Draws(chaos, 200, false), Draws(chaos, 200, false));
    const sim::ChaosConfig other{.Seed = 12, .Rate = 0.5};
    EXPECT_NE(Draws(chaos, 200, false), Draws(other, 200, false));
}

TEST(ChaosTest, DrawsEveryKindWhereItFitsAndCountsIt) {
    sim::FaultInjector faults;
    faults.SetChaos(sim::ChaosConfig{.Seed = 3, .Rate = 1.0});
    std::uint64_t refusals = 0;
    for (int i = 0; i < 2000; ++i) {
        const auto rule = faults.TakeReplyFault(0x6F, 0x4C, i % 2 == 0);
        ASSERT_TRUE(rule);
        EXPECT_NE(rule->Kind, FaultKind::RefuseForwardOpen);
        // Close-after-error waits for a reply that carries an error.
        if (i % 2 != 0) {
            EXPECT_NE(rule->Kind, FaultKind::CloseAfterError);
        }
        if (faults.TakeForwardOpenRefusal())
            ++refusals;
    }
    EXPECT_EQ(refusals, 2000u);
    std::uint64_t total = 0;
    for (std::size_t k = 0; k < sim::FaultKindCount; ++k) {
        EXPECT_GT(faults.Hits(static_cast<FaultKind>(k)), 0u)
            << sim::FaultKindName(static_cast<FaultKind>(k));
        total += faults.Hits(static_cast<FaultKind>(k));
    }
    EXPECT_EQ(total, 4000u);
    EXPECT_EQ(faults.TotalHits(), 4000u);
    // Off again: nothing more.
    faults.SetChaos(std::nullopt);
    EXPECT_FALSE(faults.TakeReplyFault(0x6F, 0x4C, true));
    EXPECT_FALSE(faults.TakeForwardOpenRefusal());
}

TEST(ChaosTest, RulesComeBeforeChaos) {
    sim::FaultInjector faults;
    faults.SetChaos(sim::ChaosConfig{.Rate = 1.0, .Kinds = {FaultKind::Garbage}});
    faults.Add(FaultRule(FaultKind::Silent));
    EXPECT_EQ(faults.TakeReplyFault(0x6F, 0x4C)->Kind, FaultKind::Silent);
    EXPECT_EQ(faults.TakeReplyFault(0x6F, 0x4C)->Kind, FaultKind::Garbage);
}

TEST(ChaosTest, ASpacingKeepsRandomFaultsApartAndGrantsTheForwardOpenAfterARefusal) {
    using namespace std::chrono_literals;
    sim::FaultInjector faults;
    auto now = std::chrono::steady_clock::time_point{} + 1h;
    faults.SetClock([&now] { return now; });
    faults.SetChaos(sim::ChaosConfig{.Rate = 1.0,
                                     .Kinds = {FaultKind::Delay, FaultKind::RefuseForwardOpen},
                                     .MaxDelay = 300ms,
                                     .Spacing = 2s});

    const auto first = faults.TakeReplyFault(0x6F, 0x4C);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->Kind, FaultKind::Delay);
    // Quiet while the delay lasts and for the spacing after it.
    for (int i = 0; i < 50; ++i)
        EXPECT_FALSE(faults.TakeReplyFault(0x6F, 0x4C)) << i;
    // A Forward Open is not held to the spacing, but the one after a refusal is granted.
    EXPECT_TRUE(faults.TakeForwardOpenRefusal());
    EXPECT_FALSE(faults.TakeForwardOpenRefusal());
    EXPECT_TRUE(faults.TakeForwardOpenRefusal());
    now += first->Pause + 2s - 1ms;
    EXPECT_FALSE(faults.TakeReplyFault(0x6F, 0x4C));
    now += 1ms;
    EXPECT_TRUE(faults.TakeReplyFault(0x6F, 0x4C));
    EXPECT_EQ(faults.Hits(FaultKind::Delay), 2u);
    EXPECT_EQ(faults.Hits(FaultKind::RefuseForwardOpen), 2u);
}

TEST(FaultObserverTest, HearsEveryFaultWithWhatItStruckAndHowLongItLasts) {
    using namespace std::chrono_literals;
    sim::FaultInjector faults;
    std::vector<sim::FaultEvent> heard;
    faults.SetObserver([&heard](const sim::FaultEvent& e) { heard.push_back(e); });
    faults.Add(FaultRule(FaultKind::Delay).OnService(0x4C).WithPause(250ms));
    faults.Add(FaultRule(FaultKind::Split).InParts(3).WithPause(20ms));
    faults.Add(FaultRule(FaultKind::Restart).WithPause(300ms));
    faults.Add(FaultRule(FaultKind::Split).InParts(4).WithPause(20ms).Calling([](std::size_t) {}));
    faults.Add(FaultRule(FaultKind::Garbage));
    faults.Add(FaultRule(FaultKind::RefuseForwardOpen));
    // The delay waits for a Read Tag: the RegisterSession reply meets the split.
    EXPECT_TRUE(faults.TakeReplyFault(0x65, std::nullopt));
    EXPECT_TRUE(faults.TakeReplyFault(0x6F, 0x4C));
    EXPECT_TRUE(faults.TakeReplyFault(0x6F, 0x0A));
    EXPECT_TRUE(faults.TakeReplyFault(0x70, 0x4C));
    EXPECT_TRUE(faults.TakeReplyFault(0x6F, 0x52));
    EXPECT_TRUE(faults.TakeForwardOpenRefusal());
    faults.SetChaos(sim::ChaosConfig{.Rate = 1.0, .Kinds = {FaultKind::Close}});
    EXPECT_TRUE(faults.TakeReplyFault(0x6F, 0x4C));

    ASSERT_EQ(heard.size(), 7u);
    const std::vector<std::pair<FaultKind, long>> expected{
        {FaultKind::Split, 40},    {FaultKind::Delay, 250},  {FaultKind::Restart, 300},
        {FaultKind::Split, 0},     {FaultKind::Garbage, 0},  {FaultKind::RefuseForwardOpen, 0},
        {FaultKind::Close, 0}};
    for (std::size_t i = 0; i < heard.size(); ++i) {
        EXPECT_EQ(heard[i].Kind, expected[i].first) << i;
        EXPECT_EQ(heard[i].Lasts.count(), expected[i].second) << i;
        EXPECT_EQ(heard[i].Random, i == 6) << i;
        EXPECT_EQ(heard[i].ForwardOpen, i == 5) << i;
    }
    EXPECT_EQ(heard[0].Command, 0x65);
    EXPECT_FALSE(heard[0].Service);
    EXPECT_EQ(heard[1].Command, 0x6F);
    EXPECT_EQ(heard[1].Service, std::optional<std::uint8_t>(0x4C));
    EXPECT_EQ(heard[3].Command, 0x70);
}

TEST_F(FaultTest, ChaosOnTheWireCountsEveryFaultItFires) {
    plc_->Faults().SetChaos(sim::ChaosConfig{.Seed = 5, .Rate = 1.0, .Kinds = {FaultKind::Silent}});
    SendRead();
    SendRead();
    EXPECT_FALSE(connection_->HasPendingBytes());
    EXPECT_EQ(plc_->Faults().Hits(FaultKind::Silent), 2u);
    plc_->Faults().SetChaos(std::nullopt);
    EXPECT_EQ(Exchange(ReadPacket()), GoodReply());
}

} // namespace
