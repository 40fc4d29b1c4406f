#include "eip/EIP_Session.h"

#include "eip/EIP_CommonPacket.h"
#include "eip/ScriptedDevice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace eip;
using eiptest::ClockedSession;
using eiptest::Concat;
using eiptest::ScriptedDevice;

// A SendRRData reply with the given sender context whose unconnected data item
// holds one byte.
TPacketDataArray UnconnectedReply(std::span<const std::uint8_t> context, std::uint8_t value) {
    const TPacketDataArray rr{0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0xB2, 0, 1, 0, value};
    return Concat({{0x6F, 0, static_cast<std::uint8_t>(rr.size()), 0, 0x10, 0x20, 0x30, 0x40, 0, 0, 0, 0},
                   TPacketDataArray(context.begin(), context.end()),
                   {0, 0, 0, 0},
                   rr});
}

// A device that was slow once: it answers the first request only together
// with the second, so the late reply arrives while the second one waits.
class SlowOnceDevice : public ScriptedDevice {
public:
    int SendToHost(std::span<const std::uint8_t> bytes) override {
        Sent.emplace_back(bytes.begin(), bytes.end());
        const TPacketDataArray reply =
            UnconnectedReply(bytes.subspan(12, 8), static_cast<std::uint8_t>(Sent.size()));
        if (Sent.size() == 1)
            held_ = reply;
        else
            AttachedSession()->FeedData(Concat({held_, reply}));
        return static_cast<int>(bytes.size());
    }

private:
    TPacketDataArray held_;
};

// A clock that moves on by 1 ms each time it is read, as if every step of the
// receive loop took that long.
class TickingClock : public platform::IClock {
public:
    std::uint64_t TickCount64() override { return ++now_; }
    bool HasTickCount64() override { return true; }

private:
    std::atomic<std::uint64_t> now_{1000};
};

TPacketDataArray Header(std::uint16_t command, std::uint16_t length, std::uint32_t status = 0) {
    return Concat({{static_cast<std::uint8_t>(command), static_cast<std::uint8_t>(command >> 8),
                    static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8), 0x10, 0x20, 0x30,
                    0x40, static_cast<std::uint8_t>(status), 0, 0, 0},
                   TPacketDataArray(12, 0)});
}

// A SendUnitData reply whose connected data item echoes the sequence count.
TPacketDataArray ConnectedReply(std::uint16_t sequence) {
    const TPacketDataArray rr{0, 0, 0, 0, 0, 0, 2, 0, 0xA1, 0, 4, 0, 1, 2, 3, 4,
                              0xB1, 0, 6, 0, static_cast<std::uint8_t>(sequence), static_cast<std::uint8_t>(sequence >> 8),
                              0xCC, 0, 0, 0};
    return Concat({Header(0x70, static_cast<std::uint16_t>(rr.size())), rr});
}

class SessionTest : public ::testing::Test {
protected:
    SessionTest() : use_(clock_), session_(&device_) {
        auto socket = std::make_unique<ClockedSession>(session_, clock_);
        transport_ = socket.get();
        session_.Socket = std::move(socket);
        session_.Connected = true;
        device_.AttachSession(session_);
    }
    ~SessionTest() override { TSessionManager::InstallTransport(nullptr); }

    void InstallClockedTransport() {
        TSessionManager::InstallTransport([this](TSessionInfo& s) -> std::unique_ptr<TSessionSocket> {
            auto socket = std::make_unique<ClockedSession>(s, clock_);
            lastTransport_ = socket.get();
            return socket;
        });
    }

    platform::ManualClock clock_{1000};
    platform::ScopedClock use_;
    ScriptedDevice device_;
    TSessionInfo session_;
    ClockedSession* transport_ = nullptr;
    ClockedSession* lastTransport_ = nullptr;
};

TEST_F(SessionTest, TwoPacketsEndTheWaitAtTheFirstAndAllBytesAreReturned) {
    const TPacketDataArray both = Concat({Header(0x65, 4), {1, 0, 0, 0}, Header(0x65, 0)});
    transport_->DataReceived(both);
    TPacketDataArray reply;
    EXPECT_EQ(transport_->Receive(reply), static_cast<int>(both.size()));
    EXPECT_EQ(reply, both);
    EXPECT_TRUE(transport_->Waits.empty());
    EXPECT_EQ(transport_->RxBuffer.Count(), 0);
}

TEST_F(SessionTest, APartialPacketWaitsTheWholeTimeoutAndIsReturnedAsItIs) {
    transport_->ReceiveTimeout = 700;
    transport_->DataReceived(TPacketDataArray(23, 0x65));
    TPacketDataArray reply;
    EXPECT_EQ(transport_->Receive(reply), 23);
    std::uint32_t waited = 0;
    for (const auto ms : transport_->Waits)
        waited += ms;
    EXPECT_EQ(waited, 700u);
}

TEST_F(SessionTest, ALateReplyOfAnotherCommandIsDroppedAndTheWaitGoesOn) {
    device_.Replies.push_back(Concat({Header(0x6F, 2), {0xAA, 0xBB}, Header(0x63, 0)}));
    TPacketDataArray reply;
    session_.SendReceive(TEncapsPacketFactory::CreateListIdentity().Pack(), reply);
    EXPECT_EQ(reply, Header(0x63, 0));
}

TEST_F(SessionTest, AConnectedReplyWithAnotherSequenceCountIsDropped) {
    device_.Replies.push_back(Concat({ConnectedReply(6), ConnectedReply(7)}));
    const auto reply = SendUnitData(session_, TCommonPacketItem::ConnectedAddressItem(0),
                                    TCommonPacketItem::ConnectedDataItem(TPacketDataArray{0x4C, 0}, 7));
    ASSERT_TRUE(reply);
    EXPECT_EQ(ReplyDataItem(*reply).Data[0], 7);
}

TEST_F(SessionTest, EverySendRRDataExchangeHasAContextOfItsOwn) {
    session_.SenderContext = {'m', 'i', 'r', 'd', 'e', 'n', 'o', 0};
    device_.Replies.push_back(UnconnectedReply(TPacketDataArray(8, 0), 1)); // context echoed by the device
    device_.Replies.push_back(UnconnectedReply(TPacketDataArray(8, 0), 2));
    const auto first = SendRRData(session_, TCommonPacketItem::NullAddressItem(),
                                  TCommonPacketItem::UnconnectedDataItem({0x01}));
    const auto second = SendRRData(session_, TCommonPacketItem::NullAddressItem(),
                                   TCommonPacketItem::UnconnectedDataItem({0x01}));
    ASSERT_TRUE(first && second);
    ASSERT_EQ(device_.Sent.size(), 2u);
    const TPacketDataArray a(device_.Sent[0].begin() + 12, device_.Sent[0].begin() + 20);
    const TPacketDataArray b(device_.Sent[1].begin() + 12, device_.Sent[1].begin() + 20);
    EXPECT_NE(a, b);
    EXPECT_EQ(TPacketDataArray(a.begin(), a.begin() + 4), (TPacketDataArray{'m', 'i', 'r', 'd'}));
    EXPECT_EQ(TPacketDataArray(b.begin(), b.begin() + 4), (TPacketDataArray{'m', 'i', 'r', 'd'}));
    EXPECT_EQ(session_.SenderContext, (TSenderContext{'m', 'i', 'r', 'd', 'e', 'n', 'o', 0}));
}

TEST_F(SessionTest, ALateUnconnectedReplyIsDroppedAndCounted) {
    SlowOnceDevice device;
    TSessionInfo session(&device);
    auto socket = std::make_unique<ClockedSession>(session, clock_);
    ClockedSession& transport = *socket;
    session.Socket = std::move(socket);
    session.Connected = true;
    session.Timeout = 200;
    device.AttachSession(session);

    const auto first = SendRRData(session, TCommonPacketItem::NullAddressItem(),
                                  TCommonPacketItem::UnconnectedDataItem({0x01}));
    EXPECT_FALSE(first);
    EXPECT_EQ(session.LastError, "Response timeout");
    const auto second = SendRRData(session, TCommonPacketItem::NullAddressItem(),
                                   TCommonPacketItem::UnconnectedDataItem({0x02}));
    ASSERT_TRUE(second);
    EXPECT_EQ(ReplyDataItem(*second).Data, TPacketDataArray{2}); // not the first request's answer
    EXPECT_EQ(transport.DroppedReplies, 1u);
    device.Detach();
}

TEST_F(SessionTest, OnlyTheLateReplyArrivingMeansResponseTimeout) {
    session_.Timeout = 300;
    device_.Replies.push_back(ConnectedReply(6));
    const auto sent = SendUnitData(session_, TCommonPacketItem::ConnectedAddressItem(0),
                                   TCommonPacketItem::ConnectedDataItem(TPacketDataArray{0x4C, 0}, 7));
    EXPECT_FALSE(sent);
    EXPECT_EQ(session_.LastError, "Response timeout");
}

TEST_F(SessionTest, BytesLeftFromAnEarlierExchangeAreFlushed) {
    transport_->DataReceived(Header(0x63, 0));
    device_.Replies.push_back(Concat({Header(0x63, 1), {0x42}}));
    TPacketDataArray reply;
    session_.SendReceive(TEncapsPacketFactory::CreateListIdentity().Pack(), reply);
    EXPECT_EQ(reply, Concat({Header(0x63, 1), {0x42}}));
}

TEST_F(SessionTest, AFlushDuringTheWaitForgetsTheLengthOfThePacketItDropped) {
    transport_->ExpectedReply.Command = 0x63;
    transport_->DataReceived(Header(0x63, 2)); // 2 data bytes still to come
    const TPacketDataArray next = Concat({Header(0x63, 10), TPacketDataArray(10, 0x5A)});
    int waits = 0;
    transport_->DuringWait = [&] {
        if (++waits == 1) {
            session_.FlushData(); // the host flushes; a new reply starts
            transport_->DataReceived(std::span(next).first(30));
        } else {
            transport_->DataReceived(std::span(next).subspan(30));
        }
        return true;
    };
    TPacketDataArray reply;
    EXPECT_EQ(transport_->Receive(reply), 34);
    EXPECT_EQ(reply, next); // framed by its own Length, not the dropped packet's
}

TEST(SessionDeadlineTest, PacketsThatAnswerNothingCannotHoldTheWaitPastItsDeadline) {
    TickingClock clock;
    platform::ScopedClock use(clock);
    TSessionInfo session(nullptr);
    TDataLoggerSession transport(session);
    transport.ExpectedReply.Command = 0x6F;
    for (int i = 0; i < 1000; ++i)
        transport.DataReceived(Header(0x70, 0));
    transport.ReceiveTimeout = 100;
    TPacketDataArray reply;
    EXPECT_EQ(transport.Receive(reply), 0);
    EXPECT_LT(transport.DroppedReplies, 200u);
}

// A device that closes the channel instead of answering: the host reports it
// from its own thread once the request is out.
class ClosingDevice : public ScriptedDevice {
public:
    ~ClosingDevice() override { Join(); }
    void Join() {
        if (host_.joinable())
            host_.join();
    }
    int SendToHost(std::span<const std::uint8_t> bytes) override {
        TSessionInfo* session = AttachedSession();
        host_ = std::thread([session] { session->StateChanged(false); });
        return static_cast<int>(bytes.size());
    }

private:
    std::thread host_;
};

TEST_F(SessionTest, AClosedChannelEndsTheWaitAtOnce) {
    platform::SetClock(nullptr);
    {
        ClosingDevice device;
        TSessionInfo session(&device);
        session.Socket = std::make_unique<TDataLoggerSession>(session);
        session.Socket->OnStateChange = [&](bool connected) { session.HandleStateChange(connected); };
        session.Connected = true;
        session.Timeout = 60000;
        device.AttachSession(session);
        TPacketDataArray reply;
        const auto started = std::chrono::steady_clock::now();
        session.SendReceive(TEncapsPacketFactory::CreateListIdentity().Pack(), reply);
        device.Join();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
        EXPECT_TRUE(reply.empty());
        EXPECT_FALSE(session.Connected);
        EXPECT_EQ(session.LastError, "Connection lost");
        device.Detach();
    }
    platform::SetClock(&clock_);
}

TEST(SessionRaceTest, FeedAndFlushFromTheHostNeverBreakAWaitingReceive) {
    // The host thread delivers replies in two blocks and flushes now and
    // then, as ProcessData does, while the worker keeps receiving. Whatever
    // the interleaving, Receive must not fail.
    TSessionInfo session(nullptr);
    session.Socket = std::make_unique<TDataLoggerSession>(session);
    auto& transport = static_cast<TDataLoggerSession&>(*session.Socket);
    transport.ExpectedReply.Command = 0x63;
    transport.ReceiveTimeout = 1;
    const TPacketDataArray packet = Concat({Header(0x63, 8), TPacketDataArray(8, 0x11)});
    std::atomic<bool> done{false};
    std::thread host([&] {
        for (int i = 0; i < 1000000 && !done; ++i) {
            session.FeedData(std::span(packet).first(13));
            if (i % 7 == 3)
                session.FlushData();
            session.FeedData(std::span(packet).subspan(13));
        }
    });
    int failures = 0;
    for (int i = 0; i < 3000; ++i) {
        TPacketDataArray reply;
        try {
            transport.Receive(reply);
        } catch (const std::exception&) {
            ++failures;
        }
    }
    done = true;
    host.join();
    EXPECT_EQ(failures, 0);
    session.FlushData();
    EXPECT_EQ(transport.ExpectedLength, -1);
}

TEST_F(SessionTest, DataReceivedWakesAWaitingExchange) {
    // The real transport: the wait ends when the bytes arrive, not at a tick.
    TSessionInfo session(&device_);
    session.Socket = std::make_unique<TDataLoggerSession>(session);
    platform::SetClock(nullptr);
    session.Socket->ReceiveTimeout = 60000;
    std::thread feeder([&] { session.FeedData(Header(0x63, 0)); });
    TPacketDataArray reply;
    EXPECT_EQ(session.Socket->Receive(reply), 24);
    feeder.join();
    platform::SetClock(&clock_);
}

TEST_F(SessionTest, RegisterSessionAttachesBeforeSendingAndTakesTheHandle) {
    InstallClockedTransport();
    ScriptedDevice device;
    device.Replies.push_back(Concat({{0x65, 0, 4, 0, 0x78, 0x56, 0x34, 0x12}, TPacketDataArray(16, 0), {1, 0, 0, 0}}));
    const TSenderContext context{'m', 'i', 'r', 'd', 'e', 'n', 'o', 0};
    const auto s = TSessionManager::RegisterSession(&device, "plc", 2500, context, 44818);
    EXPECT_TRUE(s->Registered);
    EXPECT_EQ(s->SessionHandle, 0x12345678u);
    EXPECT_EQ(s->SenderContext, context);
    EXPECT_EQ(device.Attaches, 1);
    // The request itself goes with a zero context.
    const TPacketDataArray request = Concat({{0x65, 0, 4, 0}, TPacketDataArray(20, 0), {1, 0, 0, 0}});
    EXPECT_EQ(device.Sent, std::vector<TPacketDataArray>{request});
    device.Detach();
}

TEST_F(SessionTest, RegisterSessionFailures) {
    ScriptedDevice device;
    auto none = TSessionManager::RegisterSession(&device, "plc", 100, std::nullopt, 44818);
    EXPECT_FALSE(none->Connected);
    EXPECT_TRUE(none->LastError.empty());

    InstallClockedTransport();
    device.Replies.push_back(Concat({{0x65, 0, 0, 0}, TPacketDataArray(4, 0), {0x69, 0, 0, 0}, TPacketDataArray(12, 0)}));
    auto refused = TSessionManager::RegisterSession(&device, "plc", 100, std::nullopt, 44818);
    EXPECT_TRUE(refused->Connected);
    EXPECT_FALSE(refused->Registered);
    device.Detach();

    device.Replies.push_back(Concat({{0x65, 0, 9, 0}, TPacketDataArray(20, 0)})); // Length past the bytes
    auto broken = TSessionManager::RegisterSession(&device, "plc", 100, std::nullopt, 44818);
    EXPECT_FALSE(broken->Registered);
    EXPECT_EQ(broken->LastError, "Not enough data in the DataArray for the encapsulated packet");
    device.Detach();

    auto silent = TSessionManager::RegisterSession(&device, "plc", 100, std::nullopt, 44818);
    EXPECT_EQ(silent->LastError, "Response timeout");
    device.Detach();
}

TEST_F(SessionTest, ListIdentityCopiesTheFirstIdentityItem) {
    const TPacketDataArray first{0x0D, 0, 35, 0, 1, 0, 2, 0, 0xAF, 0x12, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0,
                                 9, 0, 9, 0, 9, 0, 1, 1, 0, 0, 1, 0, 0, 0, 1, 'A', 0};
    const TPacketDataArray second{0x0C, 0, 36, 0, 1, 0, 2, 0, 0xAF, 0x12, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0,
                                  1, 0, 0x0E, 0, 0x36, 0, 20, 11, 0x60, 0x30, 0x44, 0x33, 0x22, 0x11, 2, 'O', 'K', 3};
    const TPacketDataArray data = Concat({{2, 0}, first, second});
    device_.Replies.push_back(Concat({Header(0x63, static_cast<std::uint16_t>(data.size())), data}));
    session_.SessionHandle = 0x40302010;
    ASSERT_TRUE(TSessionManager::ListIdentity(session_));
    EXPECT_EQ(session_.IdentityItem.ProductName, "OK");
    EXPECT_EQ(session_.IdentityItem.SerialNumber, 0x11223344u);
    EXPECT_EQ(device_.Sent[0], Concat({{0x63, 0, 0, 0, 0x10, 0x20, 0x30, 0x40}, TPacketDataArray(16, 0)}));
}

TEST_F(SessionTest, UnRegisterSessionClosesTheTransport) {
    session_.Registered = true;
    TSessionManager::UnRegisterSession(session_);
    EXPECT_FALSE(session_.Socket);
    EXPECT_FALSE(session_.Connected);
    EXPECT_FALSE(session_.Registered);
    session_.FeedData(Header(0x63, 0)); // nothing to feed: ignored
    transport_ = nullptr;
}

TEST(ComputeTimeTicksTest, HalvesDownTo255) {
    using A = std::array<std::uint8_t, 2>;
    EXPECT_EQ(ComputeTimeTicks(1800000), (A{0x0D, 0xDB}));
    EXPECT_EQ(ComputeTimeTicks(255), (A{0x00, 0xFF}));
    EXPECT_EQ(ComputeTimeTicks(256), (A{0x01, 0x80}));
    EXPECT_EQ(ComputeTimeTicks(10000000), (A{0x0F, 0xFF}));
}

} // namespace
